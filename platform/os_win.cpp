// Windows side of the platform seam: Winsock 2, Win32 threads and events,
// console control events in place of signals.
#include "platform/platform.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int net_startup()
{
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 0), &data) == 0 ? 0 : -1;
}

net_socket net_udp_socket()
{
    SOCKET s = ::socket(AF_INET, SOCK_DGRAM, 0);
    return s == INVALID_SOCKET ? net_invalid_socket : static_cast<net_socket>(s);
}

void net_close(net_socket s)
{
    if (s != net_invalid_socket)
        ::closesocket(static_cast<SOCKET>(s));
}

int net_bind(net_socket s, std::uint32_t addr, std::uint16_t port)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = addr;
    return ::bind(static_cast<SOCKET>(s), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 ? 0
                                                                                            : -1;
}

int net_bind_any(net_socket s, std::uint16_t port) { return net_bind(s, htonl(INADDR_ANY), port); }

std::uint16_t net_local_port(net_socket s)
{
    // Room for either family: the port lies at the same place in both.
    sockaddr_storage ss{};
    int len = sizeof ss;
    if (::getsockname(static_cast<SOCKET>(s), reinterpret_cast<sockaddr*>(&ss), &len) != 0)
        return 0;
    return ntohs(reinterpret_cast<const sockaddr_in*>(&ss)->sin_port);
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
    // Bounded: anyone on the host may send to the port; what is left wakes
    // the next wait at once.
    char b;
    for (int i = 0; i < 64 && net_recv_from_nowait(w.s, &b, 1, nullptr) != net_recv_nothing; ++i) {
    }
    return 2;
}

long net_recv_from(net_socket s, void* buf, std::size_t cap, net_addr4* from)
{
    sockaddr_in sa{};
    int len = sizeof sa;
    int n = ::recvfrom(static_cast<SOCKET>(s), static_cast<char*>(buf), static_cast<int>(cap), 0,
                       reinterpret_cast<sockaddr*>(&sa), &len);
    if (n == SOCKET_ERROR)
        // Winsock fills the buffer and fails with WSAEMSGSIZE when the
        // datagram was larger: it is dropped whole, as on POSIX.
        return WSAGetLastError() == WSAEMSGSIZE ? -2 : -1;
    if (from) {
        from->addr = sa.sin_addr.s_addr;
        from->port = sa.sin_port;
    }
    return n;
}

// Winsock has no per-call non-blocking flag; switching the socket to
// non-blocking would change every other receive on it. A zero wait first
// gives the same answer at the cost of one more call.
long net_recv_from_nowait(net_socket s, void* buf, std::size_t cap, net_addr4* from)
{
    int r = net_wait_readable(s, 0);
    if (r == 0)
        return net_recv_nothing;
    if (r < 0)
        return -1;
    return net_recv_from(s, buf, cap, from);
}

long net_send_to(net_socket s, const void* buf, std::size_t len, const net_addr4& to)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = to.port;
    sa.sin_addr.s_addr = to.addr;
    int n = ::sendto(static_cast<SOCKET>(s), static_cast<const char*>(buf), static_cast<int>(len),
                     0, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    return n == SOCKET_ERROR ? -1 : n;
}

// Winsock has no batched send or receive that these could use: one call
// per datagram, whatever the mode.
int net_send_mode_offered(net_socket) { return net_send_single; }

long net_send_batch(net_socket s, const net_addr4& to, const net_datagram_out* d, int n, int,
                    int* lost)
{
    return net_send_each(s, to, d, n, lost);
}

int net_recv_batch_nowait(net_socket s, net_datagram_in* d, int n)
{
    return net_recv_one_nowait(s, d, n);
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

std::uint64_t clock_utc_filetime()
{
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    return (static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

std::uint64_t clock_monotonic_ms() { return GetTickCount64(); }

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

void process_exit(int status)
{
    if (process_exit_hook)
        process_exit_hook(status);
    std::fflush(nullptr);
    std::_Exit(status);
}
