// POSIX side of the collector's batch receive: one recvmmsg call on Linux,
// a loop of single receives elsewhere.
#include "platform/net_batch_collector.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>

int net_recv_batch(net_socket s, net_recv_slot* slots, int n)
{
    if (n > net_recv_batch_max)
        n = net_recv_batch_max;
#if defined(__linux__)
    mmsghdr msgs[net_recv_batch_max] = {};
    iovec iov[net_recv_batch_max];
    sockaddr_storage from[net_recv_batch_max];
    for (int i = 0; i < n; ++i) {
        iov[i] = {slots[i].buf, slots[i].cap};
        msgs[i].msg_hdr.msg_iov = &iov[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
        msgs[i].msg_hdr.msg_name = &from[i];
        msgs[i].msg_hdr.msg_namelen = sizeof from[i];
    }
    const int got = ::recvmmsg(static_cast<int>(s), msgs, static_cast<unsigned>(n), MSG_DONTWAIT,
                               nullptr);
    if (got < 0)
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    for (int i = 0; i < got; ++i) {
        // A datagram larger than its buffer arrives cut, marked MSG_TRUNC:
        // it is discarded whole, as net_recv_from does.
        slots[i].len = (msgs[i].msg_hdr.msg_flags & MSG_TRUNC) ? -2 : static_cast<long>(msgs[i].msg_len);
        net_peer_from_sockaddr(&from[i], &slots[i].from);
    }
    return got;
#else
    return net_recv_batch_singly(s, slots, n);
#endif
}

long net_recv_peer_nowait(net_socket s, net_recv_slot* slot)
{
    sockaddr_storage from{};
    socklen_t len = sizeof from;
    // MSG_TRUNC: the datagram's full length, so that one too long is seen.
    const ssize_t n = ::recvfrom(static_cast<int>(s), slot->buf, slot->cap, MSG_TRUNC | MSG_DONTWAIT,
                                 reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0)
        return errno == EAGAIN || errno == EWOULDBLOCK ? net_recv_nothing : -1;
    net_peer_from_sockaddr(&from, &slot->from);
    return static_cast<std::size_t>(n) > slot->cap ? -2 : static_cast<long>(n);
}

int net_set_receive_buffer(net_socket s, int bytes, int* granted)
{
    const int fd = static_cast<int>(s);
    socklen_t len = sizeof *granted;
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) != 0 ||
        ::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, granted, &len) != 0)
        return -1;
#if defined(__linux__)
    // Linux doubles what it grants, for its own bookkeeping, and reports
    // the double: a request capped at net.core.rmem_max would look met.
    *granted /= 2;
#endif
    return 0;
}
