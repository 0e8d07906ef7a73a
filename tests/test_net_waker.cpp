#include <gtest/gtest.h>

#include <thread>

#include "platform/platform.h"

TEST(NetWaker, WakeDatagramAndTimeOut)
{
    ASSERT_EQ(net_startup(), 0);
    net_waker w;
    ASSERT_EQ(net_waker_open(&w), 0);
    net_socket s = net_udp_socket();
    ASSERT_EQ(net_bind(s, w.self.addr, 0), 0);
    const long long_wait_us = 20'000'000;

    EXPECT_EQ(net_wait_readable_or_woken(s, w, 20'000), 0);
    // Woken from another thread while waiting, or just before: at once.
    std::uint64_t start = clock_monotonic_ms();
    std::thread waker([&w] { net_waker_wake(w); });
    EXPECT_EQ(net_wait_readable_or_woken(s, w, long_wait_us), 2);
    EXPECT_LT(clock_monotonic_ms() - start, 5000u);
    waker.join();
    // Several wakes are drained by one wait; a wake wins over a datagram.
    const net_addr4 to{w.self.addr, net_order16(net_local_port(s))};
    net_waker_wake(w);
    net_waker_wake(w);
    ASSERT_EQ(net_send_to(w.s, "x", 1, to), 1);
    EXPECT_EQ(net_wait_readable_or_woken(s, w, long_wait_us), 2);
    EXPECT_EQ(net_wait_readable_or_woken(s, w, long_wait_us), 1);
    char b;
    EXPECT_EQ(net_recv_from(s, &b, 1, nullptr), 1);
    EXPECT_EQ(net_wait_readable_or_woken(s, w, 20'000), 0);

    net_close(s);
    net_waker_close(&w);
    EXPECT_EQ(w.s, net_invalid_socket);
}
