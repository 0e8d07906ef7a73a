// The TZSP path end to end on loopback: TZSP datagrams built here go into
// the real vantry_remote; what comes out is read raw, or through the real
// vantry_collector's pcap stream. Under Wine (VANTRY_RUN_PREFIX=wine,
// VANTRY_WIN_BIN_DIR=<windows build>) the tap is the Windows build and is
// ended by its PID; the collector stays native.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <csignal>

#include "tests/e2e/process.h"

namespace {

using namespace std::chrono;

// TZSP header (version 1, received, Ethernet), tags, END, frame.
bytes tzsp(const bytes& frame, const bytes& tags = {}) { return cat({{1, 0, 0, 1}, tags, {1}, frame}); }

// A tap, the socket that sends it TZSP and the one it sends to.
struct tzsp_run {
    udp_socket src, rx;
    scoped_child tap;
    std::uint16_t port = 0;  // the tap's TZSP port
};

// Starts t's tap on a port that was free a moment ago, sending to
// 127.0.0.1:collector (0: t->rx; -1: that same port); opens the sockets
// not open yet. True once it runs.
bool tzsp_start(tzsp_run* t, std::vector<std::string> args, int collector = 0)
{
    if ((t->src.s == net_invalid_socket && udp_open(&t->src) != 0) || udp_open(&t->rx) != 0)
        return false;
    {
        udp_socket probe;
        t->port = udp_open(&probe) == 0 ? probe.port : 0;
    }
    const int to = collector == 0 ? t->rx.port : collector < 0 ? t->port : collector;
    args.insert(args.begin(), {"-t", std::to_string(t->port), "-c", "127.0.0.1:" + std::to_string(to)});
    return tap_start(&t->tap, args);
}

// Starts the native collector (inside ns when named) on a port of its own
// choosing: that port, 0 when it did not get listening.
std::uint16_t collector_start(scoped_child* c, std::vector<std::string> args, const std::string& ns = "")
{
    args.insert(args.begin(), {"-p", "0"});
    const std::string listening = "Listening on UDP port ";
    if (process_start(&c->proc, VANTRY_BIN_DIR "/vantry_collector", args, {{}, ns}) != 0 ||
        !process_wait_output(&c->proc, listening, 5000))
        return 0;
    const std::string out = process_stdout(c->proc) + process_stderr(c->proc);  // "-w -": the log on stderr
    return static_cast<std::uint16_t>(std::atoi(out.c_str() + out.find(listening) + listening.size()));
}

// The frames of a pcap file (classic, little-endian, microseconds) and
// their lengths; false when the header is not that or a record is cut.
bool pcap_frames(const std::string& d, std::vector<wire_record>* out)
{
    const auto le32 = [&](std::size_t at) {
        return static_cast<std::uint32_t>(std::uint8_t(d[at]) | std::uint8_t(d[at + 1]) << 8 |
                                          std::uint8_t(d[at + 2]) << 16 | std::uint8_t(d[at + 3]) << 24);
    };
    if (d.size() < 24 || le32(0) != 0xa1b2c3d4 || le32(20) != 1)
        return false;
    for (std::size_t at = 24; at < d.size(); at += 16 + le32(at + 8)) {
        if (d.size() - at < 16 || d.size() - at - 16 < le32(at + 8))
            return false;
        out->push_back({0, 0, 0, static_cast<std::uint16_t>(le32(at + 12)),
                        bytes(d.begin() + at + 16, d.begin() + at + 16 + le32(at + 8))});
    }
    return true;
}

std::uint64_t unix_us() { return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count(); }

}  // namespace

