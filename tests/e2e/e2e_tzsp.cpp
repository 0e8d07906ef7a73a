// TZSP end to end on loopback: TZSP datagrams into vantry_remote, what comes out read raw or from the collector's
// pcap stream. Under Wine (VANTRY_RUN_PREFIX, VANTRY_WIN_BIN_DIR) the tap is the Windows build, ended by PID.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>

#include "tests/e2e/process.h"

namespace {

using namespace std::chrono;

// TZSP header (version 1, received, Ethernet), tags, END, frame.
bytes tzsp(const bytes& frame, const bytes& tags = {}) { return cat({{1, 0, 0, 1}, tags, {1}, frame}); }

struct tzsp_run {
    udp_socket src, rx;      // sends the tap TZSP; gets what it sends
    scoped_child tap;
    std::uint16_t port = 0;  // the tap's TZSP port
};

// Opens t's sockets not open yet, starts its tap on a port free a moment ago, sending to
// 127.0.0.1:collector (0: t->rx; -1: that same port). True once it runs.
bool tzsp_start(tzsp_run* t, std::vector<std::string> args, int collector = 0)
{
    udp_socket probe;
    if ((t->src.s == net_invalid_socket && udp_open(&t->src)) || udp_open(&t->rx) || udp_open(&probe)) return false;
    t->port = probe.port;
    net_close(std::exchange(probe.s, net_invalid_socket));
    const int to = collector == 0 ? t->rx.port : collector < 0 ? t->port : collector;
    args.insert(args.begin(), {"-t", std::to_string(t->port), "-c", "127.0.0.1:" + std::to_string(to)});
    return tap_start(&t->tap, args);
}

// Starts the native collector (inside ns when named) on a port of its own: that port, 0 if it does not listen.
std::uint16_t collector_start(scoped_child* c, std::vector<std::string> args, const std::string& ns = "")
{
    const std::string listening = "Listening on UDP port ";
    args.insert(args.begin(), {"-p", "0"});
    if (process_start(&c->proc, VANTRY_BIN_DIR "/vantry_collector", args, {{}, ns})) return 0;
    if (!process_wait_output(&c->proc, listening, 5000)) return 0;
    const std::string out = process_stdout(c->proc) + process_stderr(c->proc);  // "-w -": the log on stderr
    return static_cast<std::uint16_t>(std::atoi(out.c_str() + out.find(listening) + listening.size()));
}

// The frames and lengths in a classic pcap file (writer's byte order); false for another header or a cut record.
bool pcap_frames(const std::string& d, std::vector<wire_record>* out)
{
    const auto u32 = [&](std::size_t at) { std::uint32_t v; std::memcpy(&v, d.data() + at, 4); return v; };
    if (d.size() < 24 || u32(0) != 0xa1b2c3d4 || u32(20) != 1) return false;
    for (std::size_t at = 24; at < d.size(); at += 16 + u32(at + 8)) {
        if (d.size() - at < 16 || d.size() - at - 16 < u32(at + 8)) return false;
        const auto frame = d.begin() + at + 16;
        out->push_back({0, 0, 0, std::uint16_t(u32(at + 12)), {frame, frame + u32(at + 8)}});
    }
    return true;
}

// IPv6 (hop limit 255) carrying an ICMPv6 message, its checksum filled in.
bytes icmp6(const bytes& src, const bytes& dst, bytes icmp)
{
    const bytes len = be16(icmp.size()), sum = inet_checksum(cat({src, dst, {0, 0}, len, {0, 0, 0, 58}, icmp}));
    std::copy(sum.begin(), sum.end(), icmp.begin() + 2);
    return cat({{0x60, 0, 0, 0}, len, {58, 255}, src, dst, icmp});
}

// fe80::tail, ff02::tail
bytes ip6(std::uint8_t a, std::uint8_t b, const bytes& tail) { return cat({{a, b}, bytes(14 - tail.size()), tail}); }

std::uint64_t unix_us() { return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count(); }

}  // namespace

