// The one seam between the tap and the operating system.
//
// os_posix.cpp and os_win.cpp define these names, one of them per build;
// net_common.cpp and net_peer.cpp the socket calls that are alike under
// both socket libraries (through net_system.h, which only platform/
// includes). Nothing above this header includes a socket, thread or Win32
// header. Native error codes are turned into the small results written
// above each function; the code and its text stay available for
// trace lines through net_last_error() and os_error_text().
#pragma once

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>
#include <cstdio>
#include <cstring>

// Marks a printf-like function for the compiler's format checks: argument
// fmt_index is the format, the values start at first_arg. mingw builds
// print through their own printf (__USE_MINGW_ANSI_STDIO), which takes the
// GNU formats; the Microsoft formats the plain attribute checks for there
// would be wrong.
#if defined(__MINGW32__)
#define VANTRY_PRINTF(fmt_index, first_arg) __attribute__((format(gnu_printf, fmt_index, first_arg)))
#else
#define VANTRY_PRINTF(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))
#endif

// ---- sockets --------------------------------------------------------------

using net_socket = std::intptr_t;
inline constexpr net_socket net_invalid_socket = -1;

// IPv4 address and UDP port, both in network byte order: where the tap
// sends to.
struct net_addr4 {
    std::uint32_t addr = 0;
    std::uint16_t port = 0;
};

inline constexpr std::uint16_t net_order16(std::uint16_t v)
{
    return std::endian::native == std::endian::big ? v
                                                   : static_cast<std::uint16_t>((v >> 8) | (v << 8));
}

inline constexpr std::uint8_t net_family_ipv4 = 4;
inline constexpr std::uint8_t net_family_ipv6 = 6;

// An address, IPv4 or IPv6, and a UDP port, as a plain record that
// compares byte by byte: a datagram's sender. An IPv4-mapped IPv6 address
// (::ffff:a.b.c.d, the IPv4 senders of a dual-stack socket) is held as the
// IPv4 address, so that a sender is one and the same whichever socket
// heard it.
struct net_peer {
    std::uint8_t family = 0;     // net_family_ipv4 or _ipv6; 0: none
    std::uint8_t addr[16] = {};  // network order; IPv4 in the first 4 bytes, the rest 0
    std::uint16_t port = 0;      // network order
    std::uint32_t scope_id = 0;  // the zone of an IPv6 link-local address, else 0
};

inline bool net_peer_same(const net_peer& a, const net_peer& b)
{
    return a.family == b.family && a.port == b.port && a.scope_id == b.scope_id &&
           std::memcmp(a.addr, b.addr, sizeof a.addr) == 0;
}

// addr and port in network order.
net_peer net_peer_ipv4(std::uint32_t addr, std::uint16_t port);

// addr (16 bytes) and port in network order; mapped IPv4 becomes IPv4.
net_peer net_peer_ipv6(const std::uint8_t* addr, std::uint16_t port, std::uint32_t scope_id);

// The IPv4 address of p in network order; 0 when p is not IPv4.
inline std::uint32_t net_peer_addr4(const net_peer& p)
{
    std::uint32_t a = 0;
    if (p.family == net_family_ipv4)
        std::memcpy(&a, p.addr, sizeof a);
    return a;
}

// "10.0.0.5:50000", "[::1]:50000", "[fe80::1%2]:50000" into out (cap
// bytes; net_peer_text_max hold any).
inline constexpr std::size_t net_peer_text_max = 72;
void net_peer_text(const net_peer& p, char* out, std::size_t cap);

// p's address alone, as a capture filter takes it: "10.0.0.5", "::1" (no
// brackets, zone or port).
void net_peer_host_text(const net_peer& p, char* out, std::size_t cap);

// Starts the socket library. 0 on success, -1 when it cannot be started.
int net_startup();

// An unbound IPv4 UDP socket, or net_invalid_socket (see net_last_error()).
net_socket net_udp_socket();

// An unbound UDP socket of p's family, or net_invalid_socket.
net_socket net_udp_socket_for(const net_peer& p);

void net_close(net_socket s);

// Binds to 0.0.0.0:port (port in host order). 0 on success, -1 on failure.
int net_bind_any(net_socket s, std::uint16_t port);

// Binds to addr:port (addr network order, port host order). 0 / -1.
int net_bind(net_socket s, std::uint32_t addr, std::uint16_t port);

// Binds s to p. The IPv6 unspecified address (::) takes IPv4 as well
// (IPV6_V6ONLY off, on every system). 0 / -1 (see net_last_error()).
int net_bind_peer(net_socket s, const net_peer& p);