// Raw Tap datagrams in clear. One tap gets a 5-byte datagram (ignored, not
// counted), one larger than its buffer (dropped whole), a 1-byte frame, a
// tag list that runs past its end and a tagged frame: one datagram of
// three records, sent after a whole wait without input, and no empty one
// after it. The other gets more than 1480 bytes of records: they go out
// when the next frame arrives, and exactly 1480 still take one more.
TEST(TzspE2E, ClearDatagramsFollowTheLayoutAndTheSizeRule)
{
    tzsp_run a, b;
    ASSERT_TRUE(tzsp_start(&a, {"-K", "-n", "65794", "-v"})) << process_stdout(a.tap.proc);
    ASSERT_TRUE(tzsp_start(&b, {"-K"})) << process_stdout(b.tap.proc);
    const std::vector<bytes> frames = {pattern(60, 1), pattern(1, 2), pattern(100, 3)};
    const std::vector<bytes> sized = {pattern(728, 1), pattern(728, 2), pattern(10, 3), pattern(20, 4)};
    const std::uint64_t before = unix_us();
    for (const bytes& d : {bytes{1, 0, 0, 1, 1}, tzsp(pattern(8996, 9)), tzsp(frames[0]), tzsp(frames[1]),
                           bytes{1, 0, 0, 1, 10, 200, 1, 1}, tzsp(frames[2], {0, 0, 10, 4, 1, 1, 1, 1, 42, 0})})
        udp_send(a.src, d, a.port);
    const auto last_input = steady_clock::now();
    for (const bytes& f : sized)
        udp_send(b.src, tzsp(f), b.port);

    ASSERT_TRUE(udp_collect(&a.rx, 3));
    EXPECT_GE(steady_clock::now() - last_input, 1000ms);
    const std::uint64_t after = unix_us();
    ASSERT_EQ(a.rx.datagrams.size(), 1u);
    // Magic, tap id 65794 cut to 16 bits, three records, a reserved zero.
    const bytes& d = a.rx.datagrams[0];
    EXPECT_EQ(bytes(d.begin(), d.begin() + 8), (bytes{0x02, 0x19, 0x68, 0x24, 1, 2, 3, 0}));
    EXPECT_EQ(d.size(), 8u + 12 * 3 + 60 + 1 + 100);
    for (std::size_t i = 0; i < a.rx.records.size(); ++i) {
        const wire_record& r = a.rx.records[i];
        const std::uint64_t ts = std::uint64_t{r.ts_sec} * 1000000 + r.ts_usec;
        EXPECT_EQ(r.frame, frames[i]);
        EXPECT_EQ(r.caplen, r.len);
        EXPECT_LT(r.ts_usec, 1000000u);
        EXPECT_TRUE(ts + 1000 >= before && ts <= after + 1000) << ts;
    }

    ASSERT_TRUE(udp_collect(&b.rx, 4));
    ASSERT_EQ(b.rx.datagrams.size(), 2u);
    EXPECT_EQ(b.rx.datagrams[0].size(), 8u + 740 + 740 + 22);
    for (std::size_t i = 0; i < sized.size(); ++i)
        EXPECT_EQ(b.rx.records[i].frame, sized[i]) << i;

    EXPECT_FALSE(udp_collect(&a.rx, 4, 1200)) << "a datagram the idle rule should not have sent";
    const std::string out = tap_stop(&a.tap);
    tap_stop(&b.tap);
    if (!e2e_under_wine()) {
        for (const char* line : {"Collected packet 1 with len = 65\n", "Collected packet 2 with len = 6\n",
                                 "Collected 4 pkts\n"})
            EXPECT_NE(out.find(line), std::string::npos) << out;
    }
}

// Only senders on the hosts list get through, whatever the frames hold.
TEST(TzspE2E, AllowListTestsTheSenderAddress)
{
    for (const char* listed : {"127.0.0.1", "127.0.0.2"}) {
        SCOPED_TRACE(listed);
        temp_file hosts(std::string("# test\n") + listed + "\n");
        tzsp_run t;
        udp_socket other;
        ASSERT_EQ(udp_open(&t.src, listed) | udp_open(&other, listed[8] == '1' ? "127.0.0.2" : "127.0.0.1"), 0);
        ASSERT_TRUE(tzsp_start(&t, {"-K", "-H", hosts.path})) << process_stdout(t.tap.proc);
        udp_send(other, tzsp(pattern(40, 0x10)), t.port);
        udp_send(t.src, tzsp(pattern(40, 0x20)), t.port);
        ASSERT_TRUE(udp_collect(&t.rx, 1));
        ASSERT_EQ(t.rx.records.size(), 1u);
        EXPECT_EQ(t.rx.records[0].frame, pattern(40, 0x20));
        const std::string out = tap_stop(&t.tap);
        EXPECT_TRUE(e2e_under_wine() || out.find("Collected 2 pkts\n") != std::string::npos) << out;
    }
}

