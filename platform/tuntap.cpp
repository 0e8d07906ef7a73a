// TAP devices where the kernel has them (Linux). Windows has no built-in
// TAP interface, and a driver of its own, which the collector does not
// install, would be needed: there, as on other systems, there is none.
#include "platform/tuntap.h"

#if defined(__linux__)

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/ethtool.h>
#include <linux/if_tun.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

struct tuntap_interface {
    int fd = -1;
    char name[IFNAMSIZ] = {};  // as the kernel named it
};

namespace {

// Writes value into the interface's own copy of a network setting,
// /proc/sys/net/<family>/conf/<name>/<key>. 0 when written whole; -1
// otherwise, with errno set.
int write_setting(const char* family, const char* name, const char* key, const char* value)
{
    char path[96];
    std::snprintf(path, sizeof path, "/proc/sys/net/%s/conf/%s/%s", family, name, key);
    int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    std::size_t len = std::strlen(value);
    ssize_t n = ::write(fd, value, len);
    int e = n < 0 ? errno : EIO;
    ::close(fd);
    if (n == static_cast<ssize_t>(len))
        return 0;
    errno = e;
    return -1;
}

// The small whole number in /proc/sys/net/<family>/conf/<name>/<key>, or
// -1 when it cannot be read.
int read_setting(const char* family, const char* name, const char* key)
{
    char path[96];
    std::snprintf(path, sizeof path, "/proc/sys/net/%s/conf/%s/%s", family, name, key);
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    char text[16] = {};
    ssize_t n = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    char* end = nullptr;
    long v = n > 0 ? std::strtol(text, &end, 10) : -1;
    return n > 0 && end != text && v >= 0 && v <= 255 ? static_cast<int>(v) : -1;
}

struct passive_setting {
    const char* family;
    const char* key;
    const char* value;
    const char* what;  // names the step when it fails
};

// All written before the interface goes up: up with IPv6 on, the kernel
// would at once send router solicitations and address probes and take the
// first router advertisement written into it.
const passive_setting passive_settings[] = {
    {"ipv6", "disable_ipv6", "1", "IPv6 off (disable_ipv6)"},
    // Kept off should IPv6 be switched on again by hand.
    {"ipv6", "accept_ra", "0", "router advertisements off (accept_ra)"},
    {"ipv4", "forwarding", "0", "IPv4 forwarding off (forwarding)"},
    {"ipv4", "rp_filter", "1", "strict IPv4 source check (rp_filter)"},
};

// Writes passive_settings for interface name. 0 when all are written; -1
// otherwise, with errno set and *failed naming the one that was not.
int write_passive_settings(const char* name, const char** failed)
{
    // No IPv6 in the kernel at all is the one case where its settings may
    // be missing.
    bool ipv6 = ::access("/proc/sys/net/ipv6", F_OK) == 0 || errno != ENOENT;
    for (const passive_setting& p : passive_settings) {
        if ((ipv6 || std::strcmp(p.family, "ipv6") != 0) &&
            write_setting(p.family, name, p.key, p.value) != 0) {
            *failed = p.what;
            return -1;
        }
    }
    return 0;
}

// True when name is a TAP interface that is up with nobody attached.
// Attaching turns its carrier on, and with IPv6 on the kernel starts at
// once (solicitations, an address), before settings written after the
// attach could stop it: its settings go first. Any other interface is
// left alone until attached: one of another kind, or a TAP in use, refuses
// the attach, and on one that is down the attach starts nothing.
bool idle_tap_up(const char* name)
{
    int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return false;
    ifreq ifr{};
    std::snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "%s", name);
    bool idle = ::ioctl(s, SIOCGIFFLAGS, &ifr) == 0 &&
                (ifr.ifr_flags & (IFF_UP | IFF_RUNNING)) == IFF_UP;
    ethtool_drvinfo info{};
    info.cmd = ETHTOOL_GDRVINFO;
    ifr.ifr_data = reinterpret_cast<char*>(&info);
    idle = idle && ::ioctl(s, SIOCETHTOOL, &ifr) == 0 && std::strcmp(info.driver, "tun") == 0 &&
           std::strcmp(info.bus_info, "tap") == 0;
    ::close(s);
    return idle;
}

// Closes fd keeping errno. Always -1.
int close_failed(int fd)
{
    int e = errno;
    ::close(fd);
    errno = e;
    return -1;
}

}  // namespace

int tuntap_open(const char* name, tuntap_interface** out, const char** failed)
{
    *out = nullptr;
    *failed = nullptr;
    int fd = ::open("/dev/net/tun", O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT ? -2 : -1;

    ifreq ifr{};
    ifr.ifr_flags = IFF_TAP | IFF_NO_PI;
    std::strncpy(ifr.ifr_name, name, IFNAMSIZ - 1);
    if (idle_tap_up(ifr.ifr_name) && write_passive_settings(ifr.ifr_name, failed) != 0)
        return close_failed(fd);
    if (::ioctl(fd, TUNSETIFF, &ifr) != 0)
        return close_failed(fd);
    // The settings go by the kernel's name: the one asked for may have
    // been cut to fit, and a setting missed for that must not pass as done.
    tuntap_interface dev{fd, {}};
    std::memcpy(dev.name, ifr.ifr_name, IFNAMSIZ - 1);

    if (write_passive_settings(dev.name, failed) != 0)
        return close_failed(fd);

    // Up and running, through any socket of the family the interface is in.
    int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int rc = s < 0 ? -1 : ::ioctl(s, SIOCGIFFLAGS, &ifr);
    if (rc == 0) {
        ifr.ifr_flags |= IFF_UP | IFF_RUNNING | IFF_NOARP;
        rc = ::ioctl(s, SIOCSIFFLAGS, &ifr);
    }
    int e = errno;
    if (s >= 0)
        ::close(s);
    if (rc != 0) {
        *failed = "up without ARP (IFF_UP, IFF_NOARP)";
        errno = e;
        return close_failed(fd);
    }
    *out = new tuntap_interface(dev);
    return 0;
}

int tuntap_source_check(const tuntap_interface* dev)
{
    int all = read_setting("ipv4", "all", "rp_filter");
    int own = read_setting("ipv4", dev->name, "rp_filter");
    return all < 0 || own < 0 ? -1 : std::max(all, own);
}

int tuntap_write(tuntap_interface* dev, const void* frame, std::size_t len)
{
    ssize_t n = ::write(dev->fd, frame, len);
    return n == static_cast<ssize_t>(len) ? 0 : -1;
}

void tuntap_close(tuntap_interface* dev)
{
    if (!dev)
        return;
    ::close(dev->fd);
    delete dev;
}

#else

int tuntap_open(const char*, tuntap_interface** out, const char** failed)
{
    *out = nullptr;
    *failed = nullptr;
    return -2;
}

int tuntap_source_check(const tuntap_interface*) { return -1; }

int tuntap_write(tuntap_interface*, const void*, std::size_t) { return -1; }

void tuntap_close(tuntap_interface*) {}

#endif
