// Frames per second that vantry_remote forwards from a veth interface.
//
// Two network namespaces of its own joined by a veth pair: frames are
// sent at a paced rate from the peer side with a packet socket, the tap
// (the built vantry_remote, -K) captures the other end and sends its Tap
// datagrams to a UDP socket on that namespace's loopback, where they are
// counted. For each frame size, with and without -H, the rate is raised
// step by step; each step reports frames sent, frames forwarded and the
// capture drops from the tap's statistics line, and the highest rate
// without capture drops is given at the end.
//
// Usage (root): bench_capture [path/to/vantry_remote] [seconds per step]
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

const std::string id = std::to_string(getpid());
const std::string tap_ns = "vbench" + id + "t";
const std::string peer_ns = "vbench" + id + "p";
const std::string tap_if = "vb" + id + "t";
const std::string peer_if = "vb" + id + "p";

int sh(const std::string& cmd) { return std::system((cmd + " >/dev/null 2>&1").c_str()); }

void lab_remove()
{
    sh("ip netns del " + tap_ns);
    sh("ip netns del " + peer_ns);
}

bool lab_create()
{
    const std::vector<std::string> steps = {
        "ip netns add " + tap_ns,
        "ip netns add " + peer_ns,
        "ip netns exec " + tap_ns +
            " sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1",
        "ip netns exec " + peer_ns +
            " sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1",
        "ip -n " + tap_ns + " link add " + tap_if + " mtu 1500 type veth peer name " + peer_if +
            " netns " + peer_ns,
        "ip -n " + tap_ns + " link set lo up",
        "ip -n " + tap_ns + " link set " + tap_if + " up",
        "ip -n " + peer_ns + " link set " + peer_if + " up",
    };
    for (const std::string& s : steps)
        if (sh(s) != 0) {
            std::fprintf(stderr, "failed: %s\n", s.c_str());
            lab_remove();
            return false;
        }
    return true;
}

