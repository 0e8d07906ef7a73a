// The interface capture path end to end, in two network namespaces of the
// test's own joined by veth pairs: frames are put on the wire from the peer
// side with a packet socket, the real vantry_remote captures them on the
// tap side, and its Tap datagrams (in clear, -K) are read back here. No
// IPv6 and static neighbours: the only frames on a link are the test's and
// the tap's. Needs root; skipped otherwise.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/if_packet.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <thread>

#include "tests/e2e/process.h"

namespace {

const std::string id = std::to_string(getpid());
const std::string tap_ns = "vcap" + id + "t", peer_ns = "vcap" + id + "p", tun_if = "vc" + id + "u";
// Four veth pairs, "lanes", so that taps whose own traffic crosses the link
// run at once: lane k is vc<pid>t<k> 192.0.2.4k+1 -- vc<pid>p<k> 192.0.2.4k+2.
constexpr int lanes = 4;
std::string lane_if(int k, const char* side) { return "vc" + id + side + std::to_string(k); }
std::string lane_addr(int k, int host) { return "192.0.2." + std::to_string(4 * k + host); }
const std::string tap_if = lane_if(0, "t");
// Names that the tap's namespace alone knows: the collector across lane 0,
// and the longest name a collector option takes, for loopback.
const std::string peer_name = "collector-peer.test";
const std::string longest_name =
    std::string(63, 'a') + "." + std::string(63, 'b') + "." + std::string(63, 'c') + "." + std::string(61, 'd');

const bytes listed = {198, 18, 0, 10}, other = {198, 18, 0, 20}, third = {198, 18, 0, 30};

bytes first(const bytes& b, std::size_t n) { return bytes(b.begin(), b.begin() + std::min(n, b.size())); }
bytes udp4(const bytes& src, const bytes& dst, std::uint16_t port, std::size_t n)
{
    return ipv4_udp(src, dst, port, pattern(n, static_cast<std::uint8_t>(port)));
}
// To a unicast address nobody has: the receiving stack drops it, unanswered.
bytes frame(std::initializer_list<std::uint16_t> types, const bytes& payload)
{
    return ethernet({2, 0, 0, 0, 0, 0x99}, {2, 0, 0, 0, 0x0b, 1}, types, payload);
}

enum { src_listed, dst_listed, unlisted, arp, ipv6, two_tags, qinq, short_ipv4, big1, big2, marker };
const std::vector<bytes> frames = {
    frame({0x0800}, udp4(listed, other, 1001, 40)),  frame({0x0800}, udp4(other, listed, 1002, 40)),
    frame({0x0800}, udp4(other, third, 1003, 40)),   frame({0x0806}, bytes(28, 1)),
    frame({0x86dd}, cat({{0x60}, bytes(59)})),       frame({0x8100, 0x8100, 0x0800}, udp4(listed, other, 1004, 40)),
    frame({0x88a8, 0x0800}, udp4(listed, other, 1005, 40)), frame({0x0800}, first(udp4(listed, other, 1006, 0), 10)),
    frame({0x0800}, udp4(other, third, 2001, 1000)), frame({0x0800}, udp4(other, third, 2002, 1400)),
    frame({0x0800}, udp4(other, third, 2003, 10)),
};
const std::vector<int> all_sent = {src_listed, dst_listed, unlisted, arp, ipv6, two_tags, qinq, short_ipv4, big1, big2};
// The tap's self-exclusion filter reads the cut IPv4 frame's addresses,
// beyond its end, and a filter that does so rejects the packet.
const std::vector<int> all_but_short = {src_listed, dst_listed, unlisted, arp, ipv6, two_tags, qinq, big1, big2};

// A record as it should arrive: the first caplen bytes of f, its length.
wire_record as_sent(const bytes& f, std::size_t caplen = 0xffff)
{
    const bytes cut = first(f, caplen);
    return {0, 0, static_cast<std::uint16_t>(cut.size()), static_cast<std::uint16_t>(f.size()), cut};
}
std::vector<wire_record> want_of(const std::vector<int>& which, std::size_t caplen = 0xffff)
{
    std::vector<wire_record> w;
    for (int i : which)
        w.push_back(as_sent(frames[i], caplen));
    return w;
}

// A wanted record of length 0 stands for any record.
void expect_records(const udp_socket& rx, const std::vector<wire_record>& want)
{
    EXPECT_FALSE(rx.malformed);
    ASSERT_EQ(rx.records.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
        SCOPED_TRACE(i);
        if (want[i].len != 0) {
            EXPECT_EQ(rx.records[i].frame, want[i].frame);
            EXPECT_EQ(rx.records[i].caplen, want[i].caplen);
            EXPECT_EQ(rx.records[i].len, want[i].len);
        }
    }
}

std::string at(const std::string& host, const udp_socket& rx) { return host + ":" + std::to_string(rx.port); }

class Capture : public ::testing::Test {
protected:
    static inline std::unique_ptr<scoped_netns> tap, peer;
    static inline bool ready = false;

