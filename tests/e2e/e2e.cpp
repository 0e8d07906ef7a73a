// The built programs as children, signalled by PID only, in network namespaces of the test's own. Under Wine
// (VANTRY_RUN_PREFIX=wine, VANTRY_WIN_BIN_DIR) the suites Tzsp* and Cli* drive the Windows vantry_remote.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/if_packet.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <sched.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

#include "platform/net_batch_collector.h"
#include "tests/test_support.h"

extern char** environ;

namespace {
using namespace std::chrono;

bool has(const std::string& text, const std::string& what) { return text.find(what) != std::string::npos; }
int count_of(const std::string& text, const std::string& what)
{
    int n = 0;
    for (auto p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
}
std::string file_text(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), {}};
}
const char* wine() { return std::getenv("VANTRY_RUN_PREFIX"); }  // the program that runs a .exe
bool under_wine() { return wine() && *wine(); }
std::string remote_path()
{
    return under_wine() ? std::getenv("VANTRY_WIN_BIN_DIR") + std::string("/vantry_remote.exe")
                        : VANTRY_BIN_DIR "/vantry_remote";
}
// Asks done() every 5 ms until it holds (true) or timeout_ms has passed.
bool poll_until(int timeout_ms, const std::function<bool()>& done)
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
std::string out_of(const child& c) { return file_text(c.dir + "/stdout"); }
std::string err_of(const child& c) { return file_text(c.dir + "/stderr"); }
// Never to PID -1, which would be every process: 0, or -1.
int signal_child(const child& c, int sig) { return c.pid > 0 ? kill(c.pid, sig) : -1; }
// Starts program with args (argv[0] excluded), inside namespace ns when named, env ("NAME=value") added: 0, or -1.
int start(child* c, const std::string& program, const std::vector<std::string>& args, const std::string& ns = "",
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
bool finish(child* c, int timeout_ms, bool kill_late = true)
{
    int st = -1;  // stays so, read as a death by signal, when waitpid fails
    const bool ended = c->pid <= 0 || poll_until(timeout_ms, [&] { return waitpid(c->pid, &st, WNOHANG) != 0; });
    if (!ended && kill_late) signal_child(*c, SIGKILL), finish(c, 5000, false);
    if (ended && c->pid > 0) c->status = WIFEXITED(st) ? WEXITSTATUS(st) : -1, c->pid = -1;
    return ended;
}
child::~child()
{
    finish(this, 0);
    if (!dir.empty()) std::filesystem::remove_all(dir);
}
// True once standard output and error hold needle count times within timeout_ms; false once it ended without.
bool wait_output(child* c, const std::string& needle, int timeout_ms, int count = 1)
{
    bool found = false;
    poll_until(timeout_ms, [&] {
        const bool ended = finish(c, 0, false);  // first: the read then sees all it wrote
        return (found = count_of(out_of(*c) + err_of(*c), needle) >= count) || ended;
    });
    return found;
}
// Runs a shell command within 10 s: its exit status, -1 if it could not run or end. Standard output in *out.
int run_command(const std::string& command, std::string* out = nullptr)
{
    child c;
    if (start(&c, "sh", {"-c", command}) || !finish(&c, 10000)) return -1;
    if (out) *out = out_of(c);
    return c.status;
}
// Starts vantry_remote /c args (inside ns when named): true once it says "Running..." within wait_ms.
bool tap_start(child* c, std::vector<std::string> args, const std::string& ns = "", int wait_ms = 30000)
{
    args.insert(args.begin(), "/c");
    return start(c, remote_path(), args, ns) == 0 && wait_output(c, "Running...", wait_ms);
}
// Ends the tap by SIGTERM, within a second with status 0 (under Wine, by its PID): its standard output.
std::string tap_stop(child* c)
{
    if (under_wine()) return finish(c, 0), out_of(*c);
    EXPECT_EQ(signal_child(*c, SIGTERM), 0);
    EXPECT_TRUE(finish(c, 1000) && c->status == 0) << "not ended within a second of SIGTERM with status 0";
    EXPECT_TRUE(has(out_of(*c), "Shutting down...")) << out_of(*c);
    return out_of(*c);
}
// Starts the native collector (inside ns when named) on a port of its own: that port, 0 if it does not listen.
std::uint16_t collector_start(child* c, std::vector<std::string> args, const std::string& ns = "")
{
    const std::string listening = "Listening on UDP port ";
    args.insert(args.begin(), {"-p", "0", "-F", "pcap"});  // what pcap_of reads
    if (start(c, VANTRY_BIN_DIR "/vantry_collector", args, ns) || !wait_output(c, listening, 5000)) return 0;
    const std::string out = out_of(*c) + err_of(*c);  // "-w -": the log on standard error
    return static_cast<std::uint16_t>(std::atoi(out.c_str() + out.find(listening) + listening.size()));
}
// The whole records of a classic pcap stream in the writer's byte order, Ethernet; none under another header.
std::vector<wire_record> pcap_of(const std::string& d)
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
int netns_call(const std::string& ns, const std::function<int()>& fn)
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
int udp_open(udp_socket* u, const char* addr = "127.0.0.1", const std::string& ns = "")
{
    return netns_call(ns, [&] {
        std::uint32_t a = 0;
        u->s = net_udp_socket();
        return net_resolve_ipv4(addr, &a) || net_bind(u->s, a, 0) || !(u->port = net_local_port(u->s)) ? -1 : 0;
    });
}
void udp_send(const udp_socket& u, const bytes& d, std::uint16_t port)  // to 127.0.0.1
{
    net_send_to(u.s, d.data(), d.size(), {ipv4_of(127, 0, 0, 1), net_order16(port)});
}
std::uint16_t free_port()  // a moment ago
{
    udp_socket probe;
    return udp_open(&probe) ? 0 : probe.port;
}

bytes be16(std::size_t v) { return {static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)}; }
// IPv4 (header checksum filled in) carrying payload, of protocol proto.
bytes ipv4(std::uint8_t proto, const bytes& src, const bytes& dst, const bytes& payload)
{
    bytes head = cat({{0x45, 0}, be16(20 + payload.size()), {0, 0, 0, 0, 64, proto, 0, 0}, src, dst});
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < 20; i += 2) sum += head[i] << 8 | head[i + 1];
    while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
    head[10] = static_cast<std::uint8_t>(~sum >> 8), head[11] = static_cast<std::uint8_t>(~sum);
    return cat({head, payload});
}
bytes udp4(const bytes& src, const bytes& dst, std::uint16_t dport, std::size_t size)  // from port 12345
{
    return ipv4(17, src, dst, cat({{0x30, 0x39}, be16(dport), be16(8 + size), {0, 0}, pattern(size, 7)}));
}
// Ethernet, by default to a unicast address nobody has, so that a receiving stack drops the frame unanswered.
bytes ethernet(std::uint16_t type, const bytes& payload, const bytes& dst = {2, 0, 0, 0, 0, 9})
{
    return cat({dst, bytes(6, 2), be16(type), payload});
}
// TZSP header (version 1, received, Ethernet), tags, END, frame.
bytes tzsp(const bytes& frame, const bytes& tags = {}) { return cat({{1, 0, 0, 1}, tags, {1}, frame}); }

