// Addresses of either family for the collector: names, the socket that is
// bound to one, sends to one, and the system's address records read
// (net_common.cpp resolves them).
#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <cstdio>

#include "platform/net_batch_collector.h"

namespace {

#if defined(_WIN32)
using sys_socket = SOCKET;
#else
using sys_socket = int;
#endif

// The system's address record for p, its length in *len.
sockaddr_storage sockaddr_of(const net_peer& p, int* len)
{
    sockaddr_storage ss{};
    if (p.family == net_family_ipv6) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
        a->sin6_family = AF_INET6;
        a->sin6_port = p.port;
        a->sin6_scope_id = p.scope_id;
        std::memcpy(&a->sin6_addr, p.addr, 16);
        *len = sizeof *a;
    } else {
        auto* a = reinterpret_cast<sockaddr_in*>(&ss);
        a->sin_family = AF_INET;
        a->sin_port = p.port;
        std::memcpy(&a->sin_addr, p.addr, 4);
        *len = sizeof *a;
    }
    return ss;
}

}  // namespace

net_peer net_peer_ipv4(std::uint32_t addr, std::uint16_t port)
{
    net_peer p;
    p.family = net_family_ipv4;
    std::memcpy(p.addr, &addr, 4);
    p.port = port;
    return p;
}

net_peer net_peer_ipv6(const std::uint8_t* addr, std::uint16_t port, std::uint32_t scope_id)
{
    static constexpr std::uint8_t mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (std::memcmp(addr, mapped, sizeof mapped) == 0) {
        std::uint32_t v4;
        std::memcpy(&v4, addr + 12, 4);
        return net_peer_ipv4(v4, port);
    }
    net_peer p;
    p.family = net_family_ipv6;
    std::memcpy(p.addr, addr, 16);
    p.port = port;
    p.scope_id = scope_id;
    return p;
}

void net_peer_text(const net_peer& p, char* out, std::size_t cap)
{
    const unsigned port = net_order16(p.port);
    if (p.family != net_family_ipv6) {
        const std::uint8_t* a = p.addr;
        std::snprintf(out, cap, "%u.%u.%u.%u:%u", a[0], a[1], a[2], a[3], port);
        return;
    }
    char text[INET6_ADDRSTRLEN] = "?";
    in6_addr a;
    std::memcpy(&a, p.addr, 16);
    ::inet_ntop(AF_INET6, &a, text, sizeof text);
    if (p.scope_id)
        std::snprintf(out, cap, "[%s%%%lu]:%u", text, static_cast<unsigned long>(p.scope_id), port);
    else
        std::snprintf(out, cap, "[%s]:%u", text, port);
}

net_socket net_udp_socket_for(const net_peer& p)
{
    if (p.family != net_family_ipv6)
        return net_udp_socket();
    const sys_socket s = ::socket(AF_INET6, SOCK_DGRAM, 0);
#if defined(_WIN32)
    return s == INVALID_SOCKET ? net_invalid_socket : static_cast<net_socket>(s);
#else
    return s < 0 ? net_invalid_socket : s;
#endif
}

int net_bind_peer(net_socket s, const net_peer& p)
{
    static constexpr std::uint8_t any[16] = {};
    if (p.family == net_family_ipv6 && std::memcmp(p.addr, any, 16) == 0) {
        const int off = 0;
        if (::setsockopt(static_cast<sys_socket>(s), IPPROTO_IPV6, IPV6_V6ONLY,
                         reinterpret_cast<const char*>(&off), sizeof off) != 0)
            return -1;
    }
    int len = 0;
    const sockaddr_storage ss = sockaddr_of(p, &len);
    return ::bind(static_cast<sys_socket>(s),
                  reinterpret_cast<const sockaddr*>(&ss), len) == 0
               ? 0
               : -1;
}

long net_send_to_peer(net_socket s, const void* buf, std::size_t len, const net_peer& p)
{
    int n = 0;
    const sockaddr_storage ss = sockaddr_of(p, &n);
    const auto sent = ::sendto(static_cast<sys_socket>(s), static_cast<const char*>(buf),
                               static_cast<int>(len), 0, reinterpret_cast<const sockaddr*>(&ss), n);
    return sent < 0 ? -1 : static_cast<long>(sent);
}

void net_peer_from_sockaddr(const void* sa, net_peer* out)
{
    sockaddr_storage ss;
    std::memcpy(&ss, sa, sizeof ss);
    if (ss.ss_family == AF_INET6) {
        const auto* a = reinterpret_cast<const sockaddr_in6*>(&ss);
        *out = net_peer_ipv6(reinterpret_cast<const std::uint8_t*>(&a->sin6_addr), a->sin6_port,
                             a->sin6_scope_id);
    } else if (ss.ss_family == AF_INET) {
        const auto* a = reinterpret_cast<const sockaddr_in*>(&ss);
        *out = net_peer_ipv4(a->sin_addr.s_addr, a->sin_port);
    } else {
        *out = net_peer{};
    }
}
