// The batch receive for systems without a call that takes several
// datagrams: a loop of single receives fills the batch.
#include "platform/net_batch_collector.h"

int net_recv_batch_singly(net_socket s, net_recv_slot* slots, int n)
{
    if (n > net_recv_batch_max)
        n = net_recv_batch_max;
    int got = 0;
    for (; got < n; ++got) {
        // A datagram too long for its slot leaves no sender behind.
        slots[got].from = {};
        const long r = net_recv_peer_nowait(s, &slots[got]);
        // A failure after some datagrams waits for the next call: those
        // received are delivered first.
        if (r == net_recv_nothing || (r == -1 && got > 0))
            break;
        if (r == -1)
            return -1;
        slots[got].len = r;
    }
    return got;
}