// Capture: namespaces joined by veth pairs, "lanes", without IPv6 or neighbour discovery to add frames of their own.
const std::string id = std::to_string(getpid()), tap_ns = "vcap" + id + "t", peer_ns = "vcap" + id + "p";
std::string lane_if(int k, char side) { return "vc" + id + side + std::to_string(k); }
std::string lane_addr(int k, int host) { return "192.0.2." + std::to_string(4 * k + host); }
const std::string tun_if = "vc" + id + "u", down = "vc" + id + "d", peer_name = "collector-peer.test";
const std::string longest_name = std::string(63, 'a') + "." + std::string(63, 'b') + "." + std::string(63, 'c') + "." +
                                 std::string(61, 'd');
const char* const lab_script = R"(set -e
for ns in $T $P; do ip netns exec $ns sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1
done
for k in 0 1 2 3 4 5 6; do
  a=192.0.2.$((4*k+1)) b=192.0.2.$((4*k+2)) mt=02:00:00:00:0a:0$k mp=02:00:00:00:0b:0$k
  ip -n $T link add ${V}t$k address $mt type veth peer name ${V}p$k netns $P address $mp
  ip -n $T addr add $a/30 dev ${V}t$k && ip -n $P addr add $b/30 dev ${V}p$k
  ip -n $T link set ${V}t$k up && ip -n $P link set ${V}p$k up
  ip -n $T neigh replace $b lladdr $mp nud permanent dev ${V}t$k
  ip -n $P neigh replace $a lladdr $mt nud permanent dev ${V}p$k
done
ip -n $P addr add 198.51.100.1/32 dev lo && ip -n $T link add ${V}d type veth peer name ${V}x)";
// Made once, deleted at the exit: true if it is there. The hosts file names the collectors across lanes 1 and 3.
bool lab()
{
    static netns t(tap_ns, "192.0.2.6 " + peer_name + "\n192.0.2.14 " + longest_name + "\n"), p(peer_ns);
    static const bool ready = geteuid() == 0 && t.made == 0 && p.made == 0 &&
                              run_command("T=" + tap_ns + " P=" + peer_ns + " V=vc" + id + "; " + lab_script) == 0;
    return ready;
}
const bytes listed = {198, 18, 0, 10}, other = {198, 18, 0, 20}, third = {198, 18, 0, 30};
enum { src_listed, dst_listed, unlisted, arp, ipv6, two_tags, qinq, short_ipv4, big1, big2, unreachable, marker };
const std::vector<bytes> frames = {
    ethernet(0x0800, udp4(listed, other, 1001, 40)), ethernet(0x0800, udp4(other, listed, 1002, 40)),
    ethernet(0x0800, udp4(other, third, 1003, 40)), ethernet(0x0806, bytes(28, 1)),
    ethernet(0x86dd, cat({{0x60}, bytes(59)})),
    ethernet(0x8100, cat({{0, 1, 0x81, 0, 0, 2, 8, 0}, udp4(listed, other, 1004, 40)})),  // 802.1Q, 802.1Q, IPv4
    ethernet(0x88a8, cat({{0, 1, 8, 0}, udp4(listed, other, 1005, 40)})), ethernet(0x0800, cat({{0x45}, bytes(9)})),
    ethernet(0x0800, udp4(other, third, 2001, 1000)), ethernet(0x0800, udp4(other, third, 2002, 1400)),
    ethernet(0x0800, ipv4(1, {192, 0, 2, 6}, {192, 0, 2, 5}, {3, 3, 0, 0, 0, 0, 0, 0})),  // from lane 1's collector
    ethernet(0x0800, udp4(listed, third, 2003, 10)),
};
const std::vector<int> all_sent = {src_listed, dst_listed, unlisted, arp, ipv6, two_tags, qinq, short_ipv4, big1, big2};
// The self-exclusion filter reads the cut IPv4 frame beyond its end, which rejects it.
const std::vector<int> all_but_short = {src_listed, dst_listed, unlisted, arp, ipv6, two_tags, qinq, big1, big2,
                                        marker};
using record = std::tuple<bytes, int, int>;  // what arrives of a frame: its first bytes, their number, its length
record as_sent(const bytes& f, std::size_t caplen = 0xffff)
{
    return {bytes(f.begin(), f.begin() + std::min(caplen, f.size())), std::min(caplen, f.size()), f.size()};
}
std::vector<record> want_of(const std::vector<int>& which, std::size_t caplen = 0xffff)
{
    std::vector<record> w;
    for (int i : which) w.push_back(as_sent(frames[i], caplen));
    return w;
}
// Puts frames on the wire of lane k at the peer end, in this order.
void put(const std::vector<int>& which, int k)
{
    const int sent = netns_call(peer_ns, [&] {
        const sockaddr_ll to{AF_PACKET, 0, int(if_nametoindex(lane_if(k, 'p').c_str())), 0, 0, 0, {}};
        const int s = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
        int n = 0;
        for (int i : which)
            n += sendto(s, frames[i].data(), frames[i].size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) ==
                 ssize_t(frames[i].size());
        return close(s), n;
    });
    ASSERT_EQ(sent, int(which.size()));
}
std::uint64_t unix_us() { return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count(); }
}  // namespace

