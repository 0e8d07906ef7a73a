// The suites that also run under Wine (VANTRY_RUN_PREFIX=wine, VANTRY_WIN_BIN_DIR=<windows build>), there with
// the Windows vantry_remote, ended by PID: TZSP into the tap on loopback, what comes out read raw or from the
// collector's pcap output; the collector's TAP interface; the command line.
#include <regex>

#include "tests/e2e/process.h"

namespace {

// TZSP header (version 1, received, Ethernet), tags, END, frame.
bytes tzsp(const bytes& frame, const bytes& tags = {}) { return cat({{1, 0, 0, 1}, tags, {1}, frame}); }
std::uint16_t free_port()  // a moment ago
{
    udp_socket probe;
    return udp_open(&probe) ? 0 : probe.port;
}
// Starts a tap on TZSP port in, sending to 127.0.0.1:out: true once it runs.
bool tzsp_tap(child* tap, std::uint16_t in, std::uint16_t out, std::vector<std::string> args)
{
    args.insert(args.begin(), {"-t", std::to_string(in), "-c", "127.0.0.1:" + std::to_string(out)});
    return tap_start(tap, args);
}
// Starts the native collector (inside ns when named) on a port of its own: that port, 0 if it does not listen.
std::uint16_t collector_start(child* c, std::vector<std::string> args, const std::string& ns = "")
{
    const std::string listening = "Listening on UDP port ";
    args.insert(args.begin(), {"-p", "0"});
    if (start(c, VANTRY_BIN_DIR "/vantry_collector", args, ns) || !wait_output(c, listening, 5000)) return 0;
    const std::string out = out_of(*c) + err_of(*c);  // "-w -": the log on standard error
    return static_cast<std::uint16_t>(std::atoi(out.c_str() + out.find(listening) + listening.size()));
}
std::uint64_t unix_us() { return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count(); }
// The records of a classic pcap file in the writer's byte order, Ethernet: false for another header or a cut record.
bool pcap_records(const std::string& d, std::vector<wire_record>* out)
{
    const auto u32 = [&](std::size_t at) { std::uint32_t v; std::memcpy(&v, d.data() + at, 4); return v; };
    if (d.size() < 24 || u32(0) != 0xa1b2c3d4 || u32(20) != 1) return false;
    for (std::size_t at = 24; at < d.size(); at += 16 + u32(at + 8)) {
        if (d.size() - at < 16 || d.size() - at - 16 < u32(at + 8)) return false;
        const auto frame = d.begin() + at + 16;
        out->push_back({u32(at), u32(at + 4), std::uint16_t(u32(at + 8)), std::uint16_t(u32(at + 12)),
                        bytes(frame, frame + u32(at + 8))});
    }
    return true;
}

}  // namespace