// Raw Tap datagrams in clear, four taps at once. a: a 5-byte datagram (ignored, not counted), one larger
// than the buffer (dropped whole), a 1-byte frame, a tag list past its end, a tagged frame make one datagram
// of three records, sent after a whole wait without input, and no empty one after it. b: more than 1480
// bytes of records go out when the next frame arrives, exactly 1480 take one more. c: only a sender on the
// hosts list (127.0.0.2; the tap is on 127.0.0.1) gets through, whatever the frames hold. d: a collector
// option naming the tap's own TZSP port brings its datagram back once, dropped, not sent again forever; two
// frames in hand when a stop comes are dropped too.
TEST(TzspE2E, RawDatagrams)
{
    tzsp_run a, b, c, d;
    temp_file hosts("# test\n127.0.0.2\n");
    ASSERT_EQ(udp_open(&c.src, "127.0.0.2"), 0);  // a's sender, on 127.0.0.1, is the one not listed
    ASSERT_TRUE(tzsp_start(&a, {"-K", "-n", "65794", "-v"})) << process_stdout(a.tap.proc);
    ASSERT_TRUE(tzsp_start(&b, {"-K"})) << process_stdout(b.tap.proc);
    ASSERT_TRUE(tzsp_start(&c, {"-K", "-H", hosts.path})) << process_stdout(c.tap.proc);
    ASSERT_TRUE(tzsp_start(&d, {"-K", "-v"}, -1)) << process_stdout(d.tap.proc);
    const std::vector<bytes> frames = {pattern(60, 1), pattern(1, 2), pattern(100, 3)};
    const std::vector<bytes> sized = {pattern(728, 1), pattern(728, 2), pattern(10, 3), pattern(20, 4)};
    const std::uint64_t before = unix_us();
    for (const bytes& f : {bytes{1, 0, 0, 1, 1}, tzsp(pattern(8996, 9)), tzsp(frames[0]), tzsp(frames[1]),
                           bytes{1, 0, 0, 1, 10, 200, 1, 1}, tzsp(frames[2], {0, 0, 10, 4, 1, 1, 1, 1, 42, 0})})
        udp_send(a.src, f, a.port);
    const auto last_input = steady_clock::now();
    const std::uint64_t after = unix_us() + 300000;  // stamped on arrival, not on sending
    for (const bytes& f : sized) udp_send(b.src, tzsp(f), b.port);
    udp_send(a.src, tzsp(pattern(40, 0x10)), c.port);
    udp_send(c.src, tzsp(pattern(40, 0x20)), c.port);
    udp_send(d.src, tzsp(pattern(50, 1)), d.port);
    ASSERT_TRUE(udp_collect(&a.rx, 3));
    EXPECT_GE(steady_clock::now() - last_input, 1000ms);
    ASSERT_EQ(a.rx.datagrams.size(), 1u);
    // Magic, tap id 65794 cut to 16 bits, three records, a reserved zero.
    EXPECT_EQ(bytes(&a.rx.datagrams[0][0], &a.rx.datagrams[0][8]), (bytes{2, 0x19, 0x68, 0x24, 1, 2, 3, 0}));
    for (std::size_t i = 0; i < a.rx.records.size(); ++i) {
        const wire_record& r = a.rx.records[i];
        const std::uint64_t ts = std::uint64_t{r.ts_sec} * 1000000 + r.ts_usec;
        EXPECT_TRUE(r.frame == frames[i] && r.caplen == r.len && r.ts_usec < 1000000) << i;
        EXPECT_TRUE(ts + 1000 >= before && ts <= after) << ts;
    }
    ASSERT_TRUE(udp_collect(&b.rx, 4));
    ASSERT_EQ(b.rx.datagrams.size(), 2u);
    EXPECT_EQ(b.rx.datagrams[0].size(), 8u + 740 + 740 + 22);
    for (std::size_t i = 0; i < sized.size(); ++i) EXPECT_EQ(b.rx.records[i].frame, sized[i]) << i;
    EXPECT_TRUE(udp_collect(&c.rx, 1) && c.rx.records.size() == 1 && c.rx.records[0].frame == pattern(40, 0x20));
    ASSERT_TRUE(process_wait_output(&d.tap.proc, "WARNING: Dropping the tap's own datagrams", 5000));
    udp_send(d.src, tzsp(pattern(50, 2)), d.port);
    udp_send(d.src, tzsp(pattern(50, 3)), d.port);
    ASSERT_TRUE(process_wait_output(&d.tap.proc, "Collected packet 3", 2000)) << process_stdout(d.tap.proc);
    const std::string out_d = tap_stop(&d.tap);
    EXPECT_EQ(count_of(out_d, "Collected packet "), 3) << out_d;
    EXPECT_TRUE(e2e_under_wine() || (has(out_d, "Collected 3 pkts\n") && count_of(out_d, "Sending") == 1)) << out_d;
    EXPECT_FALSE(udp_collect(&a.rx, 4, 1200)) << "a datagram the idle rule should not have sent";
    const std::string out = tap_stop(&a.tap), out_c = (tap_stop(&b.tap), tap_stop(&c.tap));
    for (const char* line : {"Collected packet 1 with len = 65\n", "Collected packet 2 with len = 6\n", "Collected 4 "})
        EXPECT_TRUE(e2e_under_wine() || has(out, line)) << out;
    EXPECT_TRUE(e2e_under_wine() || has(out_c, "Collected 2 pkts\n")) << out_c;
}