// Taps at once, each sending across a lane of its own: what the options say arrives, not the taps' own datagrams
// nor the collector's unreachable errors; the last frame, sent once the others are in, shows nothing came between.
// Interfaces by index, description, out of range, down, waited for, gone; sends failing, then working again.
TEST(Capture, TapsDoWhatTheirOptionsSayAndLeaveTheirOwnTrafficOut)
{
    if (!lab()) GTEST_SKIP() << "needs root and ip netns";
    const std::string says[] = {"ERROR: Interface index 99 out of range\n",
                                "ERROR: Unable to open interface " + down + ": " + down + ": That device is not up\n"};
    for (int status : {255, 0}) {
        child tap;
        EXPECT_FALSE(tap_start(&tap, {"-i", status ? "99" : down, "-c", "127.0.0.1:9", "-K"}, tap_ns, 10000));
        EXPECT_TRUE(tap.status == status && has(out_of(tap), says[!status])) << out_of(tap);
    }
    child gone;  // on an interface that goes
    ASSERT_TRUE(tap_start(&gone, {"-i", lane_if(5, 't'), "-c", "127.0.0.1:9", "-K"}, tap_ns));
    std::string list;
    run_command("ip netns exec " + tap_ns + " " + remote_path() + " /c -i -1 -c 127.0.0.1:9 -K", &list);
    const std::size_t end = list.find("] [" + lane_if(0, 't') + "] ''"), start = list.rfind("[index=", end) + 7;
    ASSERT_TRUE(has(list, "\n\nAvailable interfaces:\n") && end != std::string::npos) << list;
    const int tun = netns_call(tap_ns, [] {
        ifreq ifr{};
        ifr.ifr_flags = IFF_TUN | IFF_NO_PI;
        std::snprintf(ifr.ifr_name, IFNAMSIZ, "%s", tun_if.c_str());
        const int fd = open("/dev/net/tun", O_RDWR | O_CLOEXEC);
        return ioctl(fd, TUNSETIFF, &ifr) == 0 ? fd : -1;
    });
    ASSERT_TRUE(tun >= 0 && run_command("ip -n " + tap_ns + " link set " + tun_if + " up") == 0);
    const bytes raw[] = {udp4({198, 19, 0, 1}, {198, 19, 0, 2}, 3001, 100),
                         cat({{0x60, 0, 0, 0, 0, 8, 17, 64}, bytes(40, 0x11)}), udp4({198, 19, 0, 1}, third, 3002, 10)};
    std::vector<record> tunneled;
    for (const bytes& r : raw) tunneled.push_back(as_sent(cat({bytes(12), be16(r[0] >> 4 == 6 ? 0x86dd : 0x0800), r})));
    const std::string any = "net 198.19.0.0/16 or ip6 net 1111::/16";  // the TUN's frames alone
    temp_file hosts("# listed\n198.18.0.10\n");
    const struct {
        std::vector<std::string> args;
        std::string host, set;  // set: what the filter has before the self-exclusion part
        std::vector<record> want;
        std::vector<std::pair<std::string, int>> log = {};  // a text, the times it is in the log
    } rows[] = {
        // The kernel hands 802.1ad-tagged frames to the filter untagged.
        {{"-i", list.substr(start, end - start), "-f", "udp"}, "0300.0.2.2", "(udp) and ",
         want_of({src_listed, dst_listed, unlisted, qinq, big1, big2, marker}),
         {{"Capturing traffic from " + lane_if(0, 't') + "\n", 1}}},
        {{"-i", lane_if(1, 't'), "-f", "port and and"}, peer_name, "", want_of(all_but_short),
         {{"ERROR: Invalid BPF filter syntax: '", 1}}},
        {{"-i", lane_if(2, 't'), "-H", hosts.path}, "192.0.2.10", "",
         want_of({src_listed, dst_listed, two_tags, marker})},
        {{"-i", lane_if(3, 't'), "-s", "100"}, longest_name, "", want_of(all_but_short, 100),
         {{"WARNING: Frame bigger than max (1042 > 100)\n", 1}, {"Frame bigger than max", 1},
          {"WARNING: Please disable LRO/GRO on your NIC (ethtool -K <NIC> gro off gso off tso off)\n", 1}}},
        {{"-i", tun_if}, "192.0.2.18", "", tunneled},
        {{"-i", "PSEUDO-device", "-f", any}, "192.0.2.22", "(" + any + ") and ", tunneled,
         {{"Capturing traffic from any\n", 1}, {"link type", 0}}},
        {{"-i", "*" + lane_if(6, 't'), "-v"}, "198.51.100.1", "", want_of({big2, big2, marker}),  // routed later
         {{"Found interface '" + lane_if(6, 't') + "'", 1}, {"Send error [", 1}, {"] Sending works again after ", 1},
          {" datagrams could not be sent", 1}}},
    };
    constexpr int n = std::size(rows);
    child taps[n], col[n];
    for (int i = 0; i < n; ++i) {
        const std::string addr = i < 6 ? lane_addr(i, 2) : rows[i].host;
        const std::string port = std::to_string(collector_start(&col[i], {"-K", "-v", "-w", "-"}, peer_ns));
        std::vector<std::string> args = rows[i].args;
        args.insert(args.end(), {"-c", rows[i].host + ":" + port, "-K"});
        ASSERT_TRUE(port != "0" && tap_start(&taps[i], args, tap_ns)) << err_of(col[i]) << out_of(taps[i]);
        EXPECT_TRUE(has(out_of(taps[i]), "Set BPF filter to '" + rows[i].set + "not (host " + addr + " and (port " +
                                             port + " or ip[6:2] & 0x1fff != 0 or icmp[icmptype] == icmp-unreach))'\n"))
            << out_of(taps[i]);
    }
    const auto frames_in = [&](int i) { return pcap_of(out_of(col[i])).size(); };
    for (int k = 0; k < 4; ++k) put(all_sent, k);
    put({unreachable}, 1);
    put(std::vector<int>(40, big2), 6);  // two to a datagram: 19 sends that fail at once, two in hand
    for (int i : {0, 1}) ASSERT_EQ(write(tun, raw[i].data(), raw[i].size()), ssize_t(raw[i].size()));
    ASSERT_TRUE(wait_output(&taps[6], "Captured packet with len", 5000, 40));
    ASSERT_EQ(run_command("ip -n " + tap_ns + " route add 198.51.100.1 via " + lane_addr(6, 2)), 0);
    for (int i = 0; i < n; ++i)
        ASSERT_TRUE(poll_until(5000, [&] { return frames_in(i) + 1 >= rows[i].want.size(); })) << rows[i].args[1];
    for (int k : {0, 1, 2, 3, 6}) put({marker}, k);
    ASSERT_EQ(write(tun, raw[2].data(), raw[2].size()), ssize_t(raw[2].size()));
    for (int i = 0; i < n; ++i) {
        SCOPED_TRACE(testing::PrintToString(rows[i].args));
        poll_until(5000, [&] { return frames_in(i) >= rows[i].want.size(); });
        const std::string out = tap_stop(&taps[i]), sent = std::to_string(count_of(err_of(col[i]), "Datagram of "));
        std::vector<record> got;
        for (const wire_record& r : pcap_of(out_of(col[i]))) got.emplace_back(r.frame, r.caplen, r.len);
        EXPECT_EQ(got, rows[i].want);
        EXPECT_TRUE(has(out, "Packet stats [" + sent + " packets sent][0 capture drops]")) << out;
        for (const auto& [text, times] : rows[i].log) EXPECT_EQ(count_of(out, text), times) << text << "\n" << out;
    }
    close(tun);
    ASSERT_EQ(run_command("ip -n " + tap_ns + " link del " + lane_if(5, 't')), 0);
    const std::string failed = "ERROR: Capture from " + lane_if(5, 't') + " failed: ";
    ASSERT_TRUE(wait_output(&gone, failed, 5000)) << out_of(gone);
    EXPECT_FALSE(wait_output(&gone, failed, 500, 2)) << out_of(gone);  // reads go on failing, unreported
    tap_stop(&gone);
}