    static void SetUpTestSuite()
    {
        if (geteuid() != 0 || run_command("ip netns list") != 0)
            return;
        tap = std::make_unique<scoped_netns>(
            tap_ns, "127.0.0.1 localhost\n192.0.2.2 " + peer_name + "\n127.0.0.1 " + longest_name + "\n");
        peer = std::make_unique<scoped_netns>(peer_ns);
        const std::string t = "ip -n " + tap_ns + " ", p = "ip -n " + peer_ns + " ", v = "vc" + id;
        const std::string no_v6 = " sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1";
        ready = tap->made && peer->made &&
                run_command("set -e; ip netns exec " + tap_ns + no_v6 + "; ip netns exec " + peer_ns + no_v6 +
                            "; for k in 0 1 2 3; do a=192.0.2.$((4*k+1)); b=192.0.2.$((4*k+2));" + t +
                            "link add " + v + "t$k address 02:00:00:00:0a:0$k type veth peer name " + v +
                            "p$k netns " + peer_ns + " address 02:00:00:00:0b:0$k;" + t + "addr add $a/30 dev " + v +
                            "t$k;" + p + "addr add $b/30 dev " + v + "p$k;" + t + "link set " + v + "t$k up;" + p +
                            "link set " + v + "p$k up;" + t + "neigh replace $b lladdr 02:00:00:00:0b:0$k nud permanent dev " +
                            v + "t$k;" + p + "neigh replace $a lladdr 02:00:00:00:0a:0$k nud permanent dev " + v +
                            "p$k; done") == 0;
    }
    static void TearDownTestSuite()
    {
        tap.reset();
        peer.reset();
    }
    void SetUp() override
    {
        if (!ready)
            GTEST_SKIP() << "needs root and ip netns";
        for (int k = 0; k < lanes; ++k) {
            inject_[k] = netns_call(peer_ns, [k] {
                sockaddr_ll sll{};
                sll.sll_family = AF_PACKET;
                sll.sll_ifindex = static_cast<int>(if_nametoindex(lane_if(k, "p").c_str()));
                const int s = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
                return bind(s, reinterpret_cast<sockaddr*>(&sll), sizeof sll) == 0 ? s : -1;
            });
            ASSERT_GE(inject_[k], 0);
        }
    }
    void TearDown() override
    {
        for (int fd : inject_)
            close(fd);
    }
    // Puts frames on the wire of lane k, from the peer side.
    void send(const std::vector<int>& which, int k = 0)
    {
        for (int i : which) {
            ASSERT_EQ(::send(inject_[k], frames[i].data(), frames[i].size(), 0), ssize_t(frames[i].size()));
            std::this_thread::sleep_for(std::chrono::milliseconds(2));  // keeps the order on the wire
        }
    }
    int inject_[lanes] = {-1, -1, -1, -1};
};

}  // namespace

