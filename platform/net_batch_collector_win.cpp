// Windows side of the collector's batch receive: Winsock has no call that
// takes several datagrams.
#include "platform/net_batch_collector.h"

#include <winsock2.h>

int net_recv_batch(net_socket s, net_recv_slot* slots, int n)
{
    return net_recv_batch_singly(s, slots, n);
}

int net_set_receive_buffer(net_socket s, int bytes, int* granted)
{
    const SOCKET sock = static_cast<SOCKET>(s);
    int len = sizeof *granted;
    if (::setsockopt(sock, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bytes),
                     sizeof bytes) != 0 ||
        ::getsockopt(sock, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(granted), &len) != 0)
        return -1;
    return 0;
}