// Taps fed the same datagrams, good and bad, from a listed sender and another: collectors write exactly what they
// should, or count what another key hides; the idle rule sends the last. A tap that is its own collector drops it.
TEST(TzspE2E, CollectorsWriteExactlyWhatTapsForward)
{
    udp_socket listed, src;  // src on 127.0.0.1, not listed
    ASSERT_EQ(udp_open(&listed, "127.0.0.2") | udp_open(&src), 0);
    temp_file hosts("# test\n127.0.0.2\n"), pcap("");
    const bytes f[] = {pattern(8995, 5), pattern(60, 1), pattern(1, 2), pattern(100, 3), pattern(40, 4)};
    const struct {
        std::vector<std::string> tap, collector;
        std::vector<int> written;  // of f
        const char* summary;
    } rows[] = {
        {{"-k", "e2e key", "-n", "65794", "-v", "-H", hosts.path}, {"-k", "e2e key", "-v", "-w", "-"}, {0, 1, 2, 3},
         "Received 2 datagrams, 4 frames; not decoded: 0 bad magic"},
        {{"-k", "the key"}, {"-k", "not the key", "-v", "-w", pcap.path}, {},
         "Received 2 datagrams, 0 frames; not decoded: 2 bad magic"},
        {{"-K", "-v"}, {}, {}, ""},  // its collector option names its own TZSP port
    };
    constexpr std::size_t n = std::size(rows);
    child taps[n], col[n];
    std::uint16_t in[n];
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint16_t port = i < 2 ? collector_start(&col[i], rows[i].collector) : 0;
        std::vector<std::string> args = {"-t", std::to_string(in[i] = free_port()), "-c", "127.0.0.1:"};
        args.back() += std::to_string(i < 2 ? port : in[i]);
        args.insert(args.end(), rows[i].tap.begin(), rows[i].tap.end());
        ASSERT_TRUE((port || i == 2) && tap_start(&taps[i], args)) << err_of(col[i]) << out_of(taps[i]);
    }
    const std::uint64_t before = unix_us();
    for (std::size_t i = 0; i < n; ++i) {
        for (const bytes& d : {tzsp(f[0]), bytes{1, 0, 0, 1, 1}, tzsp(pattern(8996, 9)), tzsp(f[1]), tzsp(f[2]),
                               bytes{1, 0, 0, 1, 10, 200, 1, 1}, tzsp(f[3], {0, 0, 10, 4, 1, 1, 1, 1, 42, 0})})
            udp_send(listed, d, in[i]);
        udp_send(src, tzsp(f[4]), in[i]);
    }
    const auto last_input = steady_clock::now();
    const std::uint64_t after = unix_us() + 300000;  // stamped on arrival, not on sending
    for (std::size_t i = 0; i < 2; ++i) ASSERT_TRUE(wait_output(&col[i], "Datagram of ", 5000, 2)) << err_of(col[i]);
    EXPECT_GE(steady_clock::now() - last_input, 1000ms);
    EXPECT_FALSE(wait_output(&col[0], "Datagram of ", 1200, 3)) << "a datagram the idle rule should not have sent";
    EXPECT_TRUE(has(err_of(col[0]), " from tap 258 with 1 pkts")) << "tap id 65794 cut to 16 bits";
    ASSERT_TRUE(wait_output(&taps[2], "WARNING: Dropping the tap's own datagrams", 5000));
    for (std::size_t i = 0; i < n; ++i) {
        SCOPED_TRACE(i);
        const std::string out = tap_stop(&taps[i]);
        EXPECT_TRUE(under_wine() || has(out, "Collected 6 pkts\n")) << out;
        if (i == 2) {  // each of its two datagrams sent once, dropped when it came back
            EXPECT_TRUE(under_wine() || (count_of(out, "Sending") == 2 && count_of(out, "Dropping") == 1)) << out;
            continue;
        }
        signal_child(col[i], SIGTERM);
        EXPECT_TRUE(finish(&col[i], 5000) && col[i].status == 0) << out_of(col[i]);
        const std::string d = i ? file_text(pcap.path) : out_of(col[i]);
        const std::vector<wire_record> got = pcap_of(d);
        ASSERT_EQ(got.size(), rows[i].written.size());
        std::size_t size = 24;  // with nothing after the records
        for (std::size_t j = 0; j < got.size(); size += 16 + got[j++].frame.size()) {
            const std::uint64_t ts = std::uint64_t{got[j].ts_sec} * 1000000 + got[j].ts_usec;
            EXPECT_TRUE(got[j].frame == f[rows[i].written[j]] && got[j].len == got[j].frame.size() &&
                        got[j].ts_usec < 1000000 && ts + 1000 >= before && ts <= after) << j << ": " << ts;
        }
        EXPECT_EQ(d.size(), size);
        EXPECT_TRUE(has(i ? out_of(col[i]) : err_of(col[i]), rows[i].summary)) << out_of(col[i]) << err_of(col[i]);
        for (const char* line : {"Collected packet 2 with len = 65\n", "Collected packet 3 with len = 6\n"})
            EXPECT_TRUE(under_wine() || i || has(out, line)) << out;
    }
}

// Sealed (-A) and Speck taps sending to collectors of either mode: only a collector of the tap's mode writes, the
// other counts what it refused. A tap started twice with the same key seals under a new run id, from number 0.
TEST(TzspE2E, SealedDatagramsReachOnlyACollectorOfTheirModeAndEachRunHasItsOwnId)
{
    udp_socket src, rx;
    ASSERT_EQ(udp_open(&src) | udp_open(&rx), 0);
    const std::vector<std::string> sealed = {"-A", "-k", "mango"}, speck = {"-k", "mango"};
    const struct {
        std::vector<std::string> tap, collector;
        std::size_t written;
        const char* said;
    } rows[] = {
        {sealed, sealed, 2, "Sealed: 0 datagrams lost on the way; refused: 0 not authentic, 0 replayed"},
        {sealed, speck, 0, "1 sealed datagrams (from taps started with -A) refused"},
        {speck, sealed, 0, "refused: not a sealed datagram"},
        {{"-A", "-k", "melon"}, sealed, 0, "refused: 1 not authentic"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.tap) + " to " + testing::PrintToString(row.collector));
        child tap, col;
        std::vector<std::string> args = row.collector, tap_args = row.tap;
        args.insert(args.end(), {"-v", "-w", "-"});
        const std::uint16_t port = collector_start(&col, args), in = free_port();
        tap_args.insert(tap_args.end(), {"-t", std::to_string(in), "-c", "127.0.0.1:" + std::to_string(port)});
        ASSERT_TRUE(port && tap_start(&tap, tap_args)) << err_of(col) << out_of(tap);
        for (int i : {1, 2}) udp_send(src, tzsp(pattern(50 + 10 * i, std::uint8_t(i))), in);
        EXPECT_TRUE(wait_output(&col, "Datagram of ", 5000)) << err_of(col);
        tap_stop(&tap);
        signal_child(col, SIGTERM);
        EXPECT_TRUE(finish(&col, 5000) && col.status == 0);
        EXPECT_EQ(pcap_of(out_of(col)).size(), row.written);
        EXPECT_TRUE(has(err_of(col), row.said)) << err_of(col);
    }
    bytes ids[2];
    for (bytes& d : ids) {
        child tap;
        const std::uint16_t in = free_port();
        ASSERT_TRUE(tap_start(&tap, {"-A", "-k", "mango", "-t", std::to_string(in), "-c",
                                     "127.0.0.1:" + std::to_string(rx.port)})) << out_of(tap);
        udp_send(src, tzsp(pattern(60, 1)), in);
        d.resize(200);
        ASSERT_EQ(net_wait_readable(rx.s, 5000000), 1);
        d.resize(std::max(0L, net_recv_from(rx.s, d.data(), d.size(), nullptr)));
        tap_stop(&tap);
        ASSERT_EQ(d.size(), 32u + 12 + 60 + 16);
        EXPECT_EQ(bytes(d.begin(), d.begin() + 4), (bytes{0x03, 0x19, 0x68, 0x24}));
        EXPECT_EQ(bytes(d.begin() + 24, d.begin() + 32), bytes(8, 0)) << "numbers start at 0";
    }
    EXPECT_NE(bytes(ids[0].begin() + 8, ids[0].begin() + 24), bytes(ids[1].begin() + 8, ids[1].begin() + 24));
}

