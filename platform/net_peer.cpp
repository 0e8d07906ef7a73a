// Addresses of either family: the records, their text, the system's
// address records, and names resolved to them.
#include <cstdio>
#include <cstring>

#include "platform/net_system.h"

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

void net_peer_host_text(const net_peer& p, char* out, std::size_t cap)
{
    char text[INET6_ADDRSTRLEN] = "?";
    in6_addr a6;
    in_addr a4;
    if (p.family == net_family_ipv6) {
        std::memcpy(&a6, p.addr, 16);
        ::inet_ntop(AF_INET6, &a6, text, sizeof text);
    } else {
        std::memcpy(&a4, p.addr, 4);
        ::inet_ntop(AF_INET, &a4, text, sizeof text);
    }
    std::snprintf(out, cap, "%s", text);
}

sockaddr_storage net_sockaddr_of(const net_peer& p, sys_socklen* len)
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

void net_peer_from_sockaddr(const sockaddr_storage& ss, net_peer* out)
{
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

int net_address_literal(const char* text, std::uint16_t port, net_peer* out)
{
    in_addr a{};
    if (::inet_pton(AF_INET, text, &a) == 1) {
        *out = net_peer_ipv4(a.s_addr, net_order16(port));
        return 0;
    }
    // getaddrinfo rather than inet_pton: it reads the zone of a link-local
    // address too; AI_NUMERICHOST keeps it from ever asking a resolver.
    addrinfo hints{};
    hints.ai_family = AF_INET6;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo* res = nullptr;
    if (::getaddrinfo(text, nullptr, &hints, &res) != 0 || !res)
        return -1;
    sockaddr_storage ss{};
    std::memcpy(&ss, res->ai_addr, res->ai_addrlen < sizeof ss ? res->ai_addrlen : sizeof ss);
    ::freeaddrinfo(res);
    net_peer_from_sockaddr(ss, out);
    out->port = net_order16(port);
    return 0;
}

int net_resolve_peer(const char* text, std::uint16_t port, net_peer* out)
{
    std::uint32_t v4 = 0;
    sockaddr_storage ss;
    if (net_resolve_ipv4(text, &v4) == 0)
        *out = net_peer_ipv4(v4, 0);
    else if (resolve_first(text, AF_INET6, &ss) == 0)
        net_peer_from_sockaddr(ss, out);
    else
        return -1;
    out->port = net_order16(port);
    return 0;
}
