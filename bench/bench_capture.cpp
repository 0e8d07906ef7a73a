// Frames per second that vantry_remote forwards from a veth interface
// without a capture drop, against the bare capture loop.
//
// Three network namespaces of its own: G (generator) -- veth -- T (tap)
// -- veth -- C (collector). The shared frame generator (pktgen.c:
// AF_PACKET, qdisc bypass) sends from G at a paced rate; the tap captures
// T's end and sends its Tap datagrams across the second veth to a UDP
// sink in C, which counts the records. The collector's veth runs its
// receive work in a NAPI thread of its own: that thread, the generator
// and the sink share core 0, and the tap alone has core 1, so it pays
// for itself only. The bare loop (pcap_count.c: pcap_dispatch that only
// counts) runs on core 1 in the tap's place.
//
// For each frame size, each tap (this build, and an older one when
// given) with -k, -K, -k -H and -A, and the bare loop: the generator's own
// limit is tried first, then the rate is bisected; a step passes when the
// capture reports no drop (frames lost beyond the tap, on the collector's
// side, are logged but do not count). The highest rate that passed is a
// run's result; the median of the runs is reported.
//
// Usage (root):
//   bench_capture TOOLS [--remote PATH] [--old PATH] [--seconds S]
//                 [--runs N] [--sizes 64,1514] [--mtu BYTES] [--steps N]
// TOOLS is the folder holding pktgen.c and pcap_count.c; both are
// compiled with gcc into a temporary folder at start. --remote defaults
// to vantry_remote beside this program; --mtu is the collector link's
// (1500 by default: datagrams above it leave as fragments, and the
// kernel refuses to segment them).
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "wire/speck.h"