// Tap and collector, all rows at once: the collector writes exactly the frames sent, in clear, encrypted, as
// a pcap stream on standard output (the log then on standard error); under another key it counts what it
// cannot decode and runs on.
TEST(TzspE2E, CollectorWritesTheFramesSent)
{
    const struct {
        std::vector<std::string> tap, collector;
        std::size_t sent, written;  // frames
        const char* summary;
    } rows[] = {
        {{"-K"}, {"-K", "-c", "6"}, 6, 6, "Received 3 datagrams, 6 frames; not decoded: 0 bad magic"},
        {{"-k", "e2e key"}, {"-k", "e2e key", "-c", "6"}, 6, 6, "Received 3 datagrams, 6 frames; not decoded: 0 bad"},
        {{"-K"}, {"-K", "-c", "1", "-w", "-"}, 1, 1, "Received 1 datagrams, 1 frames"},
        {{"-k", "the key"}, {"-k", "not the key"}, 1, 0, "Received 1 datagrams, 0 frames; not decoded: 1 bad magic"},
    };
    const std::vector<bytes> frames = {pattern(64, 1),  pattern(1, 2),    pattern(1400, 3),
                                       pattern(512, 4), pattern(8995, 5), pattern(60, 6)};
    tzsp_run t[std::size(rows)];
    scoped_child col[std::size(rows)];
    temp_file pcap[std::size(rows)] = {temp_file(""), temp_file(""), temp_file(""), temp_file("")};
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        std::vector<std::string> args = rows[i].collector;
        args.insert(args.end(), {"-w", i == 2 ? "-" : pcap[i].path});
        const std::uint16_t port = collector_start(&col[i], args);
        ASSERT_NE(port, 0) << process_stdout(col[i].proc) << process_stderr(col[i].proc);
        ASSERT_TRUE(tzsp_start(&t[i], rows[i].tap, port)) << process_stdout(t[i].tap.proc);
        for (std::size_t f = 0; f < rows[i].sent; ++f)
            udp_send(t[i].src, f % 2 ? tzsp(frames[f], {0, 7, 2, 0xaa, 0xbb}) : tzsp(frames[f]), t[i].port);
    }
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        SCOPED_TRACE(i);
        if (rows[i].written == 0) {  // then it does not end by itself
            EXPECT_TRUE(process_wait_output(&col[i].proc, "not decoded: bad magic", 5000));
            process_signal(col[i].proc, SIGTERM);
        }
        ASSERT_EQ(process_finish(&col[i].proc, 5000), 0) << process_stdout(col[i].proc);
        EXPECT_EQ(col[i].proc.exit_status, 0);
        std::vector<wire_record> got;
        ASSERT_TRUE(pcap_frames(i == 2 ? process_stdout(col[i].proc) : file_text(pcap[i].path), &got));
        ASSERT_EQ(got.size(), rows[i].written);
        for (std::size_t f = 0; f < got.size(); ++f)
            EXPECT_TRUE(got[f].frame == frames[f] && got[f].len == frames[f].size()) << f;
        const std::string log = i == 2 ? process_stderr(col[i].proc) : process_stdout(col[i].proc);
        EXPECT_TRUE(has(log, rows[i].summary)) << log;
        tap_stop(&t[i].tap);
    }
}

