#include "platform/tap_device.h"

#if defined(__linux__)

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

struct tap_device {
    int fd = -1;
};

int tap_device_open(const char* name, tap_device** out)
{
    *out = nullptr;
    int fd = ::open("/dev/net/tun", O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT ? -2 : -1;

    ifreq ifr{};
    ifr.ifr_flags = IFF_TAP | IFF_NO_PI;
    std::strncpy(ifr.ifr_name, name, IFNAMSIZ - 1);
    if (::ioctl(fd, TUNSETIFF, &ifr) != 0) {
        int e = errno;
        ::close(fd);
        errno = e;
        return -1;
    }

    // Up and running, through any socket of the family the interface is in.
    int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int rc = s < 0 ? -1 : ::ioctl(s, SIOCGIFFLAGS, &ifr);
    if (rc == 0) {
        ifr.ifr_flags |= IFF_UP | IFF_RUNNING;
        rc = ::ioctl(s, SIOCSIFFLAGS, &ifr);
    }
    int e = errno;
    if (s >= 0)
        ::close(s);
    if (rc != 0) {
        ::close(fd);
        errno = e;
        return -1;
    }
    *out = new tap_device{fd};
    return 0;
}

int tap_device_write(tap_device* dev, const void* frame, std::size_t len)
{
    ssize_t n = ::write(dev->fd, frame, len);
    return n == static_cast<ssize_t>(len) ? 0 : -1;
}

void tap_device_close(tap_device* dev)
{
    if (!dev)
        return;
    ::close(dev->fd);
    delete dev;
}

#else

int tap_device_open(const char*, tap_device** out)
{
    *out = nullptr;
    return -2;
}

int tap_device_write(tap_device*, const void*, std::size_t)
{
    return -1;
}

void tap_device_close(tap_device*) {}

#endif
