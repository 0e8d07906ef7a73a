// Receiving without waiting, so that a loop can empty a socket's queue with
// one call per datagram instead of a wait and a receive per datagram.
#pragma once

#include <cstddef>

#include "platform/platform.h"

inline constexpr long net_recv_nothing = -3;

// As net_recv_from, but never blocks: the datagram's length; -1 when the
// receive failed; -2 when the datagram was longer than cap (discarded
// whole); net_recv_nothing (-3) when no datagram is waiting.
long net_recv_from_nowait(net_socket s, void* buf, std::size_t cap, net_addr4* from);