// The local port a bound socket got (host order), 0 on failure.
std::uint16_t net_local_port(net_socket s);

// Asks for a receive buffer of bytes. 0 with *granted the size the system
// grants, in the request's terms (so that granted < bytes means less than
// asked); -1 when the request is refused (see net_last_error()).
int net_set_receive_buffer(net_socket s, int bytes, int* granted);

// Waits until s is readable. 1 readable, 0 timed out, -1 the wait failed.
int net_wait_readable(net_socket s, long timeout_us);

// Wakes a thread that waits on a socket: a loopback UDP socket that a
// wake sends one byte to. Waking only makes the waiter look again.
struct net_waker {
    net_socket s = net_invalid_socket;
    net_addr4 self;  // where s is bound: 127.0.0.1 and a port of its own
};

// 0 ready; -1 the socket cannot be had (see net_last_error()).
int net_waker_open(net_waker* w);

// Safe from any thread, any number of times.
void net_waker_wake(const net_waker& w);

void net_waker_close(net_waker* w);

// Waits until s is readable or w is woken. 1 s readable; 2 woken (the wake
// bytes are drained; also when s is readable as well); 0 timed out; -1 the
// wait failed.
int net_wait_readable_or_woken(net_socket s, const net_waker& w, long timeout_us);

// ---- receiving --------------------------------------------------------------

// At most this many datagrams go to one batched call, sent or received.
inline constexpr int net_batch_max = 64;

// A receive's "no datagram is waiting".
inline constexpr int net_recv_nothing = -3;

// One datagram's place in a receive: the caller sets buf and cap, the
// receive fills len and from.
struct net_datagram_in {
    std::uint8_t* buf = nullptr;
    std::size_t cap = 0;
    long len = 0;  // the datagram's length; -2 when it was longer than cap (discarded whole)
    net_peer from;
};

// Receives up to n (at most net_batch_max) waiting datagrams into
// d[0..n), from the first, without ever blocking: one system call where
// the system has a batched receive (recvmmsg), else one per datagram.
//   r > 0             d[0..r) are filled; a datagram longer than its cap
//                     is there with len -2, never delivered cut short
//   net_recv_nothing  no datagram was waiting
//   -1                the receive failed (see net_last_error()); a failure
//                     after some datagrams waits for the next call, those
//                     received come first
int net_recv_batch(net_socket s, net_datagram_in* d, int n);

// Receives one datagram into buf, waiting for it. Its length; -2 when it
// was longer than cap (discarded whole); -1 when the receive failed. from
// may be null.
long net_recv_from(net_socket s, void* buf, std::size_t cap, net_peer* from);

// ---- sending ----------------------------------------------------------------

// What one IPv4 UDP datagram carries; also the most a segmented send
// carries in all.
inline constexpr std::uint32_t net_max_udp_payload = 65507;

// How a batch of datagrams is handed to the system, from the cheapest:
// segmented sends (runs of equal size as one message that the stack cuts
// into datagrams) inside one multi-message call; one multi-message call;
// one call per datagram. Every mode puts the same datagrams on the wire.
enum net_send_mode : int { net_send_single = 0, net_send_mmsg = 1, net_send_gso = 2 };

struct net_datagram_out {
    const std::uint8_t* data = nullptr;
    std::uint32_t len = 0;
};

// Sends one datagram. Returns the bytes sent, or -1 (see net_last_error()).
long net_send_to(net_socket s, const void* buf, std::size_t len, const net_addr4& to);

// Sends one datagram to p, as net_send_to does to an IPv4 address.
long net_send_to_peer(net_socket s, const void* buf, std::size_t len, const net_peer& p);

// The mode a sender starts with: the best the system offers for s, or in
// builds with VANTRY_TEST_HOOKS the one the environment variable
// VANTRY_SEND_MODE names (single, mmsg, gso), read once.
int net_send_mode_initial(net_socket s);

// How many datagrams from d[0] one segmented message carries: those of
// d[0]'s size that follow it, then at most one shorter, no more than
// net_batch_max, net_max_udp_payload bytes in all. 1 when d[0] goes alone.
int net_gso_run(const net_datagram_out* d, int n);

// Sends d[0..n) (n at most net_batch_max) to `to` (either family; s
// opened for it) in order, in as few
// calls as mode allows. r > 0: the first r datagrams were sent whole
// (the others were not tried). -1: the first message failed
// (net_last_error() says why) and *lost, its datagrams, were not sent.
// -2: the system refuses mode, nothing was sent; a lesser mode is left.
// Where the platform has one mode only, every mode is that one.
long net_send_batch(net_socket s, const net_peer& to, const net_datagram_out* d, int n, int mode,
                    int* lost);

