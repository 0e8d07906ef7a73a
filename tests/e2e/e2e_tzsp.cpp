// TZSP taps forwarding to collectors, in clear, Speck or sealed, and the collector's TAP interface.
#include "tests/e2e/e2e_support.h"
static std::uint64_t unix_us() { return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count(); }
// Taps fed the same datagrams, good and bad, from a listed sender and another: collectors write exactly what they
// should, or count what another key hides; the idle rule sends the last. A tap that is its own collector drops it.
TEST(TzspE2E, CollectorsWriteExactlyWhatTapsForward)
{
    udp_socket listed, src;  // src on 127.0.0.1, not listed
    ASSERT_EQ(udp_open(&listed, "127.0.0.2") | udp_open(&src), 0);
    temp_file hosts("# test\n127.0.0.2\n"), pcap("");
    std::remove(pcap.path.c_str());  // the collector makes its file, never over one
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
        ASSERT_TRUE(port || i == 2) << err_of(col[i]);
        ASSERT_TRUE(tap_start(&taps[i], args)) << out_of(taps[i]);
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
            EXPECT_TRUE(under_wine() || count_of(out, "Sending") == 2) << out;
            EXPECT_TRUE(under_wine() || count_of(out, "Dropping") == 1) << out;
            continue;
        }
        signal_child(col[i], SIGTERM);
        EXPECT_EQ(status_within(&col[i], 5000), 0) << out_of(col[i]);
        const std::string d = i ? file_text(pcap.path) : out_of(col[i]);
        const std::vector<wire_record> got = pcap_of(d);
        ASSERT_EQ(got.size(), rows[i].written.size());
        std::size_t size = 24;  // with nothing after the records
        for (std::size_t j = 0; j < got.size(); size += 16 + got[j++].frame.size()) {
            const std::uint64_t ts = std::uint64_t{got[j].ts_sec} * 1000000 + got[j].ts_usec;
            SCOPED_TRACE(j);
            EXPECT_EQ(got[j].frame, f[rows[i].written[j]]);
            EXPECT_EQ(got[j].len, got[j].frame.size());
            EXPECT_LT(got[j].ts_usec, 1000000u);
            EXPECT_GE(ts + 1000, before);
            EXPECT_LE(ts, after);
        }
        EXPECT_EQ(d.size(), size);
        EXPECT_TRUE(has(i ? out_of(col[i]) : err_of(col[i]), rows[i].summary)) << out_of(col[i]) << err_of(col[i]);
        for (const char* line : {"Collected packet 2 with len = 65\n", "Collected packet 3 with len = 6\n"})
            EXPECT_TRUE(under_wine() || i || has(out, line)) << out;
    }
}

// Sealed (-A) and Speck taps sending to collectors of either mode: only a collector of the tap's mode writes, the
// other counts what it refused; a passphrase under another salt is another key. A tap started twice with the same key
// seals under a new run id, from number 0.
TEST(TzspE2E, SealedDatagramsReachOnlyACollectorOfTheirModeAndEachRunHasItsOwnId)
{
    udp_socket src, rx;
    ASSERT_EQ(udp_open(&src) | udp_open(&rx), 0);
    const std::vector<std::string> sealed = {"-A", "-k", "correct horse battery", "--salt", "site-17"},
                                   speck = {"-k", "mango"};
    const struct {
        std::vector<std::string> tap, collector;
        std::size_t written;
        const char* said;
    } rows[] = {
        {sealed, sealed, 2, "Sealed: 0 datagrams lost on the way, 0 frames lost; refused: 0 not authentic, 0 replayed"},
        // The frames' datagram, and the statistics at the end (none from a Windows tap ended by its PID).
        {sealed, speck, 0, " sealed datagrams (from taps started with -A) refused"},
        {speck, sealed, 0, "refused: not a sealed datagram"},
        {{"-A", "-k", "correct horse battery", "--salt", "site-18"}, sealed, 0, " not authentic, 0 replayed"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.tap) + " to " + testing::PrintToString(row.collector));
        child tap, col;
        std::vector<std::string> args = row.collector, tap_args = row.tap;
        args.insert(args.end(), {"-v", "-w", "-"});
        const std::uint16_t port = collector_start(&col, args), in = free_port();
        tap_args.insert(tap_args.end(), {"-t", std::to_string(in), "-c", "127.0.0.1:" + std::to_string(port)});
        ASSERT_NE(port, 0) << err_of(col);
        ASSERT_TRUE(tap_start(&tap, tap_args)) << out_of(tap);
        for (int i : {1, 2}) udp_send(src, tzsp(pattern(50 + 10 * i, std::uint8_t(i))), in);
        EXPECT_TRUE(wait_output(&col, "Datagram of ", 5000)) << err_of(col);
        tap_stop(&tap);
        signal_child(col, SIGTERM);
        EXPECT_EQ(status_within(&col, 5000), 0);
        EXPECT_EQ(pcap_of(out_of(col)).size(), row.written);
        EXPECT_TRUE(has(err_of(col), row.said)) << err_of(col);
    }
    bytes ids[2];
    for (bytes& d : ids) {
        child tap;
        const std::uint16_t in = free_port();
        ASSERT_TRUE(tap_start(&tap, {"-A", "-k", std::string(64, '7'), "-t", std::to_string(in), "-c",
                                     "127.0.0.1:" + std::to_string(rx.port)})) << out_of(tap);
        udp_send(src, tzsp(pattern(60, 1)), in);
        ASSERT_TRUE(udp_receive(rx, &d, 5000));
        tap_stop(&tap);
        for (bytes end; udp_receive(rx, &end, 1000);) {}  // the statistics of the run's end
        ASSERT_EQ(d.size(), 48u + 12 + 60 + 16);
        EXPECT_EQ(bytes(d.begin(), d.begin() + 4), (bytes{0x04, 0x19, 0x68, 0x24}));
        EXPECT_EQ(bytes(d.begin() + 24, d.begin() + 32), bytes(8, 0)) << "numbers start at 0";
    }
    EXPECT_NE(bytes(ids[0].begin() + 8, ids[0].begin() + 24), bytes(ids[1].begin() + 8, ids[1].begin() + 24));
}

