// A branch office's tap sending across a router to its collector: what each mode loses on the way (docs/wan.md).
#include "tests/e2e/e2e_support.h"

// What the router does to the traffic from the tap.
struct wan_path {
    int loss_percent = 0;  // of the datagrams (or fragments) from the tap, dropped at random
    bool narrow = true;    // the link to the collector of MTU 1,400, IP fragments dropped
    int rate_mbit = 0;     // a shaper with little queue on the link to the collector; 0: none
};

static std::string inside(const std::string& ns) { return "ip netns exec " + ns + " "; }

// The first number the pattern's group takes in text, -1 if it does not match.
static long number_in(const std::string& text, const std::string& pattern)
{
    std::smatch m;
    return std::regex_search(text, m, std::regex(pattern)) ? std::stol(m[1].str()) : -1;
}

// The number after the pattern label in what command prints: -1 if it fails or prints none.
static long number_after(const std::string& command, const std::string& label)
{
    std::string out;
    return run_command(command, &out) ? -1 : number_in(out, label + R"((\d+))");
}

// Three namespaces of the test's own, deleted with it: the tap's (10.79.1.1, fd79:1::1), which captures on its lo
// what inject() writes there; the router's; the collector's (10.79.2.2, fd79:2::2). Both ways are tried before the
// router's rules go in, so that no neighbour lookup costs a datagram later.
struct wan_bed {
    netns tap{"vwt" + id}, router{"vwr" + id}, collector{"vwc" + id};
    int made = -1;    // 0, or -1
    std::string log;  // of the commands that made it
    explicit wan_bed(const wan_path& p)
    {
        const std::string t = "ip -n " + tap.name + " ", r = "ip -n " + router.name + " ",
                          c = "ip -n " + collector.name + " ", mtu = p.narrow ? " mtu 1400" : "";
        std::string script = "exec 2>&1\nset -e\n";
        for (const std::string& ns : {tap.name, router.name, collector.name})
            script += inside(ns) + "sysctl -qw net.ipv6.conf.all.disable_ipv6=0 net.ipv6.conf.default.disable_ipv6=0\n";
        // No limit on ICMP errors: every datagram too large for the link is answered.
        script += inside(router.name) + "sysctl -qw net.ipv4.ip_forward=1 net.ipv6.conf.all.forwarding=1 "
                                    "net.ipv4.icmp_ratelimit=0 net.ipv6.icmp.ratelimit=0\n" +
                  r + "link add up0 type veth peer name wan0 netns " + tap.name + "\n" + r + "link add down0" + mtu +
                  " type veth peer name wan0" + mtu + " netns " + collector.name + "\n";
        const struct { std::string ip, dev, v4, v6; } ends[] = {
            {t, "wan0", "10.79.1.1", "fd79:1::1"}, {r, "up0", "10.79.1.2", "fd79:1::2"},
            {r, "down0", "10.79.2.1", "fd79:2::1"}, {c, "wan0", "10.79.2.2", "fd79:2::2"}};
        for (const auto& e : ends)
            script += e.ip + "addr add " + e.v4 + "/24 dev " + e.dev + "\n" + e.ip + "addr add " + e.v6 + "/64 dev " +
                      e.dev + " nodad\n" + e.ip + "link set " + e.dev + " up\n";
        script += t + "route add default via 10.79.1.2\n" + t + "-6 route add default via fd79:1::2\n" + c +
                  "route add default via 10.79.2.1\n" + c + "-6 route add default via fd79:2::1\n";
        // The router sees each datagram alone, as across a WAN, not a train that segmentation offload hands on whole.
        script += inside(tap.name) + "ethtool -K wan0 tx-udp-segmentation off\n";
        for (const char* to : {"10.79.2.2", "fd79:2::2"})
            script += inside(tap.name) + "ping -q -c1 -i0.2 -w3 " + to + "\n";
        const std::string fragments = p.narrow ? "ip frag-off & 0x3fff != 0 counter name fragments drop\n"
                                                 "exthdr frag exists counter name fragments drop\n" : "";
        script += inside(router.name) + "nft -f - <<'END'\ntable inet wan {\ncounter fragments {}\ncounter lost {}\n"
                  "chain forward { type filter hook forward priority 0; policy accept;\n" + fragments + "}\n"
                  "chain loss { type filter hook forward priority 1; policy accept;\n"
                  "iifname \"up0\" meta l4proto udp numgen random mod 100 < " + std::to_string(p.loss_percent) +
                  " counter name lost drop\n}\n}\nEND\n";
        if (p.rate_mbit)
            script += "tc -n " + router.name + " qdisc add dev down0 root tbf rate " + std::to_string(p.rate_mbit) +
                      "mbit burst 32kb limit 64kb\n";
        made = tap.made || router.made || collector.made || run_command(script, &log) ? -1 : 0;
    }
    // Packets the router's counter (fragments, lost) dropped: -1 if unread.
    long counted(const std::string& counter) const
    {
        return number_after(inside(router.name) + "nft list counter inet wan " + counter, "packets ");
    }
    // A counter of the kernel's in namespace ns (as nstat names it), -1 if unread.
    static long kernel_count(const netns& ns, const std::string& name)
    {
        return number_after(inside(ns.name) + "nstat -asz " + name, name + " +");
    }
    long shaper_drops() const { return number_after("tc -s -n " + router.name + " qdisc show dev down0", "dropped "); }
    void end_loss() const { run_command(inside(router.name) + "nft flush chain inet wan loss"); }
    // Writes frames into the tap's lo, where the tap captures them: 0, or -1.
    int inject(const std::vector<bytes>& frames) const
    {
        const int s = packet_socket(tap.name, "lo");
        int result = s < 0 ? -1 : 0;
        for (const bytes& f : frames)
            if (result == 0 && ::send(s, f.data(), f.size(), 0) != static_cast<long>(f.size())) result = -1;
        if (s >= 0) close(s);
        return result;
    }
};