// Lets further sockets of this process bind the address and port s is
// about to bind, the system giving each sender's datagrams to one of them
// (SO_REUSEPORT on Linux: by a hash of the addresses and ports). 0; -1
// where the system has no such spreading (Windows): one socket is then
// shared. In builds with VANTRY_TEST_HOOKS, VANTRY_SHARE_PORT=0 makes it
// -1 everywhere.
int net_share_port(net_socket s);

// Sealed datagrams must arrive whole or not at all: Don't Fragment on what
// s sends (IPv4; IPv6 too for a socket of that family). 0, or -1 when the
// system refuses.
int net_set_dont_fragment(net_socket s);

// Whether err (net_last_error) says a datagram was larger than the path
// or the interface takes.
bool net_error_too_big(int err);

// The path MTU the system knows towards `to` (bytes of an IP packet, as
// learnt from "fragmentation needed"), or 0 when it cannot tell.
std::uint32_t net_path_mtu(const net_peer& to);

// The IP and UDP headers a datagram to p carries on the way.
inline std::uint32_t net_udp_overhead(const net_peer& p)
{
    return p.family == net_family_ipv6 ? 40 + 8 : 20 + 8;
}

// ---- TCP, for the collector's metrics and PCAP over IP -------------------------

// A TCP socket of at's family, bound to at (address reuse on, so that a
// restarted collector finds its port), listening with room for backlog
// connections, never blocking. net_invalid_socket when a step fails (see
// net_last_error()).
net_socket net_tcp_listen(const net_peer& at, int backlog);

// A connection waiting on the listening socket s, accepted and made
// non-blocking: the caller's to close, its peer in *from when from is not
// null. net_invalid_socket when none waits or the accept failed.
net_socket net_tcp_accept(net_socket s, net_peer* from = nullptr);

// A TCP connection to `to`, made non-blocking once it is established: the
// caller's to close. The connect itself waits, as long as the system
// lets it. net_invalid_socket when it fails (see net_last_error()).
net_socket net_tcp_connect(const net_peer& to);

// Reads what waits on s, at most cap bytes, never blocking.
//   r > 0             bytes read into buf
//   0                 the peer closed the connection
//   net_recv_nothing  nothing waits
//   -1                the read failed (see net_last_error())
long net_tcp_read(net_socket s, void* buf, std::size_t cap);

// Writes as much of len bytes as s takes now, never blocking (and never
// raising SIGPIPE). The bytes taken, 0 when none fit now; -1 when the
// write failed (the peer gone).
long net_tcp_write(net_socket s, const void* buf, std::size_t len);

// The datagrams the system dropped for the UDP socket s because its
// receive buffer was full, since it was opened, into *drops. 0; -1 where
// the system does not tell (only Linux does, in /proc/net/udp and udp6).
int net_receive_drops(net_socket s, std::uint64_t* drops);

// ---- errors and names ---------------------------------------------------------

// Code of the last failed socket or runtime call on this thread
// (errno on POSIX, the Winsock error on Windows).
int net_last_error();

// Text for an error code from net_last_error() or errno. The text lives in
// a thread-local buffer until the next call on the same thread.
const char* os_error_text(int code);

// Resolves a host name or dotted IPv4 text to one IPv4 address (network
// order). 0 on success, -1 when it names no IPv4 host.
int net_resolve_ipv4(const char* text, std::uint32_t* addr);

// An IPv4 address or host name (as net_resolve_ipv4 reads it, first), or
// else an IPv6 address or host name, with port (host order). 0, or -1
// when text names neither.
int net_resolve_peer(const char* text, std::uint16_t port, net_peer* out);

// An IPv4 or IPv6 address written as one ("10.0.0.5", "2001:db8::1",
// "fe80::1%eth0"), with port (host order); never a name, never a lookup.
// 0 with *out filled, or -1 when text is not an address.
int net_address_literal(const char* text, std::uint16_t port, net_peer* out);

// ---- threads, the stop event, time ---------------------------------------

// A manual-reset event, created non-signalled.
struct stop_event;
stop_event* stop_event_create();            // null on failure
void stop_event_set(stop_event* e);
void stop_event_wait(stop_event* e);         // waits without a time limit
void stop_event_close(stop_event* e);

