// Windows side of the platform seam: Winsock 2, Win32 threads and events,
// console control events in place of signals.
#include "platform/net_system.h"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

int net_startup()
{
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 0), &data) == 0 ? 0 : -1;
}

void net_close(net_socket s)
{
    if (s != net_invalid_socket)
        ::closesocket(static_cast<SOCKET>(s));
}

int net_wait_readable(net_socket s, long timeout_us)
{
    fd_set set;
    FD_ZERO(&set);
    FD_SET(static_cast<SOCKET>(s), &set);
    timeval tv{timeout_us / 1000000, timeout_us % 1000000};
    int r = ::select(0, &set, nullptr, nullptr, &tv);
    return r > 0 ? 1 : r == 0 ? 0 : -1;
}

int net_wait_readable_or_woken(net_socket s, const net_waker& w, long timeout_us)
{
    fd_set set;
    FD_ZERO(&set);
    FD_SET(static_cast<SOCKET>(s), &set);
    FD_SET(static_cast<SOCKET>(w.s), &set);
    timeval tv{timeout_us / 1000000, timeout_us % 1000000};
    int r = ::select(0, &set, nullptr, nullptr, &tv);
    if (r <= 0)
        return r == 0 ? 0 : -1;
    if (!FD_ISSET(static_cast<SOCKET>(w.s), &set))
        return 1;
    net_waker_drain(w);
    return 2;
}

long net_recv_from(net_socket s, void* buf, std::size_t cap, net_peer* from)
{
    sockaddr_storage ss{};
    int len = sizeof ss;
    int n = ::recvfrom(static_cast<SOCKET>(s), static_cast<char*>(buf), static_cast<int>(cap), 0,
                       reinterpret_cast<sockaddr*>(&ss), &len);
    if (n == SOCKET_ERROR)
        // Winsock fills the buffer and fails with WSAEMSGSIZE when the
        // datagram was larger: it is dropped whole, as on POSIX.
        return WSAGetLastError() == WSAEMSGSIZE ? -2 : -1;
    if (from)
        net_peer_from_sockaddr(ss, from);
    return n;
}

// Winsock has no per-call non-blocking flag; switching the socket to
// non-blocking would change every other receive on it. A zero wait first
// gives the same answer at the cost of one more call.
long net_recv_one(net_socket s, net_datagram_in* d)
{
    const int ready = net_wait_readable(s, 0);
    if (ready <= 0)
        return ready == 0 ? net_recv_nothing : -1;
    // A datagram too long for its buffer leaves no sender behind.
    d->from = {};
    const long r = net_recv_from(s, d->buf, d->cap, &d->from);
    if (r == -2 || r >= 0)
        d->len = r;
    return r;
}

int net_last_error() { return WSAGetLastError(); }

const char* os_error_text(int code)
{
    thread_local char text[256];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             static_cast<DWORD>(code), 0, text, sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r'))
        text[--n] = '\0';
    if (n == 0)
        std::snprintf(text, sizeof text, "%s", std::strerror(code));
    return text;
}

// ---- threads, the stop event, time ----------------------------------------

stop_event* stop_event_create()
{
    return reinterpret_cast<stop_event*>(CreateEventA(nullptr, TRUE, FALSE, nullptr));
}

void stop_event_set(stop_event* e) { SetEvent(reinterpret_cast<HANDLE>(e)); }

void stop_event_wait(stop_event* e) { WaitForSingleObject(reinterpret_cast<HANDLE>(e), INFINITE); }

void stop_event_close(stop_event* e) { CloseHandle(reinterpret_cast<HANDLE>(e)); }

int thread_start(unsigned (*fn)(void*), void* arg)
{
    HANDLE t = CreateThread(nullptr, 0, reinterpret_cast<LPTHREAD_START_ROUTINE>(fn), arg, 0,
                            nullptr);
    if (!t)
        return -1;
    CloseHandle(t);
    return 0;
}

void sleep_ms(unsigned ms) { Sleep(ms); }

std::uint64_t clock_unix_us()
{
    // The system clock counts 100 ns from 1601-01-01; from there to
    // 1970-01-01 is 11,644,473,600 s.
    constexpr std::uint64_t unix_epoch_us = 11644473600ull * 1000000;
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    const std::uint64_t ticks = (static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    return ticks / 10 - unix_epoch_us;
}

std::uint64_t clock_monotonic_ms() { return GetTickCount64(); }

std::uint64_t clock_monotonic_us()
{
    // The counter's frequency is fixed at boot; whole seconds and the rest
    // are scaled apart so that the product cannot overflow.
    static const std::uint64_t per_second = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<std::uint64_t>(f.QuadPart);
    }();
    LARGE_INTEGER c;
    QueryPerformanceCounter(&c);
    const std::uint64_t ticks = static_cast<std::uint64_t>(c.QuadPart);
    return ticks / per_second * 1000000 + ticks % per_second * 1000000 / per_second;
}

// ---- console control events ------------------------------------------------
//
// Windows runs a console control handler on a thread of its own, which is
// already the normal context that the routine needs.