// Frames through the collector's TAP interface (made by it, or up already) draw no answer and reach no socket, where
// an ordinary interface would answer ARP and take IPv4 from any source; it gets no IPv6 address nor route.
TEST(TzspE2E, CollectorTapInterfaceIsAPassiveMonitor)
{
    if (geteuid() || access("/proc/sys/net/ipv6", F_OK) || access("/dev/net/tun", F_OK))
        GTEST_SKIP() << "needs root, IPv6 and /dev/net/tun";
    const std::string pid = std::to_string(getpid()), ns = "vantry-e2e-" + pid;
    const std::string ip = "ip -n " + ns + " ", in_ns = "ip netns exec " + ns + " ";
    netns space(ns);
    const char* const open_settings = "sysctl -qw net.ipv6.conf.all.disable_ipv6=0 net.ipv6.conf.default.disable_ipv6=0"
        " net.ipv6.conf.default.accept_dad=0 net.ipv4.conf.all.rp_filter=0 net.ipv4.conf.default.rp_filter=0"
        " net.ipv4.conf.all.arp_ignore=0";
    ASSERT_EQ(space.made | run_command(ip + "addr add 192.0.2.1/32 dev lo && " + in_ns + open_settings), 0);
    udp_socket src, local;  // to the collector; on a local IPv4 address
    ASSERT_EQ(udp_open(&src, "127.0.0.1", ns) | udp_open(&local, "192.0.2.1", ns), 0);
    // An ARP probe (sender 0.0.0.0) for the local address; UDP to it from a source routed nowhere.
    bytes datagram = {0x02, 0x19, 0x68, 0x24, 0, 1, 2, 0};
    for (const bytes& f : {ethernet(0x0806, cat({{0, 1, 8, 0, 6, 4, 0, 1}, bytes(16), {192, 0, 2, 1}}), bytes(6, 0xff)),
                           ethernet(0x0800, udp4({198, 51, 100, 7}, {192, 0, 2, 1}, local.port, 1),
                                    bytes(6, 0xff))})
        datagram = cat({datagram, bytes(8), be16(f.size()), be16(f.size()), f});
    std::string text;
    for (const std::string& name : {"vtc" + pid, "vta" + pid}) {
        SCOPED_TRACE(name);
        // Up with no carrier: IPv6 starts the moment the collector attaches.
        const std::string add = ip + "tuntap add dev " + name + " mode tap && " + ip + "link set " + name + " up";
        ASSERT_EQ(name[2] == 'a' ? run_command(add) : 0, 0);
        child col;
        const std::uint16_t port = collector_start(&col, {"-K", "-i", name}, ns);
        ASSERT_NE(port, 0) << out_of(col) << err_of(col);
        udp_send(src, datagram, port);
        // The frames written into it; what the kernel sends (by the queue's count): nothing, still a second later.
        const std::string stats =
            in_ns + "sh -c 'cat /sys/class/net/" + name + "/statistics/rx_packets; tc -s qdisc show dev " + name + "'";
        EXPECT_TRUE(poll_until(5000, [&] { return run_command(stats, &text) == 0 && text.starts_with("2\n"); }));
        EXPECT_FALSE(poll_until(1000, [&] {
            return run_command(stats, &text) || !has(text, "backlog 0b 0p") ||
                   count_of(text, " Sent ") != count_of(text, " Sent 0 bytes 0 pkt (dropped 0,");
        })) << text;
        // IPv4 cannot be switched off on one interface: the strict reverse-path check drops the packet.
        EXPECT_NE(net_wait_readable(local.s, 0), 1);
        const std::string show = ip + "addr show dev " + name + " | grep inet; " + ip + "-4 route show table all dev ";
        EXPECT_EQ(run_command(show + name + "; " + ip + "-6 route show table all dev " + name, &text), 0);
        EXPECT_EQ(text, "") << "no address, no route";
        signal_child(col, SIGTERM);
        EXPECT_TRUE(finish(&col, 3000) && col.status == 0);
    }
    // /proc/sys/net read-only, in a mount namespace of its own.
    const std::string ro = "mount --bind /proc/sys/net /proc/sys/net && mount -o remount,bind,ro /proc/sys/net";
    const std::string collector = VANTRY_BIN_DIR "/vantry_collector -p 0 -K -i vtr" + pid;
    EXPECT_NE(run_command(in_ns + "unshare -m sh -c '" + ro + " && exec " + collector + "'", &text), 0);
    EXPECT_TRUE(has(text, "ERROR: Unable to make TAP interface 'vtr" + pid +
                              "' passive: IPv6 off (disable_ipv6) failed")) << text;
}

