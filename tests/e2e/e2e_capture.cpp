// The interface capture path end to end, in two network namespaces of the
// test's own joined by a veth pair: frames are put on the wire from the
// peer side with a packet socket, the real vantry_remote captures them on
// the tap side, and its Tap datagrams (sent in clear, -K) are read and
// decoded here. A TUN device gives a raw-IP capture.
//
// Needs root and `ip netns`; skipped otherwise. Every name carries the
// test's PID, and the namespaces (with everything in them) are deleted at
// the end of the suite and at exit.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_packet.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/process.h"

namespace {

using bytes = std::vector<std::uint8_t>;
using clock_type = std::chrono::steady_clock;

constexpr int start_timeout_ms = 10000;
#define TAP_NS_ADDR "192.0.2.1"
#define PEER_NS_ADDR "192.0.2.2"


int run_quiet(const std::string& cmd)
{
    return std::system((cmd + " >/dev/null 2>&1").c_str());
}

// Runs fn on a thread that has entered the namespace; sockets and devices
// it creates stay in that namespace whatever thread uses them later.
int in_netns(const std::string& ns, const std::function<int()>& fn)
{
    int result = -1;
    std::thread t([&] {
        int fd = ::open(("/var/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return;
        if (::setns(fd, CLONE_NEWNET) == 0)
            result = fn();
        ::close(fd);
    });
    t.join();
    return result;
}

struct lab_names {
    std::string tap_ns, peer_ns, tap_if, peer_if, tun_if, wait_if, spare_if;
};

lab_names make_names()
{
    std::string id = std::to_string(::getpid());
    return {"vcap" + id + "t", "vcap" + id + "p", "vc" + id + "t", "vc" + id + "p",
            "vc" + id + "u",   "vc" + id + "w",   "vc" + id + "s"};
}

// Host names that the tap's namespace alone knows (`ip netns exec` puts
// /etc/netns/<name>/hosts in place of /etc/hosts): the collector across the
// veth, and the longest name a collector option takes, for loopback.
const std::string peer_name = "collector-peer.test";
const std::string longest_name = std::string(63, 'a') + "." + std::string(63, 'b') + "." +
                                 std::string(63, 'c') + "." + std::string(61, 'd');

const lab_names names = make_names();
bool lab_ready = false;
std::string lab_error;

void lab_remove()
{
    run_quiet("ip netns del " + names.tap_ns);
    run_quiet("ip netns del " + names.peer_ns);
    run_quiet("rm -rf /etc/netns/" + names.tap_ns);
}

// Two namespaces without IPv6 (no router or neighbour chatter on the
// link), a 1500-byte veth pair between them, and static neighbours so that
// no ARP crosses it either: the only frames on the link are the test's and
// the tap's.
bool lab_create()
{
    if (::geteuid() != 0) {
        lab_error = "needs root";
        return false;
    }
    lab_remove();
    const std::string& t = names.tap_ns;
    const std::string& p = names.peer_ns;
    const std::vector<std::string> steps = {
        "ip netns add " + t,
        "ip netns add " + p,
        "ip netns exec " + t +
            " sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1",
        "ip netns exec " + p +
            " sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1",
        "ip -n " + t + " link add " + names.tap_if +
            " address 02:00:00:00:0a:01 mtu 1500 type veth peer name " + names.peer_if + " netns " +
            p + " address 02:00:00:00:0b:01 mtu 1500",
        "ip -n " + t + " link set lo up",
        "ip -n " + p + " link set lo up",
        "ip -n " + t + " addr add " TAP_NS_ADDR "/24 dev " + names.tap_if,
        "ip -n " + p + " addr add " PEER_NS_ADDR "/24 dev " + names.peer_if,
        "ip -n " + t + " link set " + names.tap_if + " up",
        "ip -n " + p + " link set " + names.peer_if + " up",
        "ip -n " + t + " neigh replace " PEER_NS_ADDR " lladdr 02:00:00:00:0b:01 nud permanent dev " +
            names.tap_if,
        "ip -n " + p + " neigh replace " TAP_NS_ADDR " lladdr 02:00:00:00:0a:01 nud permanent dev " +
            names.peer_if,
    };
    for (const std::string& s : steps) {
        if (run_quiet(s) != 0) {
            lab_error = "failed: " + s;
            lab_remove();
            return false;
        }
    }
    run_quiet("mkdir -p /etc/netns/" + t);
    std::ofstream("/etc/netns/" + t + "/hosts")
        << "127.0.0.1 localhost\n" PEER_NS_ADDR " " << peer_name << "\n127.0.0.1 " << longest_name
        << "\n";
    return true;
}

// ---- sockets in the namespaces ---------------------------------------------

struct fd_guard {
    int fd = -1;
    fd_guard() = default;
    explicit fd_guard(int f) : fd(f) {}
    fd_guard(const fd_guard&) = delete;
    fd_guard& operator=(const fd_guard&) = delete;
    ~fd_guard()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

// UDP socket bound to addr:0 inside ns; the port it got in *port.
int collector_socket(const std::string& ns, const char* addr, std::uint16_t* port)
{
    return in_netns(ns, [&] {
        int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        ::inet_pton(AF_INET, addr, &sa.sin_addr);
        socklen_t len = sizeof sa;
        if (s < 0 || ::bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
            ::getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
            if (s >= 0)
                ::close(s);
            return -1;
        }
        *port = ntohs(sa.sin_port);
        return s;
    });
}

// Packet socket that sends whole frames out of ifname in ns.
int injector_socket(const std::string& ns, const std::string& ifname)
{
    return in_netns(ns, [&] {
        int s = ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
        sockaddr_ll sll{};
        sll.sll_family = AF_PACKET;
        sll.sll_ifindex = static_cast<int>(::if_nametoindex(ifname.c_str()));
        if (s < 0 || sll.sll_ifindex == 0 ||
            ::bind(s, reinterpret_cast<sockaddr*>(&sll), sizeof sll) != 0) {
            if (s >= 0)
                ::close(s);
            return -1;
        }
        return s;
    });
}

// TUN device (raw IP, no packet information) named ifname in ns; what is
// written to the returned descriptor arrives on that interface.
int tun_device(const std::string& ns, const std::string& ifname)
{
    return in_netns(ns, [&] {
        int fd = ::open("/dev/net/tun", O_RDWR | O_CLOEXEC);
        if (fd < 0)
            return -1;
        ifreq ifr{};
        ifr.ifr_flags = IFF_TUN | IFF_NO_PI;
        std::snprintf(ifr.ifr_name, IFNAMSIZ, "%s", ifname.c_str());
        if (::ioctl(fd, TUNSETIFF, &ifr) != 0) {
            ::close(fd);
            return -1;
        }
        return fd;
    });
}

// ---- frames ---------------------------------------------------------------

const std::uint8_t listed_host[4] = {198, 18, 0, 10};
const std::uint8_t other_host[4] = {198, 18, 0, 20};
const std::uint8_t third_host[4] = {198, 18, 0, 30};

bytes ipv4_packet(const std::uint8_t* src, const std::uint8_t* dst, std::uint16_t dport,
                  std::size_t payload)
{
    bytes p(28 + payload, 0);
    std::size_t total = p.size();
    p[0] = 0x45;
    p[2] = static_cast<std::uint8_t>(total >> 8);
    p[3] = static_cast<std::uint8_t>(total);
    p[8] = 64;
    p[9] = 17;
    std::memcpy(&p[12], src, 4);
    std::memcpy(&p[16], dst, 4);
    p[20] = 0x30;
    p[21] = 0x39;
    p[22] = static_cast<std::uint8_t>(dport >> 8);
    p[23] = static_cast<std::uint8_t>(dport);
    p[24] = static_cast<std::uint8_t>((8 + payload) >> 8);
    p[25] = static_cast<std::uint8_t>(8 + payload);
    for (std::size_t i = 0; i < payload; ++i)
        p[28 + i] = static_cast<std::uint8_t>(i * 13 + dport);
    return p;
}

// Frames go to a unicast address nobody on the link has, so that the
// receiving stack drops them after the capture and never answers.
bytes ethernet(std::initializer_list<std::uint16_t> types, const bytes& payload)
{
    bytes f = {0x02, 0, 0, 0, 0, 0x99, 0x02, 0, 0, 0, 0x0b, 0x01};
    std::size_t n = 0;
    for (std::uint16_t t : types) {
        f.push_back(static_cast<std::uint8_t>(t >> 8));
        f.push_back(static_cast<std::uint8_t>(t));
        if (++n < types.size()) {
            f.push_back(0x00);
            f.push_back(static_cast<std::uint8_t>(n));
        }
    }
    f.insert(f.end(), payload.begin(), payload.end());
    return f;
}

struct frame_set {
    bytes src_listed, dst_listed, unlisted, arp, ipv6, two_tags, qinq, short_ipv4;
    std::vector<const bytes*> all() const
    {
        return {&src_listed, &dst_listed, &unlisted, &arp, &ipv6, &two_tags, &qinq, &short_ipv4};
    }
};

frame_set test_frames()
{
    frame_set f;
    f.src_listed = ethernet({0x0800}, ipv4_packet(listed_host, other_host, 1001, 40));
    f.dst_listed = ethernet({0x0800}, ipv4_packet(other_host, listed_host, 1002, 40));
    f.unlisted = ethernet({0x0800}, ipv4_packet(other_host, third_host, 1003, 40));
    f.arp = ethernet({0x0806}, bytes(28, 0x01));
    bytes v6(60, 0);
    v6[0] = 0x60;
    f.ipv6 = ethernet({0x86DD}, v6);
    f.two_tags = ethernet({0x8100, 0x8100, 0x0800}, ipv4_packet(listed_host, other_host, 1004, 40));
    f.qinq = ethernet({0x88A8, 0x0800}, ipv4_packet(listed_host, other_host, 1005, 40));
    bytes cut = ipv4_packet(listed_host, other_host, 1006, 0);
    cut.resize(10);
    f.short_ipv4 = ethernet({0x0800}, cut);
    return f;
}

// ---- Tap datagrams ----------------------------------------------------------

struct record {
    std::uint32_t ts_sec = 0;
    std::uint16_t caplen = 0;
    std::uint16_t len = 0;
    bytes frame;
};

std::uint32_t be32(const std::uint8_t* p)
{
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           p[3];
}
std::uint16_t be16(const std::uint8_t* p)
{
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

// Header, then num_pkts records that exactly fill the datagram.
bool decode_datagram(const bytes& d, std::vector<record>* out)
{
    if (d.size() < 8 || d[0] != 0x02 || d[1] != 0x19 || d[2] != 0x68 || d[3] != 0x24 || d[7] != 0)
        return false;
    std::size_t at = 8;
    for (unsigned i = 0; i < d[6]; ++i) {
        if (d.size() - at < 12)
            return false;
        record r;
        r.ts_sec = be32(&d[at]);
        r.caplen = be16(&d[at + 8]);
        r.len = be16(&d[at + 10]);
        at += 12;
        if (d.size() - at < r.caplen)
            return false;
        r.frame.assign(d.begin() + static_cast<long>(at), d.begin() + static_cast<long>(at + r.caplen));
        at += r.caplen;
        out->push_back(std::move(r));
    }
    return at == d.size();
}

struct received {
    std::vector<record> records;
    std::vector<std::size_t> datagram_sizes;
    bool malformed = false;
};

// Reads datagrams until want records have come (then lingers for linger_ms
// more, to catch anything that should not come) or until timeout_ms.
received collect(int fd, std::size_t want, int timeout_ms, int linger_ms)
{
    received r;
    auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
    bool lingering = false;
    bytes buf(70000);
    for (;;) {
        if (!lingering && r.records.size() >= want) {
            lingering = true;
            deadline = clock_type::now() + std::chrono::milliseconds(linger_ms);
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now())
                        .count();
        if (left <= 0)
            break;
        pollfd pfd{fd, POLLIN, 0};
        if (::poll(&pfd, 1, static_cast<int>(left)) != 1)
            continue;
        ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
        if (n < 0)
            continue;
        r.datagram_sizes.push_back(static_cast<std::size_t>(n));
        bytes d(buf.begin(), buf.begin() + n);
        if (!decode_datagram(d, &r.records))
            r.malformed = true;
    }
    return r;
}

// ---- the tap ------------------------------------------------------------------

struct tap_run {
    scoped_child child;
    bool running = false;
};

void start_tap(tap_run* t, const std::string& ns, std::vector<std::string> args)
{
    std::vector<std::string> argv = {"netns", "exec", ns, e2e_program_path("vantry_remote"), "/c"};
    argv.insert(argv.end(), args.begin(), args.end());
    process_options opt;
    opt.use_run_prefix = false;
    ASSERT_EQ(process_start(&t->child.proc, "ip", argv, opt), 0);
    t->running = process_wait_output(t->child.proc, "Running...", start_timeout_ms);
    ASSERT_TRUE(t->running) << process_stdout(t->child.proc);
}

// SIGTERM, then the closing statistics and exit status 0.
void stop_tap(tap_run* t)
{
    ASSERT_EQ(process_signal(&t->child.proc, SIGTERM), 0);
    ASSERT_EQ(process_wait(&t->child.proc, 5000), 0) << process_stdout(t->child.proc);
    EXPECT_EQ(t->child.proc.exit_status, 0);
    std::string out = process_stdout(t->child.proc);
    EXPECT_NE(out.find("Shutting down..."), std::string::npos) << out;
    EXPECT_NE(out.find("] Packet stats ["), std::string::npos) << out;
    EXPECT_NE(out.find(" capture drops]"), std::string::npos) << out;
}

void send_frames(int fd, const std::vector<const bytes*>& frames)
{
    for (const bytes* f : frames) {
        ASSERT_EQ(::send(fd, f->data(), f->size(), 0), static_cast<ssize_t>(f->size()));
        // Keeps the order on the wire the order of the calls.
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

std::string hosts_file()
{
    std::string path = "/tmp/vantry_e2e_hosts_" + std::to_string(::getpid());
    std::ofstream(path) << "# listed\n198.18.0.10\n";
    return path;
}

int count_of(const std::string& text, const std::string& what)
{
    int n = 0;
    for (auto p = text.find(what); p != std::string::npos; p = text.find(what, p + 1))
        ++n;
    return n;
}

std::string hex(const bytes& b)
{
    std::string s;
    char t[4];
    for (std::uint8_t c : b) {
        std::snprintf(t, sizeof t, "%02x", c);
        s += t;
    }
    return s;
}

void expect_records(const received& got, const std::vector<const bytes*>& want)
{
    EXPECT_FALSE(got.malformed);
    ASSERT_EQ(got.records.size(), want.size()) << [&] {
        std::string s;
        for (const record& r : got.records)
            s += hex(bytes(r.frame.begin(), r.frame.begin() + std::min<long>(40, r.frame.size()))) + "\n";
        for (std::size_t n : got.datagram_sizes)
            s += std::to_string(n) + " ";
        return s;
    }();
    for (std::size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(hex(got.records[i].frame), hex(*want[i])) << "record " << i;
        EXPECT_EQ(got.records[i].caplen, want[i]->size());
        EXPECT_EQ(got.records[i].len, want[i]->size());
    }
}

class Capture : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (run_quiet("ip netns list") != 0) {
            lab_error = "ip netns unavailable";
            return;
        }
        lab_ready = lab_create();
        if (lab_ready)
            std::atexit(lab_remove);
    }
    static void TearDownTestSuite()
    {
        if (lab_ready)
            lab_remove();
        lab_ready = false;
    }
    void SetUp() override
    {
        if (!lab_ready)
            GTEST_SKIP() << lab_error;
        inject_.fd = injector_socket(names.peer_ns, names.peer_if);
        ASSERT_GE(inject_.fd, 0);
    }

    fd_guard inject_;
};

}  // namespace

// Collector across the veth: the tap's own datagrams cross the captured
// link, and at 2,800 bytes they cross it as fragments, so only the
// self-exclusion filter keeps them from being captured again; a datagram
// that came back would come back again and again.
TEST_F(Capture, FramesArriveUnchangedAndTheTapsOwnTrafficStaysOut)
{
    std::uint16_t port = 0;
    fd_guard rx(collector_socket(names.peer_ns, PEER_NS_ADDR, &port));
    ASSERT_GE(rx.fd, 0);
    tap_run tap;
    // By name: the filter must name the address the name resolves to.
    start_tap(&tap, names.tap_ns,
              {"-i", names.tap_if, "-c", peer_name + ":" + std::to_string(port), "-K"});
    std::string out = process_stdout(tap.child.proc);
    EXPECT_NE(out.find("Set BPF filter to 'not (host " PEER_NS_ADDR " and (port " +
                       std::to_string(port) +
                       " or ip[6:2] & 0x1fff != 0 or icmp[icmptype] == icmp-unreach))'"),
              std::string::npos)
        << out;

    frame_set f = test_frames();
    bytes big1 = ethernet({0x0800}, ipv4_packet(other_host, third_host, 2001, 1400));
    bytes big2 = ethernet({0x0800}, ipv4_packet(other_host, third_host, 2002, 1400));
    bytes big3 = ethernet({0x0800}, ipv4_packet(other_host, third_host, 2003, 1400));
    std::vector<const bytes*> frames = f.all();
    frames.insert(frames.end(), {&big1, &big2, &big3});
    send_frames(inject_.fd, frames);
    ASSERT_EQ(frames[7], &f.short_ipv4);

    // Without an allow-list everything passes, ARP and IPv6 too; only the
    // cut IPv4 frame is not: the filter reads its addresses, beyond its
    // end, and a filter that reads beyond a packet rejects it. Lingering
    // shows that nothing of the tap's own comes after.
    frames.erase(frames.begin() + 7);
    ASSERT_EQ(frames.size(), 10u);
    received got = collect(rx.fd, frames.size(), 8000, 3000);
    expect_records(got, frames);
    bool fragmented = false;
    for (std::size_t n : got.datagram_sizes)
        fragmented |= n + 28 > 1500;
    EXPECT_TRUE(fragmented) << "no datagram needed fragments; the test proves less than it says";
    stop_tap(&tap);
    char stats[96];
    std::snprintf(stats, sizeof stats, "Packet stats [%zu packets sent][0 capture drops]",
                  got.datagram_sizes.size());
    EXPECT_NE(process_stdout(tap.child.proc).find(stats), std::string::npos)
        << process_stdout(tap.child.proc);
}

TEST_F(Capture, UnreachableErrorsOfACollectorWithoutListenerAreNotForwarded)
{
    // Nothing listens on the collector's port: every datagram draws a port
    // unreachable error, which must not be captured and sent again.
    std::uint16_t port = 0;
    {
        fd_guard closed(collector_socket(names.peer_ns, PEER_NS_ADDR, &port));
        ASSERT_GE(closed.fd, 0);
    }
    tap_run tap;
    start_tap(&tap, names.tap_ns,
              {"-i", names.tap_if, "-c", std::string(PEER_NS_ADDR ":") + std::to_string(port), "-K"});
    frame_set f = test_frames();
    send_frames(inject_.fd, {&f.src_listed, &f.dst_listed});
    // Both frames leave in one datagram on the idle rule; an error that came
    // back in would leave in a second one a wait later.
    std::this_thread::sleep_for(std::chrono::milliseconds(4000));
    stop_tap(&tap);
    std::string out = process_stdout(tap.child.proc);
    auto at = out.find("Packet stats [");
    ASSERT_NE(at, std::string::npos) << out;
    unsigned sent = static_cast<unsigned>(std::atoi(out.c_str() + at + 14));
    EXPECT_EQ(sent, 1u) << out;
}

TEST_F(Capture, AllowListWalksTagsAndDropsTheRest)
{
    std::uint16_t port = 0;
    fd_guard rx(collector_socket(names.tap_ns, "127.0.0.1", &port));
    ASSERT_GE(rx.fd, 0);
    std::string hosts = hosts_file();
    tap_run tap;
    start_tap(&tap, names.tap_ns,
              {"-i", names.tap_if, "-c", "127.0.0.1:" + std::to_string(port), "-K", "-H", hosts});
    frame_set f = test_frames();
    send_frames(inject_.fd, f.all());
    received got = collect(rx.fd, 3, 8000, 1500);
    expect_records(got, {&f.src_listed, &f.dst_listed, &f.two_tags});
    stop_tap(&tap);
    std::remove(hosts.c_str());
}

// The user's filter, and one that does not compile, with the collector
// across the captured link and written in another form of its address:
// the tap's own datagrams stay out either way.
TEST_F(Capture, UserFiltersNeverLetTheTapsOwnTrafficIn)
{
    std::uint16_t port = 0;
    fd_guard rx(collector_socket(names.peer_ns, PEER_NS_ADDR, &port));
    ASSERT_GE(rx.fd, 0);
    const std::string self = "not (host " PEER_NS_ADDR " and (port " + std::to_string(port) +
                             " or ip[6:2] & 0x1fff != 0 or icmp[icmptype] == icmp-unreach))";
    frame_set f = test_frames();
    struct row {
        const char* filter;
        std::string set;
        std::vector<const bytes*> want;
    };
    std::vector<const bytes*> all_but_short = f.all();
    all_but_short.erase(all_but_short.begin() + 7);
    const row rows[] = {
        // The kernel hands 802.1ad-tagged frames to the filter untagged.
        {"udp", "(udp) and " + self, {&f.src_listed, &f.dst_listed, &f.unlisted, &f.qinq}},
        {"port and and", self, all_but_short},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.filter);
        tap_run tap;
        start_tap(&tap, names.tap_ns,
                  {"-i", names.tap_if, "-c", "0300.0.2.2:" + std::to_string(port), "-K", "-f", r.filter});
        std::string out = process_stdout(tap.child.proc);
        EXPECT_NE(out.find("Set BPF filter to '" + r.set + "'\n"), std::string::npos) << out;
        EXPECT_EQ(out.find("ERROR: Invalid BPF filter syntax: '") == std::string::npos,
                  r.set != self)
            << out;
        send_frames(inject_.fd, f.all());
        expect_records(collect(rx.fd, r.want.size(), 8000, 2500), r.want);
        stop_tap(&tap);
    }
}

// A frame cut by the snap length: one warning for the whole run, and the
// frame goes on with the bytes that were captured and its wire length.
TEST_F(Capture, CutFramesWarnOnceAndAreForwardedAsCaptured)
{
    std::uint16_t port = 0;
    fd_guard rx(collector_socket(names.tap_ns, "127.0.0.1", &port));
    ASSERT_GE(rx.fd, 0);
    tap_run tap;
    start_tap(&tap, names.tap_ns,
              {"-i", names.tap_if, "-c", "127.0.0.1:" + std::to_string(port), "-K", "-s", "100"});
    bytes big1 = ethernet({0x0800}, ipv4_packet(other_host, third_host, 4001, 1000));
    bytes big2 = ethernet({0x0800}, ipv4_packet(other_host, third_host, 4002, 1400));
    bytes small = ethernet({0x0800}, ipv4_packet(other_host, third_host, 4003, 20));
    send_frames(inject_.fd, {&big1, &big2, &small});
    received got = collect(rx.fd, 3, 8000, 1500);
    ASSERT_EQ(got.records.size(), 3u);
    std::size_t i = 0;
    for (const bytes* f : {&big1, &big2}) {
        EXPECT_EQ(got.records[i].caplen, 100u);
        EXPECT_EQ(got.records[i].len, f->size());
        EXPECT_EQ(hex(got.records[i].frame), hex(bytes(f->begin(), f->begin() + 100)));
        ++i;
    }
    EXPECT_EQ(hex(got.records[2].frame), hex(small));
    std::string out = process_stdout(tap.child.proc);
    std::size_t at = out.find("WARNING: Frame bigger than max (1042 > 100)");
    EXPECT_NE(at, std::string::npos) << out;
    EXPECT_EQ(out.find("Frame bigger than max", at + 20), std::string::npos) << out;
    EXPECT_NE(out.find("WARNING: Please disable LRO/GRO on your NIC (ethtool -K <NIC> gro off gso "
                       "off tso off)"),
              std::string::npos);
    stop_tap(&tap);
}

TEST_F(Capture, RawIPLinkGetsTheEthernetPrefix)
{
    fd_guard tun(tun_device(names.tap_ns, names.tun_if));
    ASSERT_GE(tun.fd, 0);
    ASSERT_EQ(run_quiet("ip -n " + names.tap_ns + " link set " + names.tun_if + " up"), 0);
    std::uint16_t port = 0;
    fd_guard rx(collector_socket(names.tap_ns, "127.0.0.1", &port));
    ASSERT_GE(rx.fd, 0);
    tap_run tap;
    start_tap(&tap, names.tap_ns,
              {"-i", names.tun_if, "-c", "127.0.0.1:" + std::to_string(port), "-K"});
    bytes v4 = ipv4_packet(other_host, third_host, 3001, 100);
    bytes v6(48, 0x11);
    v6[0] = 0x60;
    v6[4] = 0;
    v6[5] = 8;
    for (const bytes* p : {&v4, &v6})
        ASSERT_EQ(::write(tun.fd, p->data(), p->size()), static_cast<ssize_t>(p->size()));
    received got = collect(rx.fd, 2, 8000, 1500);
    EXPECT_FALSE(got.malformed);
    ASSERT_EQ(got.records.size(), 2u);
    std::size_t i = 0;
    for (const bytes* p : {&v4, &v6}) {
        bytes want = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x08, 0x00};
        if (p == &v6)
            want[12] = 0x86, want[13] = 0xDD;
        want.insert(want.end(), p->begin(), p->end());
        EXPECT_EQ(hex(got.records[i].frame), hex(want));
        EXPECT_EQ(got.records[i].caplen, p->size() + 14);
        EXPECT_EQ(got.records[i].len, p->size() + 14);
        ++i;
    }
    stop_tap(&tap);
}

// The cooked headers of the "any" device give way to Ethernet headers
// that carry the frame's own EtherType.
TEST_F(Capture, AnyDeviceFramesArriveAsEthernet)
{
    std::uint16_t port = 0;
    fd_guard rx(collector_socket(names.tap_ns, "127.0.0.1", &port));
    ASSERT_GE(rx.fd, 0);
    tap_run tap;
    start_tap(&tap, names.tap_ns, {"-i", "any", "-c", "127.0.0.1:" + std::to_string(port), "-K"});
    frame_set f = test_frames();
    send_frames(inject_.fd, {&f.src_listed, &f.arp, &f.ipv6});
    std::vector<bytes> want;
    for (const bytes* b : {&f.src_listed, &f.arp, &f.ipv6}) {
        bytes e(12, 0);
        e.insert(e.end(), b->begin() + 12, b->end());
        want.push_back(e);
    }
    expect_records(collect(rx.fd, 3, 8000, 1500), {&want[0], &want[1], &want[2]});
    EXPECT_EQ(process_stdout(tap.child.proc).find("link type"), std::string::npos)
        << process_stdout(tap.child.proc);
    stop_tap(&tap);
}

// A host name of 253 characters, the most a name can have: the port after
// it is the port written, not what is left of it after a cut.
TEST_F(Capture, LongestCollectorNameSendsToThePortWritten)
{
    std::uint16_t port = 0;
    fd_guard rx(collector_socket(names.tap_ns, "127.0.0.1", &port));
    ASSERT_GE(rx.fd, 0);
    ASSERT_GE(port, 10000) << "a port of fewer digits proves less";
    tap_run tap;
    start_tap(&tap, names.tap_ns,
              {"-i", names.tap_if, "-c", longest_name + ":" + std::to_string(port), "-K"});
    frame_set f = test_frames();
    send_frames(inject_.fd, {&f.src_listed});
    expect_records(collect(rx.fd, 1, 8000, 500), {&f.src_listed});
    stop_tap(&tap);
}

// A collector that cannot be reached makes every send fail: the log names
// the first failure and then at most one line a second, and says when
// sending works again.
TEST_F(Capture, SendFailuresAreReportedWithoutFloodingTheLog)
{
    tap_run tap;
    start_tap(&tap, names.tap_ns, {"-i", names.tap_if, "-c", "198.51.100.1:9", "-K"});
    const auto started = clock_type::now();
    std::vector<bytes> big;
    for (int i = 0; i < 400; ++i)
        big.push_back(ethernet({0x0800}, ipv4_packet(other_host, third_host, 5000 + i, 1400)));
    for (const bytes& b : big)
        ASSERT_EQ(::send(inject_.fd, b.data(), b.size(), 0), static_cast<ssize_t>(b.size()));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const double seconds =
        std::chrono::duration<double>(clock_type::now() - started).count();
    std::string out = process_stdout(tap.child.proc);
    const int lines = count_of(out, "Send error [");
    EXPECT_GE(lines, 1) << out;
    EXPECT_LE(lines, 2 + seconds) << out;

    // Sending works again once the address has a route; what is in hand
    // goes out on the idle rule.
    ASSERT_EQ(run_quiet("ip -n " + names.tap_ns + " route add 198.51.100.0/24 dev lo"), 0);
    frame_set f = test_frames();
    send_frames(inject_.fd, {&f.src_listed});
    EXPECT_TRUE(process_wait_output(tap.child.proc, "] Sending works again after ", 5000))
        << process_stdout(tap.child.proc);
    stop_tap(&tap);
    EXPECT_NE(process_stdout(tap.child.proc).find(" datagrams could not be sent"), std::string::npos);
}

// An interface that is down cannot be opened, and the message is the
// capture library's own; one that goes away while captured is reported
// once, and the tap keeps running until it is stopped.
TEST_F(Capture, InterfaceDownOrGoneIsReportedOnce)
{
    const std::string& spare = names.spare_if;
    ASSERT_EQ(run_quiet("ip -n " + names.tap_ns + " link add " + spare + " type veth peer name " +
                        spare + "x"),
              0);
    {
        tap_run tap;
        std::vector<std::string> argv = {"netns", "exec", names.tap_ns,
                                         e2e_program_path("vantry_remote"), "/c", "-i", spare, "-c",
                                         "127.0.0.1:9", "-K"};
        process_options opt;
        opt.use_run_prefix = false;
        ASSERT_EQ(process_start(&tap.child.proc, "ip", argv, opt), 0);
        ASSERT_EQ(process_wait(&tap.child.proc, 10000), 0);
        EXPECT_NE(process_stdout(tap.child.proc)
                      .find("ERROR: Unable to open interface " + spare + ": " + spare +
                            ": That device is not up\n"),
                  std::string::npos)
            << process_stdout(tap.child.proc);
    }
    ASSERT_EQ(run_quiet("ip -n " + names.tap_ns + " link set " + spare + " up"), 0);
    tap_run tap;
    start_tap(&tap, names.tap_ns, {"-i", spare, "-c", "127.0.0.1:9", "-K"});
    ASSERT_EQ(run_quiet("ip -n " + names.tap_ns + " link del " + spare), 0);
    const std::string failed = "ERROR: Capture from " + spare + " failed: ";
    ASSERT_TRUE(process_wait_output(tap.child.proc, failed, 5000)) << process_stdout(tap.child.proc);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(count_of(process_stdout(tap.child.proc), failed), 1) << process_stdout(tap.child.proc);
    stop_tap(&tap);
}

// ---- choosing the interface --------------------------------------------------

class Selection : public Capture {
protected:
    // Starts the tap with -i text and returns once it says which interface
    // it opened (or ended).
    std::string opened(const std::string& text, tap_run* tap)
    {
        std::vector<std::string> argv = {"netns", "exec", names.tap_ns, e2e_program_path("vantry_remote"), "/c",
                                         "-i",    text,   "-c", "127.0.0.1:9", "-K"};
        process_options opt;
        opt.use_run_prefix = false;
        EXPECT_EQ(process_start(&tap->child.proc, "ip", argv, opt), 0);
        process_wait_output(tap->child.proc, "Running...", start_timeout_ms);
        std::string out = process_stdout(tap->child.proc);
        std::size_t at = out.find("Capturing traffic from ");
        if (at == std::string::npos)
            return "";
        return out.substr(at + 23, out.find('\n', at) - at - 23);
    }
};

TEST_F(Selection, ByExactNameDescriptionPieceAndIndex)
{
    {
        tap_run tap;
        EXPECT_EQ(opened(names.tap_if, &tap), names.tap_if);
    }
    {
        // The capture library describes its "any" device; a piece of that
        // description in another letter case selects it.
        tap_run tap;
        EXPECT_EQ(opened("PSEUDO-device", &tap), "any");
    }
    // The listing gives the index of the veth end.
    scoped_child list;
    process_options opt;
    opt.use_run_prefix = false;
    ASSERT_EQ(process_start(&list.proc, "ip",
                            {"netns", "exec", names.tap_ns, e2e_program_path("vantry_remote"), "/c", "-i", "-1", "-c",
                             "127.0.0.1:9", "-K"},
                            opt),
              0);
    process_wait(&list.proc, 10000);
    std::string out = process_stdout(list.proc);
    ASSERT_NE(out.find("\n\nAvailable interfaces:\n"), std::string::npos) << out;
    std::size_t at = out.find("] [" + names.tap_if + "] ''");
    ASSERT_NE(at, std::string::npos) << out;
    std::size_t start = out.rfind("[index=", at);
    std::string index = out.substr(start + 7, at - start - 7);
    tap_run tap;
    EXPECT_EQ(opened(index, &tap), names.tap_if) << "index " << index;
}

TEST_F(Selection, IndexOutOfRangeEndsWithMinusOne)
{
    scoped_child c;
    process_options opt;
    opt.use_run_prefix = false;
    ASSERT_EQ(process_start(&c.proc, "ip",
                            {"netns", "exec", names.tap_ns, e2e_program_path("vantry_remote"), "/c", "-i", "99", "-c",
                             "127.0.0.1:9", "-K"},
                            opt),
              0);
    ASSERT_EQ(process_wait(&c.proc, 10000), 0);
    EXPECT_EQ(c.proc.exit_status, 255);
    EXPECT_NE(process_stdout(c.proc).find("ERROR: Interface index 99 out of range"),
              std::string::npos)
        << process_stdout(c.proc);
}

TEST_F(Selection, WaitModeReturnsOnceTheInterfaceAppears)
{
    tap_run tap;
    std::vector<std::string> argv = {"netns", "exec", names.tap_ns, e2e_program_path("vantry_remote"), "/c",
                                     "-i",    "*" + names.wait_if, "-c", "127.0.0.1:9", "-K"};
    process_options opt;
    opt.use_run_prefix = false;
    ASSERT_EQ(process_start(&tap.child.proc, "ip", argv, opt), 0);
    ASSERT_TRUE(process_wait_output(tap.child.proc, "Searching for interface '" + names.wait_if +
                                                        "' until the interface is up",
                                    start_timeout_ms));
    // Still waiting a poll later: nothing of that name yet.
    std::this_thread::sleep_for(std::chrono::milliseconds(3500));
    EXPECT_EQ(process_stdout(tap.child.proc).find("Found interface"), std::string::npos);
    fd_guard appeared(tun_device(names.tap_ns, names.wait_if));
    ASSERT_GE(appeared.fd, 0);
    run_quiet("ip -n " + names.tap_ns + " link set " + names.wait_if + " up");
    ASSERT_TRUE(process_wait_output(tap.child.proc, "Found interface '" + names.wait_if + "'", 8000))
        << process_stdout(tap.child.proc);
    // The device is brought up a moment after it appears; a poll that
    // falls in between finds it still down, and the open says so.
    // SIGTERM only once the loop has its handler in place ("Running...").
    if (process_wait_output(tap.child.proc, "Capturing traffic from " + names.wait_if, 5000)) {
        ASSERT_TRUE(process_wait_output(tap.child.proc, "Running...", 5000))
            << process_stdout(tap.child.proc);
        stop_tap(&tap);
    }
    else
        EXPECT_NE(process_stdout(tap.child.proc)
                      .find("Unable to open interface " + names.wait_if + ": "),
                  std::string::npos)
            << process_stdout(tap.child.proc);
}