// A stop ends the tap at once (within a second of the signal: tap_stop),
// and the records in hand are dropped, still counted.
TEST(TzspE2E, StopDropsRecordsInHand)
{
    if (e2e_under_wine())
        GTEST_SKIP() << "signals are not delivered to a program under Wine";
    tzsp_run t;
    ASSERT_TRUE(tzsp_start(&t, {"-K", "-v"})) << process_stdout(t.tap.proc);
    udp_send(t.src, tzsp(pattern(50, 1)), t.port);
    udp_send(t.src, tzsp(pattern(50, 2)), t.port);
    ASSERT_TRUE(process_wait_output(&t.tap.proc, "Collected packet 2", 2000));
    const std::string out = tap_stop(&t.tap);
    EXPECT_NE(out.find("Collected 2 pkts\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("Sending"), std::string::npos) << out;
    EXPECT_FALSE(udp_collect(&t.rx, 1, 0));
}

// A collector option that names the tap's own TZSP port: each Tap datagram
// would come back as TZSP input, to be sent again, forever. The idle send
// brings the datagram back once, and it is dropped, not collected.
TEST(TzspE2E, CollectorOnTheTapsOwnPortIsNoLoop)
{
    tzsp_run t;
    ASSERT_TRUE(tzsp_start(&t, {"-K", "-v"}, -1)) << process_stdout(t.tap.proc);
    udp_send(t.src, tzsp(pattern(50, 1)), t.port);
    ASSERT_TRUE(process_wait_output(&t.tap.proc, "WARNING: Dropping the tap's own datagrams", 5000))
        << process_stdout(t.tap.proc);
    const std::string out = tap_stop(&t.tap);
    EXPECT_EQ(count_of(out, "Collected packet "), 1) << out;
}

// Tap and collector together, all rows at once: the collector writes
// exactly the frames sent, in clear, encrypted and as a pcap stream on
// standard output (the log then on standard error); under another key it
// counts the datagrams it cannot decode and keeps going until stopped.
TEST(TzspE2E, CollectorWritesTheFramesSent)
{
    const struct {
        std::vector<std::string> tap, collector;
        std::size_t sent, written;
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
        if (args.back() != "-")
            args.insert(args.end(), {"-w", pcap[i].path});
        const std::uint16_t port = collector_start(&col[i], args);
        ASSERT_NE(port, 0) << process_stdout(col[i].proc) << process_stderr(col[i].proc);
        ASSERT_TRUE(tzsp_start(&t[i], rows[i].tap, port)) << process_stdout(t[i].tap.proc);
        for (std::size_t f = 0; f < rows[i].sent; ++f)
            udp_send(t[i].src, f % 2 ? tzsp(frames[f], {0, 7, 2, 0xaa, 0xbb}) : tzsp(frames[f]), t[i].port);
    }
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        SCOPED_TRACE(i);
        const bool to_stdout = rows[i].collector.back() == "-";
        if (rows[i].written == 0) {  // then it does not end by itself
            EXPECT_TRUE(process_wait_output(&col[i].proc, "not decoded: bad magic", 5000));
            kill(col[i].proc.pid, SIGTERM);
        }
        ASSERT_EQ(process_wait(&col[i].proc, 5000), 0) << process_stdout(col[i].proc);
        EXPECT_EQ(col[i].proc.exit_status, 0);
        std::vector<wire_record> got;
        ASSERT_TRUE(pcap_frames(to_stdout ? process_stdout(col[i].proc) : file_text(pcap[i].path), &got));
        ASSERT_EQ(got.size(), rows[i].written);
        for (std::size_t f = 0; f < got.size(); ++f) {
            EXPECT_EQ(got[f].frame, frames[f]) << f;
            EXPECT_EQ(got[f].len, frames[f].size());
        }
        const std::string log = to_stdout ? process_stderr(col[i].proc) : process_stdout(col[i].proc);
        EXPECT_NE(log.find(rows[i].summary), std::string::npos) << log;
        tap_stop(&t[i].tap);
    }
}

namespace {

// IPv6 (hop limit 255) carrying an ICMPv6 message, its checksum filled in.
bytes icmp6(const bytes& src, const bytes& dst, bytes icmp)
{
    const bytes len = be16(icmp.size()), sum = be16(inet_checksum(cat({src, dst, {0, 0}, len, {0, 0, 0, 58}, icmp})));
    std::copy(sum.begin(), sum.end(), icmp.begin() + 2);
    return cat({{0x60, 0, 0, 0}, len, {58, 255}, src, dst, icmp});
}

// fe80::tail, ff02::tail
bytes ip6(std::uint8_t b0, std::uint8_t b1, const bytes& tail) { return cat({{b0, b1}, bytes(14 - tail.size()), tail}); }

}  // namespace

// The collector's TAP interface is a passive monitor: what the remote site
// sends through it neither configures this host nor draws an answer from
// it. The namespace is set up so that an ordinary interface would do both:
// take router advertisements, answer ARP and neighbour solicitations for
// its addresses at once and take IPv4 from any source. Once with the
// interface the collector makes, once with one that is up already; then
// with settings that cannot be written, which the collector refuses.
TEST(TzspE2E, CollectorTapInterfaceIsAPassiveMonitor)
{
    if (geteuid() != 0 || access("/proc/sys/net/ipv6", F_OK) != 0 || access("/dev/net/tun", F_OK) != 0)
        GTEST_SKIP() << "needs root, IPv6 and /dev/net/tun";
    const std::string pid = std::to_string(getpid());
    scoped_netns ns("vantry-e2e-" + pid);
    const std::string ip = "ip -n " + ns.name + " ", in_ns = "ip netns exec " + ns.name + " ";
    ASSERT_TRUE(ns.made);
    ASSERT_EQ(run_command(ip + "addr add 192.0.2.1/32 dev lo && " + in_ns +
                          "sysctl -qw net.ipv6.conf.all.disable_ipv6=0 net.ipv6.conf.default.disable_ipv6=0"
                          " net.ipv6.conf.all.accept_ra=2 net.ipv6.conf.default.accept_ra=2"
                          " net.ipv6.conf.default.accept_dad=0 net.ipv4.conf.all.rp_filter=0"
                          " net.ipv4.conf.default.rp_filter=0 net.ipv4.conf.all.arp_ignore=0"),
              0);
    udp_socket src, local;  // to the collector; on a local IPv4 address
    ASSERT_EQ(udp_open(&src, "127.0.0.1", ns.name) | udp_open(&local, "192.0.2.1", ns.name), 0);
    const bytes peer = {2, 0, 0, 0, 0, 0x99}, peer_ll = ip6(0xfe, 0x80, {0x99});
    for (const std::string& name : {"vtc" + pid, "vta" + pid}) {
        SCOPED_TRACE(name);
        // Up with no carrier: IPv6 starts the moment the collector attaches.
        const std::string add = ip + "tuntap add dev " + name + " mode tap && " + ip + "link set " + name + " up";
        ASSERT_EQ(name[2] == 'a' ? run_command(add) : 0, 0);
        scoped_child col;
        const std::uint16_t port = collector_start(&col, {"-K", "-i", name}, ns.name);
        ASSERT_NE(port, 0) << process_stdout(col.proc) << process_stderr(col.proc);
        std::string text;
        const std::string stats = in_ns + "sh -c 'cd /sys/class/net/" + name +
                                  " && cat address statistics/rx_packets statistics/tx_packets statistics/tx_dropped'";
        ASSERT_EQ(run_command(stats, &text), 0);
        bytes mac(6);
        std::sscanf(text.c_str(), "%hhx:%hhx:%hhx:%hhx:%hhx:%hhx", &mac[0], &mac[1], &mac[2], &mac[3], &mac[4], &mac[5]);
        // The address an ordinary interface would give itself from its MAC.
        const bytes own_ll = ip6(0xfe, 0x80, {uint8_t(mac[0] ^ 2), mac[1], mac[2], 0xff, 0xfe, mac[3], mac[4], mac[5]});
        const bytes frames[] = {
            // Router advertisement, lifetime 1800 s, source link-layer address,
            // prefix 2001:db8:1::/64 on-link and autonomous.
            ethernet({0x33, 0x33, 0, 0, 0, 1}, peer, {0x86dd},
                     icmp6(peer_ll, ip6(0xff, 0x02, {1}),
                           cat({{134, 0, 0, 0, 64, 0, 0x07, 0x08}, bytes(8), {1, 1}, peer,
                                {3, 4, 64, 0xc0, 0, 1, 0x51, 0x80, 0, 0, 0x38, 0x40}, bytes(4),
                                {0x20, 0x01, 0x0d, 0xb8, 0, 1}, bytes(10)}))),
            // ARP probe (sender 0.0.0.0) for the local address.
            ethernet(bytes(6, 0xff), peer, {0x0806}, cat({{0, 1, 8, 0, 6, 4, 0, 1}, peer, bytes(10), {192, 0, 2, 1}})),
            // Neighbour solicitation for the interface's own link-local address.
            ethernet(mac, peer, {0x86dd}, icmp6(peer_ll, own_ll, cat({{135, 0, 0, 0}, bytes(4), own_ll, {1, 1}, peer}))),
            // UDP to the local address from a source routed nowhere.
            ethernet(mac, peer, {0x0800}, ipv4_udp({198, 51, 100, 7}, {192, 0, 2, 1}, local.port, {'x'})),
        };
        bytes datagram = {0x02, 0x19, 0x68, 0x24, 0, 1, 4, 0};
        for (const bytes& f : frames)
            datagram = cat({datagram, bytes(8), be16(f.size()), be16(f.size()), f});
        udp_send(src, datagram, port);
        // Written frames count as received, what the kernel sends as
        // transmitted: nothing, still a second after the last one written.
        const std::string quiet = text.substr(0, 18) + "4\n0\n0\n";
        EXPECT_TRUE(poll_until(5000, [&] { return run_command(stats, &text) == 0 && text.substr(18, 2) == "4\n"; }));
        EXPECT_FALSE(poll_until(1000, [&] { return run_command(stats, &text) != 0 || text != quiet; })) << text;
        // IPv4 cannot be switched off on one interface; the strict
        // reverse-path check the collector sets drops the packet as a martian.
        EXPECT_NE(net_wait_readable(local.s, 0), 1);
        ASSERT_EQ(run_command(ip + "addr show dev " + name, &text), 0);
        EXPECT_EQ(text.find("inet"), std::string::npos) << text;
        ASSERT_EQ(run_command(ip + "-4 route show table all dev " + name + "; " + ip + "-6 route show table all dev " + name, &text), 0);
        EXPECT_EQ(text, "");
        kill(col.proc.pid, SIGTERM);
        EXPECT_EQ(process_finish(&col.proc, 3000), 0);
        EXPECT_EQ(col.proc.exit_status, 0);
        EXPECT_NE(process_stdout(col.proc).find("1 datagrams, 4 frames"), std::string::npos) << process_stdout(col.proc);
        run_command(ip + "link del " + name);
    }
    // /proc/sys/net read-only, in a mount namespace of its own.
    std::string text;
    EXPECT_NE(run_command(in_ns + "unshare -m sh -c \"mount --bind /proc/sys/net /proc/sys/net && mount -o remount,bind,ro "
                                  "/proc/sys/net && exec " VANTRY_BIN_DIR "/vantry_collector -p 0 -K -i vtr" + pid + "\"",
                          &text),
              0);
    EXPECT_NE(text.find("ERROR: Unable to make TAP interface 'vtr" + pid + "' passive: IPv6 off (disable_ipv6) failed"),
              std::string::npos)
        << text;
}