// Each run ends with status 0 and shows the lines given in that order, the last of them last.
TEST(Cli, WhatEachCommandLineShows)
{
    const std::string version = "Welcome to Vantry remote/virtual tap v.1.1.260430", shut = "Shutting down...";
    const std::string iface = "ERROR: Missing interface -i or -t", title = "Vantry remote/virtual tap 1.1.260430";
    temp_file conf("# a tap\ncollector 127.0.0.1:5000\n  \"--version\"\n");
    const struct {
        std::vector<std::string> args, lines;
        const char* err = "";
        std::vector<std::string> env = {};
    } rows[] = {
        {{"/c", "-t", "37008", "-c", "127.0.0.1:5000"}, {"ERROR: Missing encryption key -k", title, "Usage:", shut}},
        {{"/c", "-K", "--snaplen", "1500", "-t", "37008", "-c", "127.0.0.1:5000"}, {iface, "Usage:", shut},
         "unrecognized option `--snaplen'\n"},
        {{"/c", "-K", "x", "-Q"}, {iface, shut}, "", {"POSIXLY_CORRECT=1"}},
        {{"/c", "-K", "--collector\tx"}, {iface, shut}},  // the words reach the run joined by TABs, split there again
        {{"/c", "-K", "-t", std::to_string(free_port()), "-c", "127.0.0.1"},
         {"WARNING: Data will not be encrypted (-K specified)", "ERROR: Invalid -c format specified: missing port",
          version, "ERROR: Socket error", shut}},
        {{"/c", conf.path}, {"WARNING: Skipping unrecognized line: collector 127.0.0.1:5000", "", version, "",
                             "Version:       1.1.260430"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.args));
        child c;
        ASSERT_EQ(start(&c, remote_path(), row.args, "", row.env), 0);
        EXPECT_TRUE(finish(&c, 30000) && c.status == 0);  // Wine's first start is slow
        // Without the program path, and the trace log's time stamps and sources.
        EXPECT_EQ(std::regex_replace(err_of(c), std::regex("\r|^[^ ]*: "), ""), row.err);
        const std::string out = "\n" + std::regex_replace(out_of(c), std::regex("\r|.* \\[\\w+:\\d+\\] "), "");
        std::size_t at = 0;
        for (const std::string& line : row.lines)  // whole lines
            EXPECT_NE(at = out.find("\n" + line + "\n", at), std::string::npos) << line;
        EXPECT_TRUE(out.ends_with("\n" + row.lines.back() + "\n")) << out;
    }
}

namespace {
struct temp_dir {  // removed with its contents
    char path[32] = "/tmp/vantry-e2e-XXXXXX";
    const bool made = mkdtemp(path) != nullptr;
    ~temp_dir() { std::filesystem::remove_all(path); }
};
// A clear Tap datagram of tap id holding frames, each stamped with its length as seconds.
bytes tap_datagram(std::uint16_t id, const std::vector<bytes>& frames)
{
    bytes d(tap_header_size);
    tap_write_header(d.data(), id);
    d[tap_count_offset] = static_cast<std::uint8_t>(frames.size());
    for (const bytes& f : frames) {
        std::uint8_t h[tap_record_header_size];
        tap_write_record_header(h, std::uint32_t(f.size()), 0, std::uint16_t(f.size()), std::uint16_t(f.size()));
        d = cat({d, bytes(h, h + sizeof h), f});
    }
    return d;
}
// The collector with args through sh, so that "-w -" can be piped: its port once it listens, or 0.
std::uint16_t fleet_collector(child* c, const std::string& args)
{
    const std::string listening = "UDP port ";
    if (start(c, "sh", {"-c", VANTRY_BIN_DIR "/vantry_collector -p 0 -K " + args}) || !wait_output(c, listening, 5000))
        return 0;
    const std::string out = out_of(*c) + err_of(*c);
    return static_cast<std::uint16_t>(std::atoi(out.c_str() + out.find(listening) + listening.size()));
}
}  // namespace

// pcapng to a file and to standard output piped into tshark: taps 7, 8, 9 from 127.0.0.1, .2, .3 are interfaces
// 0, 1, 2 for a reader that knows nothing of Tap datagrams.
TEST(CollectorE2E, ThreeTapsAreThreeInterfacesForTshark)
{
    const temp_dir dir;
    const std::string file = dir.path + std::string("/f.pcapng"), fields = " -T fields -e frame.interface_id"
        " -e frame.interface_name -e data.data 2>/dev/null";
    for (const std::string& out : {" -w " + file, " -w - | tshark -r -" + fields}) {
        SCOPED_TRACE(out);
        child c;
        udp_socket from[3];
        const std::uint16_t port = fleet_collector(&c, "-c 6" + out);
        ASSERT_NE(port, 0) << out_of(c) << err_of(c);
        std::string want;
        for (int i = 0; i < 6; ++i) {  // Ethernet type 0x88b5: tshark shows the payload as it is
            const int t = i % 3;
            ASSERT_TRUE(i >= 3 || udp_open(&from[t], ("127.0.0." + std::to_string(t + 1)).c_str()) == 0);
            const bytes payload = pattern(50 + 333 * i, std::uint8_t(i));
            udp_send(from[t], tap_datagram(std::uint16_t(7 + t), {ethernet(0x88b5, payload)}), port);
            want += std::to_string(t) + "\ttap " + std::to_string(7 + t) + " from 127.0.0." + std::to_string(t + 1) +
                    ":" + std::to_string(from[t].port) + "\t";
            for (std::uint8_t v : payload) want += {"0123456789abcdef"[v >> 4], "0123456789abcdef"[v & 15]};
            want += "\n";
        }
        ASSERT_TRUE(finish(&c, 10000) && c.status == 0);
        std::string got = out_of(c);
        EXPECT_TRUE(out != " -w " + file || run_command("tshark -r " + file + fields, &got) == 0);
        EXPECT_EQ(got, want);
    }
}

// The tap sends over IPv4 only: Tap datagrams from the test over ::1 to collectors bound at ::1 and at :: (IPv4 too,
// named as plain IPv4), read back by tshark. A bind address that names nothing, a file that cannot be opened and a
// port that is taken end the collector at start with status 1.
TEST(CollectorE2E, SendersOverIpv6AreNamedInBracketsAndIpv4AsBefore)
{
    if (run_command("ip -6 addr show dev lo | grep -q ::1/128") != 0) GTEST_SKIP() << "no ::1 on lo: IPv6 is off";
    const temp_dir dir;
    const std::string file = dir.path + std::string("/f.pcapng");
    udp_socket busy;  // its port is taken
    ASSERT_EQ(udp_open(&busy), 0);
    const std::string taken = std::to_string(busy.port);
    const struct { std::string args; std::vector<std::string> from, want; } rows[] = {
        {"-b ::1", {"::1"}, {"[::1]"}},
        {"-b ::", {"::1", "127.0.0.1"}, {"[::1]", "127.0.0.1"}},
        {"-b no-such-collector.invalid", {}, {"ERROR: Invalid bind address 'no-such-collector.invalid': not an IPv4 "
                                              "or IPv6 address or host"}},
        {"-b ::1 -w " + file + "/x", {}, {"ERROR: Unable to write '" + file + "/x' 20/Not a directory"}},
        {"-b 127.0.0.1 -p " + taken, {}, {"ERROR: Unable to bind port " + taken + " 98/Address already in use"}}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.args);
        child c;
        const std::string count = row.from.empty() ? "" : " -c " + std::to_string(row.from.size());
        const std::uint16_t port = fleet_collector(&c, "-v -w " + file + count + " " + row.args);
        std::string want;
        for (std::size_t i = 0; i < row.from.size(); ++i) {
            net_peer at, to;
            ASSERT_EQ(net_resolve_peer(row.from[i].c_str(), 0, &at), 0);
            udp_socket u;
            u.s = net_udp_socket_for(at);
            ASSERT_TRUE(net_bind_peer(u.s, at) == 0 && (u.port = net_local_port(u.s)) != 0 &&
                        net_resolve_peer(row.from[i].c_str(), port, &to) == 0);
            const bytes payload = pattern(60 + 700 * i, std::uint8_t(i));
            const bytes d = tap_datagram(std::uint16_t(7 + i), {ethernet(0x88b5, payload)});
            ASSERT_EQ(net_send_to_peer(u.s, d.data(), d.size(), to), long(d.size()));
            const std::string name = "tap " + std::to_string(7 + i) + " from " + row.want[i] + ":" +
                                     std::to_string(u.port);
            EXPECT_TRUE(wait_output(&c, "New source " + std::to_string(i) + ": " + name + "\n", 5000)) << err_of(c);
            want += name + "\t";
            for (std::uint8_t v : payload) want += {"0123456789abcdef"[v >> 4], "0123456789abcdef"[v & 15]};
            want += "\n";
        }
        ASSERT_TRUE(finish(&c, 10000));
        EXPECT_EQ(c.status, row.from.empty() ? 1 : 0);
        if (row.from.empty()) {
            EXPECT_TRUE(port == 0 && has(out_of(c), row.want[0] + "\n")) << out_of(c);
            continue;
        }
        std::string got;
        EXPECT_EQ(run_command("tshark -r " + file + " -T fields -e frame.interface_name -e data.data 2>/dev/null", &got), 0);
        EXPECT_EQ(got, want);
    }
}

