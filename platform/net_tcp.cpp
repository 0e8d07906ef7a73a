// TCP for the collector's metrics and PCAP over IP: a listening socket and
// its connections, all non-blocking, so that a slow or silent client never
// holds up the loop that polls them. Alike under both socket libraries but
// for the non-blocking switch and the name of "would block".
#if !defined(_WIN32)
#include <fcntl.h>
#endif

#include <cerrno>

#include "platform/net_system.h"

namespace {

int set_non_blocking(net_socket s)
{
#if defined(_WIN32)
    u_long on = 1;
    return ::ioctlsocket(sys_of(s), FIONBIO, &on) == 0 ? 0 : -1;
#else
    const int flags = ::fcntl(static_cast<int>(s), F_GETFL);
    return flags >= 0 && ::fcntl(static_cast<int>(s), F_SETFL, flags | O_NONBLOCK) == 0 ? 0 : -1;
#endif
}

bool would_block()
{
#if defined(_WIN32)
    return WSAGetLastError() == WSAEWOULDBLOCK;
#else
    return errno == EAGAIN || errno == EWOULDBLOCK;
#endif
}

// Puts back the error a failed step set, which closing the socket may
// have replaced, for the caller's net_last_error().
void restore_error(int e)
{
#if defined(_WIN32)
    WSASetLastError(e);
#else
    errno = e;
#endif
}

#if defined(MSG_NOSIGNAL)
constexpr int send_flags = MSG_NOSIGNAL;  // a client gone is a -1, not the end of the process
#else
constexpr int send_flags = 0;
#endif

}  // namespace

net_socket net_tcp_listen(const net_peer& at, int backlog)
{
    const net_socket s =
        net_socket_of(::socket(at.family == net_family_ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0));
    if (s == net_invalid_socket)
        return s;
#if !defined(_WIN32)
    // Windows' SO_REUSEADDR would let another process take the port over
    // while it is in use; its default already allows a restart.
    const int on = 1;
    ::setsockopt(sys_of(s), SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on), sizeof on);
#endif
    sys_socklen len = 0;
    const sockaddr_storage ss = net_sockaddr_of(at, &len);
    if (::bind(sys_of(s), reinterpret_cast<const sockaddr*>(&ss), len) != 0 ||
        ::listen(sys_of(s), backlog) != 0 || set_non_blocking(s) != 0) {
        const int e = net_last_error();
        net_close(s);
        restore_error(e);
        return net_invalid_socket;
    }
    return s;
}

net_socket net_tcp_accept(net_socket s, net_peer* from)
{
    sockaddr_storage ss{};
    sys_socklen len = sizeof ss;
    const net_socket c = net_socket_of(::accept(sys_of(s), reinterpret_cast<sockaddr*>(&ss), &len));
    if (c != net_invalid_socket && set_non_blocking(c) != 0) {
        net_close(c);
        return net_invalid_socket;
    }
    if (c != net_invalid_socket && from)
        net_peer_from_sockaddr(ss, from);
    return c;
}

net_socket net_tcp_connect(const net_peer& to)
{
    const net_socket s =
        net_socket_of(::socket(to.family == net_family_ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0));
    if (s == net_invalid_socket)
        return s;
    sys_socklen len = 0;
    const sockaddr_storage ss = net_sockaddr_of(to, &len);
    if (::connect(sys_of(s), reinterpret_cast<const sockaddr*>(&ss), len) != 0 || set_non_blocking(s) != 0) {
        const int e = net_last_error();
        net_close(s);
        restore_error(e);
        return net_invalid_socket;
    }
    return s;
}

long net_tcp_read(net_socket s, void* buf, std::size_t cap)
{
    const auto r = ::recv(sys_of(s), static_cast<char*>(buf), static_cast<int>(cap), 0);
    if (r < 0)
        return would_block() ? net_recv_nothing : -1;
    return static_cast<long>(r);
}

long net_tcp_write(net_socket s, const void* buf, std::size_t len)
{
    const auto r = ::send(sys_of(s), static_cast<const char*>(buf), static_cast<int>(len), send_flags);
    if (r < 0)
        return would_block() ? 0 : -1;
    return static_cast<long>(r);
}
