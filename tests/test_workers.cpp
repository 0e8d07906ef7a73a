// The workers: what one receives is opened in its ring, counted, and a full ring waits for the writer.
#include <gtest/gtest.h>
#include <chrono>
#include <thread>
#include "collector/workers.h"
#include "tests/test_support.h"

TEST(Workers, AWorkerOpensWhatItReceivesIntoItsRingAndAFullRingWaitsForTheWriter)
{
    ASSERT_EQ(net_startup(), 0);
    worker_pool p;
    datagram_opener like;
    like.clear = true;
    ASSERT_EQ(worker_pool_init(&p, 2, like), 0);
    worker& w = p.workers[1];
    const net_peer at = net_peer_ipv4(ipv4_of(127, 0, 0, 1), 0);
    w.socket = net_udp_socket_for(at);
    w.own_socket = true;
    ASSERT_EQ(net_bind_peer(w.socket, at) | net_waker_open(&w.waker), 0);
    const net_peer to = net_peer_ipv4(ipv4_of(127, 0, 0, 1), net_order16(net_local_port(w.socket)));
    const net_socket out = net_udp_socket_for(to);
    const bytes sent[] = {{1, 2, 3}, bytes(1500, 7), {9}};
    for (const bytes& d : sent) ASSERT_EQ(net_send_to_peer(out, d.data(), d.size(), to), long(d.size()));
    int got = 0;
    for (int tries = 0; got < 3 && tries < 10; ++tries) {  // bounded: each wait is a second at most
        const int n = worker_receive(p, w, 1000000);
        w.head += unsigned(n > 0 ? n : 0);
        got += n > 0 ? n : 0;
    }
    ASSERT_EQ(got, 3);
    for (int i = 0; i < 3; ++i) {
        const received_datagram& d = w.slots[i];
        EXPECT_EQ(d.verdict, open_ok);
        EXPECT_EQ(bytes(d.data + d.at, d.data + d.at + d.clear_len), sent[i]) << i;
    }
    EXPECT_EQ(w.counts.datagrams.load(), 3u);
    // Every slot published and none taken: the next receive waits until the writer gives some back.
    w.head = w.tail + worker_ring_slots;
    ASSERT_EQ(net_send_to_peer(out, sent[0].data(), sent[0].size(), to), 3);
    std::thread writer([&] {  // gives a slot back once the worker waits, or after 5 s
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (w.counts.ring_full.load() == 0 && std::chrono::steady_clock::now() < until) std::this_thread::yield();
        w.tail += 1;
    });
    EXPECT_EQ(worker_receive(p, w, 1000000), 1);
    writer.join();
    EXPECT_GT(w.counts.ring_full.load(), 0u);
    EXPECT_EQ(worker_count_default(1), 1u);
    EXPECT_EQ(worker_count_default(1000), std::max(1u, std::thread::hardware_concurrency()));
    net_close(out);
    worker_pool_release(&p);
}