static_assert(console_ctrl_c_event == CTRL_C_EVENT);
static_assert(console_ctrl_break_event == CTRL_BREAK_EVENT);
static_assert(console_close_event == CTRL_CLOSE_EVENT);
static_assert(console_logoff_event == CTRL_LOGOFF_EVENT);
static_assert(console_shutdown_event == CTRL_SHUTDOWN_EVENT);

namespace {

std::atomic<void (*)(int)> signal_routine{nullptr};
std::atomic<bool> console_events_on{true};

// FALSE passes the event on to the next handler, in the end the system's.
BOOL WINAPI on_console_event(DWORD type)
{
    auto f = signal_routine.load();
    int sig = console_event_signal(type);
    if (!f || !sig || !console_events_on.load())
        return FALSE;
    f(sig);
    return TRUE;
}

}  // namespace

void console_events_enable(bool enabled) { console_events_on.store(enabled); }

void signals_install(void (*handler)(int))
{
    signal_routine.store(handler);
    // Not even installed in a service: nothing of a console reaches it.
    if (!console_events_on.load())
        return;
    static std::atomic<bool> installed{false};
    if (!installed.exchange(true))
        SetConsoleCtrlHandler(on_console_event, TRUE);
}

// The copy is put in binary mode: in the C runtime's default text mode
// every newline byte of a capture would go out as CR LF.
std::FILE* stdout_binary_copy()
{
    std::fflush(stdout);
    const int fd = _dup(_fileno(stdout));
    if (fd < 0)
        return nullptr;
    _setmode(fd, _O_BINARY);
    std::FILE* f = _fdopen(fd, "wb");
    if (!f)
        _close(fd);
    return f;
}

int stdout_onto_stderr()
{
    std::fflush(stdout);
    return _dup2(_fileno(stderr), _fileno(stdout)) == 0 ? 0 : -1;
}

int key_file_read_bytes(const char* path, char* out, std::size_t cap, std::size_t* got, int* error)
{
    *got = 0;
    HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        *error = static_cast<int>(GetLastError());
        // A folder does not open as a file: say what it is rather than
        // "access denied".
        const DWORD attributes = GetFileAttributesA(path);
        return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)
                   ? key_file_not_regular
                   : key_file_unreadable;
    }
    // Who may read the file is its ACL's business: nothing here to check.
    int r = GetFileType(h) == FILE_TYPE_DISK ? key_file_ok : key_file_not_regular;
    while (r == key_file_ok && *got < cap) {
        const std::size_t left = cap - *got;
        DWORD n = 0;
        if (!ReadFile(h, out + *got, left > 65536 ? 65536 : static_cast<DWORD>(left), &n, nullptr)) {
            *error = static_cast<int>(GetLastError());
            r = key_file_unreadable;
        }
        if (n == 0)
            break;
        *got += n;
    }
    CloseHandle(h);
    return r;
}

// _O_EXCL is CreateFile's CREATE_NEW: any name that exists, a link
// included, is refused rather than opened.
int file_create_new(const char* path, std::FILE** out)
{
    *out = nullptr;
    const int fd = _open(path, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
                         _S_IREAD | _S_IWRITE);
    if (fd < 0)
        return errno == EEXIST ? 1 : -1;
    *out = _fdopen(fd, "wb");
    if (*out)
        return 0;
    const int e = errno;
    _close(fd);
    _unlink(path);
    errno = e;
    return -1;
}

int net_share_port(net_socket)
{
    // Windows spreads nothing over sockets that share a port.
    return -1;
}

int net_set_dont_fragment(net_socket s)
{
    const DWORD on = 1;
    return setsockopt(s, IPPROTO_IP, IP_DONTFRAGMENT, reinterpret_cast<const char*>(&on), sizeof on) == 0
               ? 0
               : -1;
}

std::uint32_t net_path_mtu(const net_peer& to)
{
    // Only a connected socket tells the route's MTU (Windows 10 and later):
    // one made for asking.
    const bool v6 = to.family == net_family_ipv6;
    const SOCKET fd = socket(v6 ? AF_INET6 : AF_INET, SOCK_DGRAM, 0);
    if (fd == INVALID_SOCKET)
        return 0;
    sys_socklen len = 0;
    const sockaddr_storage sa = net_sockaddr_of(to, &len);
    DWORD mtu = 0;
    int size = sizeof mtu;
    const bool ok = connect(fd, reinterpret_cast<const sockaddr*>(&sa), len) == 0 &&
                    getsockopt(fd, v6 ? IPPROTO_IPV6 : IPPROTO_IP, v6 ? IPV6_MTU : IP_MTU,
                               reinterpret_cast<char*>(&mtu), &size) == 0 &&
                    mtu > 0;
    closesocket(fd);
    return ok ? static_cast<std::uint32_t>(mtu) : 0;
}

bool net_error_too_big(int err) { return err == WSAEMSGSIZE; }

// Windows' own service manager is told through the service host's status
// reports; the journal does not exist there.
int notify_service_manager(const char*) { return 1; }

void notify_watchdog_when_due(std::uint64_t) {}

bool stdout_is_journal() { return false; }

void stdout_journal_forget() {}

int net_receive_drops(net_socket, std::uint64_t*) { return -1; }