// Frame i of size bytes, told apart from every other by its number; of an EtherType no stack takes up.
static bytes numbered_frame(int i, std::size_t size)
{
    return ethernet(0x88b5, cat({be16(i), pattern(size - 16, static_cast<std::uint8_t>(i))}));
}

// Ends the collector by SIGTERM (status 0 within 5 s): the frames it wrote to its standard output.
static std::vector<bytes> written_by(child* col)
{
    signal_child(*col, SIGTERM);
    EXPECT_EQ(status_within(col, 5000), 0) << err_of(*col);
    std::vector<bytes> frames;
    for (wire_record& r : pcap_of(out_of(*col))) frames.push_back(std::move(r.frame));
    return frames;
}

// Until the collector's output has not grown for quiet_ms, within 10 s.
static void wait_quiet(const child& col, int quiet_ms)
{
    std::size_t size = out_of(col).size();
    auto since = steady_clock::now();
    poll_until(10000, [&] {
        const std::size_t now = out_of(col).size();
        if (now != size) since = steady_clock::now();
        size = now;
        return steady_clock::now() - since >= milliseconds(quiet_ms);
    });
}

static const std::string key64 = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

// The Speck mode as it is: a datagram takes records until they pass 1,480 bytes, so a full-size frame, and small
// frames that come faster than the idle wait, leave in datagrams over 1,500 bytes, as two IP fragments each, which a
// router that drops fragments loses. Only the last small batch, sent by the idle rule, arrives.
TEST(Wan, SpeckDatagramsOfFullSizeOrBusyTrafficAreLostWhereARouterDropsFragments)
{
    if (geteuid()) GTEST_SKIP() << "needs root";
    const wan_bed bed({});
    ASSERT_EQ(bed.made, 0) << bed.log;
    child col, tap;
    const std::uint16_t port = collector_start(&col, {"-k", "wan key", "-w", "-"}, bed.collector.name);
    ASSERT_NE(port, 0) << err_of(col);
    ASSERT_TRUE(tap_start(&tap, {"-i", "lo", "-k", "wan key", "-c", "10.79.2.2:" + std::to_string(port)},
                          bed.tap.name)) << out_of(tap);
    std::vector<bytes> frames;  // 20 datagrams of one 1,514-byte frame; then 21, 21 and 8 frames of 60 bytes
    for (int i = 0; i < 70; ++i) frames.push_back(numbered_frame(i, i < 20 ? 1514 : 60));
    ASSERT_EQ(bed.inject(frames), 0);
    EXPECT_TRUE(poll_until(5000, [&] { return pcap_of(out_of(col)).size() >= 8; })) << err_of(col);
    EXPECT_EQ(number_in(tap_stop(&tap), R"(\[(\d+) packets sent\])"), 20 + 3) << "datagrams";
    EXPECT_EQ(written_by(&col), std::vector<bytes>(frames.end() - 8, frames.end()));
    EXPECT_EQ(bed.counted("fragments"), 2 * (20 + 2));
}

