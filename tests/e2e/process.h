// The end-to-end harness: the built programs as children, network namespaces of the test's own, UDP sockets that
// play collector or TZSP sender, a small frame builder.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <spawn.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <thread>

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
inline std::string file_text(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), {}};
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
inline int start(child* c, const std::string& program, const std::vector<std::string>& args,
                 const std::string& ns = "", const std::vector<std::string>& env = {})
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
// Ends the tap: SIGTERM, which must end it within a second with status 0; under Wine, where it cannot be
// signalled, by its PID. Its standard output.
inline std::string tap_stop(child* c)
{
    if (under_wine()) return finish(c, 0), out_of(*c);
    EXPECT_EQ(signal_child(*c, SIGTERM), 0);
    EXPECT_TRUE(finish(c, 1000) && c->status == 0) << "not ended within a second of SIGTERM with status 0";
    EXPECT_TRUE(has(out_of(*c), "Shutting down...")) << out_of(*c);
    return out_of(*c);
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

// A UDP socket of the test; what it receives is read as Tap datagrams.
struct udp_socket {
    net_socket s = net_invalid_socket;
    std::uint16_t port = 0;            // host order
    std::vector<wire_record> records;  // of the datagrams that decoded
    std::size_t datagrams = 0;         // received
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
inline void udp_send(const udp_socket& u, const bytes& d, std::uint16_t port)  // to 127.0.0.1
{
    net_send_to(u.s, d.data(), d.size(), {ipv4_of(127, 0, 0, 1), net_order16(port)});
}
// Receives until u->records holds n records: false if not within timeout_ms.
inline bool udp_collect(udp_socket* u, std::size_t n, int timeout_ms = 5000)
{
    const auto deadline = steady_clock::now() + milliseconds(timeout_ms);
    for (bytes d(70000); u->records.size() < n; ++u->datagrams, d.resize(70000)) {
        const long left = duration_cast<microseconds>(deadline - steady_clock::now()).count();
        if (net_wait_readable(u->s, std::max(0L, left)) != 1) return false;
        d.resize(std::max(0L, net_recv_from(u->s, d.data(), d.size(), nullptr)));
        decode_records(d, &u->records);
    }
    return true;
}

inline bytes cat(std::initializer_list<bytes> parts)
{
    bytes d;
    for (const bytes& p : parts) d.insert(d.end(), p.begin(), p.end());
    return d;
}
inline bytes be16(std::size_t v) { return {static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)}; }
inline bytes inet_checksum(const bytes& d)  // big-endian
{
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < d.size(); i += 2) sum += d[i] << 8 | (i + 1 < d.size() ? d[i + 1] : 0);
    while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
    return be16(~sum & 0xffff);
}
// IPv4 (header checksum filled in) carrying payload, of protocol proto.
inline bytes ipv4(std::uint8_t proto, const bytes& src, const bytes& dst, const bytes& payload)
{
    const bytes head = cat({{0x45, 0}, be16(20 + payload.size()), {0, 0, 0, 0, 64, proto}}), addrs = cat({src, dst});
    return cat({head, inet_checksum(cat({head, {0, 0}, addrs})), addrs, payload});
}
inline bytes udp(std::uint16_t dport, const bytes& payload)  // from port 12345, no checksum
{
    return cat({{0x30, 0x39}, be16(dport), be16(8 + payload.size()), {0, 0}, payload});
}
// Ethernet, by default to a unicast address nobody has, so that a receiving stack drops the frame unanswered.
inline bytes ethernet(std::uint16_t type, const bytes& payload, const bytes& dst = {2, 0, 0, 0, 0, 9})
{
    return cat({dst, bytes(6, 2), be16(type), payload});
}
