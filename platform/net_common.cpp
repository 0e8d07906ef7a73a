// Socket calls alike under both socket libraries: name resolution, the
// waker, which needs no more than the seam's own calls, and the choices
// of the batched send.
#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <cstdlib>
#include <cstring>

#include "platform/net_batch_collector.h"
#include "platform/platform.h"

namespace {

// The first address of family that text names (an address, or a host
// name the system resolves) into *out. 0, or -1 when it names none.
int resolve_first(const char* text, int family, sockaddr_storage* out)
{
    addrinfo hints{};
    hints.ai_family = family;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* res = nullptr;
    if (::getaddrinfo(text, nullptr, &hints, &res) != 0 || !res)
        return -1;
    *out = sockaddr_storage{};
    std::memcpy(out, res->ai_addr, res->ai_addrlen < sizeof *out ? res->ai_addrlen : sizeof *out);
    ::freeaddrinfo(res);
    return 0;
}

}  // namespace

int net_resolve_ipv4(const char* text, std::uint32_t* addr)
{
    in_addr a{};
    if (::inet_pton(AF_INET, text, &a) == 1) {
        *addr = a.s_addr;
        return 0;
    }
    sockaddr_storage ss;
    if (resolve_first(text, AF_INET, &ss) != 0)
        return -1;
    *addr = reinterpret_cast<const sockaddr_in*>(&ss)->sin_addr.s_addr;
    return 0;
}

int net_resolve_peer(const char* text, std::uint16_t port, net_peer* out)
{
    std::uint32_t v4 = 0;
    sockaddr_storage ss;
    if (net_resolve_ipv4(text, &v4) == 0)
        *out = net_peer_ipv4(v4, 0);
    else if (resolve_first(text, AF_INET6, &ss) == 0)
        net_peer_from_sockaddr(&ss, out);
    else
        return -1;
    out->port = net_order16(port);
    return 0;
}

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

void net_waker_close(net_waker* w)
{
    net_close(w->s);
    w->s = net_invalid_socket;
}

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

long net_send_each(net_socket s, const net_addr4& to, const net_datagram_out* d, int n, int* lost)
{
    for (int i = 0; i < n; ++i)
        if (net_send_to(s, d[i].data, d[i].len, to) != static_cast<long>(d[i].len)) {
            if (i > 0)
                return i;
            *lost = 1;
            return -1;
        }
    return n;
}

int net_recv_one_nowait(net_socket s, net_datagram_in* d, int n)
{
    if (n < 1)
        return 0;
    const long r = net_recv_from_nowait(s, d[0].buf, d[0].cap, &d[0].from);
    if (r == net_recv_nothing || r == -1)
        return static_cast<int>(r);
    d[0].len = r;
    return 1;
}
