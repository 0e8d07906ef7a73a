// Capture on POSIX systems: libpcap, linked directly. A wait watches the
// capture descriptor and a wake descriptor that capture_breakloop writes
// to, so that a stop does not have to sit out the rest of a wait.
#include "platform/capture_pcap.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

struct capture_waiter {
    int fd = -1;       // pcap_get_selectable_fd; -1: the device is polled
    int wake_fd = -1;  // eventfd written by capture_breakloop
};

int capture_library_load(std::string*) { return 0; }

const pcap_api& capture_api()
{
    // The default device is the first of the list: the library's own
    // default-device call is deprecated.
    static const pcap_api api = [] {
        pcap_api a;
#define CAPTURE_PCAP_LINKED(name) a.name = &::pcap_##name;
        CAPTURE_PCAP_CALLS(CAPTURE_PCAP_LINKED)
#undef CAPTURE_PCAP_LINKED
        return a;
    }();
    return api;
}

int capture_waiter_open(capture_device* h, std::string* err)
{
    int wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake < 0) {
        *err = std::strerror(errno);
        return -1;
    }
    h->waiter = new capture_waiter{pcap_get_selectable_fd(h->pcap), wake};
    return 0;
}

void capture_waiter_close(capture_waiter* w)
{
    if (!w)
        return;
    ::close(w->wake_fd);
    delete w;
}

int capture_wait(capture_device* h, long timeout_us)
{
    if (h->broken.load(std::memory_order_acquire))
        return 1;
    const capture_waiter& w = *h->waiter;
    if (w.fd < 0) {
        // A device without a selectable descriptor is polled: a short
        // pause, then a read is tried.
        pollfd wake = {w.wake_fd, POLLIN, 0};
        ::poll(&wake, 1, timeout_us < 10000 ? static_cast<int>(timeout_us / 1000) : 10);
        return 1;
    }
    pollfd fds[2] = {{w.fd, POLLIN, 0}, {w.wake_fd, POLLIN, 0}};
    // Rounded up: a wait that ends a little early would count as idle
    // while the library is about to hand over a block.
    int r = ::poll(fds, 2, static_cast<int>((timeout_us + 999) / 1000));
    return r > 0 ? 1 : r == 0 ? 0 : -1;
}

void capture_breakloop(capture_device* h)
{
    h->broken.store(true, std::memory_order_release);
    pcap_breakloop(h->pcap);
    std::uint64_t one = 1;
    // A full counter already wakes the waiter; nothing to do on failure.
    [[maybe_unused]] ssize_t n = ::write(h->waiter->wake_fd, &one, sizeof one);
}