// The collector across the link: the tap's own datagrams (at 1,700 bytes
// as fragments) cross it, and only the self-exclusion filter keeps them out;
// one that came back would come back again and again. So would the port
// unreachable errors of a collector where nothing listens. A marker frame
// put on the wire once the first datagrams have gone shows that nothing
// came in between. Neither the user's filter nor one that does not compile
// lets the tap's own traffic in. The collector is given by name (the filter
// names the address it resolves to) or in another form of its address.
TEST_F(Capture, FramesArriveUnchangedAndTheTapsOwnTrafficStaysOut)
{
    const struct {
        std::string host, filter;
        std::string set;  // what comes before the self-exclusion filter
        std::vector<int> want;
    } rows[lanes] = {
        {peer_name, "", "", all_but_short},
        // The kernel hands 802.1ad-tagged frames to the filter untagged.
        {"0300.0.2.6", "udp", "(udp) and ", {src_listed, dst_listed, unlisted, qinq, big1, big2}},
        {"0300.0.2.10", "port and and", "", all_but_short},
        {"192.0.2.14", "", "", {src_listed, dst_listed}},  // nothing listens
    };
    udp_socket rx[lanes];
    scoped_child taps[lanes];
    for (int k = 0; k < lanes; ++k) {
        ASSERT_EQ(udp_open(&rx[k], lane_addr(k, 2).c_str(), peer_ns), 0);
        std::vector<std::string> args = {"-i", lane_if(k, "t"), "-c", at(rows[k].host, rx[k]), "-K", "-v"};
        if (!rows[k].filter.empty())
            args.insert(args.end(), {"-f", rows[k].filter});
        ASSERT_TRUE(tap_start(&taps[k], args, tap_ns)) << process_stdout(taps[k].proc);
        const std::string out = process_stdout(taps[k].proc);
        EXPECT_NE(out.find("Set BPF filter to '" + rows[k].set + "not (host " + lane_addr(k, 2) + " and (port " +
                           std::to_string(rx[k].port) +
                           " or ip[6:2] & 0x1fff != 0 or icmp[icmptype] == icmp-unreach))'\n"),
                  std::string::npos)
            << out;
        EXPECT_EQ(out.find("ERROR: Invalid BPF filter syntax: '") != std::string::npos, k == 2) << out;
        send(k == 3 ? rows[k].want : all_sent, k);
    }
    net_close(rx[3].s);
    rx[3].s = net_invalid_socket;
    ASSERT_TRUE(process_wait_output(&taps[3].proc, "] Sending 2 pkts", 5000)) << process_stdout(taps[3].proc);
    for (int k = 0; k < 3; ++k)
        ASSERT_TRUE(udp_collect(&rx[k], rows[k].want.size())) << k;
    for (int k = 0; k < lanes; ++k)
        send({marker}, k);
    for (int k = 0; k < lanes; ++k) {
        SCOPED_TRACE(rows[k].host + " " + rows[k].filter);
        std::size_t datagrams = 2;
        if (k == 3) {  // the marker leaves alone
            EXPECT_TRUE(process_wait_output(&taps[k].proc, "] Sending 1 pkts", 5000)) << process_stdout(taps[k].proc);
        } else {
            std::vector<int> want = rows[k].want;
            want.push_back(marker);
            udp_collect(&rx[k], want.size());
            expect_records(rx[k], want_of(want));
            datagrams = rx[k].datagrams.size();
            EXPECT_TRUE(std::any_of(rx[k].datagrams.begin(), rx[k].datagrams.end(),
                                    [](const bytes& d) { return d.size() + 28 > 1500; }))
                << "no datagram needed fragments; the test proves less than it says";
        }
        const std::string out = tap_stop(&taps[k]);
        EXPECT_EQ(count_of(out, "] Sending "), int(datagrams)) << out;
        EXPECT_NE(out.find("Packet stats [" + std::to_string(datagrams) + " packets sent][0 capture drops]"),
                  std::string::npos)
            << out;
    }
}

