// The socket waker, written once over the socket calls of either system.
#include <cstring>

#include "platform/platform.h"

int net_waker_open(net_waker* w)
{
    const std::uint8_t loopback[4] = {127, 0, 0, 1};
    std::memcpy(&w->self.addr, loopback, 4);
    w->s = net_udp_socket();
    if (w->s == net_invalid_socket)
        return -1;
    if (net_bind(w->s, w->self.addr, 0) != 0 || (w->self.port = net_order16(net_local_port(w->s))) == 0) {
        net_waker_close(w);
        return -1;
    }
    return 0;
}

void net_waker_wake(const net_waker& w)
{
    const std::uint8_t one = 1;
    net_send_to(w.s, &one, 1, w.self);
}

void net_waker_close(net_waker* w)
{
    if (w->s != net_invalid_socket)
        net_close(w->s);
    w->s = net_invalid_socket;
}

int net_wait_readable_or_woken(net_socket s, const net_waker& w, long timeout_us)
{
    const int r = net_wait_either(s, w.s, timeout_us);
    if (r <= 0)
        return r;
    if (r & 2) {
        std::uint8_t drop[16];
        long n;
        do
            n = net_recv_from_nowait(w.s, drop, sizeof drop, nullptr);
        while (n != net_recv_nothing && n != -1);
        return 2;
    }
    return 1;
}
