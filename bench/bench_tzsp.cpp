// Load test of the TZSP path: TZSP datagrams as fast as loopback takes
// them, for a bounded time, through a forwarder into a sink that counts
// frames. Forwarders compared in one run:
//   tap        vantry_remote /c -t PORT -c SINK -k KEY (encryption on)
//   tap-old    the same with the build BENCH_OLD names, when set
//   bare       one recvfrom, one sendto per datagram
//   bare-mmsg  recvmmsg / sendmmsg, up to 64 datagrams per call
// For each, frames per second at the sink, the loss, and the forwarder's
// CPU use (user + system time over the run, from /proc). On a machine
// with two cores or more the forwarder runs alone on core 1, the load and
// the sink on core 0.
//
// Usage: bench_tzsp [seconds per case, default 3] [frame sizes...]
// vantry_remote is taken from the folder of this program.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "wire/speck.h"

namespace {

using clock_type = std::chrono::steady_clock;
constexpr const char* bench_key = "bench key for the tzsp path";

int udp_socket_on(std::uint16_t port)
{
    int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        std::perror("bind");
        std::exit(1);
    }
    return s;
}

std::uint16_t port_of(int s)
{
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

std::uint16_t free_port()
{
    int s = udp_socket_on(0);
    std::uint16_t p = port_of(s);
    ::close(s);
    return p;
}

void connect_to(int s, std::uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
}

// CPU seconds (user + system) of a process so far.
double cpu_seconds(pid_t pid)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    std::FILE* f = std::fopen(path, "r");
    if (!f)
        return 0;
    char buf[1024];
    std::size_t n = std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    buf[n] = '\0';
    // Fields after the command name, which is in parentheses.
    const char* p = std::strrchr(buf, ')');
    if (!p)
        return 0;
    unsigned long utime = 0, stime = 0;
    std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime);
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

void pin_self(int cpu)
{
    if (std::thread::hardware_concurrency() < 2)
        return;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    sched_setaffinity(0, sizeof set, &set);
}

// ---- forwarders ---------------------------------------------------------

[[noreturn]] void bare_forwarder(int in, std::uint16_t to_port, bool mmsg)
{
    int out = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    connect_to(out, to_port);
    constexpr int batch = 64;
    static std::uint8_t bufs[batch][9000];
    if (!mmsg) {
        for (;;) {
            ssize_t n = ::recv(in, bufs[0], sizeof bufs[0], 0);
            if (n > 5)
                ::send(out, bufs[0] + 5, static_cast<std::size_t>(n - 5), 0);
        }
    }
    mmsghdr in_msgs[batch]{};
    mmsghdr out_msgs[batch]{};
    iovec in_iov[batch], out_iov[batch];
    for (int i = 0; i < batch; ++i) {
        in_iov[i] = {bufs[i], sizeof bufs[i]};
        in_msgs[i].msg_hdr.msg_iov = &in_iov[i];
        in_msgs[i].msg_hdr.msg_iovlen = 1;
        out_msgs[i].msg_hdr.msg_iov = &out_iov[i];
        out_msgs[i].msg_hdr.msg_iovlen = 1;
    }
    for (;;) {
        int n = ::recvmmsg(in, in_msgs, batch, MSG_WAITFORONE, nullptr);
        int k = 0;
        for (int i = 0; i < n; ++i) {
            if (in_msgs[i].msg_len <= 5)
                continue;
            out_iov[k] = {bufs[i] + 5, in_msgs[i].msg_len - 5};
            ++k;
        }
        if (k > 0)
            ::sendmmsg(out, out_msgs, static_cast<unsigned>(k), 0);
    }
}

// ---- sink -------------------------------------------------------------------

struct sink_state {
    int sock = -1;
    bool tap_datagrams = false;
    std::atomic<bool> stop{false};
    std::atomic<unsigned long> frames{0};
    std::atomic<unsigned long> bad{0};
};

