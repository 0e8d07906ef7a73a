// Windows side of the collector's batch receive: Winsock has no call that
// takes several datagrams.
#include "platform/net_batch_collector.h"

#include <winsock2.h>
#include <ws2tcpip.h>

int net_recv_batch(net_socket s, net_recv_slot* slots, int n)
{
    return net_recv_batch_singly(s, slots, n);
}

// Winsock has no per-call non-blocking flag: a zero wait first, as
// net_recv_from_nowait does.
long net_recv_peer_nowait(net_socket s, net_recv_slot* slot)
{
    const int ready = net_wait_readable(s, 0);
    if (ready <= 0)
        return ready == 0 ? net_recv_nothing : -1;
    sockaddr_storage from{};
    int len = sizeof from;
    const int n = ::recvfrom(static_cast<SOCKET>(s), reinterpret_cast<char*>(slot->buf),
                             static_cast<int>(slot->cap), 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n == SOCKET_ERROR)
        // Winsock fills the buffer and fails with WSAEMSGSIZE when the
        // datagram was larger: it is dropped whole, as on POSIX.
        return WSAGetLastError() == WSAEMSGSIZE ? -2 : -1;
    net_peer_from_sockaddr(&from, &slot->from);
    return n;
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