// The collector's TAP interface is a passive monitor: what comes through it neither configures this host nor
// draws an answer, where an ordinary interface would take router advertisements, answer ARP and neighbour
// solicitations at once and take IPv4 from any source. With the interface the collector makes and with one
// up already; settings that cannot be written are refused.
TEST(TzspE2E, CollectorTapInterfaceIsAPassiveMonitor)
{
    if (geteuid() || access("/proc/sys/net/ipv6", F_OK) || access("/dev/net/tun", F_OK))
        GTEST_SKIP() << "needs root, IPv6 and /dev/net/tun";
    const std::string pid = std::to_string(getpid()), ns = "vantry-e2e-" + pid;
    const std::string ip = "ip -n " + ns + " ", in_ns = "ip netns exec " + ns + " ";
    ASSERT_EQ(netns_add(ns), 0);
    const char* const open_settings = "sysctl -qw net.ipv6.conf.all.disable_ipv6=0 net.ipv6.conf.default.disable_ipv6=0"
        " net.ipv6.conf.all.accept_ra=2 net.ipv6.conf.default.accept_ra=2 net.ipv6.conf.default.accept_dad=0"
        " net.ipv4.conf.all.rp_filter=0 net.ipv4.conf.default.rp_filter=0 net.ipv4.conf.all.arp_ignore=0";
    ASSERT_EQ(run_command(ip + "addr add 192.0.2.1/32 dev lo && " + in_ns + open_settings), 0);
    udp_socket src, local;  // to the collector; on a local IPv4 address
    ASSERT_EQ(udp_open(&src, "127.0.0.1", ns) | udp_open(&local, "192.0.2.1", ns), 0);
    const bytes peer = {2, 0, 0, 0, 0, 0x99}, peer_ll = ip6(0xfe, 0x80, {0x99});
    std::string text;
    for (const std::string& name : {"vtc" + pid, "vta" + pid}) {
        SCOPED_TRACE(name);
        // Up with no carrier: IPv6 starts the moment the collector attaches.
        const std::string add = ip + "tuntap add dev " + name + " mode tap && " + ip + "link set " + name + " up";
        ASSERT_EQ(name[2] == 'a' ? run_command(add) : 0, 0);
        scoped_child col;
        const std::uint16_t port = collector_start(&col, {"-K", "-i", name}, ns);
        ASSERT_NE(port, 0) << process_stdout(col.proc) << process_stderr(col.proc);
        // Its MAC, frames written into it, and what the kernel sent, counted by the queue: the interface counts
        // only what the collector reads, which is nothing.
        const std::string stats = in_ns + "sh -c 'cd /sys/class/net/" + name +
                                  " && cat address statistics/rx_packets && tc -s qdisc show dev " + name + "'";
        ASSERT_EQ(run_command(stats, &text), 0);
        bytes hw(6);  // the interface's MAC
        std::sscanf(text.c_str(), "%hhx:%hhx:%hhx:%hhx:%hhx:%hhx", &hw[0], &hw[1], &hw[2], &hw[3], &hw[4], &hw[5]);
        const bytes own_ll = ip6(0xfe, 0x80, {uint8_t(hw[0] ^ 2), hw[1], hw[2], 0xff, 0xfe, hw[3], hw[4], hw[5]});
        const bytes frames[] = {
            // Router advertisement, lifetime 1800 s, source link-layer address,
            // prefix 2001:db8:1::/64 on-link and autonomous.
            ethernet({0x86dd},
                     icmp6(peer_ll, ip6(0xff, 0x02, {1}),
                           cat({{134, 0, 0, 0, 64, 0, 0x07, 0x08}, bytes(8), {1, 1}, peer,
                                {3, 4, 64, 0xc0, 0, 1, 0x51, 0x80, 0, 0, 0x38, 0x40}, bytes(4),
                                {0x20, 0x01, 0x0d, 0xb8, 0, 1}, bytes(10)})),
                     {0x33, 0x33, 0, 0, 0, 1}, peer),
            // ARP probe (sender 0.0.0.0) for the local address.
            ethernet({0x0806}, cat({{0, 1, 8, 0, 6, 4, 0, 1}, peer, bytes(10), {192, 0, 2, 1}}), bytes(6, 0xff), peer),
            // Neighbour solicitation for the link-local address an ordinary interface gives itself.
            ethernet({0x86dd}, icmp6(peer_ll, own_ll, cat({{135, 0, 0, 0}, bytes(4), own_ll, {1, 1}, peer})), hw, peer),
            // UDP to the local address from a source routed nowhere.
            ethernet({0x0800}, ipv4_udp({198, 51, 100, 7}, {192, 0, 2, 1}, local.port, {'x'}), hw, peer),
        };
        bytes datagram = {0x02, 0x19, 0x68, 0x24, 0, 1, 4, 0};
        for (const bytes& f : frames) datagram = cat({datagram, bytes(8), be16(f.size()), be16(f.size()), f});
        udp_send(src, datagram, port);
        // Nothing sent, still a second after the four frames went in.
        const auto quiet = [&] { return has(text, "\n4\n") && has(text, " Sent 0 bytes 0 pkt (dropped 0,") &&
                                        count_of(text, " Sent ") == 1 && has(text, "backlog 0b 0p"); };
        EXPECT_TRUE(poll_until(5000, [&] { return run_command(stats, &text) == 0 && has(text, "\n4\n"); }));
        EXPECT_FALSE(poll_until(1000, [&] { return run_command(stats, &text) != 0 || !quiet(); })) << text;
        // IPv4 cannot be switched off on one interface; the strict
        // reverse-path check the collector sets drops the packet as a martian.
        EXPECT_NE(net_wait_readable(local.s, 0), 1);
        const std::string show = ip + "addr show dev " + name + " | grep inet; " + ip + "-4 route show table all dev ";
        EXPECT_EQ(run_command(show + name + "; " + ip + "-6 route show table all dev " + name, &text), 0);
        EXPECT_EQ(text, "") << "no address, no route";
        process_signal(col.proc, SIGTERM);
        EXPECT_EQ(process_finish(&col.proc, 3000), 0);
        EXPECT_EQ(col.proc.exit_status, 0);
        run_command(ip + "link del " + name);
    }
    // /proc/sys/net read-only, in a mount namespace of its own.
    const std::string ro = "mount --bind /proc/sys/net /proc/sys/net && mount -o remount,bind,ro /proc/sys/net";
    const std::string collector = VANTRY_BIN_DIR "/vantry_collector -p 0 -K -i vtr" + pid;
    EXPECT_NE(run_command(in_ns + "unshare -m sh -c '" + ro + " && exec " + collector + "'", &text), 0);
    EXPECT_TRUE(has(text, "ERROR: Unable to make TAP interface 'vtr" + pid +
                              "' passive: IPv6 off (disable_ipv6) failed")) << text;
    netns_delete(ns);
}