// Taps with their collectors on loopback, all on the same frames at once:
// an allow-list walks 802.1Q tags and drops the rest; frames cut by the
// snap length warn once and go on as captured, with their wire length; a
// collector name of 253 characters, the most a name can have, sends to the
// port written after it, not to what is left of it after a cut; raw-IP
// frames (a TUN device) and the "any" device's cooked ones arrive as
// Ethernet carrying their EtherType.
TEST_F(Capture, LoopbackCollectorsGetWhatTheirOptionsSay)
{
    const int tun = netns_call(tap_ns, [] {
        ifreq ifr{};
        ifr.ifr_flags = IFF_TUN | IFF_NO_PI;
        std::snprintf(ifr.ifr_name, IFNAMSIZ, "%s", tun_if.c_str());
        const int fd = open("/dev/net/tun", O_RDWR | O_CLOEXEC);
        return ioctl(fd, TUNSETIFF, &ifr) == 0 ? fd : -1;
    });
    ASSERT_GE(tun, 0);
    ASSERT_EQ(run_command("ip -n " + tap_ns + " link set " + tun_if + " up"), 0);
    const bytes v4 = udp4(other, third, 3001, 100), v6 = cat({{0x60, 0, 0, 0, 0, 8, 17, 64}, bytes(40, 0x11)});
    const auto behind = [](std::uint16_t type, const bytes& b) { return as_sent(cat({bytes(12), be16(type), b})); };
    // The capture library's cooked form of a frame with two tags loses the
    // inner one: that frame is not compared.
    std::vector<wire_record> any;
    for (int i : all_but_short)
        any.push_back(i == two_tags ? wire_record{} : as_sent(cat({bytes(12), bytes(frames[i].begin() + 12, frames[i].end())})));
    any.insert(any.end(), {behind(0x0800, v4), behind(0x86dd, v6)});
    temp_file hosts("# listed\n198.18.0.10\n");
    const struct {
        std::vector<std::string> args;
        std::string host;
        std::vector<wire_record> want;
        std::vector<std::pair<std::string, int>> log;  // text, times it is in the log
    } rows[] = {
        {{"-i", tap_if, "-H", hosts.path}, "127.0.0.1", want_of({src_listed, dst_listed, two_tags}), {}},
        {{"-i", tap_if, "-s", "100"}, "127.0.0.1", want_of(all_but_short, 100),
         {{"WARNING: Frame bigger than max (1042 > 100)\n", 1}, {"Frame bigger than max", 1},
          {"WARNING: Please disable LRO/GRO on your NIC (ethtool -K <NIC> gro off gso off tso off)\n", 1}}},
        {{"-i", tap_if}, longest_name, want_of(all_but_short), {}},
        {{"-i", tun_if}, "127.0.0.1", {behind(0x0800, v4), behind(0x86dd, v6)}, {}},
        // The other taps' datagrams on loopback stay out.
        {{"-i", "any", "-f", "not host 127.0.0.1"}, "127.0.0.1", any, {{"link type", 0}}},
    };
    udp_socket rx[std::size(rows)];
    scoped_child taps[std::size(rows)];
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        ASSERT_EQ(udp_open(&rx[i], "127.0.0.1", tap_ns), 0);
        std::vector<std::string> args = rows[i].args;
        args.insert(args.end(), {"-c", at(rows[i].host, rx[i]), "-K"});
        ASSERT_TRUE(tap_start(&taps[i], args, tap_ns)) << process_stdout(taps[i].proc);
    }
    ASSERT_GE(rx[2].port, 10000) << "a port of fewer digits proves less";
    send(all_sent);
    for (const bytes* p : {&v4, &v6})
        ASSERT_EQ(write(tun, p->data(), p->size()), ssize_t(p->size()));
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        SCOPED_TRACE(rows[i].args.back());
        udp_collect(&rx[i], rows[i].want.size());
        expect_records(rx[i], rows[i].want);
        const std::string out = tap_stop(&taps[i]);
        for (const auto& [text, times] : rows[i].log)
            EXPECT_EQ(count_of(out, text), times) << text << "\n" << out;
    }
    close(tun);
}

// A collector that cannot be reached makes every send fail: the log names
// the first failure and then at most one line a second, and says when
// sending works again.
TEST_F(Capture, SendFailuresAreReportedWithoutFloodingTheLog)
{
    scoped_child tap;
    ASSERT_TRUE(tap_start(&tap, {"-i", tap_if, "-c", "198.51.100.1:9", "-K", "-v"}, tap_ns));
    const auto started = std::chrono::steady_clock::now();
    for (int i = 0; i < 40; ++i)  // two to a datagram: 20 sends that fail at once
        send({big2});
    ASSERT_TRUE(process_wait_output(&tap.proc, "Captured packet with len", 5000, 40));
    ASSERT_EQ(run_command("ip -n " + tap_ns + " route replace 198.51.100.0/24 dev lo"), 0);
    // What is in hand goes out on the idle rule, now with a route.
    EXPECT_TRUE(process_wait_output(&tap.proc, "] Sending works again after ", 5000));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const std::string out = tap_stop(&tap);
    EXPECT_GE(count_of(out, "Send error ["), 1) << out;
    EXPECT_LE(count_of(out, "Send error ["), 2 + seconds) << out;
    EXPECT_NE(out.find(" datagrams could not be sent"), std::string::npos) << out;
}

