// Batched sends: a slow link, the same datagrams batched or one by one, segmentation refused.
#include "tests/e2e/e2e_support.h"
// A link slower than the capture (a shaper with a 1 MB queue): the tap's sends wait for the queue, so that every
// datagram it counts as sent arrives, and what it could not take is counted as capture drops, in both closing lines.
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
    ASSERT_EQ(udp_open(&rx, "10.78.0.2", c.name), 0);
    ASSERT_EQ(setsockopt(int(rx.s), SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof room), 0);
    const int inject = packet_socket(t.name, "lo");
    child tap;
    ASSERT_GE(inject, 0);
    ASSERT_TRUE(tap_start(&tap, {"-i", "lo", "-c", "10.78.0.2:" + std::to_string(rx.port), "-K"},
                                         t.name)) << out_of(tap);
    const bytes frame = ethernet(0x88b5, pattern(1500, 7));  // a datagram of its own each, 2.5 MB in all
    for (int i = 0; i < 1600; ++i) EXPECT_GT(::send(inject, frame.data(), frame.size(), 0), 0);
    close(inject);
    std::vector<wire_record> got;
    for (bytes d; udp_receive(rx, &d, 3000);) decode_records(d, &got);
    const std::string out = tap_stop(&tap);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(out, m, std::regex(R"(\[(\d+) packets sent\]\[(\d+) capture drops\])"))) << out;
    EXPECT_EQ(std::to_string(got.size()), m[1].str()) << "datagrams counted as sent but lost on the way";
    EXPECT_EQ(std::stoul(m[1].str()) + std::stoul(m[2].str()), 1600u) << out;
    const std::regex stats(R"(Stats: (\d+) frames received, (\d+) capture drops, .* (\d+) frames sent in \3 )");
    ASSERT_TRUE(std::regex_search(out, m, stats)) << out;  // one frame a datagram
    EXPECT_EQ(std::stoul(m[1].str()) + std::stoul(m[2].str()), 1600u) << "each frame received or dropped: " << out;
}

// TZSP input at four times the cap for 2 s: what arrives, IP and UDP headers included, is within 10 % of the cap,
// and each frame collected either arrived or is in the closing count of frames left out.
TEST(Batch, TheRateCapHoldsAFloodToTheCapAndCountsWhatItLeftOut)
{
    udp_socket src, rx;
    const int room = 16 << 20;  // all of it: read once the flood is over
    ASSERT_EQ(udp_open(&src), 0);
    ASSERT_EQ(udp_open(&rx), 0);
    ASSERT_EQ(setsockopt(int(rx.s), SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof room), 0);
    const std::uint16_t port = free_port();
    child tap;
    ASSERT_TRUE(tap_start(&tap, {"-t", std::to_string(port), "-c", "127.0.0.1:" + std::to_string(rx.port), "-K",
                                 "-R", "20"})) << out_of(tap);
    const bytes datagram = tzsp(pattern(1000, 3));
    const auto start = steady_clock::now();
    for (auto tick = start; tick < start + 2s; std::this_thread::sleep_until(tick += 1ms))
        for (int i = 0; i < 10; ++i) udp_send(src, datagram, port);
    const double seconds = duration<double>(steady_clock::now() - start).count();
    std::vector<wire_record> got;
    double bits = 0;
    // The last one after an idle second, so that no frame stays in hand at the stop.
    for (bytes d; udp_receive(rx, &d, 1500) && decode_records(d, &got);) bits += 8.0 * (d.size() + 28);
    EXPECT_NEAR(bits / seconds, 20e6, 2e6);
    const std::string out = tap_stop(&tap);
    std::smatch collected, left_out;
    ASSERT_TRUE(std::regex_search(out, collected, std::regex(R"(Collected (\d+) pkts)"))) << out;
    ASSERT_TRUE(std::regex_search(out, left_out, std::regex(R"(Rate cap 20 Mbit/s: (\d+) frames left out in all)")));
    EXPECT_EQ(std::stoul(collected[1]), got.size() + std::stoul(left_out[1])) << out;
    EXPECT_TRUE(has(out, "frames left out in the last second")) << out;
}

#if defined(VANTRY_TEST_HOOKS)
// Runs the tap (in ns) with args, in clear, batched and then with VANTRY_SEND_MODE=single; feed makes its input.
// Both runs must deliver the same datagrams (time stamps zeroed), carrying frames in order. Their logs.
static std::string batched_and_single(std::vector<std::string> args, const std::vector<bytes>& frames,
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
        for (bytes d; got.size() < frames.size() && udp_receive(rx, &d, 5000);) {
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

// Runs of one datagram size (three 700-byte frames each), then a size that changes with every frame.
TEST(Batch, TzspDatagramsAreTheSameSentInBatchesOrOneByOne)
{
    udp_socket src;
    const std::uint16_t port = free_port();
    ASSERT_NE(port, 0);
    ASSERT_EQ(udp_open(&src), 0);
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
    const int inject = packet_socket(ns.name, "lo");
    std::vector<bytes> frames;  // of an EtherType no stack takes up
    for (int i = 0; i < 40; ++i) frames.push_back(ethernet(0x88b5, pattern(i < 30 ? 1500 : 31 * i, std::uint8_t(i))));
    const auto feed = [&] { for (const bytes& f : frames) EXPECT_GT(::send(inject, f.data(), f.size(), 0), 0); };
    const std::string logs = batched_and_single({"-i", "lo"}, frames, feed, ns.name);
    close(inject);
    EXPECT_EQ(count_of(logs, "refused"), 1) << logs;
    EXPECT_TRUE(has(logs, "Segmented sends refused")) << logs;
}
#endif

