// What the platform files share beneath platform.h: the system's socket
// headers, the few names in which the two socket libraries differ, and the
// calls one platform file makes into another. Only platform/ includes it.
#pragma once

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/socket.h>
#endif

#include "platform/platform.h"

#if defined(_WIN32)
using sys_socket = SOCKET;
using sys_socklen = int;
inline net_socket net_socket_of(sys_socket s)
{
    return s == INVALID_SOCKET ? net_invalid_socket : static_cast<net_socket>(s);
}
#else
using sys_socket = int;
using sys_socklen = socklen_t;
inline net_socket net_socket_of(sys_socket s) { return s < 0 ? net_invalid_socket : s; }
#endif

inline sys_socket sys_of(net_socket s) { return static_cast<sys_socket>(s); }

// Linux has sendmmsg, recvmmsg and segmentation offload (UDP_SEGMENT), in
// os_posix.cpp; everywhere else every send mode is one call per datagram
// and a batch is received one datagram at a time (net_common.cpp).
#if defined(__linux__) && defined(UDP_SEGMENT)
#define VANTRY_NET_MMSG 1
#else
#define VANTRY_NET_MMSG 0
#endif

// The system's address record for p, its length in *len (net_peer.cpp).
sockaddr_storage net_sockaddr_of(const net_peer& p, sys_socklen* len);

// The sender in ss, as the system filled it (IPv4 or IPv6; any other
// family gives an empty record).
void net_peer_from_sockaddr(const sockaddr_storage& ss, net_peer* out);

// The best send mode the system offers for s.
int net_send_mode_offered(net_socket s);

// net_send_batch with one call per datagram, as every platform can.
long net_send_each(net_socket s, const net_peer& to, const net_datagram_out* d, int n, int* lost);

// One waiting datagram into d, without blocking (os_posix.cpp,
// os_win.cpp). d->len, the datagram's length or -2 (longer than d->cap,
// discarded whole), when one was received; else net_recv_nothing, or -1
// when the receive failed.
long net_recv_one(net_socket s, net_datagram_in* d);

// net_recv_batch by one net_recv_one per datagram, where the system has
// nothing better; the same results.
int net_recv_each(net_socket s, net_datagram_in* d, int n);

// Empties what wakes put in w's socket (a bounded number of bytes).
void net_waker_drain(const net_waker& w);

// Up to cap bytes from the start of the key file at path into out, *got of
// them, after the checks of key_file_read (os_posix.cpp, os_win.cpp). A
// key_file_result; *error is the system's code after key_file_unreadable.
int key_file_read_bytes(const char* path, char* out, std::size_t cap, std::size_t* got, int* error);
