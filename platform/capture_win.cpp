// Capture on Windows: wpcap.dll, loaded at run time.
//
// A machine without the capture driver must still start the program and
// get a clear message, so nothing links against wpcap.dll: every function
// is looked up once, by name, and a missing library or function is
// reported by capture_library_load.
//
// Waiting uses the read event of the handle when the library provides one;
// without it, the wait polls the handle in short slices and keeps the first
// packet it finds for capture_next.
#include <winsock2.h>
#include <windows.h>

#include "platform/capture_pcap.h"

#include <cstdio>

struct capture_waiter {
    HANDLE read_event = nullptr;  // owned by the library; null: polled
    HANDLE wake_event = nullptr;  // set by capture_breakloop
};

namespace {

struct wpcap_state {
    pcap_api api{};
    // Calls only the Windows library has.
    decltype(&::pcap_setmintocopy) setmintocopy = nullptr;
    decltype(&::pcap_getevent) getevent = nullptr;
    bool loaded = false;
    bool has_read_event = false;
    std::string error;
};

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
// called; there the wait polls the handle.
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
    // Every lookup runs, so that the message names all missing functions.
    bool ok = true;
#define WPCAP_RESOLVE(name) ok &= resolve(m, "pcap_" #name, &s.api.name, &missing);
    CAPTURE_PCAP_CALLS(WPCAP_RESOLVE)
#undef WPCAP_RESOLVE
    ok &= resolve(m, "pcap_setmintocopy", &s.setmintocopy, &missing);
    ok &= resolve(m, "pcap_getevent", &s.getevent, &missing);
    ok &= resolve(m, "pcap_lookupdev", &s.api.lookupdev, &missing);
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

// Slice of a polled wait: short enough not to add noticeable delay, long
// enough to cost next to nothing on an idle link.
constexpr DWORD poll_slice_ms = 5;

int poll_wait(capture_device* h, long timeout_us)
{
    if (h->held)
        return 1;
    ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>((timeout_us + 999) / 1000);
    for (;;) {
        int r = capture_read(h, &h->held_packet);
        if (r == 1) {
            h->held = true;
            return 1;
        }
        if (r < 0)
            return -1;
        if (GetTickCount64() >= deadline)
            return 0;
        if (WaitForSingleObject(h->waiter->wake_event, poll_slice_ms) == WAIT_OBJECT_0)
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

const pcap_api& capture_api() { return state().api; }

int capture_waiter_open(capture_device* h, std::string* err)
{
    HANDLE wake = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!wake) {
        *err = "cannot create an event";
        return -1;
    }
    h->waiter = new capture_waiter{nullptr, wake};
    if (state().has_read_event) {
        h->waiter->read_event = state().getevent(h->pcap);
        // The read event fires only once this many bytes wait in the
        // driver; the default would hold back a few small frames until the
        // idle wait, and then still not signal them.
        if (h->waiter->read_event)
            state().setmintocopy(h->pcap, 1);
    }
    return 0;
}

void capture_waiter_close(capture_waiter* w)
{
    if (!w)
        return;
    CloseHandle(w->wake_event);
    delete w;
}

int capture_wait(capture_device* h, long timeout_us)
{
    if (h->broken.load(std::memory_order_acquire))
        return 1;
    if (!h->waiter->read_event)
        return poll_wait(h, timeout_us);
    HANDLE events[2] = {h->waiter->read_event, h->waiter->wake_event};
    DWORD r = WaitForMultipleObjects(2, events, FALSE, static_cast<DWORD>((timeout_us + 999) / 1000));
    if (r == WAIT_OBJECT_0 || r == WAIT_OBJECT_0 + 1)
        return 1;
    return r == WAIT_TIMEOUT ? 0 : -1;
}

void capture_breakloop(capture_device* h)
{
    h->broken.store(true, std::memory_order_release);
    capture_api().breakloop(h->pcap);
    SetEvent(h->waiter->wake_event);
}
