// POSIX side of the platform seam: BSD sockets, pthreads, a self-pipe for
// signals.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/net_system.h"

int net_startup() { return 0; }

void net_close(net_socket s)
{
    if (s != net_invalid_socket)
        ::close(static_cast<int>(s));
}

int net_wait_readable(net_socket s, long timeout_us)
{
    // poll, not select: select cannot take descriptors above FD_SETSIZE.
    pollfd p{static_cast<int>(s), POLLIN, 0};
    int r = ::poll(&p, 1, static_cast<int>((timeout_us + 999) / 1000));
    return r > 0 ? 1 : r == 0 ? 0 : -1;
}

int net_wait_readable_or_woken(net_socket s, const net_waker& w, long timeout_us)
{
    pollfd p[2] = {{static_cast<int>(s), POLLIN, 0}, {static_cast<int>(w.s), POLLIN, 0}};
    int r = ::poll(p, 2, static_cast<int>((timeout_us + 999) / 1000));
    if (r <= 0)
        return r == 0 ? 0 : -1;
    if (p[1].revents == 0)
        return 1;
    net_waker_drain(w);
    return 2;
}

namespace {

// One datagram into buf: its length, -2 when it was longer than cap, -1
// when the receive failed, net_recv_nothing when flags hold MSG_DONTWAIT
// and none waits.
long receive(net_socket s, void* buf, std::size_t cap, net_peer* from, int flags)
{
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    // MSG_TRUNC makes the kernel report the datagram's full length, so a
    // datagram larger than the buffer is recognised instead of arriving cut.
    ssize_t n = ::recvfrom(static_cast<int>(s), buf, cap, MSG_TRUNC | flags,
                           reinterpret_cast<sockaddr*>(&ss), &len);
    if (n < 0)
        return (flags & MSG_DONTWAIT) && (errno == EAGAIN || errno == EWOULDBLOCK)
                   ? net_recv_nothing
                   : -1;
    if (from)
        net_peer_from_sockaddr(ss, from);
    return static_cast<std::size_t>(n) > cap ? -2 : static_cast<long>(n);
}

}  // namespace

long net_recv_from(net_socket s, void* buf, std::size_t cap, net_peer* from)
{
    return receive(s, buf, cap, from, 0);
}

long net_recv_one(net_socket s, net_datagram_in* d)
{
    const long r = receive(s, d->buf, d->cap, &d->from, MSG_DONTWAIT);
    if (r == -2 || r >= 0)
        d->len = r;
    return r;
}

// ---- many datagrams per call ----------------------------------------------
//
// Linux only (VANTRY_NET_MMSG); net_common.cpp has the one-call-per-datagram
// versions for the rest.

#if VANTRY_NET_MMSG

int net_send_mode_offered(net_socket s)
{
    // A kernel that does not know the option would ignore the control
    // message too, and send a whole run as one datagram: asked first.
    int size = 0;
    socklen_t len = sizeof size;
    return ::getsockopt(static_cast<int>(s), IPPROTO_UDP, UDP_SEGMENT, &size, &len) == 0
               ? net_send_gso
               : net_send_mmsg;
}

namespace {

// Errors with which the kernel turns down the mode itself rather than one
// datagram: segmentation where the route cannot take it (a segment beyond
// the route's MTU, EMSGSIZE or on older kernels EINVAL; no checksum
// offload, EIO), sendmmsg where it is missing. A segmented message is
// never beyond what UDP carries (net_gso_run), so its EMSGSIZE is the
// route's.
bool mode_refused(int err, bool segmented)
{
    if (err == ENOSYS)
        return true;
    return segmented && (err == EINVAL || err == EMSGSIZE || err == EIO || err == ENOPROTOOPT ||
                         err == EOPNOTSUPP);
}

}  // namespace

