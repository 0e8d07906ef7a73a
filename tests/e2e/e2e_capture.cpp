// Interface capture end to end in two namespaces joined by veth pairs: frames go on the wire from the peer side,
// vantry_remote captures them on the tap side. No IPv6, static neighbours: no frames but the test's and the tap's.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/if_packet.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <thread>

#include "tests/e2e/process.h"

namespace {

const std::string id = std::to_string(getpid()), tap_ns = "vcap" + id + "t", peer_ns = "vcap" + id + "p";
// Four veth pairs, "lanes", so that taps whose own traffic crosses a link run at once.
constexpr int lanes = 4;
std::string lane_if(int k, const char* side) { return "vc" + id + side + std::to_string(k); }
std::string lane_addr(int k, int host) { return "192.0.2." + std::to_string(4 * k + host); }
const std::string tap_if = lane_if(0, "t"), tun_if = "vc" + id + "u";
const char* const lab_script = R"(set -e
for ns in $T $P; do ip netns exec $ns sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1
done
for k in 0 1 2 3; do
  a=192.0.2.$((4*k+1)) b=192.0.2.$((4*k+2)) mt=02:00:00:00:0a:0$k mp=02:00:00:00:0b:0$k
  ip -n $T link add ${V}t$k address $mt type veth peer name ${V}p$k netns $P address $mp
  ip -n $T addr add $a/30 dev ${V}t$k && ip -n $P addr add $b/30 dev ${V}p$k
  ip -n $T link set ${V}t$k up && ip -n $P link set ${V}p$k up
  ip -n $T neigh replace $b lladdr $mp nud permanent dev ${V}t$k
  ip -n $P neigh replace $a lladdr $mt nud permanent dev ${V}p$k
done)";
// Known in the tap's namespace alone: the collector across lane 1, and the longest name there is, for loopback.
const std::string peer_name = "collector-peer.test";
const std::string longest_name = std::string(63, 'a') + "." + std::string(63, 'b') + "." + std::string(63, 'c') + "." +
                                 std::string(61, 'd');

const bytes listed = {198, 18, 0, 10}, other = {198, 18, 0, 20}, third = {198, 18, 0, 30};
bytes udp4(const bytes& s, const bytes& d, std::uint16_t p, std::size_t n) { return ipv4_udp(s, d, p, pattern(n, 7)); }

enum { src_listed, dst_listed, unlisted, arp, ipv6, two_tags, qinq, short_ipv4, big1, big2, marker };
const std::vector<bytes> frames = {
    ethernet({0x0800}, udp4(listed, other, 1001, 40)), ethernet({0x0800}, udp4(other, listed, 1002, 40)),
    ethernet({0x0800}, udp4(other, third, 1003, 40)), ethernet({0x0806}, bytes(28, 1)),
    ethernet({0x86dd}, cat({{0x60}, bytes(59)})), ethernet({0x8100, 0x8100, 0x0800}, udp4(listed, other, 1004, 40)),
    ethernet({0x88a8, 0x0800}, udp4(listed, other, 1005, 40)), ethernet({0x0800}, cat({{0x45}, bytes(9)})),
    ethernet({0x0800}, udp4(other, third, 2001, 1000)), ethernet({0x0800}, udp4(other, third, 2002, 1400)),
    ethernet({0x0800}, udp4(other, third, 2003, 10)),
};
const std::vector<int> all_sent = {src_listed, dst_listed, unlisted, arp, ipv6, two_tags, qinq, short_ipv4, big1, big2};
// The self-exclusion filter reads the cut IPv4 frame beyond its end, which rejects it.
const std::vector<int> all_but_short = {src_listed, dst_listed, unlisted, arp, ipv6, two_tags, qinq, big1, big2};

// Records as they should arrive: the first caplen bytes of a frame, its length.
wire_record as_sent(const bytes& f, std::size_t caplen = 0xffff)
{
    caplen = std::min(caplen, f.size());
    return {0, 0, std::uint16_t(caplen), std::uint16_t(f.size()), bytes(f.begin(), f.begin() + caplen)};
}
std::vector<wire_record> want_of(const std::vector<int>& which, std::size_t caplen = 0xffff)
{
    std::vector<wire_record> w;
    for (int i : which) w.push_back(as_sent(frames[i], caplen));
    return w;
}