// An interface that is down cannot be opened, and the message is the
// capture library's own. Wait mode (-i '*name') returns once an interface
// of that name appears; one that goes away while captured is reported
// once, and the tap keeps running until it is stopped.
TEST_F(Capture, InterfaceDownWaitedForAndGone)
{
    const std::string ip = "ip -n " + tap_ns + " link ", down = "vc" + id + "d", later = "vc" + id + "w";
    ASSERT_EQ(run_command(ip + "add " + down + " type veth peer name " + down + "x"), 0);
    scoped_child tap;
    EXPECT_FALSE(tap_start(&tap, {"-i", down, "-c", "127.0.0.1:9", "-K"}, tap_ns));
    EXPECT_NE(process_stdout(tap.proc).find("ERROR: Unable to open interface " + down + ": " + down +
                                            ": That device is not up\n"),
              std::string::npos)
        << process_stdout(tap.proc);
    run_command(ip + "del " + down);

    scoped_child waiting;
    tap_start(&waiting, {"-i", "*" + later, "-c", "127.0.0.1:9", "-K"}, tap_ns, 0);
    ASSERT_TRUE(process_wait_output(&waiting.proc, "Searching for interface '" + later + "' until the interface is up",
                                    10000));
    EXPECT_FALSE(process_wait_output(&waiting.proc, "Found interface", 300)) << "found before it is there";
    ASSERT_EQ(run_command(ip + "add " + later + " up type veth peer name " + later + "x"), 0);
    ASSERT_TRUE(process_wait_output(&waiting.proc, "Running...", 8000)) << process_stdout(waiting.proc);
    EXPECT_NE(process_stdout(waiting.proc).find("Found interface '" + later + "'"), std::string::npos);
    ASSERT_EQ(run_command(ip + "del " + later), 0);
    const std::string failed = "ERROR: Capture from " + later + " failed: ";
    ASSERT_TRUE(process_wait_output(&waiting.proc, failed, 5000)) << process_stdout(waiting.proc);
    // Reads go on failing, a tenth of a second apart, unreported.
    EXPECT_FALSE(process_wait_output(&waiting.proc, failed, 500, 2)) << process_stdout(waiting.proc);
    tap_stop(&waiting);
}

// By exact name, by a piece of the description in another letter case (the
// capture library describes its "any" device), by the index the listing
// gives; an index out of range ends the tap with status -1.
TEST_F(Capture, InterfaceByNameDescriptionOrIndex)
{
    scoped_child list;
    tap_start(&list, {"-i", "-1", "-c", "127.0.0.1:9", "-K"}, tap_ns, 0);
    ASSERT_EQ(process_finish(&list.proc, 10000), 0);
    const std::string out = process_stdout(list.proc);
    ASSERT_NE(out.find("\n\nAvailable interfaces:\n"), std::string::npos) << out;
    const std::size_t end = out.find("] [" + tap_if + "] ''"), start = out.rfind("[index=", end) + 7;
    ASSERT_NE(end, std::string::npos) << out;
    const struct {
        std::string text, says;
    } rows[] = {
        {tap_if, "Capturing traffic from " + tap_if + "\n"},
        {"PSEUDO-device", "Capturing traffic from any\n"},
        {out.substr(start, end - start), "Capturing traffic from " + tap_if + "\n"},
        {"99", "ERROR: Interface index 99 out of range\n"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.text);
        scoped_child tap;
        const bool runs = r.text != "99";
        EXPECT_EQ(tap_start(&tap, {"-i", r.text, "-c", "127.0.0.1:9", "-K"}, tap_ns, 10000), runs);
        if (runs)
            tap_stop(&tap);
        else
            EXPECT_EQ(tap.proc.exit_status, 255);
        EXPECT_NE(process_stdout(tap.proc).find(r.says), std::string::npos) << process_stdout(tap.proc);
    }
}
