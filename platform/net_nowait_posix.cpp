#include "platform/net_nowait.h"

#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>

long net_recv_from_nowait(net_socket s, void* buf, std::size_t cap, net_addr4* from)
{
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    // MSG_TRUNC: the full length comes back, so an oversized datagram is
    // recognised and dropped instead of being delivered cut short.
    ssize_t n = ::recvfrom(static_cast<int>(s), buf, cap, MSG_TRUNC | MSG_DONTWAIT,
                           reinterpret_cast<sockaddr*>(&sa), &len);
    if (n < 0)
        return errno == EAGAIN || errno == EWOULDBLOCK ? net_recv_nothing : -1;
    if (static_cast<std::size_t>(n) > cap)
        return -2;
    if (from) {
        from->addr = sa.sin_addr.s_addr;
        from->port = sa.sin_port;
    }
    return static_cast<long>(n);
}