// A wanted record of length 0 stands for any record.
void expect_records(const udp_socket& rx, const std::vector<wire_record>& want)
{
    ASSERT_EQ(rx.records.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
        const wire_record &r = rx.records[i], &w = want[i];
        EXPECT_TRUE(w.len == 0 || std::tie(r.frame, r.caplen, r.len) == std::tie(w.frame, w.caplen, w.len))
            << "record " << i << ": " << testing::PrintToString(r.frame) << " " << r.caplen << "/" << r.len;
    }
}

class Capture : public ::testing::Test {
protected:
    static inline bool ready = false;
    static inline int inject[lanes] = {-1, -1, -1, -1};  // packet sockets on the peer ends

    static void SetUpTestSuite()
    {
        const std::string hosts = "127.0.0.1 localhost\n192.0.2.6 " + peer_name + "\n127.0.0.1 " + longest_name + "\n";
        ready = geteuid() == 0 && netns_add(tap_ns, hosts) == 0 && netns_add(peer_ns) == 0 &&
                run_command("T=" + tap_ns + " P=" + peer_ns + " V=vc" + id + "; " + lab_script) == 0;
        for (int k = 0; ready && k < lanes; ++k) {
            inject[k] = netns_call(peer_ns, [k] {
                sockaddr_ll sll{};
                sll.sll_family = AF_PACKET;
                sll.sll_ifindex = static_cast<int>(if_nametoindex(lane_if(k, "p").c_str()));
                const int s = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
                return bind(s, reinterpret_cast<sockaddr*>(&sll), sizeof sll) == 0 ? s : -1;
            });
            ready = inject[k] >= 0;
        }
    }
    static void TearDownTestSuite()
    {
        std::for_each(inject, inject + lanes, close);
        netns_delete(tap_ns), netns_delete(peer_ns);
    }
    void SetUp() override { if (!ready) GTEST_SKIP() << "needs root and ip netns"; }
    // Puts frames on the wire of lane k, from the peer side, in this order.
    static void send(const std::vector<int>& which, int k = 0)
    {
        for (int i : which) {
            ASSERT_EQ(::send(inject[k], frames[i].data(), frames[i].size(), 0), ssize_t(frames[i].size()));
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
};

}  // namespace

// The collector across the link: the tap's own datagrams (1,700 bytes: fragments) and a closed port's
// unreachable errors would come back again and again but for the self-exclusion filter, which the user's
// filter and one that does not compile keep. A marker sent once the first datagrams have gone shows that
// nothing came between. The collector is given by name (the filter has its address) or in another form.
TEST_F(Capture, FramesArriveUnchangedAndTheTapsOwnTrafficStaysOut)
{
    // set: what the filter has before the self-exclusion part.
    const struct { std::string host, filter, set; std::vector<int> want; } rows[lanes] = {
        // The kernel hands 802.1ad-tagged frames to the filter untagged.
        {"0300.0.2.2", "udp", "(udp) and ", {src_listed, dst_listed, unlisted, qinq, big1, big2}},
        {peer_name, "", "", all_but_short},
        {"0300.0.2.10", "port and and", "", all_but_short},
        {"192.0.2.14", "", "", {src_listed, dst_listed}},  // nothing listens; the only lane without fragments
    };
    udp_socket rx[lanes];
    scoped_child taps[lanes];
    for (int k = 0; k < lanes; ++k) {
        ASSERT_EQ(udp_open(&rx[k], lane_addr(k, 2).c_str(), peer_ns), 0);
        const std::string port = std::to_string(rx[k].port);
        std::vector<std::string> args = {"-i", lane_if(k, "t"), "-c", rows[k].host + ":" + port, "-K", "-v"};
        if (!rows[k].filter.empty()) args.insert(args.end(), {"-f", rows[k].filter});
        ASSERT_TRUE(tap_start(&taps[k], args, tap_ns)) << process_stdout(taps[k].proc);
        const std::string out = process_stdout(taps[k].proc);
        EXPECT_TRUE(has(out, "Set BPF filter to '" + rows[k].set + "not (host " + lane_addr(k, 2) + " and (port " +
                                 port + " or ip[6:2] & 0x1fff != 0 or icmp[icmptype] == icmp-unreach))'\n")) << out;
        EXPECT_EQ(has(out, "ERROR: Invalid BPF filter syntax: '"), k == 2) << out;
        send(k == 3 ? rows[k].want : all_sent, k);
    }
    net_close(std::exchange(rx[3].s, net_invalid_socket));
    ASSERT_TRUE(process_wait_output(&taps[3].proc, "] Sending 2 pkts", 5000)) << process_stdout(taps[3].proc);
    for (int k = 0; k < 3; ++k) ASSERT_TRUE(udp_collect(&rx[k], rows[k].want.size())) << k;
    for (int k = 0; k < lanes; ++k) send({marker}, k);
    for (int k = 0; k < lanes; ++k) {
        SCOPED_TRACE(rows[k].host + " " + rows[k].filter);
        std::vector<int> want = rows[k].want;
        want.push_back(marker);
        if (k < 3) {
            udp_collect(&rx[k], want.size());
            expect_records(rx[k], want_of(want));
        } else {  // where nothing listens, the marker leaves alone
            EXPECT_TRUE(process_wait_output(&taps[k].proc, "] Sending 1 pkts", 5000));
        }
        const std::string sent = std::to_string(k < 3 ? rx[k].datagrams.size() : 2), out = tap_stop(&taps[k]);
        EXPECT_TRUE(has(out, "Packet stats [" + sent + " packets sent][0 capture drops]")) << out;
    }
}

// Taps with collectors on loopback, on the same frames at once: an allow-list walks 802.1Q tags and drops the
// rest; cut frames warn once and go on as captured; a collector name of 253 characters keeps the port after
// it; raw-IP (TUN) and "any" device frames arrive as Ethernet with their type.
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
    const auto cooked = [](const bytes& f) { return as_sent(cat({bytes(12), bytes(f.begin() + 12, f.end())})); };
    // The cooked form of a frame with two tags loses the inner one: not compared.
    std::vector<wire_record> any;
    for (int i : all_but_short) any.push_back(i == two_tags ? wire_record{} : cooked(frames[i]));
    any.insert(any.end(), {behind(0x0800, v4), behind(0x86dd, v6)});
    temp_file hosts("# listed\n198.18.0.10\n");
    const struct {
        std::vector<std::string> args;
        std::string host;
        std::vector<wire_record> want;
        std::vector<std::pair<std::string, int>> log;  // a text, the times it is in the log
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
        args.insert(args.end(), {"-c", rows[i].host + ":" + std::to_string(rx[i].port), "-K"});
        ASSERT_TRUE(tap_start(&taps[i], args, tap_ns)) << process_stdout(taps[i].proc);
    }
    ASSERT_GE(rx[2].port, 10000) << "a port of fewer digits proves less";
    send(all_sent);
    for (const bytes* p : {&v4, &v6}) ASSERT_EQ(write(tun, p->data(), p->size()), ssize_t(p->size()));
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        SCOPED_TRACE(rows[i].args.back());
        udp_collect(&rx[i], rows[i].want.size());
        expect_records(rx[i], rows[i].want);
        const std::string out = tap_stop(&taps[i]);
        for (const auto& [text, times] : rows[i].log) EXPECT_EQ(count_of(out, text), times) << text << "\n" << out;
    }
    close(tun);
}

