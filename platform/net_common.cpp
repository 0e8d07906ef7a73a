// Socket calls alike under both socket libraries: name resolution, and
// the waker, which needs no more than the seam's own calls.
#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include "platform/platform.h"

int net_resolve_ipv4(const char* text, std::uint32_t* addr)
{
    in_addr a{};
    if (::inet_pton(AF_INET, text, &a) == 1) {
        *addr = a.s_addr;
        return 0;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* res = nullptr;
    if (::getaddrinfo(text, nullptr, &hints, &res) != 0 || !res)
        return -1;
    *addr = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr.s_addr;
    ::freeaddrinfo(res);
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