// A stop event shared between threads. Its owner creates it, publishes it
// in a slot and closes it once it has stopped waiting; other threads (the
// end of a run, a stop request) set it through the slot at any time, also
// after the owner has stopped waiting. None of them may use a closed
// handle, as Windows reuses handle values, so the slot hands the event
// over:
//   - a setter takes the event out (exchange with null), sets it and puts
//     it back (compare-exchange from null). Finding the slot empty it does
//     nothing: the event is gone, or another setter is setting it now.
//   - the owner takes it out for good (compare-exchange from its event to
//     null) and only then closes it. While a setter holds the event the
//     slot is empty, so the owner pauses and tries again until the setter
//     has put it back.
// A setter holds the event for one set call only. Should the owner still
// not get it back after stop_event_close_tries pauses of 1 ms, it leaves
// the event open: a leaked handle is harmless, a closed one in use is not.
inline constexpr int stop_event_close_tries = 2000;

// Sets the event in slot, if any, with set.
inline void stop_event_set_shared(std::atomic<stop_event*>& slot, void (*set)(stop_event*))
{
    stop_event* e = slot.exchange(nullptr);
    if (!e)
        return;
    set(e);
    stop_event* none = nullptr;
    slot.compare_exchange_strong(none, e);
}

// Takes e, which the caller published in slot, out of it and closes it with
// close, pausing between tries with pause(1). 0 when e was closed, -1 when
// the tries ran out (e is then left open, and the slot may hold it again).
inline int stop_event_close_shared(std::atomic<stop_event*>& slot, stop_event* e,
                                   void (*close)(stop_event*), void (*pause)(unsigned ms))
{
    for (int i = 0; i < stop_event_close_tries; ++i) {
        stop_event* expected = e;
        if (slot.compare_exchange_strong(expected, nullptr)) {
            close(e);
            return 0;
        }
        pause(1);
    }
    return -1;
}

// Starts a detached thread running fn(arg). 0 on success, -1 on failure.
int thread_start(unsigned (*fn)(void*), void* arg);

void sleep_ms(unsigned ms);

// UTC wall-clock time in microseconds since 1970-01-01 (Unix time): the
// timestamps of captured frames and the collector's file names.
std::uint64_t clock_unix_us();

// Milliseconds of a clock that never jumps (not wall-clock time), for
// measuring intervals.
std::uint64_t clock_monotonic_ms();
// The same clock in microseconds, for pacing (the rate cap).
std::uint64_t clock_monotonic_us();

// Routes SIGINT and SIGTERM (Ctrl+C and Ctrl+Break on a Windows console) to
// handler(signal number). The handler never runs in signal context: it runs
// on a thread of its own, so it may log and take locks. Installing again
// only replaces the handler.
void signals_install(void (*handler)(int));

// Windows console control events, numbered as Windows numbers them
// (os_win.cpp checks them against the system headers).
inline constexpr std::uint32_t console_ctrl_c_event = 0;
inline constexpr std::uint32_t console_ctrl_break_event = 1;
inline constexpr std::uint32_t console_close_event = 2;
inline constexpr std::uint32_t console_logoff_event = 5;
inline constexpr std::uint32_t console_shutdown_event = 6;

// The signal a console control event stands for: 2 (SIGINT) for Ctrl+C,
// 15 (SIGTERM) for Ctrl+Break and for closing the console, 0 for any other
// event. Windows sends the logoff and shutdown events to every process,
// services included, whoever logs off; they are left to the system, which
// ends a console with its session and stops services itself.
constexpr int console_event_signal(std::uint32_t event)
{
    switch (event) {
    case console_ctrl_c_event:
        return 2;
    case console_ctrl_break_event:
    case console_close_event:
        return 15;
    default:
        return 0;
    }
}

#if defined(_WIN32)
// Whether signals_install routes console control events (on Windows only;
// POSIX signals reach console runs only). On until turned off: a console
// program wants Ctrl+C. A service turns it off before it starts: it has no
// console, and the service manager alone stops it.
void console_events_enable(bool enabled);
#endif

// ---- key files ---------------------------------------------------------------

// The longest first line a key file may have: a 64-digit key, or a long
// passphrase.
inline constexpr std::size_t key_file_line_max = 1024;

enum key_file_result : int {
    key_file_ok = 0,
    key_file_unreadable = -1,     // cannot be opened or read; *error says why
    key_file_not_regular = -2,    // a folder, a device, a pipe
    key_file_open_to_all = -3,    // any user may read or write it (POSIX only)
    key_file_line_too_long = -4,  // the first line is longer than cap - 1
    key_file_not_text = -5,       // the first line holds a null byte
};