long net_send_batch(net_socket s, const net_peer& to, const net_datagram_out* d, int n, int mode,
                    int* lost)
{
    if (mode == net_send_single || n <= 0)
        return net_send_each(s, to, d, n, lost);
    if (n > net_batch_max)
        n = net_batch_max;
    sys_socklen sa_len = 0;
    sockaddr_storage sa = net_sockaddr_of(to, &sa_len);

    mmsghdr msgs[net_batch_max];
    iovec iov[net_batch_max];
    int carried[net_batch_max];  // datagrams of each message
    alignas(cmsghdr) char control[net_batch_max][CMSG_SPACE(sizeof(std::uint16_t))];
    int m = 0;
    for (int i = 0; i < n; ++m) {
        const int k = mode == net_send_gso ? net_gso_run(d + i, n - i) : 1;
        msgs[m] = mmsghdr{};
        msghdr& h = msgs[m].msg_hdr;
        h.msg_name = &sa;
        h.msg_namelen = sa_len;
        h.msg_iov = &iov[i];
        h.msg_iovlen = static_cast<std::size_t>(k);
        for (int j = i; j < i + k; ++j)
            iov[j] = {const_cast<std::uint8_t*>(d[j].data), d[j].len};
        if (k > 1) {
            h.msg_control = control[m];
            h.msg_controllen = sizeof control[m];
            cmsghdr* c = CMSG_FIRSTHDR(&h);
            c->cmsg_level = IPPROTO_UDP;
            c->cmsg_type = UDP_SEGMENT;
            c->cmsg_len = CMSG_LEN(sizeof(std::uint16_t));
            const auto size = static_cast<std::uint16_t>(d[i].len);
            std::memcpy(CMSG_DATA(c), &size, sizeof size);
        }
        carried[m] = k;
        i += k;
    }
    const int r = ::sendmmsg(static_cast<int>(s), msgs, static_cast<unsigned>(m), 0);
    if (r <= 0) {
        *lost = carried[0];
        return mode_refused(errno, carried[0] > 1) ? -2 : -1;
    }
    long sent = 0;
    for (int i = 0; i < r; ++i)
        sent += carried[i];
    return sent;
}

int net_recv_batch(net_socket s, net_datagram_in* d, int n)
{
    if (n > net_batch_max)
        n = net_batch_max;
    mmsghdr msgs[net_batch_max];
    iovec iov[net_batch_max];
    sockaddr_storage from[net_batch_max];
    for (int i = 0; i < n; ++i) {
        iov[i] = {d[i].buf, d[i].cap};
        msgs[i] = mmsghdr{};
        msgs[i].msg_hdr.msg_name = &from[i];
        msgs[i].msg_hdr.msg_namelen = sizeof from[i];
        msgs[i].msg_hdr.msg_iov = &iov[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
    }
    // MSG_TRUNC: each length is the datagram's own, as in receive() above.
    const int r = ::recvmmsg(static_cast<int>(s), msgs, static_cast<unsigned>(n),
                             MSG_DONTWAIT | MSG_TRUNC, nullptr);
    if (r < 0)
        return errno == EAGAIN || errno == EWOULDBLOCK ? net_recv_nothing : -1;
    for (int i = 0; i < r; ++i) {
        // A datagram larger than its buffer arrives cut: it is discarded
        // whole, never delivered cut short.
        const bool cut = (msgs[i].msg_hdr.msg_flags & MSG_TRUNC) || msgs[i].msg_len > d[i].cap;
        d[i].len = cut ? -2 : static_cast<long>(msgs[i].msg_len);
        net_peer_from_sockaddr(from[i], &d[i].from);
    }
    return r;
}

#endif

int net_last_error() { return errno; }

const char* os_error_text(int code)
{
    thread_local char text[256];
    std::snprintf(text, sizeof text, "%s", std::strerror(code));
    return text;
}

// ---- threads, the stop event, time ----------------------------------------

struct stop_event {
    std::mutex lock;
    std::condition_variable cv;
    bool set = false;
};

stop_event* stop_event_create() { return new (std::nothrow) stop_event; }

void stop_event_set(stop_event* e)
{
    std::lock_guard<std::mutex> g(e->lock);
    e->set = true;
    e->cv.notify_all();
}

void stop_event_wait(stop_event* e)
{
    std::unique_lock<std::mutex> g(e->lock);
    e->cv.wait(g, [e] { return e->set; });
}

void stop_event_close(stop_event* e) { delete e; }

int thread_start(unsigned (*fn)(void*), void* arg)
{
    pthread_t t;
    struct start {
        unsigned (*fn)(void*);
        void* arg;
    };
    auto* s = new (std::nothrow) start{fn, arg};
    if (!s)
        return -1;
    auto body = [](void* p) -> void* {
        auto* st = static_cast<start*>(p);
        auto f = st->fn;
        auto a = st->arg;
        delete st;
        f(a);
        return nullptr;
    };
    if (pthread_create(&t, nullptr, body, s) != 0) {
        delete s;
        return -1;
    }
    pthread_detach(t);
    return 0;
}

void sleep_ms(unsigned ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

std::uint64_t clock_unix_us()
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000 + static_cast<std::uint64_t>(ts.tv_nsec) / 1000;
}

std::uint64_t clock_monotonic_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000 + static_cast<std::uint64_t>(ts.tv_nsec) / 1000000;
}