// With -S 1 and -A the tap logs its counters every second and sends them sealed every 5 s and at its stop: datagrams
// of kind 1 without records that open under the run key and read back the frames forwarded and the datagrams sent.
TEST(TzspE2E, TheTapLogsItsCountersAndSendsThemSealed)
{
    const std::string key(64, '5');
    std::uint8_t master[sealed_key_size];
    udp_socket src, rx;
    ASSERT_EQ(udp_open(&src) | udp_open(&rx) | sealed_master_key(key.data(), key.size(), "", 0, master), 0);
    child tap;
    const std::uint16_t in = free_port();
    ASSERT_TRUE(tap_start(&tap, {"-A", "-k", key, "-S", "1", "-t", std::to_string(in), "-c",
                                 "127.0.0.1:" + std::to_string(rx.port)})) << out_of(tap);
    for (int i : {1, 2, 3}) udp_send(src, tzsp(pattern(60, std::uint8_t(i))), in);
    EXPECT_TRUE(wait_output(&tap, "Stats: 3 frames received, 0 capture drops, 0 interface drops, 0 left out by the "
                            "allow-list, 0 left out by the rate cap, 3 frames sent in 1 datagrams, 0 datagrams failed",
                            4000)) << out_of(tap);
    std::vector<tap_statistics> told;
    sealed_header_view h;
    auto take = [&](bytes d) {  // a statistics datagram that opens: its counters into told
        std::size_t at = 0, n = 0;
        if (open_sealed_with(master, d, &h, &at, &n) == sealed_read_ok && h.kind == sealed_kind_statistics)
            sealed_read_statistics(&d[at], n, &told.emplace_back());
    };
    bytes d;
    for (const auto until = steady_clock::now() + 8s; told.empty() && steady_clock::now() < until;)
        if (udp_receive(rx, &d, 500)) take(d);
    tap_stop(&tap);
    while (udp_receive(rx, &d, 1000)) take(d);
    // A Windows tap under Wine is ended by its PID: nothing at its stop.
    ASSERT_EQ(told.size(), under_wine() ? 1u : 2u) << "one after 5 s, one at the stop";
    EXPECT_EQ(h.record_count, 0);
    EXPECT_EQ(h.first_record, sealed_statistics_size) << "past the body: no record starts";
    EXPECT_EQ(h.first_frame, 3u) << "the number of the next frame";
    EXPECT_EQ(told[0].received, 3u);
    EXPECT_EQ(told.back().datagrams_sent, told.size()) << "the frames', and the statistics sent before";
    EXPECT_NEAR(double(told.back().run_start_us), double(unix_us()), 30e6);
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
        EXPECT_EQ(status_within(&col, 3000), 0);
    }
    // /proc/sys/net read-only, in a mount namespace of its own.
    const std::string ro = "mount --bind /proc/sys/net /proc/sys/net && mount -o remount,bind,ro /proc/sys/net";
    const std::string collector = VANTRY_BIN_DIR "/vantry_collector -p 0 -K -i vtr" + pid;
    EXPECT_NE(run_command(in_ns + "unshare -m sh -c '" + ro + " && exec " + collector + "'", &text), 0);
    EXPECT_TRUE(has(text, "ERROR: Unable to make TAP interface 'vtr" + pid +
                              "' passive: IPv6 off (disable_ipv6) failed")) << text;
}

