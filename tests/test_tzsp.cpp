// TZSP: the frame found behind the tags, and the loop that forwards what TZSP senders send.
#include <gtest/gtest.h>
#include <regex>
#include <thread>
#include "forward/forwarding.h"
#include "forward/tzsp.h"
#include "tests/test_support.h"
TEST(TzspFrame, TagsAreWalkedToEndAndNeverPastTheDatagram)
{
    const struct { bytes datagram; std::uint32_t offset, length; } rows[] = {  // frame offset 0: none
        {{0x7f, 0xee, 0x12, 0x34, 1, 0xaa, 0xbb, 0xcc}, 5, 3}, {{1, 0, 0, 1, 1}, 5, 0},  // any header values
        {{1, 0, 0, 1, 0, 0, 10, 4, 1, 1, 1, 1, 42, 0, 1, 0xde, 0xad}, 15, 2},  // padding, two tags (one empty), END
        {{1, 0, 0, 1, 10, 2, 1, 1, 1, 0x55}, 9, 1},  // value bytes that look like END are not the end
        {{1, 0, 0, 1}, 0, 0}, {{1, 0, 0, 1, 0, 0, 0}, 0, 0}, {{1, 0, 0, 1, 10}, 0, 0},
        {{1, 0, 0, 1, 10, 3, 1, 1}, 0, 0}, {{1, 0, 0, 1, 10, 255, 1}, 0, 0}, {{1, 0, 0}, 0, 0}, {{}, 0, 0}};
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::PrintToString(r.datagram));
        const bytes exact(r.datagram);  // a block of that size: a sanitizer build catches a read past it
        tzsp_frame f{};
        EXPECT_EQ(tzsp_find_frame(exact.data(), exact.size(), &f), r.offset ? 0 : -1);
        if (!r.offset)
            continue;
        EXPECT_EQ(f.offset, r.offset);
        EXPECT_EQ(f.length, r.length);
    }
}

// Not counted: 5 bytes, one beyond the buffer, the tap's own. Counted and dropped: tags past the end, an empty
// frame, all from an unlisted sender. Of four frames (three behind an odd header and a tag) three arrive in order; a
// stop drops the last. The closing line counts them.
TEST(TzspReceiver, ForwardsEveryFrameOnceAndStopsAtOnce)
{
    const bytes big1 = pattern(1000, 1), big2 = pattern(1000, 2), odd = {0xff, 0xee, 0xdd, 0xcc, 10, 1, 9, 1};
    const bytes in[] = {{1, 0, 0, 1, 1}, bytes(9001, 1), {1, 0, 0, 1, 1, 0xaa}, {1, 0, 0, 1, 10, 200, 1},
                        {1, 0, 0, 1, 0, 1}, cat({odd, big1}), cat({odd, big2}), cat({odd, {3}})};
    for (bool listed : {true, false}) {
        SCOPED_TRACE(listed ? "sender listed" : "sender not listed");
        loopback_collector collector;
        forward_context ctx;
        ctx.sender = collector.sender;  // its socket shared until handed over below
        ctx.tap_id = 3;
        net_bind(ctx.sender.socket, ipv4_of(127, 0, 0, 2), 0);  // another loopback address than the collector's
        hosts_file hosts;
        prefix_trie* list = nullptr;
        hosts.load(&list, listed ? "127.0.0.1\n" : "10.0.0.1\n");
        ctx.allow_list = list;
        const net_socket probe = net_udp_socket();
        net_bind_any(probe, 0);
        const std::uint16_t port = net_local_port(probe);
        testing::internal::CaptureStdout();
        ctx.stop = true;  // these end it before any "Collected"; a loop that ran on anyway would stop at once
        run_tzsp_receiver(ctx, port);  // a port in use
        net_close(probe);
        ctx.sender.socket = net_invalid_socket;
        run_tzsp_receiver(ctx, port);  // no socket to send from
        ctx.sender.socket = collector.sender.socket;
        collector.sender.socket = net_invalid_socket;
        ctx.stop = false;
        const long descriptors = open_descriptors();
        std::thread loop([&] { run_tzsp_receiver(ctx, port); });
        auto bound = [&] {
            const std::lock_guard<std::mutex> hold(ctx.wake_lock);
            return ctx.wake != nullptr;
        };
        for (int i = 0; i < 200 && !bound(); ++i)  // the loop sets what a stop wakes once its port is bound
            sleep_ms(10);
        for (const bytes& d : in)  // from the collector's socket, on loopback
            net_send_to(collector.rx, d.data(), d.size(), {ipv4_of(127, 0, 0, 1), net_order16(port)});
        net_send_to(ctx.sender.socket, in[2].data(), in[2].size(), {ipv4_of(127, 0, 0, 1), net_order16(port)});
        bytes got;
        const bool came = collector.receive(got, listed ? 2000 : 300);
        const std::uint64_t t0 = clock_monotonic_ms();
        forward_stop(ctx);
        loop.join();
        EXPECT_LT(clock_monotonic_ms() - t0, 500u) << "a stop waits for nothing";
        EXPECT_EQ(open_descriptors(), descriptors) << "the loop closes its socket and its waker";
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find("Collected 6 pkts"), out.npos) << out;
        EXPECT_EQ(out.find("Collected"), out.find("Collected 6 pkts")) << out;
        EXPECT_TRUE(collector.quiet()) << "the frame in hand is dropped";
        const tap_statistics counted = forward_statistics(ctx);
        EXPECT_EQ(counted.received, 6u);
        EXPECT_EQ(counted.allow_list_out, listed ? 0u : 6u);
        EXPECT_EQ(counted.frames_sent, listed ? 3u : 0u) << "the frame in hand is not sent";
        EXPECT_TRUE(std::regex_search(out, std::regex("Collected 6 pkts\n[^\n]*Stats: 6 frames received"))) << out;
        net_close(ctx.sender.socket);
        release_allow_list(&list);
        ASSERT_EQ(came, listed);
        if (!listed)
            continue;
        std::vector<wire_record> r;
        std::uint16_t id = 0;
        ASSERT_TRUE(decode_records(got, &r, &id));
        ASSERT_EQ(r.size(), 3u);
        EXPECT_EQ(id, 3);
        EXPECT_EQ(r[0].frame, bytes{0xaa});
        EXPECT_EQ(r[1].frame, big1);
        EXPECT_EQ(r[2].frame, big2);
        const double now = static_cast<double>(clock_unix_us() / 1000000);
        EXPECT_NEAR(r[0].ts_sec, now, 5) << "stamped on arrival with the Unix time";
    }
}