std::uint64_t clock_monotonic_us()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000 + static_cast<std::uint64_t>(ts.tv_nsec) / 1000;
}

// ---- signals --------------------------------------------------------------
//
// The handler only writes the signal number into a pipe; a watcher thread
// reads it and calls the installed routine in normal context.

namespace {

std::atomic<void (*)(int)> signal_routine{nullptr};
int signal_pipe[2] = {-1, -1};

void on_signal(int sig)
{
    int saved = errno;
    unsigned char b = static_cast<unsigned char>(sig);
    [[maybe_unused]] ssize_t r = ::write(signal_pipe[1], &b, 1);
    errno = saved;
}

void* signal_watcher(void*)
{
    for (;;) {
        unsigned char b;
        ssize_t r = ::read(signal_pipe[0], &b, 1);
        if (r == 1) {
            if (auto f = signal_routine.load())
                f(b);
        } else if (r < 0 && errno != EINTR) {
            return nullptr;
        }
    }
}

}  // namespace

void signals_install(void (*handler)(int))
{
    signal_routine.store(handler);
    static std::once_flag once;
    std::call_once(once, [] {
        if (::pipe(signal_pipe) != 0)
            return;
        ::fcntl(signal_pipe[0], F_SETFD, FD_CLOEXEC);
        ::fcntl(signal_pipe[1], F_SETFD, FD_CLOEXEC);
        pthread_t t;
        if (pthread_create(&t, nullptr, signal_watcher, nullptr) != 0)
            return;
        pthread_detach(t);
        struct sigaction sa {};
        sa.sa_handler = on_signal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        ::sigaction(SIGINT, &sa, nullptr);
        ::sigaction(SIGTERM, &sa, nullptr);
    });
}

std::FILE* stdout_binary_copy()
{
    std::fflush(stdout);
    const int fd = ::dup(fileno(stdout));
    if (fd < 0)
        return nullptr;
    std::FILE* f = ::fdopen(fd, "wb");
    if (!f)
        ::close(fd);
    return f;
}

int stdout_onto_stderr()
{
    std::fflush(stdout);
    stdout_journal_forget();
    return ::dup2(fileno(stderr), fileno(stdout)) < 0 ? -1 : 0;
}

int key_file_read_bytes(const char* path, char* out, std::size_t cap, std::size_t* got, int* error)
{
    // Without waiting: a pipe given as the key file must not hang the start.
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        *error = errno;
        return key_file_unreadable;
    }
    // The checks are made on what was opened, not on the name, which could
    // be pointed elsewhere in between.
    struct stat st {};
    int r = key_file_ok;
    if (::fstat(fd, &st) != 0) {
        *error = errno;
        r = key_file_unreadable;
    } else if (!S_ISREG(st.st_mode)) {
        r = key_file_not_regular;
    } else if (st.st_mode & (S_IROTH | S_IWOTH)) {
        r = key_file_open_to_all;
    }
    *got = 0;
    while (r == key_file_ok && *got < cap) {
        const ssize_t n = ::read(fd, out + *got, cap - *got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *error = errno;
            r = key_file_unreadable;
        }
        if (n <= 0)
            break;
        *got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    return r;
}