// -C 1 (a million bytes), 50 datagrams of 40 frames of 1400 bytes, each sent once the one before is written: three
// files, each alone readable, none larger than the limit, every frame in one of them.
TEST(CollectorE2E, RotationBySizeGivesFilesThatEachParse)
{
    const temp_dir dir;
    child c;
    udp_socket from;
    const std::string base = dir.path + std::string("/r.pcapng");
    const std::uint16_t port = fleet_collector(&c, "-v -C 1 -c 2000 -w " + base);
    ASSERT_TRUE(port != 0 && udp_open(&from) == 0) << out_of(c);
    for (int i = 0; i < 50; ++i) {
        udp_send(from, tap_datagram(3, std::vector<bytes>(40, pattern(1400, std::uint8_t(i)))), port);
        ASSERT_TRUE(wait_output(&c, "Datagram of 56488 bytes", 5000, i + 1)) << i;
    }
    ASSERT_TRUE(finish(&c, 5000) && c.status == 0);
    int frames = 0;
    for (const char* suffix : {"", "1", "2"}) {
        std::string out;
        EXPECT_EQ(run_command("tshark -r " + base + suffix + " -T fields -e frame.cap_len 2>/dev/null", &out), 0);
        EXPECT_LE(std::filesystem::file_size(base + suffix), 1000000u) << suffix;
        for (std::size_t at = 0; (at = out.find("1400\n", at)) != std::string::npos; at += 5) ++frames;
    }
    EXPECT_TRUE(frames == 2000 && !std::filesystem::exists(base + "3")) << frames;
}

// tshark finds the collector in a personal extcap folder (by HOME from Wireshark 4.2; 4.0 needs WIRESHARK_EXTCAP_DIR,
// honoured for users other than root, so tshark runs as nobody) and captures through it what a TZSP tap forwards, in
// clear and with the key as text. Stopping at -c ends the collector without an error for tshark to show.
TEST(CollectorE2E, TsharkCapturesThroughTheExtcapInterface)
{
    if (run_command("command -v tshark setpriv ss >/dev/null") != 0) GTEST_SKIP() << "needs tshark, setpriv and ss";
    const temp_dir home;
    const std::string dir = home.path + std::string("/.local/lib/wireshark/extcap");
    std::error_code e;
    std::filesystem::create_directories(dir, e);
    std::filesystem::create_symlink(VANTRY_BIN_DIR "/vantry_collector", dir + "/vantry_collector", e);
    ASSERT_TRUE(!e && chmod(home.path, 0755) == 0) << e.message();
    const std::string tshark = "exec env HOME=" + std::string(home.path) + " WIRESHARK_EXTCAP_DIR=" + dir +
                               (geteuid() ? "" : " setpriv --reuid nobody --regid nogroup --clear-groups") + " tshark ";
    std::string out;
    ASSERT_EQ(run_command(tshark + "-D 2>/dev/null", &out), 0);
    EXPECT_TRUE(has(out, ". vantry (Vantry remote tap collector)\n")) << out;
    const struct {
        std::vector<std::string> tap;
        std::string field;  // of the collector, as tshark -o sets it
    } rows[] = {{{"-K"}, "disableencryption:true"}, {{"-k", "e2e-key"}, "extcapkey:e2e-key"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.field);
        const std::string port = std::to_string(free_port()), in = std::to_string(free_port());
        const auto bound = [&] { return run_command("ss -Huln 'sport = :" + port + "'", &out) == 0 && !out.empty(); };
        child tap, shark;
        std::vector<std::string> args = {"-t", in, "-c", "127.0.0.1:" + port};
        args.insert(args.end(), row.tap.begin(), row.tap.end());
        ASSERT_TRUE(tap_start(&tap, args)) << out_of(tap);
        ASSERT_EQ(start(&shark, "sh", {"-c", tshark + "-l -i vantry -o extcap.vantry.port:" + port +
                                                 " -o extcap.vantry." + row.field +
                                                 " -c 3 -T fields -e frame.interface_name -e data.data"}), 0);
        ASSERT_TRUE(poll_until(10000, bound)) << err_of(shark);
        udp_socket src;
        ASSERT_EQ(udp_open(&src), 0);
        std::string want;
        for (int i = 0; i < 3; ++i) {  // Ethernet type 0x88b5: tshark shows the payload as it is
            const bytes payload = pattern(40 + 500 * i, std::uint8_t(i));
            udp_send(src, tzsp(ethernet(0x88b5, payload)), std::uint16_t(std::stoi(in)));
            want += "tap 0 from 127.0.0.1\t";
            for (std::uint8_t v : payload) want += {"0123456789abcdef"[v >> 4], "0123456789abcdef"[v & 15]};
            want += "\n";
        }
        ASSERT_TRUE(finish(&shark, 20000) && shark.status == 0) << err_of(shark);
        EXPECT_EQ(std::regex_replace(out_of(shark), std::regex(R"(:\d+\t)"), "\t"), want);
        EXPECT_FALSE(has(err_of(shark), "Error by extcap")) << err_of(shark);
        EXPECT_TRUE(poll_until(5000, [&] { return !bound(); })) << "the collector still runs";
        tap_stop(&tap);
    }
}

