// The capture seam over the pcap calls, the same on every platform: only
// filling the table of calls, waiting and breaking a wait off are the
// platform's (capture_posix.cpp, capture_win.cpp).
//
// The handle is put in non-blocking mode so that capture_next drains what
// the library already holds and returns 0 at once when nothing is left;
// the waiting happens in capture_wait.
#include "platform/capture_pcap.h"

namespace {

// Kernel or driver buffer for the capture. The library's default (2 MiB)
// holds only a few tens of milliseconds of small frames at high rates; a
// larger one rides out the moments the run thread spends sending.
constexpr int capture_buffer_bytes = 32 * 1024 * 1024;

// The text pcap_open_live gives when activation fails with status: the
// library's own text for a plain error; the status, then the library's
// text in brackets, for the three failures where both say something; the
// status alone for the rest.
std::string open_error(const char* name, int status, const char* lib_text, const char* status_text)
{
    std::string text = name;
    text += ": ";
    if (status == PCAP_ERROR) {
        text += lib_text;
    } else if (status == PCAP_ERROR_NO_SUCH_DEVICE || status == PCAP_ERROR_PERM_DENIED ||
               status == PCAP_ERROR_PROMISC_PERM_DENIED) {
        text += status_text;
        text += " (";
        text += lib_text;
        text += ")";
    } else {
        text += status_text;
    }
    return text;
}

}  // namespace

capture_device* capture_open(const char* name, int snaplen, int promisc, int timeout_ms,
                             std::string* err)
{
    const pcap_api& a = capture_api();
    char errbuf[PCAP_ERRBUF_SIZE] = "";
    pcap_t* p = a.create(name, errbuf);
    if (!p) {
        *err = errbuf;
        return nullptr;
    }
    a.set_snaplen(p, snaplen);
    a.set_promisc(p, promisc);
    a.set_timeout(p, timeout_ms);
    a.set_buffer_size(p, capture_buffer_bytes);
    int status = a.activate(p);
    if (status < 0) {
        *err = open_error(name, status, a.geterr(p), a.statustostr(status));
        a.close(p);
        return nullptr;
    }
    auto* h = new capture_device;
    h->pcap = p;
    if (a.setnonblock(p, 1, errbuf) != 0) {
        *err = errbuf;
        capture_close(h);
        return nullptr;
    }
    if (capture_waiter_open(h, err) != 0) {
        capture_close(h);
        return nullptr;
    }
    return h;
}

int capture_datalink(capture_device* h) { return capture_api().datalink(h->pcap); }

int capture_set_filter(capture_device* h, const char* expr, std::uint32_t netmask,
                       std::string* err)
{
    const pcap_api& a = capture_api();
    bpf_program program{};
    if (a.compile(h->pcap, &program, expr, 1, netmask) < 0) {
        *err = a.geterr(h->pcap);
        return -1;
    }
    int r = a.setfilter(h->pcap, &program);
    if (r != 0)
        *err = a.geterr(h->pcap);
    a.freecode(&program);
    return r != 0 ? -2 : 0;
}

int capture_read(capture_device* h, capture_packet* p)
{
    pcap_pkthdr* hdr = nullptr;
    const u_char* data = nullptr;
    int r = capture_api().next_ex(h->pcap, &hdr, &data);
    if (r == 1) {
        p->ts_sec = static_cast<std::uint32_t>(hdr->ts.tv_sec);
        p->ts_usec = static_cast<std::uint32_t>(hdr->ts.tv_usec);
        p->caplen = hdr->caplen;
        p->len = hdr->len;
        p->data = data;
        return 1;
    }
    if (r == 0)
        return 0;
    return r == PCAP_ERROR_BREAK ? -2 : -1;
}

int capture_next(capture_device* h, capture_packet* p)
{
    if (h->broken.load(std::memory_order_acquire))
        return -2;
    if (h->held) {
        h->held = false;
        *p = h->held_packet;
        return 1;
    }
    return capture_read(h, p);
}

std::string capture_last_error(capture_device* h) { return capture_api().geterr(h->pcap); }

int capture_stats(capture_device* h, std::uint32_t* drops, std::uint32_t* interface_drops)
{
    pcap_stat st{};
    if (capture_api().stats(h->pcap, &st) < 0)
        return -1;
    *drops = st.ps_drop;
    *interface_drops = st.ps_ifdrop;
    return 0;
}

void capture_close(capture_device* h)
{
    if (!h)
        return;
    capture_api().close(h->pcap);
    capture_waiter_close(h->waiter);
    delete h;
}

int capture_find_all(std::vector<capture_iface>* out, std::string* err)
{
    if (capture_library_load(err) != 0)
        return -1;
    const pcap_api& a = capture_api();
    char errbuf[PCAP_ERRBUF_SIZE] = "";
    pcap_if_t* all = nullptr;
    if (a.findalldevs(&all, errbuf) != 0) {
        *err = errbuf;
        return -1;
    }
    out->clear();
    for (pcap_if_t* d = all; d; d = d->next)
        out->push_back({d->name ? d->name : "", d->description ? d->description : ""});
    a.freealldevs(all);
    return 0;
}

int capture_lookup_default(std::string* name, std::string* err)
{
    if (capture_library_load(err) != 0)
        return -1;
    char errbuf[PCAP_ERRBUF_SIZE] = "";
    if (auto lookupdev = capture_api().lookupdev) {
        const char* dev = lookupdev(errbuf);
        if (!dev) {
            *err = errbuf;
            return -1;
        }
        *name = dev;
        return 0;
    }
    // Where the library's own default-device call is deprecated, what it
    // returned was the first device of this same list.
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