int file_create_new(const char* path, std::FILE** out)
{
    *out = nullptr;
    // O_EXCL alone already refuses a symbolic link; O_NOFOLLOW says so to
    // the reader, and holds where a system would follow one.
    int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0640);
    struct stat st {};
    if (fd < 0 && errno == EEXIST && ::lstat(path, &st) == 0 && (S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode)))
        fd = ::open(path, O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
    else if (fd < 0)
        return errno == EEXIST ? 1 : -1;
    if (fd < 0)
        return -1;
    *out = ::fdopen(fd, "wb");
    if (*out)
        return 0;
    // The empty file is ours: left behind, it would push the next try onto
    // another name.
    const int e = errno;
    ::close(fd);
    ::unlink(path);
    errno = e;
    return -1;
}

int net_share_port(net_socket s)
{
#if defined(VANTRY_TEST_HOOKS)
    // Lets the tests run the shared socket of systems without spreading.
    if (const char* v = std::getenv("VANTRY_SHARE_PORT"); v && std::strcmp(v, "0") == 0)
        return -1;
#endif
#if defined(SO_REUSEPORT) && defined(__linux__)
    const int on = 1;
    return ::setsockopt(static_cast<int>(s), SOL_SOCKET, SO_REUSEPORT, &on, sizeof on) == 0 ? 0 : -1;
#else
    (void)s;
    return -1;
#endif
}

int net_set_dont_fragment(net_socket s)
{
    const int fd = static_cast<int>(s);
    const int v4 = IP_PMTUDISC_DO, v6 = IPV6_PMTUDISC_DO;
    if (::setsockopt(fd, IPPROTO_IP, IP_MTU_DISCOVER, &v4, sizeof v4) == 0)
        return 0;
    return ::setsockopt(fd, IPPROTO_IPV6, IPV6_MTU_DISCOVER, &v6, sizeof v6) == 0 ? 0 : -1;
}

std::uint32_t net_path_mtu(const net_peer& to)
{
    // Only a connected socket tells the route's MTU: one made for asking.
    const bool v6 = to.family == net_family_ipv6;
    const int fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return 0;
    sys_socklen len = 0;
    const sockaddr_storage sa = net_sockaddr_of(to, &len);
    int mtu = 0;
    socklen_t size = sizeof mtu;
    const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&sa), len) == 0 &&
                    ::getsockopt(fd, v6 ? IPPROTO_IPV6 : IPPROTO_IP, v6 ? IPV6_MTU : IP_MTU, &mtu, &size) == 0 &&
                    mtu > 0;
    ::close(fd);
    return ok ? static_cast<std::uint32_t>(mtu) : 0;
}

bool net_error_too_big(int err) { return err == EMSGSIZE; }

int net_receive_drops(net_socket s, std::uint64_t* drops)
{
#if defined(__linux__)
    // The socket's line is found by its inode; drops is the last column.
    // Read only when metrics are asked for, never per datagram.
    struct stat st {};
    if (::fstat(static_cast<int>(s), &st) != 0)
        return -1;
    for (const char* table : {"/proc/net/udp", "/proc/net/udp6"}) {
        std::FILE* f = std::fopen(table, "re");
        if (!f)
            continue;
        char line[512];
        bool found = false;
        while (!found && std::fgets(line, sizeof line, f)) {
            unsigned long inode = 0;
            unsigned long long dropped = 0;
            found = std::sscanf(line, " %*s %*s %*s %*s %*s %*s %*s %*s %*s %lu %*s %*s %llu",
                                &inode, &dropped) == 2 &&
                    inode == st.st_ino;
            if (found)
                *drops = dropped;
        }
        std::fclose(f);
        if (found)
            return 0;
    }
#else
    (void)s;
    (void)drops;
#endif
    return -1;
}