// Sends to a collector without route fail: the first is logged, then at
// most one line a second, and the recovery.
TEST_F(Capture, SendFailuresAreReportedWithoutFloodingTheLog)
{
    scoped_child tap;
    ASSERT_TRUE(tap_start(&tap, {"-i", tap_if, "-c", "198.51.100.1:9", "-K", "-v"}, tap_ns));
    const auto started = std::chrono::steady_clock::now();
    for (int i = 0; i < 40; ++i) send({big2});  // two to a datagram: 20 sends that fail at once
    ASSERT_TRUE(process_wait_output(&tap.proc, "Captured packet with len", 5000, 40));
    ASSERT_EQ(run_command("ip -n " + tap_ns + " route replace 198.51.100.0/24 dev lo"), 0);
    // What is in hand goes out on the idle rule, now with a route.
    EXPECT_TRUE(process_wait_output(&tap.proc, "] Sending works again after ", 5000));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const std::string out = tap_stop(&tap);
    EXPECT_TRUE(count_of(out, "Send error [") >= 1 && count_of(out, "Send error [") <= 2 + seconds) << out;
    EXPECT_TRUE(has(out, " datagrams could not be sent")) << out;
}

// By name, by a piece of the description in another case (the "any" device's), by index; an index out of
// range ends with -1; an interface that is down gets the capture library's message. Wait mode (-i '*name')
// returns once the interface appears; one that goes is reported once.
TEST_F(Capture, InterfaceSelection)
{
    const std::string link = "ip -n " + tap_ns + " link ", down = "vc" + id + "d", later = "vc" + id + "w";
    ASSERT_EQ(run_command(link + "add " + down + " type veth peer name " + down + "x"), 0);
    std::string out;
    run_command("ip netns exec " + tap_ns + " " + e2e_program_path("vantry_remote") + " /c -i -1 -c 127.0.0.1:9 -K",
                &out);
    const std::size_t end = out.find("] [" + tap_if + "] ''"), start = out.rfind("[index=", end) + 7;
    ASSERT_TRUE(has(out, "\n\nAvailable interfaces:\n") && end != std::string::npos) << out;
    const struct { std::string text, says; int status; } rows[] = {  // status -1: runs until stopped
        {tap_if, "Capturing traffic from " + tap_if + "\n", -1},
        {"PSEUDO-device", "Capturing traffic from any\n", -1},
        {out.substr(start, end - start), "Capturing traffic from " + tap_if + "\n", -1},
        {"99", "ERROR: Interface index 99 out of range\n", 255},
        {down, "ERROR: Unable to open interface " + down + ": " + down + ": That device is not up\n", 0},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.text);
        scoped_child tap;
        EXPECT_EQ(tap_start(&tap, {"-i", r.text, "-c", "127.0.0.1:9", "-K"}, tap_ns, 10000), r.status < 0);
        if (r.status < 0) tap_stop(&tap);
        EXPECT_EQ(tap.proc.exit_status, std::max(r.status, 0));
        EXPECT_TRUE(has(process_stdout(tap.proc), r.says)) << process_stdout(tap.proc);
    }
    run_command(link + "del " + down);

    scoped_child tap;
    tap_start(&tap, {"-i", "*" + later, "-c", "127.0.0.1:9", "-K"}, tap_ns, 0);
    ASSERT_TRUE(process_wait_output(&tap.proc, "Searching for interface '" + later + "' until the interface", 9000));
    EXPECT_FALSE(process_wait_output(&tap.proc, "Found interface", 300)) << "found before it is there";
    ASSERT_EQ(run_command(link + "add " + later + " up type veth peer name " + later + "x"), 0);
    ASSERT_TRUE(process_wait_output(&tap.proc, "Running...", 8000)) << process_stdout(tap.proc);
    EXPECT_TRUE(has(process_stdout(tap.proc), "Found interface '" + later + "'"));
    ASSERT_EQ(run_command(link + "del " + later), 0);
    const std::string failed = "ERROR: Capture from " + later + " failed: ";
    ASSERT_TRUE(process_wait_output(&tap.proc, failed, 5000)) << process_stdout(tap.proc);
    // Reads go on failing, a tenth of a second apart, unreported.
    EXPECT_FALSE(process_wait_output(&tap.proc, failed, 500, 2)) << process_stdout(tap.proc);
    tap_stop(&tap);
}
