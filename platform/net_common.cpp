// Socket calls alike under both socket libraries: sockets made, bound and
// sent from, the waker, which needs no more than the seam's own calls, the
// choices of the batched send, and the batch calls of systems that take
// one datagram per call.
#include <cstdlib>
#include <cstring>

#include "platform/net_system.h"

net_socket net_udp_socket() { return net_socket_of(::socket(AF_INET, SOCK_DGRAM, 0)); }

net_socket net_udp_socket_for(const net_peer& p)
{
    if (p.family != net_family_ipv6)
        return net_udp_socket();
    return net_socket_of(::socket(AF_INET6, SOCK_DGRAM, 0));
}

int net_bind(net_socket s, std::uint32_t addr, std::uint16_t port)
{
    return net_bind_peer(s, net_peer_ipv4(addr, net_order16(port)));
}

int net_bind_any(net_socket s, std::uint16_t port) { return net_bind(s, htonl(INADDR_ANY), port); }

int net_bind_peer(net_socket s, const net_peer& p)
{
    static constexpr std::uint8_t any[16] = {};
    if (p.family == net_family_ipv6 && std::memcmp(p.addr, any, 16) == 0) {
        const int off = 0;
        if (::setsockopt(sys_of(s), IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&off),
                         sizeof off) != 0)
            return -1;
    }
    sys_socklen len = 0;
    const sockaddr_storage ss = net_sockaddr_of(p, &len);
    return ::bind(sys_of(s), reinterpret_cast<const sockaddr*>(&ss), len) == 0 ? 0 : -1;
}

std::uint16_t net_local_port(net_socket s)
{
    // Room for either family: the port lies at the same place in both.
    sockaddr_storage ss{};
    sys_socklen len = sizeof ss;
    if (::getsockname(sys_of(s), reinterpret_cast<sockaddr*>(&ss), &len) != 0)
        return 0;
    return ntohs(reinterpret_cast<const sockaddr_in*>(&ss)->sin_port);
}

int net_set_receive_buffer(net_socket s, int bytes, int* granted)
{
    sys_socklen len = sizeof *granted;
    if (::setsockopt(sys_of(s), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bytes),
                     sizeof bytes) != 0 ||
        ::getsockopt(sys_of(s), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(granted), &len) != 0)
        return -1;
#if defined(__linux__)
    // Linux doubles what it grants, for its own bookkeeping, and reports
    // the double: a request capped at net.core.rmem_max would look met.
    *granted /= 2;
#endif
    return 0;
}

long net_send_to_peer(net_socket s, const void* buf, std::size_t len, const net_peer& p)
{
    sys_socklen n = 0;
    const sockaddr_storage ss = net_sockaddr_of(p, &n);
    const auto sent = ::sendto(sys_of(s), static_cast<const char*>(buf), static_cast<int>(len), 0,
                               reinterpret_cast<const sockaddr*>(&ss), n);
    return sent < 0 ? -1 : static_cast<long>(sent);
}

long net_send_to(net_socket s, const void* buf, std::size_t len, const net_addr4& to)
{
    return net_send_to_peer(s, buf, len, net_peer_ipv4(to.addr, to.port));
}

// ---- the waker --------------------------------------------------------------

int net_waker_open(net_waker* w)
{
    net_socket s = net_udp_socket();
    if (s == net_invalid_socket)
        return -1;
    std::uint32_t loopback = htonl(INADDR_LOOPBACK);
    std::uint16_t port = 0;
    if (net_bind(s, loopback, 0) != 0 || (port = net_local_port(s)) == 0) {
        net_close(s);
        return -1;
    }
    w->s = s;
    w->self = {loopback, htons(port)};
    return 0;
}

void net_waker_wake(const net_waker& w)
{
    // Not checked: where a wake is lost to a full queue, the bytes in it
    // wake the waiter all the same.
    const char b = 0;
    net_send_to(w.s, &b, 1, w.self);
}

void net_waker_drain(const net_waker& w)
{
    // Bounded: anyone on the host may send to the port; what is left wakes
    // the next wait at once.
    std::uint8_t b;
    net_datagram_in d{&b, 1, 0, {}};
    for (int i = 0; i < 64 && net_recv_one(w.s, &d) != net_recv_nothing; ++i) {
    }
}

void net_waker_close(net_waker* w)
{
    net_close(w->s);
    w->s = net_invalid_socket;
}

// ---- batches ------------------------------------------------------------------

int net_send_mode_initial(net_socket s)
{
#if defined(VANTRY_TEST_HOOKS)
    // Lets the tests force each fallback on a system that would not need it.
    static const int forced = [] {
        const char* v = std::getenv("VANTRY_SEND_MODE");
        if (!v)
            return -1;
        if (std::strcmp(v, "single") == 0)
            return static_cast<int>(net_send_single);
        if (std::strcmp(v, "mmsg") == 0)
            return static_cast<int>(net_send_mmsg);
        return std::strcmp(v, "gso") == 0 ? static_cast<int>(net_send_gso) : -1;
    }();
    if (forced >= 0)
        return forced;
#endif
    return net_send_mode_offered(s);
}

int net_gso_run(const net_datagram_out* d, int n)
{
    // A segment size of 0 would make the stack send the run as one datagram.
    const std::uint32_t size = d[0].len;
    if (size == 0)
        return 1;
    int k = 1;
    std::uint32_t total = size;
    while (k < n && k < net_batch_max && d[k].len <= size && d[k].len > 0 &&
           total + d[k].len <= net_max_udp_payload) {
        total += d[k].len;
        // A shorter one can only end the run: the stack cuts every segment
        // but the last at the first one's size.
        if (d[k++].len < size)
            break;
    }
    return k;
}

long net_send_each(net_socket s, const net_peer& to, const net_datagram_out* d, int n, int* lost)
{
    for (int i = 0; i < n; ++i)
        if (net_send_to_peer(s, d[i].data, d[i].len, to) != static_cast<long>(d[i].len)) {
            if (i > 0)
                return i;
            *lost = 1;
            return -1;
        }
    return n;
}

int net_recv_each(net_socket s, net_datagram_in* d, int n)
{
    if (n > net_batch_max)
        n = net_batch_max;
    int got = 0;
    for (; got < n; ++got) {
        const long r = net_recv_one(s, &d[got]);
        // A failure after some datagrams waits for the next call: those
        // received are delivered first.
        if (r == net_recv_nothing || (r == -1 && got > 0))
            break;
        if (r == -1)
            return -1;
    }
    return got > 0 ? got : net_recv_nothing;
}

#if !VANTRY_NET_MMSG

int net_send_mode_offered(net_socket) { return net_send_single; }

long net_send_batch(net_socket s, const net_peer& to, const net_datagram_out* d, int n, int,
                    int* lost)
{
    return net_send_each(s, to, d, n, lost);
}

int net_recv_batch(net_socket s, net_datagram_in* d, int n)
{
    return net_recv_each(s, d, n);
}

#endif
