#include "platform/net_nowait.h"

// Winsock has no per-call non-blocking flag; switching the socket to
// non-blocking would change every other receive on it. A zero wait first
// gives the same answer at the cost of one more call.
long net_recv_from_nowait(net_socket s, void* buf, std::size_t cap, net_addr4* from)
{
    int r = net_wait_readable(s, 0);
    if (r == 0)
        return net_recv_nothing;
    if (r < 0)
        return -1;
    return net_recv_from(s, buf, cap, from);
}