namespace {

const std::string id = std::to_string(getpid() % 100000);
const std::string ns_g = "vbg" + id, ns_t = "vbt" + id, ns_c = "vbc" + id;
// Short names: a NAPI thread is named after its device, cut to 15 bytes.
const std::string if_g = "g" + id, if_t = "t" + id, if_t_out = "o" + id, if_c = "c" + id;
const std::string work = "/tmp/vbench" + id;
constexpr const char* key = "bench key for the capture path";
// -A: a random key, used as it is (no key derivation to wait for).
const std::string sealed_key(64, '7');
constexpr const char* collector_addr = "10.77.0.2";

int sh(const std::string& cmd) { return std::system((cmd + " >/dev/null 2>&1").c_str()); }

std::string read_file(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void pin_self(int cpu)
{
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    sched_setaffinity(0, sizeof set, &set);
}

void lab_remove()
{
    for (const std::string& ns : {ns_g, ns_t, ns_c})
        sh("ip netns del " + ns);
}

// The collector's veth gets NAPI (by turning GRO on) in threaded mode, and
// its thread is pinned to core 0.
bool lab_create(int mtu)
{
    const std::string off6 = " sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1";
    const std::vector<std::string> steps = {
        "ip netns add " + ns_g, "ip netns add " + ns_t, "ip netns add " + ns_c,
        "ip netns exec " + ns_g + off6, "ip netns exec " + ns_t + off6, "ip netns exec " + ns_c + off6,
        "ip -n " + ns_g + " link add " + if_g + " type veth peer name " + if_t + " netns " + ns_t,
        "ip -n " + ns_t + " link add " + if_t_out + " mtu " + std::to_string(mtu) + " type veth peer name " +
            if_c + " netns " + ns_c + " mtu " + std::to_string(mtu),
        "ip -n " + ns_t + " addr add 10.77.0.1/30 dev " + if_t_out,
        "ip -n " + ns_c + " addr add 10.77.0.2/30 dev " + if_c,
        "ip -n " + ns_t + " neigh replace 10.77.0.2 lladdr 02:00:00:00:77:02 nud permanent dev " + if_t_out,
        "ip -n " + ns_c + " link set " + if_c + " address 02:00:00:00:77:02",
        "ip -n " + ns_c + " neigh replace 10.77.0.1 lladdr $(ip -n " + ns_t + " -br link show " + if_t_out +
            " | awk '{print $3}') nud permanent dev " + if_c,
        "ip -n " + ns_g + " link set " + if_g + " up", "ip -n " + ns_t + " link set " + if_t + " up",
        "ip -n " + ns_t + " link set " + if_t_out + " up", "ip -n " + ns_c + " link set " + if_c + " up",
        "ip -n " + ns_t + " link set lo up", "ip -n " + ns_c + " link set lo up",
        "ip netns exec " + ns_c + " ethtool -K " + if_c + " gro on",
        // A veth hands the peer's NAPI only what GRO may merge: from a
        // device without TSO, everything; otherwise the receive work of
        // the tap's datagrams (reassembly included) would run on its core.
        "ip netns exec " + ns_t + " ethtool -K " + if_t_out + " tso off",
        "ip netns exec " + ns_c + " sh -c 'echo 1 > /sys/class/net/" + if_c + "/threaded'",
    };
    for (const std::string& s : steps)
        if (sh(s) != 0) {
            std::fprintf(stderr, "failed: %s\n", s.c_str());
            lab_remove();
            return false;
        }
    // The thread is named napi/DEVICE-ID.
    const std::string prefix = ("napi/" + if_c + "-").substr(0, 15);
    bool pinned = false;
    if (DIR* d = opendir("/proc")) {
        while (dirent* e = readdir(d)) {
            const std::string comm = read_file(std::string("/proc/") + e->d_name + "/comm");
            if (comm.rfind(prefix, 0) == 0)
                pinned = sh("taskset -pc 0 " + std::string(e->d_name)) == 0;
        }
        closedir(d);
    }
    if (!pinned)
        std::fprintf(stderr, "warning: no NAPI thread of %s found to pin\n", if_c.c_str());
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

// Starts argv with its output in log; pid.
pid_t start(std::vector<std::string> args, const std::string& log)
{
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 1);
        dup2(fd, 2);
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

bool wait_for(const std::string& path, const char* needle, int ms)
{
    for (int i = 0; i < ms / 10; ++i) {
        if (read_file(path).find(needle) != std::string::npos)
            return true;
        usleep(10000);
    }
    return false;
}

double json_number(const std::string& text, const std::string& field)
{
    const std::size_t at = text.find("\"" + field + "\":");
    return at == std::string::npos ? -1 : std::atof(text.c_str() + at + field.size() + 3);
}

// Counts the records of the Tap datagrams that reach port in C, reading
// the header of encrypted ones through the cipher.
struct sink {
    int sock = -1;
    std::uint16_t port = 0;
    bool encrypted = false;
    std::atomic<bool> stop{false};
    std::atomic<std::uint64_t> records{0};
    std::thread thread;

    void open_in_c()
    {
        sock = in_netns(ns_c, [this] {
            int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            int big = 64 << 20;
            setsockopt(s, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big);
            sockaddr_in sa{};
            sa.sin_family = AF_INET;
            inet_pton(AF_INET, collector_addr, &sa.sin_addr);
            socklen_t len = sizeof sa;
            bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
            getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len);
            port = ntohs(sa.sin_port);
            return s;
        });
        thread = std::thread([this] { run(); });
    }
    // With UDP_GRO the stack hands over runs of datagrams of one size as
    // one buffer (the size in a control message), so that the collector's
    // core spends little per datagram, whichever way the tap sent them.
    void run()
    {
        pin_self(0);
        int one = 1;
        setsockopt(sock, IPPROTO_UDP, UDP_GRO, &one, sizeof one);
        std::vector<std::uint8_t> buf(70000);
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
        while (!stop.load()) {
            pollfd p{sock, POLLIN, 0};
            if (poll(&p, 1, 50) != 1)
                continue;
            iovec iov{buf.data(), buf.size()};
            msghdr m{};
            m.msg_iov = &iov;
            m.msg_iovlen = 1;
            m.msg_control = control;
            m.msg_controllen = sizeof control;
            const ssize_t n = recvmsg(sock, &m, 0);
            if (n <= 0)
                continue;
            std::size_t seg = static_cast<std::size_t>(n);
            for (cmsghdr* c = CMSG_FIRSTHDR(&m); c; c = CMSG_NXTHDR(&m, c))
                if (c->cmsg_level == IPPROTO_UDP && c->cmsg_type == UDP_GRO) {
                    int size = 0;
                    std::memcpy(&size, CMSG_DATA(c), sizeof size);
                    seg = static_cast<std::size_t>(size);
                }
            for (std::size_t at = 0; at < static_cast<std::size_t>(n); at += seg)
                count(buf.data() + at, std::min(seg, static_cast<std::size_t>(n) - at));
        }
    }
    void count(const std::uint8_t* d, std::size_t n)
    {
        if (n < 8)
            return;
        std::uint8_t head[8];
        std::memcpy(head, d, 8);
        if (encrypted) {
            std::uint8_t counter[16];
            for (int b = 0; b < 8; ++b)
                counter[b] = counter[8 + b] = static_cast<std::uint8_t>(static_cast<std::uint64_t>(n) >> (8 * b));
            speck_ctr_crypt(head, d, 8, counter, *speck_key);
        }
        records += head[6];
    }
    ~sink()
    {
        stop = true;
        if (thread.joinable())
            thread.join();
        close(sock);
    }
};

// CPU seconds (user + system) a process has used so far.
double cpu_seconds(pid_t pid)
{
    const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t at = stat.rfind(')');
    unsigned long utime = 0, stime = 0;
    if (at != std::string::npos)
        std::sscanf(stat.c_str() + at + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime);
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

struct step {
    double pps = 0;  // what the generator reached
    std::uint64_t sent = 0, got = 0;
    long drops = -1;
    double cpu = 0;  // the forwarder's CPU seconds
    // Frames lost past the forwarder (the collector's core falling behind)
    // are shown, but only the capture's drops fail a step.
    bool passed() const { return drops == 0 && sent > 0; }
};

struct bench {
    std::string pktgen, pcap_count, hosts;
    double seconds = 2;
};

std::string gen_result(const bench& b, std::size_t size, double pps)
{
    const std::string log = work + "/gen.log";
    const std::uint64_t n = static_cast<std::uint64_t>((pps > 0 ? pps : 3e6) * b.seconds);
    pid_t g = start({"ip", "netns", "exec", ns_g, "taskset", "-c", "0", b.pktgen, "-i", if_g, "-n",
                     std::to_string(pps > 0 ? n : static_cast<std::uint64_t>(2e6 * b.seconds)), "-s",
                     std::to_string(size), "-r", std::to_string(static_cast<long>(pps))},
                    log);
    waitpid(g, nullptr, 0);
    return read_file(log);
}

// One step: the forwarder (argv, in T on core 1) under frames of size at pps.
step run_step(const bench& b, const std::vector<std::string>& forwarder, bool is_tap, bool encrypted,
              std::size_t size, double pps)
{
    step r;
    sink s;
    s.encrypted = encrypted;
    std::vector<std::string> args = {"ip", "netns", "exec", ns_t, "taskset", "-c", "1"};
    args.insert(args.end(), forwarder.begin(), forwarder.end());
    if (is_tap) {
        s.open_in_c();
        args.insert(args.end(), {"-c", std::string(collector_addr) + ":" + std::to_string(s.port)});
    }
    const std::string log = work + "/fwd.log";
    pid_t pid = start(args, log);
    if (!wait_for(log, "Running...", 10000)) {
        std::fprintf(stderr, "did not start:\n%s\n", read_file(log).c_str());
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        return r;
    }
    const std::string gen = gen_result(b, size, pps);
    r.sent = static_cast<std::uint64_t>(json_number(gen, "sent"));
    r.pps = json_number(gen, "pps");
    if (is_tap) {
        // The last frames wait for a quiet second before they go.
        std::uint64_t last = ~0ull;
        for (int quiet = 0; quiet < 15 && s.records.load() < r.sent; ) {
            usleep(100000);
            quiet = s.records.load() == last ? quiet + 1 : 0;
            last = s.records.load();
        }
    } else {
        usleep(1500000);  // the capture hands its last block over after its 1 s timeout
    }
    r.cpu = cpu_seconds(pid);
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    const std::string out = read_file(log);
    if (is_tap) {
        r.got = s.records.load();
        const std::size_t at = out.find("packets sent][");
        if (at != std::string::npos)
            r.drops = std::strtol(out.c_str() + at + 14, nullptr, 10);
    } else {
        r.got = static_cast<std::uint64_t>(json_number(out, "received"));
        r.drops = static_cast<long>(json_number(out, "ps_drop"));
    }
    return r;
}

// The highest rate without drops: the generator's limit first, then a
// bisection between the last rate that passed and the first that failed.
// *per_cpu: frames taken per CPU second of the forwarder at the first
// step, which a core shared with other work does not change much.
double highest_rate(const bench& b, const std::vector<std::string>& forwarder, bool is_tap, bool encrypted,
                    std::size_t size, double limit, int steps, double* per_cpu)
{
    double good = 0, bad = limit;
    step first = run_step(b, forwarder, is_tap, encrypted, size, limit);
    *per_cpu = first.cpu > 0 ? static_cast<double>(first.got) / first.cpu : 0;
    std::fprintf(stderr, "    limit %.0f/s: sent %llu got %llu drops %ld cpu %.2f s\n", first.pps,
                 static_cast<unsigned long long>(first.sent), static_cast<unsigned long long>(first.got), first.drops,
                 first.cpu);
    if (first.passed())
        return first.pps;
    for (int i = 0; i < steps; ++i) {
        const double rate = (good + bad) / 2;
        step s = run_step(b, forwarder, is_tap, encrypted, size, rate);
        std::fprintf(stderr, "    %.0f/s: sent %llu got %llu drops %ld lost %lld\n", rate,
                     static_cast<unsigned long long>(s.sent), static_cast<unsigned long long>(s.got), s.drops,
                     static_cast<long long>(s.sent - s.got) - (s.drops > 0 ? s.drops : 0));
        (s.passed() ? good : bad) = rate;
    }
    return good;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

std::string folder_of_self()
{
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    buf[n > 0 ? n : 0] = '\0';
    std::string p = buf;
    return p.substr(0, p.rfind('/'));
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2 || geteuid() != 0) {
        std::fprintf(stderr, "usage (root): %s TOOLS [--remote PATH] [--old PATH] [--seconds S] [--runs N] "
                             "[--sizes 64,1514] [--mtu BYTES] [--steps N]\n", argv[0]);
        return 2;
    }
    const std::string tools = argv[1];
    std::string remote = folder_of_self() + "/vantry_remote", old;
    bench b;
    int runs = 3, mtu = 1500, steps = 6;
    std::vector<std::size_t> sizes = {64, 1514};
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string o = argv[i], v = argv[i + 1];
        if (o == "--remote") remote = v;
        else if (o == "--old") old = v;
        else if (o == "--seconds") b.seconds = std::atof(v.c_str());
        else if (o == "--runs") runs = std::atoi(v.c_str());
        else if (o == "--mtu") mtu = std::atoi(v.c_str());
        else if (o == "--steps") steps = std::atoi(v.c_str());
        else if (o == "--sizes") {
            sizes.clear();
            for (std::size_t at = 0; at < v.size(); at = v.find(',', at) == std::string::npos ? v.size() : v.find(',', at) + 1)
                sizes.push_back(std::strtoul(v.c_str() + at, nullptr, 10));
        }
    }
    pin_self(0);
    sh("mkdir -p " + work);
    b.pktgen = work + "/pktgen";
    b.pcap_count = work + "/pcap_count";
    if (sh("gcc -O2 -Wall -o " + b.pktgen + " " + tools + "/pktgen.c") != 0 ||
        sh("gcc -O2 -Wall -o " + b.pcap_count + " " + tools + "/pcap_count.c -lpcap") != 0) {
        std::fprintf(stderr, "cannot compile %s/pktgen.c and pcap_count.c\n", tools.c_str());
        return 1;
    }
    if (!lab_create(mtu))
        return 1;
    b.hosts = work + "/hosts";
    // Only the generator's destination is listed: two lookups per frame.
    std::ofstream(b.hosts) << "10.198.0.9\n";
    speck_setup_key(key, static_cast<std::int32_t>(std::strlen(key)));

    struct forwarder {
        std::string name;
        std::vector<std::string> argv;
        bool is_tap, encrypted;
    };
    std::vector<forwarder> plan = {{"bare loop", {b.pcap_count, if_t, "600"}, false, false}};
    for (const std::string& bin : {remote, old}) {
        if (bin.empty())
            continue;
        const std::string who = bin == remote ? "new" : "old";
        const std::vector<std::string> base = {bin, "/c", "-i", if_t};
        auto with = [&](std::vector<std::string> extra) { extra.insert(extra.begin(), base.begin(), base.end()); return extra; };
        plan.push_back({who + " -k", with({"-k", key}), true, true});
        plan.push_back({who + " -K", with({"-K"}), true, false});
        plan.push_back({who + " -k -H", with({"-k", key, "-H", b.hosts}), true, true});
        // Sealed: the clear header counts the records that start in each
        // datagram. This build fits its datagrams to the link (-M); an
        // older one has no -M and sends up to 65,507 bytes.
        std::vector<std::string> sealed = {"-A", "-k", sealed_key};
        if (bin == remote)
            sealed.insert(sealed.end(), {"-M", std::to_string(mtu)});
        plan.push_back({who + " -A", with(sealed), true, false});
    }

    std::printf("collector link MTU %d, %.1f s per step, %d runs, median\n", mtu, b.seconds, runs);
    for (std::size_t size : sizes) {
        // The generator's own limit, nothing capturing.
        const double limit = json_number(gen_result(b, size, 0), "pps");
        std::printf("\n%zu-byte frames: generator limit %.0f frames/s\n", size, limit);
        std::printf("%-12s %12s %14s   %s\n", "forwarder", "frames/s", "frames/cpu-s", "runs");
        double bare = 0;
        std::vector<std::pair<std::string, double>> results;
        for (const forwarder& f : plan) {
            std::vector<double> rates, per_cpu;
            for (int r = 0; r < runs; ++r) {
                std::fprintf(stderr, "%zu %s run %d\n", size, f.name.c_str(), r + 1);
                double c = 0;
                rates.push_back(highest_rate(b, f.argv, f.is_tap, f.encrypted, size, limit, steps, &c));
                per_cpu.push_back(c);
            }
            const double m = median(rates);
            if (!f.is_tap)
                bare = m;
            results.emplace_back(f.name, m);
            std::printf("%-12s %12.0f %14.0f  ", f.name.c_str(), m, median(per_cpu));
            for (double r : rates)
                std::printf(" %.0f", r);
            if (f.is_tap && bare > 0)
                std::printf("   x%.2f of the bare loop", m / bare);
            std::printf("\n");
            std::fflush(stdout);
        }
        for (const auto& [name, rate] : results)
            if (name.rfind("new", 0) == 0)
                for (const auto& [other, old_rate] : results)
                    if (other == "old" + name.substr(3) && old_rate > 0)
                        std::printf("%s: x%.2f of the old code\n", name.c_str(), rate / old_rate);
    }
    lab_remove();
    sh("rm -rf " + work);
    return 0;
}