// A link slower than the capture (a shaper with a 1 MB queue): the tap's sends wait for the queue, so that every
// datagram it counts as sent arrives, and what it could not take is counted as capture drops.
TEST(Batch, ASlowLinkSlowsTheTapInsteadOfLosingWhatItCountsAsSent)
{
    const netns t("vslt" + id), c("vslc" + id);
    const std::string link = "ip -n " + t.name + " link add vs0 type veth peer name vs1 netns " + c.name +
                             " && ip -n " + t.name + " addr add 10.78.0.1/30 dev vs0 && ip -n " + c.name +
                             " addr add 10.78.0.2/30 dev vs1 && ip -n " + t.name + " link set vs0 up && ip -n " +
                             c.name + " link set vs1 up && tc -n " + t.name +
                             " qdisc add dev vs0 root tbf rate 40mbit burst 16kb limit 1mb";
    if (t.made || c.made || run_command(link)) GTEST_SKIP() << "needs root, ip netns and tc";
    udp_socket rx;
    const int room = 16 << 20;  // for all of it: the datagrams are read only once all frames are in
    ASSERT_TRUE(udp_open(&rx, "10.78.0.2", c.name) == 0 &&
                setsockopt(int(rx.s), SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof room) == 0);
    const int inject = netns_call(t.name, [] {
        sockaddr_ll sll{AF_PACKET, 0, static_cast<int>(if_nametoindex("lo")), 0, 0, 0, {}};
        const int s = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
        return bind(s, reinterpret_cast<sockaddr*>(&sll), sizeof sll) == 0 ? s : -1;
    });
    child tap;
    ASSERT_TRUE(inject >= 0 && tap_start(&tap, {"-i", "lo", "-c", "10.78.0.2:" + std::to_string(rx.port), "-K"},
                                         t.name)) << out_of(tap);
    const bytes frame = ethernet(0x88b5, pattern(1500, 7));  // a datagram of its own each, 2.5 MB in all
    for (int i = 0; i < 1600; ++i) EXPECT_GT(::send(inject, frame.data(), frame.size(), 0), 0);
    close(inject);
    std::vector<wire_record> got;
    for (bytes d(70000); net_wait_readable(rx.s, 3000000) == 1;) {
        d.resize(70000);
        d.resize(std::max(0L, net_recv_from(rx.s, d.data(), d.size(), nullptr)));
        decode_records(d, &got);
    }
    const std::string out = tap_stop(&tap);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(out, m, std::regex(R"(\[(\d+) packets sent\]\[(\d+) capture drops\])"))) << out;
    EXPECT_EQ(std::to_string(got.size()), m[1].str()) << "datagrams counted as sent but lost on the way";
    EXPECT_EQ(std::stoul(m[1].str()) + std::stoul(m[2].str()), 1600u) << out;
}

#if defined(VANTRY_TEST_HOOKS)
namespace {
// Runs the tap (in ns) with args, in clear, batched and then with VANTRY_SEND_MODE=single; feed makes its input.
// Both runs must deliver the same datagrams (time stamps zeroed), carrying frames in order. Their logs.
std::string batched_and_single(std::vector<std::string> args, const std::vector<bytes>& frames,
                               const std::function<void()>& feed, const std::string& ns = "")
{
    std::vector<bytes> runs[2];
    std::string logs;
    udp_socket rx;
    EXPECT_EQ(udp_open(&rx, "127.0.0.1", ns), 0);
    args.insert(args.end(), {"-c", "127.0.0.1:" + std::to_string(rx.port), "-K"});
    for (int single = 0; single < 2; ++single) {
        child tap;
        setenv("VANTRY_SEND_MODE", single ? "single" : "", 1);  // empty: the mode the system offers
        EXPECT_TRUE(tap_start(&tap, args, ns)) << out_of(tap);
        feed();
        std::vector<wire_record> got;
        for (bytes d(70000); got.size() < frames.size() && net_wait_readable(rx.s, 5000000) == 1;) {
            d.resize(70000);
            d.resize(std::max(0L, net_recv_from(rx.s, d.data(), d.size(), nullptr)));
            for (std::size_t p = 8, i = 0; i < d[6] && p + 12 <= d.size(); ++i, p += 12 + (d[p + 8] << 8 | d[p + 9]))
                std::fill(d.begin() + p, d.begin() + p + 8, 0);  // each record's time stamp
            runs[single].push_back(d), decode_records(d, &got);
        }
        logs += tap_stop(&tap);
        EXPECT_TRUE(std::ranges::equal(frames, got, {}, {}, &wire_record::frame)) << "frames lost or reordered";
    }
    unsetenv("VANTRY_SEND_MODE");
    EXPECT_TRUE(runs[0] == runs[1]) << runs[0].size() << " datagrams batched, " << runs[1].size() << " one by one";
    return logs;
}
}  // namespace

// Runs of one datagram size (three 700-byte frames each), then a size that changes with every frame.
TEST(Batch, TzspDatagramsAreTheSameSentInBatchesOrOneByOne)
{
    udp_socket src;
    const std::uint16_t port = free_port();
    ASSERT_TRUE(port && udp_open(&src) == 0);
    std::vector<bytes> frames(48, pattern(700, 1));
    for (int i = 0; i < 40; ++i) frames.push_back(pattern(40 + 23 * i, std::uint8_t(i)));
    const auto feed = [&] { for (const bytes& f : frames) udp_send(src, tzsp(f), port); };
    EXPECT_FALSE(has(batched_and_single({"-t", std::to_string(port)}, frames, feed), "refused"));
}

// On an MTU below the tap's 1,534-byte datagrams the kernel refuses to segment them: one line, then batches.
TEST(Batch, CapturedFramesAreTheSameDatagramsAfterSegmentationIsRefused)
{
    const netns ns("vbat" + id);
    if (ns.made || run_command("ip -n " + ns.name + " link set lo mtu 1500")) GTEST_SKIP() << "needs root";
    const int inject = netns_call(ns.name, [] {
        sockaddr_ll sll{AF_PACKET, 0, static_cast<int>(if_nametoindex("lo")), 0, 0, 0, {}};
        const int s = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
        return bind(s, reinterpret_cast<sockaddr*>(&sll), sizeof sll) == 0 ? s : -1;
    });
    std::vector<bytes> frames;  // of an EtherType no stack takes up
    for (int i = 0; i < 40; ++i) frames.push_back(ethernet(0x88b5, pattern(i < 30 ? 1500 : 31 * i, std::uint8_t(i))));
    const auto feed = [&] { for (const bytes& f : frames) EXPECT_GT(::send(inject, f.data(), f.size(), 0), 0); };
    const std::string logs = batched_and_single({"-i", "lo"}, frames, feed, ns.name);
    close(inject);
    EXPECT_TRUE(count_of(logs, "refused") == 1 && has(logs, "Segmented sends refused")) << logs;
}
#endif