// All rows at once, each tap fed the same: from its listed sender the largest frame, a 5-byte datagram (not
// counted), one larger than the buffer (dropped whole), a 1-byte frame, a tag list past its end, a tagged frame;
// from a sender not listed, a frame counted and dropped. The collector writes exactly the frames it should, the
// last of them sent after a whole wait without input and no empty datagram after them: in clear as a pcap
// stream on standard output (the log then on standard error), encrypted to a file; under another key it counts
// what it cannot decode. A tap whose collector is its own TZSP port drops its datagram when it comes back, once;
// frames in hand when a stop comes are dropped too.
TEST(TzspE2E, CollectorsWriteExactlyWhatTapsForward)
{
    udp_socket listed, src;  // src on 127.0.0.1, not listed
    ASSERT_EQ(udp_open(&listed, "127.0.0.2") | udp_open(&src), 0);
    temp_file hosts("# test\n127.0.0.2\n"), pcap[] = {temp_file(""), temp_file("")};
    const bytes f[] = {pattern(8995, 5), pattern(60, 1), pattern(1, 2), pattern(100, 3), pattern(40, 4)};
    const struct {
        std::vector<std::string> tap, collector;
        std::vector<int> written;  // of f
        const char* summary;
    } rows[] = {
        {{"-K", "-n", "65794", "-v", "-H", hosts.path}, {"-K", "-w", "-"}, {0, 1, 2, 3},
         "Received 2 datagrams, 4 frames; not decoded: 0 bad magic"},
        {{"-k", "e2e key"}, {"-k", "e2e key", "-w", pcap[0].path}, {0, 1, 2, 3, 4},
         "Received 2 datagrams, 5 frames; not decoded: 0 bad"},
        {{"-k", "the key"}, {"-k", "not the key", "-w", pcap[1].path}, {},
         "Received 2 datagrams, 0 frames; not decoded: 2 bad magic"},
        {{"-K", "-v"}, {}, {}, ""},  // its collector option names its own TZSP port
    };
    constexpr std::size_t n = std::size(rows);
    child taps[n], col[n];
    std::uint16_t in[n];
    for (std::size_t i = 0; i < n; ++i) {
        std::vector<std::string> args = rows[i].collector;
        args.push_back("-v");
        const std::uint16_t port = i < 3 ? collector_start(&col[i], args) : in[i] = free_port();
        ASSERT_NE(port, 0) << out_of(col[i]) << err_of(col[i]);
        ASSERT_TRUE(tzsp_tap(&taps[i], i < 3 ? in[i] = free_port() : port, port, rows[i].tap)) << out_of(taps[i]);
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
    for (std::size_t i = 0; i < 3; ++i) ASSERT_TRUE(wait_output(&col[i], "Datagram of ", 5000, 2)) << err_of(col[i]);
    EXPECT_GE(steady_clock::now() - last_input, 1000ms);
    EXPECT_FALSE(wait_output(&col[0], "Datagram of ", 1200, 3)) << "a datagram the idle rule should not have sent";
    EXPECT_TRUE(has(err_of(col[0]), " from tap 258 with 1 pkts")) << "tap id 65794 cut to 16 bits";
    ASSERT_TRUE(wait_output(&taps[3], "WARNING: Dropping the tap's own datagrams", 5000));
    for (std::size_t i = 0; i < n; ++i) {
        SCOPED_TRACE(i);
        const std::string out = tap_stop(&taps[i]);
        EXPECT_TRUE(under_wine() || has(out, "Collected 6 pkts\n")) << out;
        if (i == 3) {  // each of its two datagrams sent once, dropped when it came back
            EXPECT_TRUE(under_wine() || (count_of(out, "Sending") == 2 && count_of(out, "Dropping") == 1)) << out;
            continue;
        }
        signal_child(col[i], SIGTERM);
        EXPECT_TRUE(finish(&col[i], 5000) && col[i].status == 0) << out_of(col[i]);
        std::vector<wire_record> got;
        EXPECT_TRUE(pcap_records(i ? file_text(pcap[i - 1].path) : out_of(col[i]), &got));
        ASSERT_EQ(got.size(), rows[i].written.size());
        for (std::size_t j = 0; j < got.size(); ++j) {
            const std::uint64_t ts = std::uint64_t{got[j].ts_sec} * 1000000 + got[j].ts_usec;
            EXPECT_TRUE(got[j].frame == f[rows[i].written[j]] && got[j].len == got[j].frame.size() &&
                        got[j].ts_usec < 1000000 && ts + 1000 >= before && ts <= after) << j << ": " << ts;
        }
        EXPECT_TRUE(has(i ? out_of(col[i]) : err_of(col[i]), rows[i].summary)) << out_of(col[i]) << err_of(col[i]);
        for (const char* line : {"Collected packet 2 with len = 65\n", "Collected packet 3 with len = 6\n"})
            EXPECT_TRUE(under_wine() || i || has(out, line)) << out;
    }
}

// What comes through the collector's TAP interface neither configures this host nor draws an answer, where an
// ordinary interface would take a router advertisement, answer ARP and take IPv4 from any source: with the
// interface the collector makes and with one up already. Settings that cannot be written are refused.
TEST(TzspE2E, CollectorTapInterfaceIsAPassiveMonitor)
{
    if (geteuid() || access("/proc/sys/net/ipv6", F_OK) || access("/dev/net/tun", F_OK))
        GTEST_SKIP() << "needs root, IPv6 and /dev/net/tun";
    const std::string pid = std::to_string(getpid()), ns = "vantry-e2e-" + pid;
    const std::string ip = "ip -n " + ns + " ", in_ns = "ip netns exec " + ns + " ";
    netns space(ns);
    const char* const open_settings = "sysctl -qw net.ipv6.conf.all.disable_ipv6=0 net.ipv6.conf.default.disable_ipv6=0"
        " net.ipv6.conf.all.accept_ra=2 net.ipv6.conf.default.accept_ra=2 net.ipv6.conf.default.accept_dad=0"
        " net.ipv4.conf.all.rp_filter=0 net.ipv4.conf.default.rp_filter=0 net.ipv4.conf.all.arp_ignore=0";
    ASSERT_EQ(space.made | run_command(ip + "addr add 192.0.2.1/32 dev lo && " + in_ns + open_settings), 0);
    udp_socket src, local;  // to the collector; on a local IPv4 address
    ASSERT_EQ(udp_open(&src, "127.0.0.1", ns) | udp_open(&local, "192.0.2.1", ns), 0);
    // A router advertisement (router lifetime 1800 s) to all nodes, its checksum filled in.
    const bytes from = cat({{0xfe, 0x80}, bytes(13), {0x99}}), to = cat({{0xff, 0x02}, bytes(13), {1}});
    bytes ra = {134, 0, 0, 0, 64, 0, 0x07, 0x08, 0, 0, 0, 0, 0, 0, 0, 0};
    const bytes sum = inet_checksum(cat({from, to, {0, 0, 0, 16, 0, 0, 0, 58}, ra}));
    std::copy(sum.begin(), sum.end(), ra.begin() + 2);
    // In a Tap datagram with an ARP probe (sender 0.0.0.0) for the local address and UDP to it from a source routed
    // nowhere.
    bytes datagram = {0x02, 0x19, 0x68, 0x24, 0, 1, 3, 0};
    for (const bytes& f : {ethernet(0x86dd, cat({{0x60, 0, 0, 0, 0, 16, 58, 255}, from, to, ra}), {0x33, 0x33, 0, 0, 0, 1}),
                           ethernet(0x0806, cat({{0, 1, 8, 0, 6, 4, 0, 1}, bytes(16), {192, 0, 2, 1}}), bytes(6, 0xff)),
                           ethernet(0x0800, ipv4(17, {198, 51, 100, 7}, {192, 0, 2, 1}, udp(local.port, {1})),
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
        // Frames written into it, and what the kernel sent, counted by the queue: the interface counts only what
        // the collector reads, which is nothing. Nothing sent still a second after the frames went in.
        const std::string stats = in_ns + "sh -c 'cat /sys/class/net/" + name + "/statistics/rx_packets && tc -s qdisc " +
                                  "show dev " + name + "'";
        const auto quiet = [&] { return text.starts_with("3\n") && has(text, " Sent 0 bytes 0 pkt (dropped 0,") &&
                                        count_of(text, " Sent ") == 1 && has(text, "backlog 0b 0p"); };
        EXPECT_TRUE(poll_until(5000, [&] { return run_command(stats, &text) == 0 && text.starts_with("3\n"); }));
        EXPECT_FALSE(poll_until(1000, [&] { return run_command(stats, &text) != 0 || !quiet(); })) << text;
        // IPv4 cannot be switched off on one interface: the strict reverse-path check drops the packet.
        EXPECT_NE(net_wait_readable(local.s, 0), 1);
        const std::string show = ip + "addr show dev " + name + " | grep inet; " + ip + "-4 route show table all dev ";
        EXPECT_EQ(run_command(show + name + "; " + ip + "-6 route show table all dev " + name, &text), 0);
        EXPECT_EQ(text, "") << "no address, no route";
        signal_child(col, SIGTERM);
        EXPECT_TRUE(finish(&col, 3000) && col.status == 0);
        run_command(ip + "link del " + name);
    }
    // /proc/sys/net read-only, in a mount namespace of its own.
    const std::string ro = "mount --bind /proc/sys/net /proc/sys/net && mount -o remount,bind,ro /proc/sys/net";
    const std::string collector = VANTRY_BIN_DIR "/vantry_collector -p 0 -K -i vtr" + pid;
    EXPECT_NE(run_command(in_ns + "unshare -m sh -c '" + ro + " && exec " + collector + "'", &text), 0);
    EXPECT_TRUE(has(text, "ERROR: Unable to make TAP interface 'vtr" + pid +
                              "' passive: IPv6 off (disable_ipv6) failed")) << text;
}

// Each run ends with status 0 and shows the lines given in that order, the last of them last. An option error
// stops the reading; the mandatory checks then report the first option missing, with the help.
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
        {{"-K", "-t", "37008", "-c", "127.0.0.1:5000", "--help"},
         {"WARNING: Data will not be encrypted (-K specified)", "", title, "", "Usage:",
          "- vantry_remote /c -t 37008  -c 127.0.0.1:1234 -k mango", shut}},
        {{"-t", "37008", "-c", "127.0.0.1:5000"}, {"ERROR: Missing encryption key -k", "", title, "", "Usage:", shut}},
        {{"-K", "--snaplen", "1500", "-t", "37008", "-c", "127.0.0.1:5000"}, {iface, "Usage:", shut},
         "unrecognized option `--snaplen'\n"},
        {{"-K", "x", "-Q"}, {iface, shut}, "", {"POSIXLY_CORRECT=1"}},
        {{"-K", "--collector\tx"}, {iface, shut}},  // the words reach the run joined by TABs, split there again
        {{"-K", "-t", std::to_string(free_port()), "-c", "127.0.0.1"},
         {"ERROR: Invalid -c format specified: missing port", version, "ERROR: Socket error", shut}},
        {{conf.path}, {"WARNING: Skipping unrecognized line: collector 127.0.0.1:5000", "", version, "",
                       "Version:       1.1.260430"}},
    };
    for (const auto& row : rows) {
        std::vector<std::string> args = row.args;
        args.insert(args.begin(), "/c");
        SCOPED_TRACE(testing::PrintToString(args));
        child c;
        ASSERT_EQ(start(&c, remote_path(), args, "", row.env), 0);
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
