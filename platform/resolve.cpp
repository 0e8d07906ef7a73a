// Name resolution, the same calls under both socket libraries.
#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include "platform/platform.h"

int net_resolve_ipv4(const char* text, std::uint32_t* addr)
{
    in_addr a{};
    if (::inet_pton(AF_INET, text, &a) == 1) {
        *addr = a.s_addr;
        return 0;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* res = nullptr;
    if (::getaddrinfo(text, nullptr, &hints, &res) != 0 || !res)
        return -1;
    *addr = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr.s_addr;
    ::freeaddrinfo(res);
    return 0;
}
