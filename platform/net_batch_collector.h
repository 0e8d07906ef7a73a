// The collector's receiving end of the platform seam: senders over IPv4
// and IPv6, many datagrams per call, and the socket's receive buffer.
// net_batch_collector_posix.cpp (recvmmsg on Linux) and
// net_batch_collector_win.cpp define the receives, net_peer.cpp the
// addresses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/platform.h"

inline constexpr std::uint8_t net_family_ipv4 = 4;
inline constexpr std::uint8_t net_family_ipv6 = 6;

// An address, IPv4 or IPv6, and a UDP port, as a plain record that
// compares byte by byte. An IPv4-mapped IPv6 address (::ffff:a.b.c.d, the
// IPv4 senders of a dual-stack socket) is held as the IPv4 address, so
// that a sender is one and the same whichever socket heard it.
struct net_peer {
    std::uint8_t family = 0;     // net_family_ipv4 or _ipv6; 0: none
    std::uint8_t addr[16] = {};  // network order; IPv4 in the first 4 bytes, the rest 0
    std::uint16_t port = 0;      // network order
    std::uint32_t scope_id = 0;  // the zone of an IPv6 link-local address, else 0
};

inline bool net_peer_same(const net_peer& a, const net_peer& b)
{
    return a.family == b.family && a.port == b.port && a.scope_id == b.scope_id &&
           std::memcmp(a.addr, b.addr, sizeof a.addr) == 0;
}

// addr and port in network order.
net_peer net_peer_ipv4(std::uint32_t addr, std::uint16_t port);

// addr (16 bytes) and port in network order; mapped IPv4 becomes IPv4.
net_peer net_peer_ipv6(const std::uint8_t* addr, std::uint16_t port, std::uint32_t scope_id);

// "10.0.0.5:50000", "[::1]:50000", "[fe80::1%2]:50000" into out (cap
// bytes; net_peer_text_max hold any).
inline constexpr std::size_t net_peer_text_max = 72;
void net_peer_text(const net_peer& p, char* out, std::size_t cap);

// An IPv4 address or host name (as net_resolve_ipv4 reads it, first), or
// else an IPv6 address or host name, with port (host order). 0, or -1
// when text names neither.
int net_resolve_peer(const char* text, std::uint16_t port, net_peer* out);

// An unbound UDP socket of p's family, or net_invalid_socket.
net_socket net_udp_socket_for(const net_peer& p);

// Binds s to p. The IPv6 unspecified address (::) takes IPv4 as well
// (IPV6_V6ONLY off, on every system). 0 / -1 (see net_last_error()).
int net_bind_peer(net_socket s, const net_peer& p);

// One datagram's place in a batch: the caller sets buf and cap, a receive
// fills len and from.
struct net_recv_slot {
    std::uint8_t* buf = nullptr;
    std::size_t cap = 0;
    long len = 0;  // the datagram's length; -2 when it was longer than cap (discarded whole)
    net_peer from;
};

inline constexpr int net_recv_batch_max = 64;

// Receives up to n (at most net_recv_batch_max) datagrams that are waiting,
// without blocking. The count of slots filled, from the first (1 to n); 0
// when none is waiting; -1 when the receive failed (see net_last_error()).
int net_recv_batch(net_socket s, net_recv_slot* slots, int n);

// net_recv_batch by one receive per datagram (net_batch_collector.cpp),
// where the system has nothing better.
int net_recv_batch_singly(net_socket s, net_recv_slot* slots, int n);

// Sends one datagram to p, as net_send_to does to an IPv4 address.
long net_send_to_peer(net_socket s, const void* buf, std::size_t len, const net_peer& p);

// The sender in sa, a sockaddr_storage the system filled (IPv4 or IPv6;
// any other family gives an empty record).
void net_peer_from_sockaddr(const void* sa, net_peer* out);

// One datagram into slot, without blocking: as net_recv_from_nowait, the
// sender in slot->from.
long net_recv_peer_nowait(net_socket s, net_recv_slot* slot);

// Asks for a receive buffer of bytes. 0 with *granted the size the system
// grants, in the request's terms (so that granted < bytes means less than
// asked); -1 when the request is refused (see net_last_error()).
int net_set_receive_buffer(net_socket s, int bytes, int* granted);