// Sealed (-A) across the router, 1 % of the datagrams lost: frames of 1,514 and 9,000 bytes go in pieces that fit the
// 1,400-byte link, told by -M or learnt from the router's "fragmentation needed". Every frame arrives whole and in
// order but those that lost datagrams carried, which the collector counts exactly. A gap shows only between two
// datagrams heard: a small first frame, which fits any path, makes the run known, and a small last one, sent once the
// loss is over, ends it.
TEST(Wan, SealedFramesCrossALossyNarrowPathWholeOrCountedAsLost)
{
    if (geteuid()) GTEST_SKIP() << "needs root";
    const struct { std::vector<std::string> mtu; bool learnt; } rows[] = {{{"-M", "1400"}, false}, {{}, true}};
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.mtu));
        const wan_bed bed({.loss_percent = 1});
        ASSERT_EQ(bed.made, 0) << bed.log;
        child col, tap;
        const std::uint16_t port = collector_start(&col, {"-A", "-k", key64, "-r", "4194304", "-w", "-"},
                                                    bed.collector.name);
        std::vector<std::string> args = {"-i", "lo", "-A", "-k", key64, "-c", "10.79.2.2:" + std::to_string(port)};
        args.insert(args.end(), row.mtu.begin(), row.mtu.end());
        ASSERT_NE(port, 0) << err_of(col);
        ASSERT_TRUE(tap_start(&tap, args, bed.tap.name)) << out_of(tap);
        std::vector<bytes> frames = {numbered_frame(0, 100)};
        ASSERT_EQ(bed.inject(frames), 0);
        ASSERT_TRUE(poll_until(5000, [&] { return !pcap_of(out_of(col)).empty(); })) << err_of(col);
        for (int i = 1; i <= 180; ++i) frames.push_back(numbered_frame(i, i % 6 == 5 ? 9000 : 1514));
        ASSERT_EQ(bed.inject(std::vector<bytes>(frames.begin() + 1, frames.end())), 0);
        wait_quiet(col, 500);  // the bulk has passed; only the idle rule's datagram is left
        bed.end_loss();
        frames.push_back(numbered_frame(181, 100));
        ASSERT_EQ(bed.inject({frames.back()}), 0);
        EXPECT_TRUE(poll_until(5000, [&] { return out_of(col).ends_with(std::string(frames.back().begin(),
                                                                                      frames.back().end())); }));
        const std::string tap_out = tap_stop(&tap);
        EXPECT_EQ(number_in(tap_out, R"(\[(\d+) capture drops\])"), 0);
        EXPECT_EQ(count_of(tap_out, "takes packets of 1400 bytes"), row.learnt ? 1 : 0) << tap_out;
        const std::vector<bytes> written = written_by(&col);
        auto next = frames.begin();
        for (const bytes& w : written) {
            const auto at = std::find(next, frames.end(), w);
            EXPECT_NE(at, frames.end()) << "frame " << (w.size() > 15 ? w[14] << 8 | w[15] : -1) << " of "
                                        << w.size() << " bytes: not sent, altered or out of order";
            next = at == frames.end() ? next : at + 1;
        }
        const std::string summary = err_of(col);
        const long datagrams_lost = number_in(summary, R"(Sealed: (\d+) datagrams lost on the way, \d+ frames lost;)"),
                   frames_lost = number_in(summary, R"(Sealed: \d+ datagrams lost on the way, (\d+) frames lost;)");
        ASSERT_GE(frames_lost, 0) << summary;
        EXPECT_EQ(written.size() + frames_lost, frames.size()) << summary;
        // Refused by the router as too large (answered "fragmentation needed"), or by the tap's own system once it
        // knew; lost on the path, or in the collector's socket when a burst outran it.
        const long too_large = wan_bed::kernel_count(bed.router, "IpFragFails"),
                   not_sent = std::max(0L, number_in(tap_out, R"((\d+) datagrams could not be sent)")),
                   dropped = bed.counted("lost") + wan_bed::kernel_count(bed.collector, "UdpRcvbufErrors");
        EXPECT_EQ(too_large > 0, row.learnt) << too_large << " datagrams too large for the link";
        EXPECT_EQ(datagrams_lost, too_large + not_sent + dropped) << summary;
    }
}

