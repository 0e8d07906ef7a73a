// Capture seam on Windows: wpcap.dll, loaded at run time.
//
// A machine without the capture driver must still start the program and
// get a clear message, so nothing links against wpcap.dll: every function
// is looked up once, by name, and a missing library or function is
// reported by capture_library_load.
//
// The handle is non-blocking, so that capture_next drains what the driver
// holds and returns 0 at once. Waiting uses the read event of the handle
// when the library provides one; without it, the wait polls the handle in
// short slices and keeps the first packet it finds for capture_next.
#include "platform/capture.h"

#include <winsock2.h>
#include <windows.h>

#include <pcap/pcap.h>

#include "platform/capture_pcap.h"

#include <atomic>
#include <cstdio>
#include <cstring>

struct capture_device {
    pcap_t* pcap = nullptr;
    HANDLE read_event = nullptr;  // owned by the library; null: polled
    HANDLE wake_event = nullptr;  // set by capture_breakloop
    std::atomic<bool> broken{false};
    // A packet that a polled wait has already read, handed out by the next
    // capture_next. Its bytes stay valid until the library is read again.
    bool held = false;
    capture_packet held_packet;
};

namespace {

struct wpcap_api {
    decltype(&::pcap_create) create;
    decltype(&::pcap_set_snaplen) set_snaplen;
    decltype(&::pcap_set_promisc) set_promisc;
    decltype(&::pcap_set_timeout) set_timeout;
    decltype(&::pcap_set_buffer_size) set_buffer_size;
    decltype(&::pcap_activate) activate;
    decltype(&::pcap_setnonblock) setnonblock;
    decltype(&::pcap_setmintocopy) setmintocopy;
    decltype(&::pcap_getevent) getevent;
    decltype(&::pcap_datalink) datalink;
    decltype(&::pcap_compile) compile;
    decltype(&::pcap_setfilter) setfilter;
    decltype(&::pcap_freecode) freecode;
    decltype(&::pcap_geterr) geterr;
    decltype(&::pcap_statustostr) statustostr;
    decltype(&::pcap_next_ex) next_ex;
    decltype(&::pcap_breakloop) breakloop;
    decltype(&::pcap_stats) stats;
    decltype(&::pcap_close) close;
    decltype(&::pcap_findalldevs) findalldevs;
    decltype(&::pcap_freealldevs) freealldevs;
    char* (*lookupdev)(char*);  // declared deprecated; typed by hand
};

struct wpcap_state {
    wpcap_api api{};
    bool loaded = false;
    bool has_read_event = false;
    std::string error;
};

// See capture_posix.cpp: a larger driver buffer rides out the moments the
// run thread spends sending.
constexpr int capture_buffer_bytes = 32 * 1024 * 1024;

// The library by full path only: the capture driver's own folder under the
// system folder, then the system folder itself (older drivers, and Wine's
// library). Never through the search path, whose program and current
// folders anyone may have put a wpcap.dll into, and which a service running
// as LocalSystem would load. Its dependencies (the driver's helper library
// next to it, system libraries) are looked for in its own folder and the
// system folder only; Windows without those search flags (7 before
// KB2533623) refuses them, and there the library's folder comes first.
// Null when neither path gives a library (see GetLastError()).
HMODULE load_library()
{
    char dir[MAX_PATH];
    UINT n = GetSystemDirectoryA(dir, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return nullptr;
    for (const char* file : {"\\Npcap\\wpcap.dll", "\\wpcap.dll"}) {
        char path[MAX_PATH + 32];
        std::snprintf(path, sizeof path, "%s%s", dir, file);
        HMODULE m = LoadLibraryExA(path, nullptr,
                                   LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
        if (!m && GetLastError() == ERROR_INVALID_PARAMETER)
            m = LoadLibraryExA(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
        if (m)
            return m;
    }
    return nullptr;
}

// Wine's library serves the host's interfaces but exports its read-event
// and buffer-threshold calls only as stubs that abort the process when
// called; there the handle keeps blocking reads.
bool under_wine()
{
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

template <typename F>
bool resolve(HMODULE m, const char* name, F* out, std::string* missing)
{
    FARPROC p = GetProcAddress(m, name);
    if (!p) {
        if (!missing->empty())
            *missing += ", ";
        *missing += name;
        return false;
    }
    *out = reinterpret_cast<F>(reinterpret_cast<void*>(p));
    return true;
}

wpcap_state load_state()
{
    wpcap_state s;
    HMODULE m = load_library();
    if (!m) {
        char text[96];
        std::snprintf(text, sizeof text, "wpcap.dll cannot be loaded (error %lu)",
                      static_cast<unsigned long>(GetLastError()));
        s.error = text;
        return s;
    }
    std::string missing;
    wpcap_api& a = s.api;
    // Every lookup runs, so that the message names all missing functions.
    bool ok = true;
    ok &= resolve(m, "pcap_create", &a.create, &missing);
    ok &= resolve(m, "pcap_set_snaplen", &a.set_snaplen, &missing);
    ok &= resolve(m, "pcap_set_promisc", &a.set_promisc, &missing);
    ok &= resolve(m, "pcap_set_timeout", &a.set_timeout, &missing);
    ok &= resolve(m, "pcap_set_buffer_size", &a.set_buffer_size, &missing);
    ok &= resolve(m, "pcap_activate", &a.activate, &missing);
    ok &= resolve(m, "pcap_setnonblock", &a.setnonblock, &missing);
    ok &= resolve(m, "pcap_setmintocopy", &a.setmintocopy, &missing);
    ok &= resolve(m, "pcap_getevent", &a.getevent, &missing);
    ok &= resolve(m, "pcap_datalink", &a.datalink, &missing);
    ok &= resolve(m, "pcap_compile", &a.compile, &missing);
    ok &= resolve(m, "pcap_setfilter", &a.setfilter, &missing);
    ok &= resolve(m, "pcap_freecode", &a.freecode, &missing);
    ok &= resolve(m, "pcap_geterr", &a.geterr, &missing);
    ok &= resolve(m, "pcap_statustostr", &a.statustostr, &missing);
    ok &= resolve(m, "pcap_next_ex", &a.next_ex, &missing);
    ok &= resolve(m, "pcap_breakloop", &a.breakloop, &missing);
    ok &= resolve(m, "pcap_stats", &a.stats, &missing);
    ok &= resolve(m, "pcap_close", &a.close, &missing);
    ok &= resolve(m, "pcap_findalldevs", &a.findalldevs, &missing);
    ok &= resolve(m, "pcap_freealldevs", &a.freealldevs, &missing);
    ok &= resolve(m, "pcap_lookupdev", &a.lookupdev, &missing);
    if (!ok) {
        s.error = "wpcap.dll lacks " + missing;
        FreeLibrary(m);
        return s;
    }
    s.loaded = true;
    s.has_read_event = !under_wine();
    return s;
}

// Loaded once, on first use; callers have checked capture_library_load.
const wpcap_state& state()
{
    static const wpcap_state s = load_state();
    return s;
}

const wpcap_api& api() { return state().api; }


int read_packet(capture_device* h, capture_packet* p)
{
    pcap_pkthdr* hdr = nullptr;
    const u_char* data = nullptr;
    int r = api().next_ex(h->pcap, &hdr, &data);
    return capture_packet_from(r, hdr, data, p);
}

// Slice of a polled wait: short enough not to add noticeable delay, long
// enough to cost next to nothing on an idle link.
constexpr DWORD poll_slice_ms = 5;

int poll_wait(capture_device* h, long timeout_us)
{
    if (h->held)
        return 1;
    ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>((timeout_us + 999) / 1000);
    for (;;) {
        int r = read_packet(h, &h->held_packet);
        if (r == 1) {
            h->held = true;
            return 1;
        }
        if (r < 0)
            return -1;
        if (GetTickCount64() >= deadline)
            return 0;
        if (WaitForSingleObject(h->wake_event, poll_slice_ms) == WAIT_OBJECT_0)
            return 1;
    }
}

}  // namespace

int capture_library_load(std::string* err)
{
    const wpcap_state& s = state();
    if (!s.loaded) {
        *err = s.error;
        return -1;
    }
    return 0;
}

capture_device* capture_open(const char* name, int snaplen, int promisc, int timeout_ms,
                             std::string* err)
{
    const wpcap_api& a = api();
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
        *err = capture_open_error(name, status, api().geterr(p), api().statustostr(status));
        a.close(p);
        return nullptr;
    }
    HANDLE wake = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!wake) {
        *err = "cannot create an event";
        a.close(p);
        return nullptr;
    }
    auto* h = new capture_device;
    h->pcap = p;
    h->wake_event = wake;
    if (a.setnonblock(p, 1, errbuf) != 0) {
        *err = errbuf;
        capture_close(h);
        return nullptr;
    }
    if (state().has_read_event) {
        h->read_event = a.getevent(p);
        // The read event fires only once this many bytes wait in the
        // driver; the default would hold back a few small frames until the
        // idle wait, and then still not signal them.
        if (h->read_event)
            a.setmintocopy(p, 1);
    }
    return h;
}

int capture_datalink(capture_device* h) { return api().datalink(h->pcap); }

int capture_set_filter(capture_device* h, const char* expr, std::uint32_t netmask,
                       std::string* err)
{
    const wpcap_api& a = api();
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

int capture_wait(capture_device* h, long timeout_us)
{
    if (h->broken.load(std::memory_order_acquire))
        return 1;
    if (!h->read_event)
        return poll_wait(h, timeout_us);
    HANDLE events[2] = {h->read_event, h->wake_event};
    DWORD r = WaitForMultipleObjects(2, events, FALSE, static_cast<DWORD>((timeout_us + 999) / 1000));
    if (r == WAIT_OBJECT_0 || r == WAIT_OBJECT_0 + 1)
        return 1;
    return r == WAIT_TIMEOUT ? 0 : -1;
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
    return read_packet(h, p);
}

std::string capture_last_error(capture_device* h) { return api().geterr(h->pcap); }

void capture_breakloop(capture_device* h)
{
    h->broken.store(true, std::memory_order_release);
    api().breakloop(h->pcap);
    SetEvent(h->wake_event);
}

int capture_stats(capture_device* h, std::uint32_t* drops)
{
    pcap_stat st{};
    if (api().stats(h->pcap, &st) < 0)
        return -1;
    *drops = st.ps_drop;
    return 0;
}

void capture_close(capture_device* h)
{
    if (!h)
        return;
    api().close(h->pcap);
    CloseHandle(h->wake_event);
    delete h;
}

int capture_find_all(std::vector<capture_iface>* out, std::string* err)
{
    if (capture_library_load(err) != 0)
        return -1;
    const wpcap_api& a = api();
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
    const char* dev = api().lookupdev(errbuf);
    if (!dev) {
        *err = errbuf;
        return -1;
    }
    *name = dev;
    return 0;
}