void run_sink(sink_state* st)
{
    constexpr int batch = 64;
    static std::uint8_t bufs[batch][65536];
    mmsghdr msgs[batch]{};
    iovec iov[batch];
    for (int i = 0; i < batch; ++i) {
        iov[i] = {bufs[i], sizeof bufs[i]};
        msgs[i].msg_hdr.msg_iov = &iov[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
    }
    timeval tv{0, 100000};
    ::setsockopt(st->sock, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    while (!st->stop) {
        int n = ::recvmmsg(st->sock, msgs, batch, MSG_WAITFORONE, nullptr);
        for (int i = 0; i < n; ++i) {
            if (!st->tap_datagrams) {
                st->frames.fetch_add(1, std::memory_order_relaxed);
                continue;
            }
            // Only the header's block is needed to count the records.
            std::uint64_t len = msgs[i].msg_len;
            std::uint8_t counter[16];
            for (int b = 0; b < 8; ++b)
                counter[b] = counter[8 + b] = static_cast<std::uint8_t>(len >> (8 * b));
            std::uint8_t head[8];
            speck_ctr_crypt(head, bufs[i], 8, counter, *speck_key);
            if (head[0] != 0x02 || head[1] != 0x19 || head[2] != 0x68 || head[3] != 0x24) {
                st->bad.fetch_add(1, std::memory_order_relaxed);
                continue;
            }
            st->frames.fetch_add(head[6], std::memory_order_relaxed);
        }
    }
}

// ---- load -------------------------------------------------------------------

unsigned long send_load(std::uint16_t port, std::size_t frame_len, double seconds)
{
    int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    connect_to(s, port);
    std::vector<std::uint8_t> d(5 + frame_len);
    d[0] = 1;
    d[3] = 1;
    d[4] = 1;
    for (std::size_t i = 5; i < d.size(); ++i)
        d[i] = static_cast<std::uint8_t>(i);
    constexpr int batch = 64;
    mmsghdr msgs[batch]{};
    iovec iov{d.data(), d.size()};
    for (auto& m : msgs) {
        m.msg_hdr.msg_iov = &iov;
        m.msg_hdr.msg_iovlen = 1;
    }
    unsigned long sent = 0;
    auto end = clock_type::now() + std::chrono::duration<double>(seconds);
    while (clock_type::now() < end) {
        int n = ::sendmmsg(s, msgs, batch, 0);
        if (n > 0)
            sent += static_cast<unsigned long>(n);
    }
    ::close(s);
    return sent;
}

struct result {
    unsigned long sent = 0;
    unsigned long received = 0;
    double cpu = 0;
};

result run_case(const std::string& mode, const std::string& remote, std::size_t frame_len,
                double seconds)
{
    sink_state sink;
    sink.sock = udp_socket_on(0);
    sink.tap_datagrams = mode == "tap" || mode == "tap-old";
    std::uint16_t sink_port = port_of(sink.sock);
    std::uint16_t in_port = free_port();

    pid_t pid = ::fork();
    if (pid == 0) {
        pin_self(1);
        if (mode == "tap" || mode == "tap-old") {
            std::string t = std::to_string(in_port);
            std::string c = "127.0.0.1:" + std::to_string(sink_port);
            int devnull = ::open("/dev/null", O_WRONLY);
            ::dup2(devnull, 1);
            const std::string bin = mode == "tap" ? remote : std::getenv("BENCH_OLD");
            ::execl(bin.c_str(), bin.c_str(), "/c", "-t", t.c_str(), "-c", c.c_str(), "-k",
                    bench_key, static_cast<char*>(nullptr));
            _exit(127);
        }
        bare_forwarder(udp_socket_on(in_port), sink_port, mode == "bare-mmsg");
    }
    // Give the forwarder time to bind.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::thread sink_thread(run_sink, &sink);

    double cpu0 = cpu_seconds(pid);
    result r;
    r.sent = send_load(in_port, frame_len, seconds);
    double cpu1 = cpu_seconds(pid);
    r.received = sink.frames.load();
    // The tap holds its last batch until the input falls silent.
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    unsigned long late = sink.frames.load() - r.received;
    r.received += late;
    r.cpu = (cpu1 - cpu0) / seconds;
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    sink.stop = true;
    sink_thread.join();
    ::close(sink.sock);
    if (sink.bad)
        std::fprintf(stderr, "%s: %lu datagrams did not decrypt\n", mode.c_str(), sink.bad.load());
    return r;
}

std::string folder_of_self()
{
    char buf[4096];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return ".";
    buf[n] = '\0';
    std::string p = buf;
    return p.substr(0, p.rfind('/'));
}

}  // namespace

int main(int argc, char** argv)
{
    double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
    std::vector<std::size_t> sizes;
    for (int i = 2; i < argc; ++i)
        sizes.push_back(static_cast<std::size_t>(std::atol(argv[i])));
    if (sizes.empty())
        sizes = {64, 512, 1400};
    std::string remote = folder_of_self() + "/vantry_remote";
    if (::access(remote.c_str(), X_OK) != 0) {
        std::fprintf(stderr, "no %s\n", remote.c_str());
        return 1;
    }
    speck_setup_key(bench_key, static_cast<std::int32_t>(std::strlen(bench_key)));
    pin_self(0);
    const bool with_old = std::getenv("BENCH_OLD") && *std::getenv("BENCH_OLD");

    // Optional filter, e.g. BENCH_MODES=tap for profiling one forwarder.
    const char* only = std::getenv("BENCH_MODES");
    std::printf("%-10s %6s %12s %12s %12s %7s %6s %12s\n", "forwarder", "frame", "sent/s",
                "frames/s", "received", "loss", "cpu", "frames/cpu-s");
    for (std::size_t size : sizes) {
        double base = 0;
        for (const char* mode : {"bare", "bare-mmsg", "tap-old", "tap"}) {
            if ((only && !std::strstr(only, mode)) || (!with_old && std::strcmp(mode, "tap-old") == 0))
                continue;
            result r = run_case(mode, remote, size, seconds);
            double fps = static_cast<double>(r.received) / seconds;
            double loss = r.sent ? 100.0 * (1.0 - static_cast<double>(r.received) /
                                                      static_cast<double>(r.sent))
                                 : 0;
            // Frames per second of the forwarder's own CPU time: on a busy
            // machine the forwarder gets less than a core, and this figure
            // compares the forwarders' cost per frame regardless.
            double per_cpu = r.cpu > 0 ? fps / r.cpu : 0;
            std::printf("%-10s %6zu %12.0f %12.0f %12lu %6.1f%% %5.0f%% %12.0f", mode, size,
                        static_cast<double>(r.sent) / seconds, fps, r.received, loss,
                        100.0 * r.cpu, per_cpu);
            if (std::strcmp(mode, "bare") == 0)
                base = fps;
            else if (base > 0)
                std::printf("  x%.2f of bare frames/s", fps / base);
            std::printf("\n");
            std::fflush(stdout);
        }
    }
    return 0;
}