// -R across the lossy path to a 24 Mbit/s link with a queue of 64 kB: without it the tap overflows the router's
// queue at once; capped at 16 Mbit/s it leaves nothing for the queue to drop.
TEST(Wan, TheRateCapKeepsTheTapWithinASlowLink)
{
    if (geteuid()) GTEST_SKIP() << "needs root";
    const struct { std::vector<std::string> cap; bool overflows; } rows[] = {{{}, true}, {{"-R", "16"}, false}};
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.cap));
        const wan_bed bed({.loss_percent = 1, .narrow = false, .rate_mbit = 24});
        ASSERT_EQ(bed.made, 0) << bed.log;
        child col, tap;
        const std::uint16_t port = collector_start(&col, {"-K", "-w", "-"}, bed.collector.name);
        std::vector<std::string> args = {"-i", "lo", "-K", "-c", "10.79.2.2:" + std::to_string(port)};
        args.insert(args.end(), row.cap.begin(), row.cap.end());
        ASSERT_NE(port, 0) << err_of(col);
        ASSERT_TRUE(tap_start(&tap, args, bed.tap.name)) << out_of(tap);
        ASSERT_EQ(bed.inject(std::vector<bytes>(1000, numbered_frame(0, 1514))), 0);  // 1.5 MB at once
        wait_quiet(col, 800);  // a capped tap sends evenly: its queue has run dry
        tap_stop(&tap);
        EXPECT_FALSE(written_by(&col).empty());
        EXPECT_EQ(bed.shaper_drops() > 0, row.overflows) << bed.shaper_drops() << " dropped by the shaper";
    }
}

// A collector that listens on IPv6 only, reached by -c [fd79:2::2]:PORT through the router: every frame arrives,
// full-size ones in IPv6 fragments.
TEST(Wan, ACollectorReachedOverIPv6GetsEveryFrame)
{
    if (geteuid()) GTEST_SKIP() << "needs root";
    const wan_bed bed({.narrow = false});
    ASSERT_EQ(bed.made, 0) << bed.log;
    child col, tap;
    const std::uint16_t port = collector_start(&col, {"-K", "-b", "fd79:2::2", "-w", "-"}, bed.collector.name);
    ASSERT_NE(port, 0) << err_of(col);
    ASSERT_TRUE(tap_start(&tap, {"-i", "lo", "-K", "-c", "[fd79:2::2]:" + std::to_string(port)}, bed.tap.name))
        << out_of(tap);
    std::vector<bytes> frames;
    for (int i = 0; i < 10; ++i) frames.push_back(numbered_frame(i, i % 2 ? 1514 : 100));
    ASSERT_EQ(bed.inject(frames), 0);
    EXPECT_TRUE(poll_until(5000, [&] { return pcap_of(out_of(col)).size() >= frames.size(); })) << err_of(col);
    tap_stop(&tap);
    EXPECT_EQ(written_by(&col), frames);
}