int in_netns(const std::string& ns, const std::function<int()>& fn)
{
    int result = -1;
    std::thread t([&] {
        int fd = open(("/var/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0 && setns(fd, CLONE_NEWNET) == 0)
            result = fn();
        if (fd >= 0)
            close(fd);
    });
    t.join();
    return result;
}

// Ethernet + IPv4 + UDP from 198.18.0.10 to 198.18.0.20, padded to size,
// sent to a unicast address nobody on the link has.
std::vector<std::uint8_t> frame(std::size_t size)
{
    std::vector<std::uint8_t> f(size, 0x5a);
    const std::uint8_t head[] = {0x02, 0, 0, 0, 0, 0x99, 0x02, 0, 0, 0, 0x0b, 0x01, 0x08, 0x00,
                                 0x45, 0,    0,    0,    0,    0,    0,    0,    64,   17,
                                 0,    0,    198,  18,   0,    10,   198,  18,   0,    20};
    std::memcpy(f.data(), head, sizeof head);
    std::uint16_t ip_len = static_cast<std::uint16_t>(size - 14);
    f[16] = static_cast<std::uint8_t>(ip_len >> 8);
    f[17] = static_cast<std::uint8_t>(ip_len);
    return f;
}

struct tap_process {
    pid_t pid = -1;
    std::string log;
};

tap_process start_tap(const std::string& remote, std::uint16_t port, const std::string& hosts)
{
    tap_process t;
    t.log = "/tmp/vbench_tap_" + id + ".log";
    std::vector<std::string> args = {"ip", "netns", "exec", tap_ns, remote, "/c", "-i", tap_if,
                                     "-c", "127.0.0.1:" + std::to_string(port), "-K"};
    if (!hosts.empty()) {
        args.push_back("-H");
        args.push_back(hosts);
    }
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(t.log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 1);
        dup2(fd, 2);
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    t.pid = pid;
    return t;
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool wait_for(const std::string& path, const char* needle, int ms)
{
    for (int i = 0; i < ms / 20; ++i) {
        if (read_file(path).find(needle) != std::string::npos)
            return true;
        usleep(20000);
    }
    return false;
}

struct step_result {
    double offered = 0;    // frames per second actually sent
    std::uint64_t sent = 0;
    std::uint64_t forwarded = 0;
    long drops = -1;       // from the statistics line; -1 when missing
};

// Sends frames of the given size at rate fps for seconds; counts the
// records that arrive at rx meanwhile and shortly after.
step_result run_step(const std::string& remote, std::size_t size, double fps, double seconds,
                     const std::string& hosts)
{
    step_result r;
    std::uint16_t port = 0;
    int rx = in_netns(tap_ns, [&] {
        int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        int big = 64 << 20;
        setsockopt(s, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof sa;
        bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len);
        port = ntohs(sa.sin_port);
        return s;
    });
    int tx = in_netns(peer_ns, [&] {
        int s = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
        int one = 1;
        setsockopt(s, SOL_PACKET, PACKET_QDISC_BYPASS, &one, sizeof one);
        int big = 16 << 20;
        setsockopt(s, SOL_SOCKET, SO_SNDBUFFORCE, &big, sizeof big);
        sockaddr_ll sll{};
        sll.sll_family = AF_PACKET;
        sll.sll_ifindex = static_cast<int>(if_nametoindex(peer_if.c_str()));
        bind(s, reinterpret_cast<sockaddr*>(&sll), sizeof sll);
        return s;
    });
    if (rx < 0 || tx < 0) {
        std::fprintf(stderr, "sockets failed\n");
        std::exit(1);
    }

    tap_process tap = start_tap(remote, port, hosts);
    if (!wait_for(tap.log, "Running...", 10000)) {
        std::fprintf(stderr, "tap did not start:\n%s\n", read_file(tap.log).c_str());
        std::exit(1);
    }

    std::atomic<bool> receiving{true};
    std::uint64_t records = 0;
    std::thread receiver([&] {
        std::vector<std::uint8_t> buf(70000);
        while (receiving.load()) {
            pollfd p{rx, POLLIN, 0};
            if (poll(&p, 1, 100) != 1)
                continue;
            ssize_t n = recv(rx, buf.data(), buf.size(), 0);
            if (n >= 8)
                records += buf[6];
        }
    });

    std::vector<std::uint8_t> f = frame(size);
    constexpr int burst = 256;
    std::vector<mmsghdr> msgs(burst);
    std::vector<iovec> iov(burst);
    for (int i = 0; i < burst; ++i) {
        iov[i] = {f.data(), f.size()};
        msgs[i] = {};
        msgs[i].msg_hdr.msg_iov = &iov[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
    }
    prctl(PR_SET_TIMERSLACK, 1UL);
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    const double start_s = start.tv_sec + start.tv_nsec / 1e9;
    const std::uint64_t total = static_cast<std::uint64_t>(fps * seconds);
    while (r.sent < total) {
        // The burst is due when the frames sent so far have had their time.
        double due = start_s + static_cast<double>(r.sent) / fps;
        timespec ts{static_cast<time_t>(due), static_cast<long>((due - static_cast<time_t>(due)) * 1e9)};
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
        int n = sendmmsg(tx, msgs.data(), burst, 0);
        if (n > 0)
            r.sent += static_cast<std::uint64_t>(n);
    }
    timespec end;
    clock_gettime(CLOCK_MONOTONIC, &end);
    r.offered = static_cast<double>(r.sent) / ((end.tv_sec + end.tv_nsec / 1e9) - start_s);

    // The tap sends what it holds after a quiet wait; the capture hands
    // over its last block within a second.
    sleep(3);
    kill(tap.pid, SIGTERM);
    int status = 0;
    waitpid(tap.pid, &status, 0);
    receiving = false;
    receiver.join();
    r.forwarded = records;
    std::string out = read_file(tap.log);
    std::size_t at = out.find("packets sent][");
    if (at != std::string::npos)
        r.drops = std::strtol(out.c_str() + at + 14, nullptr, 10);
    std::remove(tap.log.c_str());
    close(rx);
    close(tx);
    return r;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string self = argv[0];
    std::string remote = argc > 1 ? argv[1]
                                  : self.substr(0, self.rfind('/') + 1) + "vantry_remote";
    double seconds = argc > 2 ? std::atof(argv[2]) : 2.0;
    if (geteuid() != 0) {
        std::fprintf(stderr, "bench_capture needs root (network namespaces)\n");
        return 0;
    }
    if (!lab_create())
        return 1;
    std::string hosts = "/tmp/vbench_hosts_" + id;
    // Only the destination is listed: the worst case, two lookups per frame.
    std::ofstream(hosts) << "198.18.0.20\n";

    struct series {
        std::size_t size;
        std::vector<double> rates;
    };
    const series plan[] = {
        {64, {100000, 200000, 300000, 400000, 600000}},
        {1514, {25000, 50000, 75000, 100000, 150000}},
    };
    std::printf("%-6s %-4s %10s %10s %10s %8s %8s\n", "size", "-H", "target/s", "sent/s",
                "forwarded", "drops", "lost");
    for (const series& s : plan) {
        for (bool with_hosts : {false, true}) {
            double best = 0;
            for (double rate : s.rates) {
                step_result r = run_step(remote, s.size, rate, seconds, with_hosts ? hosts : "");
                long lost = static_cast<long>(r.sent) - static_cast<long>(r.forwarded) -
                            (r.drops > 0 ? r.drops : 0);
                std::printf("%-6zu %-4s %10.0f %10.0f %10llu %8ld %8ld\n", s.size,
                            with_hosts ? "yes" : "no", rate, r.offered,
                            static_cast<unsigned long long>(r.forwarded), r.drops, lost);
                std::fflush(stdout);
                if (r.drops == 0 && r.forwarded == r.sent)
                    best = r.offered > best ? r.offered : best;
                else
                    break;
            }
            std::printf("==> %zu-byte frames, -H %s: highest rate without drops %.0f frames/s\n",
                        s.size, with_hosts ? "yes" : "no", best);
        }
    }
    std::remove(hosts.c_str());
    lab_remove();
    return 0;
}