// Reads the first line of the file at path, without the CR and LF that end
// it, into out (cap bytes; null-terminated, its length in *len) and wipes
// whatever else of the file passed through out. On POSIX a file that
// others (not owner, not group) may read or write is refused before
// anything is read: the packages install keys with mode 640, root and the
// service's group. Windows leaves that to the file's ACL. A key_file_result;
// *error is the system's code (for os_error_text) after key_file_unreadable.
int key_file_read(const char* path, char* out, std::size_t cap, std::size_t* len, int* error);
// ---- files -------------------------------------------------------------------

// Creates path as a new file, open for writing in binary mode. A name that
// exists already (a file, a symbolic link even to nowhere, a folder,
// anything) is left as it is: never followed, never truncated. On POSIX
// the file gets mode 0640 less the umask (a capture holds traffic that
// only its owner and group may read); on Windows it takes its folder's
// permissions.
// A device or a pipe of that name (-w /dev/null, a FIFO a reader made) is
// not a file to keep: it is opened as it is, never through a link.
//   0   created, or a device or pipe opened: *out is the stream, the
//       caller's to close
//   1   the name exists (a file, a folder, a link); *out is null
//  -1   it cannot be created (errno tells why); *out is null
int file_create_new(const char* path, std::FILE** out);

// ---- process ---------------------------------------------------------------

// Standard output as a binary stream of its own, on a copy of its
// descriptor (stdout flushed first): the caller may fclose it without
// closing descriptor 1, which stdout_onto_stderr may then point elsewhere,
// and on Windows no newline byte is rewritten. Null when the descriptor
// cannot be copied or opened.
std::FILE* stdout_binary_copy();

// Points descriptor 1 at standard error (stdout flushed first), so that
// whatever is printed to stdout from now on goes there. 0, or -1 when it
// cannot.
int stdout_onto_stderr();

// Ends the process at once with the given status, without running static
// destructors (other threads may still be using process-wide records).
[[noreturn]] void process_exit(int status);

// Called by process_exit first, when set. The unit tests set it: code under
// test that ends the process would otherwise end the test binary with its
// own status, 0 included, and the tests that never ran would count as
// passed.
inline void (*process_exit_hook)(int status) = nullptr;

// ---- state files -----------------------------------------------------------

// Replaces the file at path with len bytes of data at once: they are
// written to path + ".tmp" (mode 0600; a symbolic link of that name is
// not followed), flushed to the disk, then renamed over path, so that a
// reader, or a process killed at any moment, sees the old file or the new
// one whole. 0; -1 with the system's error code in *err, the old file then
// left as it was.
int file_replace(const char* path, const void* data, std::size_t len, int* err);

// The file at path, whole, into *out when it holds at most max bytes. 0;
// -1 with the system's error code in *err (ENOENT when there is no file,
// EFBIG when it is larger).
int file_read_whole(const char* path, std::size_t max, std::string* out, int* err);

// ---- service manager -------------------------------------------------------

// Sends state ("READY=1", "WATCHDOG=1") as one datagram to the service
// manager's notification socket, the Unix datagram socket named by
// NOTIFY_SOCKET (abstract when the name begins with "@"); READY=1 also
// starts the watchdog's clock.
//   0   sent
//   1   no socket named (not started by systemd, or Windows): nothing to do
//  -1   the socket could not be reached
int notify_service_manager(const char* state);

// Sends WATCHDOG=1 once half of WATCHDOG_USEC has passed since the last
// ping or READY=1; now_ms is clock_monotonic_ms(). Nothing when the
// watchdog is not set for this process (WATCHDOG_USEC unset, or
// WATCHDOG_PID names another process). Any thread may call it: a loop
// calls it where it already reads the clock.
void notify_watchdog_when_due(std::uint64_t now_ms);

// The interval between watchdog pings for the text of WATCHDOG_USEC: half
// of it, in ms (at least 1); 0 when text is null or not a positive number.
std::uint64_t watchdog_interval_ms(const char* text);

// Whether standard output (descriptor 1) is the journal's stream: the
// text of JOURNAL_STREAM, "DEVICE:INODE", names its device and inode.
// Looked at on the first call and again after stdout_onto_stderr; always
// false on Windows.
bool stdout_is_journal();

// Whether text ("DEVICE:INODE", decimal) names device dev and inode inode;
// false for null or any other text.
bool journal_stream_names(const char* text, std::uint64_t dev, std::uint64_t inode);

// Forgets what stdout_is_journal found, so that the next call looks again
// (for tests that set JOURNAL_STREAM).
void stdout_journal_forget();
