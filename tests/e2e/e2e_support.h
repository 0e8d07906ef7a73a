// What every end-to-end suite shares: the built programs as children, signalled by PID only, in network namespaces
// of the test's own; loopback sockets; the frames and datagrams the suites send. Under Wine (VANTRY_RUN_PREFIX=wine,
// VANTRY_WIN_BIN_DIR) the suites Tzsp* and Cli* drive the Windows vantry_remote.
#pragma once
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/if_packet.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <sched.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <regex>
#include <thread>
#include "tests/pcapng_reader.h"
#include "tests/test_support.h"
extern char** environ;
using namespace std::chrono;
inline bool has(const std::string& text, const std::string& what) { return text.find(what) != std::string::npos; }
inline int count_of(const std::string& text, const std::string& what)
{
    int n = 0;
    for (auto p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
}

inline const char* wine() { return std::getenv("VANTRY_RUN_PREFIX"); }  // the program that runs a .exe
inline bool under_wine() { return wine() && *wine(); }
inline std::string remote_path()
{
    return under_wine() ? std::getenv("VANTRY_WIN_BIN_DIR") + std::string("/vantry_remote.exe")
                        : VANTRY_BIN_DIR "/vantry_remote";
}

// Asks done() every 5 ms until it holds (true) or timeout_ms has passed.
inline bool poll_until(int timeout_ms, const std::function<bool()>& done)
{
    const auto deadline = steady_clock::now() + milliseconds(timeout_ms);
    for (; !done(); std::this_thread::sleep_for(5ms))
        if (steady_clock::now() >= deadline) return false;
    return true;
}

struct child {
    int pid = -1;     // until reaped
    int status = -1;  // once reaped: the exit status, -1 if a signal ended it
    std::string dir;  // of its standard output and error
    child() = default;
    child(const child&) = delete;
    ~child();  // kills it if it still runs
};

inline std::string out_of(const child& c) { return file_text(c.dir + "/stdout"); }
inline std::string err_of(const child& c) { return file_text(c.dir + "/stderr"); }
// Never to PID -1, which would be every process: 0, or -1.
inline int signal_child(const child& c, int sig) { return c.pid > 0 ? kill(c.pid, sig) : -1; }
// Starts program with args (argv[0] excluded), inside namespace ns when named, env ("NAME=value") added: 0, or -1.
inline int start(child* c, const std::string& program, const std::vector<std::string>& args, const std::string& ns = "",
          const std::vector<std::string>& env = {})
{
    char dir[] = "/tmp/vantry-e2e-XXXXXX";
    if (!mkdtemp(dir)) return -1;
    c->dir = dir;
    // setsid: a group of its own, which signals to the runner's do not reach; the prefix runs a .exe.
    std::string command = "exec setsid env";
    std::vector<std::string> words = env;
    if (!ns.empty()) words.insert(words.end(), {"ip", "netns", "exec", ns});
    if (program.ends_with(".exe")) words.push_back(wine());
    words.push_back(program);
    words.insert(words.end(), args.begin(), args.end());
    for (std::string w : words) {
        for (std::size_t at = 0; (at = w.find('\'', at)) != std::string::npos; at += 4) w.replace(at, 1, "'\\''");
        command += " '" + w + "'";
    }
    command += " </dev/null >" + c->dir + "/stdout 2>" + c->dir + "/stderr";
    const char* argv[] = {"sh", "-c", command.c_str(), nullptr};
    return posix_spawnp(&c->pid, "sh", nullptr, nullptr, const_cast<char* const*>(argv), environ) ? c->pid = -1 : 0;
}

// Waits up to timeout_ms for the child to end (or its wait to fail), then kills it if kill_late: true if it did.
inline bool finish(child* c, int timeout_ms, bool kill_late = true)
{
    int st = -1;  // stays so, read as a death by signal, when waitpid fails
    const bool ended = c->pid <= 0 || poll_until(timeout_ms, [&] { return waitpid(c->pid, &st, WNOHANG) != 0; });
    if (!ended && kill_late) signal_child(*c, SIGKILL), finish(c, 5000, false);
    if (ended && c->pid > 0) c->status = WIFEXITED(st) ? WEXITSTATUS(st) : -1, c->pid = -1;
    return ended;
}

// Waits up to timeout_ms for the child to end: its exit status, -1 after a signal, -2 if it had to be killed.
inline int status_within(child* c, int timeout_ms) { return finish(c, timeout_ms) ? c->status : -2; }
inline child::~child()
{
    finish(this, 0);
    if (!dir.empty()) std::filesystem::remove_all(dir);
}

// True once standard output and error hold needle count times within timeout_ms; false once it ended without.
inline bool wait_output(child* c, const std::string& needle, int timeout_ms, int count = 1)
{
    bool found = false;
    poll_until(timeout_ms, [&] {
        const bool ended = finish(c, 0, false);  // first: the read then sees all it wrote
        return (found = count_of(out_of(*c) + err_of(*c), needle) >= count) || ended;
    });
    return found;
}

// Runs a shell command within 10 s: its exit status, -1 if it could not run or end. Standard output in *out.
inline int run_command(const std::string& command, std::string* out = nullptr)
{
    child c;
    if (start(&c, "sh", {"-c", command}) || !finish(&c, 10000)) return -1;
    if (out) *out = out_of(c);
    return c.status;
}

// Starts vantry_remote /c args (inside ns when named): true once it says "Running..." within wait_ms.
inline bool tap_start(child* c, std::vector<std::string> args, const std::string& ns = "", int wait_ms = 30000)
{
    args.insert(args.begin(), "/c");
    return start(c, remote_path(), args, ns) == 0 && wait_output(c, "Running...", wait_ms);
}

// The words that run a program as the user nobody with the one capability cap (net_raw, net_admin), as a unit would.
inline std::vector<std::string> as_nobody_with(const std::string& cap)
{
    return {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--inh-caps=-all,+" + cap,
            "--ambient-caps=-all,+" + cap, "--bounding-set=-all,+" + cap};
}

// Ends the tap by SIGTERM, within a second with status 0 (under Wine, by its PID): its standard output.
inline std::string tap_stop(child* c)
{
    if (under_wine()) return finish(c, 0), out_of(*c);
    EXPECT_EQ(signal_child(*c, SIGTERM), 0);
    EXPECT_EQ(status_within(c, 1000), 0) << "not ended within a second of SIGTERM with status 0";
    EXPECT_TRUE(has(out_of(*c), "Shutting down...")) << out_of(*c);
    return out_of(*c);
}

// The port a collector that start() gave (started: its result) says it listens on within 5 s, 0 if it does not.
inline std::uint16_t listening_port(child* c, int started)
{
    const std::string listening = "Listening on UDP port ";
    if (started || !wait_output(c, listening, 5000)) return 0;
    const std::string out = out_of(*c) + err_of(*c);  // "-w -": the log on standard error
    return static_cast<std::uint16_t>(std::atoi(out.c_str() + out.find(listening) + listening.size()));
}

// Starts the native collector (inside ns when named) on a port of its own: that port, 0 if it does not listen.
inline std::uint16_t collector_start(child* c, std::vector<std::string> args, const std::string& ns = "")
{
    args.insert(args.begin(), {"-p", "0", "-F", "pcap"});  // what pcap_of reads
    return listening_port(c, start(c, VANTRY_BIN_DIR "/vantry_collector", args, ns));
}

// The whole records of a classic pcap stream in the writer's byte order, Ethernet; none under another header.
inline std::vector<wire_record> pcap_of(const std::string& d)
{
    const auto u32 = [&](std::size_t at) { std::uint32_t v; std::memcpy(&v, d.data() + at, 4); return v; };
    std::vector<wire_record> out;
    for (std::size_t at = 24, n; d.size() >= at + 16 && u32(0) == 0xa1b2c3d4 && u32(20) == 1 &&
                                 d.size() - at - 16 >= (n = u32(at + 8)); at += 16 + n)
        out.push_back({u32(at), u32(at + 4), std::uint16_t(n), std::uint16_t(u32(at + 12)),
                       bytes(d.begin() + at + 16, d.begin() + at + 16 + n)});
    return out;
}

// A network namespace with lo up, deleted with the object; hosts: the file `ip netns exec` puts in its /etc/hosts.
struct netns {
    std::string name;
    int made;  // 0, or -1
    explicit netns(const std::string& n, const std::string& hosts = "") : name(n)
    {
        const std::string dir = "/etc/netns/" + n, write = " && printf %s '" + hosts + "' >" + dir + "/hosts";
        made = run_command("ip netns add " + n + " && ip -n " + n + " link set lo up" +
                           (hosts.empty() ? "" : " && mkdir -p " + dir + write)) ? -1 : 0;
    }
    ~netns() { run_command("ip netns del " + name + "; rm -rf /etc/netns/" + name); }
};

// Runs fn on a thread inside namespace ns (none: this one), where what it opens stays: its result, -1 if not entered.
inline int netns_call(const std::string& ns, const std::function<int()>& fn)
{
    int result = -1;
    std::thread([&] {
        const int fd = ns.empty() ? -1 : open(("/var/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
        if (ns.empty() || (fd >= 0 && setns(fd, CLONE_NEWNET) == 0)) result = fn();
        if (fd >= 0) close(fd);
    }).join();
    return result;
}

struct udp_socket {
    net_socket s = net_invalid_socket;
    std::uint16_t port = 0;  // host order
    ~udp_socket() { net_close(s); }
};

// Binds *u to addr:0 inside ns: 0, or -1.
inline int udp_open(udp_socket* u, const char* addr = "127.0.0.1", const std::string& ns = "")
{
    return netns_call(ns, [&] {
        std::uint32_t a = 0;
        u->s = net_udp_socket();
        return net_resolve_ipv4(addr, &a) || net_bind(u->s, a, 0) || !(u->port = net_local_port(u->s)) ? -1 : 0;
    });
}

// The next datagram on u within wait_ms into *d: false when none came.
inline bool udp_receive(const udp_socket& u, bytes* d, int wait_ms)
{
    d->resize(70000);
    if (net_wait_readable(u.s, wait_ms * 1000L) != 1) return false;
    d->resize(std::max(0L, net_recv_from(u.s, d->data(), d->size(), nullptr)));
    return true;
}

// A raw socket on interface name inside ns, that sends frames as they are: its descriptor, or -1.
inline int packet_socket(const std::string& ns, const std::string& name)
{
    return netns_call(ns, [&] {
        const sockaddr_ll sll{AF_PACKET, 0, static_cast<int>(if_nametoindex(name.c_str())), 0, 0, 0, {}};
        const int s = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
        return bind(s, reinterpret_cast<const sockaddr*>(&sll), sizeof sll) == 0 ? s : -1;
    });
}

inline void udp_send(const udp_socket& u, const bytes& d, std::uint16_t port)  // to 127.0.0.1
{
    net_send_to(u.s, d.data(), d.size(), {ipv4_of(127, 0, 0, 1), net_order16(port)});
}

inline std::uint16_t free_port()  // a moment ago
{
    udp_socket probe;
    return udp_open(&probe) ? 0 : probe.port;
}

inline bytes be16(std::size_t v) { return {static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)}; }
// IPv4 (header checksum filled in) carrying payload, of protocol proto.
inline bytes ipv4(std::uint8_t proto, const bytes& src, const bytes& dst, const bytes& payload)
{
    bytes head = cat({{0x45, 0}, be16(20 + payload.size()), {0, 0, 0, 0, 64, proto, 0, 0}, src, dst});
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < 20; i += 2) sum += head[i] << 8 | head[i + 1];
    while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
    head[10] = static_cast<std::uint8_t>(~sum >> 8), head[11] = static_cast<std::uint8_t>(~sum);
    return cat({head, payload});
}

inline bytes udp4(const bytes& src, const bytes& dst, std::uint16_t dport, std::size_t size)  // from port 12345
{
    return ipv4(17, src, dst, cat({{0x30, 0x39}, be16(dport), be16(8 + size), {0, 0}, pattern(size, 7)}));
}

// Ethernet, by default to a unicast address nobody has, so that a receiving stack drops the frame unanswered.
inline bytes ethernet(std::uint16_t type, const bytes& payload, const bytes& dst = {2, 0, 0, 0, 0, 9})
{
    return cat({dst, bytes(6, 2), be16(type), payload});
}

// TZSP header (version 1, received, Ethernet), tags, END, frame.
// A clear Tap datagram of tap id holding frames, each stamped with its length as seconds.
inline bytes tap_datagram(std::uint16_t id, const std::vector<bytes>& frames)
{
    bytes d = tap_header_bytes(id, int(frames.size()));
    for (const bytes& f : frames) d = cat({d, tap_record_bytes(f.size(), 0, int(f.size()), int(f.size())), f});
    return d;
}
inline bytes tzsp(const bytes& frame, const bytes& tags = {}) { return cat({{1, 0, 0, 1}, tags, {1}, frame}); }
inline const std::string id = std::to_string(getpid());  // in the names of what the tests make
