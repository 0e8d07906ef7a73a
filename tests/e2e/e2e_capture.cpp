// Capture: taps on interfaces of namespaces joined by veth pairs, what their options let through.
#include "tests/e2e/e2e_support.h"

namespace {
// Capture: namespaces joined by veth pairs, "lanes", without IPv6 or neighbour discovery to add frames of their own.
const std::string tap_ns = "vcap" + id + "t", peer_ns = "vcap" + id + "p";
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
std::string pretty(const bytes& b) { return testing::PrintToString(b); }
struct record {  // what arrives of a frame: its first bytes, their number, its length
    bytes head;
    int caplen, len;
    bool operator==(const record&) const = default;
    friend void PrintTo(const record& r, std::ostream* o) { *o << r.caplen << "/" << r.len << pretty(r.head); }
};

record as_sent(const bytes& f, std::size_t caplen = 0xffff)
{
    return {bytes(f.begin(), f.begin() + std::min(caplen, f.size())), int(std::min(caplen, f.size())), int(f.size())};
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
    const int s = packet_socket(peer_ns, lane_if(k, 'p'));
    int sent = 0;
    for (int i : which) sent += send(s, frames[i].data(), frames[i].size(), 0) == ssize_t(frames[i].size());
    close(s);
    ASSERT_EQ(sent, int(which.size()));
}
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
        EXPECT_EQ(tap.status, status);
        EXPECT_TRUE(has(out_of(tap), says[!status])) << out_of(tap);
    }
    child gone;  // on an interface that goes
    ASSERT_TRUE(tap_start(&gone, {"-i", lane_if(5, 't'), "-c", "127.0.0.1:9", "-K"}, tap_ns));
    std::string list;
    run_command("ip netns exec " + tap_ns + " " + remote_path() + " /c -i -1 -c 127.0.0.1:9 -K", &list);
    const std::size_t end = list.find("] [" + lane_if(0, 't') + "] ''"), start = list.rfind("[index=", end) + 7;
    ASSERT_TRUE(has(list, "\n\nAvailable interfaces:\n")) << list;
    ASSERT_NE(end, std::string::npos) << list;
    const int tun = netns_call(tap_ns, [] {
        ifreq ifr{};
        ifr.ifr_flags = IFF_TUN | IFF_NO_PI;
        std::snprintf(ifr.ifr_name, IFNAMSIZ, "%s", tun_if.c_str());
        const int fd = open("/dev/net/tun", O_RDWR | O_CLOEXEC);
        return ioctl(fd, TUNSETIFF, &ifr) == 0 ? fd : -1;
    });
    ASSERT_GE(tun, 0);
    ASSERT_EQ(run_command("ip -n " + tap_ns + " link set " + tun_if + " up"), 0);
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
        ASSERT_NE(port, "0") << err_of(col[i]);
        ASSERT_TRUE(tap_start(&taps[i], args, tap_ns)) << out_of(taps[i]);
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
        for (const wire_record& r : pcap_of(out_of(col[i]))) got.push_back({r.frame, r.caplen, r.len});
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


// As the unit runs it: the user nobody with CAP_NET_RAW alone captures in promiscuous mode (a packet-socket
// membership), so a frame for another address than the interface's own reaches the collector.
TEST(Capture, AnUnprivilegedTapWithCapNetRawAloneIsPromiscuous)
{
    if (!lab()) GTEST_SKIP() << "needs root and ip netns";
    child col, tap;
    const std::string port = std::to_string(collector_start(&col, {"-K", "-w", "-"}, peer_ns)), lane = lane_if(2, 't');
    std::vector<std::string> args = as_nobody_with("net_raw");
    args.insert(args.end(), {remote_path(), "/c", "-i", lane, "-c", lane_addr(2, 2) + ":" + port, "-K"});
    ASSERT_EQ(start(&tap, args[0], std::vector<std::string>(args.begin() + 1, args.end()), tap_ns), 0);
    ASSERT_TRUE(wait_output(&tap, "Running...", 10000)) << out_of(tap);
    std::string link;
    EXPECT_EQ(run_command("ip -d -n " + tap_ns + " link show " + lane, &link), 0);
    EXPECT_TRUE(has(link, " promiscuity 1 ")) << link;
    put({unlisted}, 2);
    EXPECT_TRUE(poll_until(5000, [&] { return pcap_of(out_of(col)).size() == 1; })) << err_of(col);
    tap_stop(&tap);
    EXPECT_EQ(pcap_of(out_of(col)).at(0).frame, frames[unlisted]);
}
