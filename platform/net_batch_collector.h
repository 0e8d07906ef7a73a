// The collector's receiving end of the platform seam: many datagrams per
// call, and the socket's receive buffer. net_batch_collector_posix.cpp
// (recvmmsg on Linux) and net_batch_collector_win.cpp define these names.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

// One datagram's place in a batch: the caller sets buf and cap, a receive
// fills len and from.
struct net_recv_slot {
    std::uint8_t* buf = nullptr;
    std::size_t cap = 0;
    long len = 0;  // the datagram's length; -2 when it was longer than cap (discarded whole)
    net_addr4 from;
};

inline constexpr int net_recv_batch_max = 64;

// Receives up to n (at most net_recv_batch_max) datagrams that are waiting,
// without blocking. The count of slots filled, from the first (1 to n); 0
// when none is waiting; -1 when the receive failed (see net_last_error()).
int net_recv_batch(net_socket s, net_recv_slot* slots, int n);

// net_recv_batch by one receive per datagram (net_batch_collector.cpp),
// where the system has nothing better.
int net_recv_batch_singly(net_socket s, net_recv_slot* slots, int n);

// Asks for a receive buffer of bytes. 0 with *granted the size the system
// grants, in the request's terms (so that granted < bytes means less than
// asked); -1 when the request is refused (see net_last_error()).
int net_set_receive_buffer(net_socket s, int bytes, int* granted);
