// Capture seam on POSIX systems: libpcap, linked directly.
//
// The handle is put in non-blocking mode so that capture_next drains what
// the library already holds and returns 0 at once when nothing is left; the
// waiting happens in capture_wait, on the capture descriptor and on a wake
// descriptor that capture_breakloop writes to, so a stop does not have to
// sit out the rest of a wait.
#include "platform/capture.h"

#include <pcap/pcap.h>

#include "platform/capture_pcap.h"
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>

struct capture_device {
    pcap_t* pcap = nullptr;
    int fd = -1;       // pcap_fileno
    int wake_fd = -1;  // eventfd written by capture_breakloop
    std::atomic<bool> broken{false};
};

namespace {

// Kernel ring for the capture. The library's default (2 MiB) holds only a
// few tens of milliseconds of small frames at high rates; a larger ring
// rides out the moments the run thread spends sending.
constexpr int capture_buffer_bytes = 32 * 1024 * 1024;


}  // namespace

int capture_library_load(std::string*) { return 0; }

capture_device* capture_open(const char* name, int snaplen, int promisc, int timeout_ms,
                             std::string* err)
{
    char errbuf[PCAP_ERRBUF_SIZE] = "";
    pcap_t* p = pcap_create(name, errbuf);
    if (!p) {
        *err = errbuf;
        return nullptr;
    }
    pcap_set_snaplen(p, snaplen);
    pcap_set_promisc(p, promisc);
    pcap_set_timeout(p, timeout_ms);
    pcap_set_buffer_size(p, capture_buffer_bytes);
    int status = pcap_activate(p);
    if (status < 0) {
        *err = capture_open_error(name, status, pcap_geterr(p), pcap_statustostr(status));
        pcap_close(p);
        return nullptr;
    }
    if (pcap_setnonblock(p, 1, errbuf) != 0) {
        *err = errbuf;
        pcap_close(p);
        return nullptr;
    }
    int wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake < 0) {
        *err = std::strerror(errno);
        pcap_close(p);
        return nullptr;
    }
    auto* h = new capture_device;
    h->pcap = p;
    h->fd = pcap_get_selectable_fd(p);
    h->wake_fd = wake;
    return h;
}

int capture_datalink(capture_device* h) { return pcap_datalink(h->pcap); }

int capture_set_filter(capture_device* h, const char* expr, std::uint32_t netmask,
                       std::string* err)
{
    bpf_program program{};
    if (pcap_compile(h->pcap, &program, expr, 1, netmask) < 0) {
        *err = pcap_geterr(h->pcap);
        return -1;
    }
    int r = pcap_setfilter(h->pcap, &program);
    if (r != 0)
        *err = pcap_geterr(h->pcap);
    pcap_freecode(&program);
    return r != 0 ? -2 : 0;
}

int capture_wait(capture_device* h, long timeout_us)
{
    if (h->broken.load(std::memory_order_acquire))
        return 1;
    if (h->fd < 0) {
        // A device without a selectable descriptor is polled: a short
        // pause, then a read is tried.
        pollfd wake = {h->wake_fd, POLLIN, 0};
        ::poll(&wake, 1, timeout_us < 10000 ? static_cast<int>(timeout_us / 1000) : 10);
        return 1;
    }
    pollfd fds[2] = {{h->fd, POLLIN, 0}, {h->wake_fd, POLLIN, 0}};
    // Rounded up: a wait that ends a little early would count as idle
    // while the library is about to hand over a block.
    int r = ::poll(fds, 2, static_cast<int>((timeout_us + 999) / 1000));
    return r > 0 ? 1 : r == 0 ? 0 : -1;
}

int capture_next(capture_device* h, capture_packet* p)
{
    if (h->broken.load(std::memory_order_acquire))
        return -2;
    pcap_pkthdr* hdr = nullptr;
    const u_char* data = nullptr;
    int r = pcap_next_ex(h->pcap, &hdr, &data);
    return capture_packet_from(r, hdr, data, p);
}

std::string capture_last_error(capture_device* h) { return pcap_geterr(h->pcap); }

void capture_breakloop(capture_device* h)
{
    h->broken.store(true, std::memory_order_release);
    pcap_breakloop(h->pcap);
    std::uint64_t one = 1;
    // A full counter already wakes the waiter; nothing to do on failure.
    [[maybe_unused]] ssize_t n = ::write(h->wake_fd, &one, sizeof one);
}

int capture_stats(capture_device* h, std::uint32_t* drops)
{
    pcap_stat st{};
    if (pcap_stats(h->pcap, &st) < 0)
        return -1;
    *drops = st.ps_drop;
    return 0;
}

void capture_close(capture_device* h)
{
    if (!h)
        return;
    pcap_close(h->pcap);
    ::close(h->wake_fd);
    delete h;
}

int capture_find_all(std::vector<capture_iface>* out, std::string* err)
{
    char errbuf[PCAP_ERRBUF_SIZE] = "";
    pcap_if_t* all = nullptr;
    if (pcap_findalldevs(&all, errbuf) != 0) {
        *err = errbuf;
        return -1;
    }
    out->clear();
    for (pcap_if_t* d = all; d; d = d->next)
        out->push_back({d->name ? d->name : "", d->description ? d->description : ""});
    pcap_freealldevs(all);
    return 0;
}

// The library's own default-device call is deprecated; what it returned
// was the first device of this same list.
int capture_lookup_default(std::string* name, std::string* err)
{
    std::vector<capture_iface> all;
    if (capture_find_all(&all, err) != 0)
        return -1;
    if (all.empty()) {
        *err = "no suitable device found";
        return -1;
    }
    *name = all.front().name;
    return 0;
}
