// The sender: failures counted and reported, runs cut for segmentation, every send mode forced against the
// datagrams as queued (same bytes, same order, the failed one counted and the rest still sent), and the batched
// receive's lengths and senders.
#include <gtest/gtest.h>
#include "tests/test_support.h"
TEST(Sender, FailuresAreCountedAndNothingLeavesWithoutDestinationOrKey)
{
    loopback_collector c;
    tap_sender& s = c.sender;
    bytes d(40, 0x11), huge(65508, 0x22);  // more than IPv4 UDP carries
    ASSERT_EQ(send_datagram(s, d.data(), 40), 0);
    ASSERT_TRUE(c.receive(d));
    testing::internal::CaptureStdout();
    EXPECT_EQ(send_datagram(s, huge.data(), 65508), 2);
    s.has_destination = false;
    EXPECT_EQ(send_datagram(s, d.data(), 40), 2);
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_NE(log.find("instead of 65508] "), log.npos) << log;
    EXPECT_EQ(log.find("since the last"), log.npos) << log;
    EXPECT_EQ(log.find("Send error"), log.rfind("Send error")) << "one line, for the first: " << log;
    const auto queue = std::make_unique<send_queue>();
    send_queue_init(*queue, s);
    EXPECT_EQ(send_queue_push(s, *queue, 40), 2) << "queued without a destination";
    s.has_destination = s.encrypt = true;  // and no key
    EXPECT_EQ(send_datagram(s, d.data(), 40), -1);
    EXPECT_EQ(send_queue_push(s, *queue, 40), -1) << "queued without a key";
    EXPECT_EQ(queue->count, 0) << "neither waits to be sent";
    send_queue_flush(s, *queue);
    EXPECT_TRUE(c.quiet());
    EXPECT_EQ(s.datagrams_sent, 1u);
    EXPECT_EQ(s.failures, 3u);
}

TEST(Sender, FailureLogNamesTheFirstThenOneLineASecondThenTheRecovery)
{
    send_failure_log log;
    const struct { std::uint64_t now; bool failed; std::uint32_t reported; } steps[] = {
        {0, false, 0}, {5000, true, 1}, {5001, true, 0}, {5999, true, 0}, {6000, true, 3}, {6001, true, 0},
        {9000, true, 2}, {9001, false, 6}, {9002, false, 0}, {9003, true, 1}, {9005, false, 1}};
    for (const auto& step : steps)
        EXPECT_EQ(step.failed ? send_failure_note(log, step.now) : send_success_note(log), step.reported) << step.now;
}

TEST(SendBatch, SegmentedRunsEndAtASizeChangeAShorterOneOrTheUdpLimit)
{
    const struct { std::vector<std::uint32_t> lens; int run; } rows[] = {
        {{100, 100, 100}, 3},
        {{100, 100, 60, 100}, 3},  // a shorter one ends the run, inside it
        {{100, 100, 160}, 2},      // a longer one starts the next
        {{60, 100}, 1},
        {{100}, 1},
        {{0, 0, 0}, 1},  // no segment size to give
        {{100, 0}, 1},   // an empty one would vanish inside the run
        {std::vector<std::uint32_t>(50, 1534), 42},  // 42 * 1534 <= 65507 < 43 * 1534
        {{65507, 1}, 1},
        {std::vector<std::uint32_t>(70, 8), 64},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::PrintToString(r.lens));
        std::vector<net_datagram_out> d;
        for (std::uint32_t n : r.lens)
            d.push_back({nullptr, n});
        EXPECT_EQ(net_gso_run(d.data(), static_cast<int>(d.size())), r.run);
    }
}

// 70 datagrams in runs of one size, shorter ones and size changes between
// them, and one larger than UDP carries, which fails alone.
TEST(SendBatch, EveryModeSendsTheQueuedDatagramsInOrderAndCountsTheFailedOne)
{
    for (int mode : {net_send_single, net_send_mmsg, net_send_gso}) {
        SCOPED_TRACE(mode);
        loopback_collector c;
        auto q = std::make_unique<send_queue>();
        send_queue_init(*q, c.sender);
        q->mode = mode;
        std::vector<bytes> want;
        testing::internal::CaptureStdout();
        for (int i = 0; i < 70; ++i) {
            const std::size_t n = i == 9 ? 65508 : i % 7 == 6 ? 50 : 100 + 20 * (i / 14);
            const bytes d = pattern(n, static_cast<std::uint8_t>(i));
            ASSERT_EQ(send_queue_slot(*q), q->ring[i % net_batch_max]);
            std::copy(d.begin(), d.end(), send_queue_slot(*q));
            ASSERT_EQ(send_queue_push(c.sender, *q, static_cast<std::uint32_t>(n)), 0);
            if (i != 9)
                want.push_back(d);
            if (i == 62) {
                EXPECT_TRUE(c.quiet(20)) << "63 wait for the end of the drain";
            }
        }
        bytes got;
        for (int i = 0; i < 63; ++i) {
            ASSERT_TRUE(c.receive(got)) << i;
            EXPECT_EQ(got, want[i]) << i;
        }
        EXPECT_TRUE(c.quiet(20)) << "6 wait, not sent with the full queue";
        send_queue_flush(c.sender, *q);
        for (int i = 63; i < 69; ++i) {
            ASSERT_TRUE(c.receive(got)) << i;
            EXPECT_EQ(got, want[i]) << i;
        }
        const std::string log = testing::internal::GetCapturedStdout(), line = "Send error [sent -1 instead of 65508]";
        EXPECT_NE(log.find(line), log.npos) << log;
        EXPECT_EQ(log.find(line), log.rfind(line)) << "one line, the first of a run: " << log;
        EXPECT_EQ(log.find("since the last report"), log.npos) << log;
        EXPECT_EQ(c.sender.failures, 1u);
        EXPECT_EQ(c.sender.datagrams_sent, 69u);
        EXPECT_EQ(q->mode, mode) << "a datagram's failure is not the mode's";
        EXPECT_EQ(q->count, 0);
    }
}

TEST(SendBatch, BatchedReceiveGivesEachDatagramItsLengthAndSender)
{
    loopback_collector c;
    for (std::size_t n : {10, 21, 5})
        net_send_to_peer(c.sender.socket, pattern(n, 1).data(), n, c.sender.to);
    std::uint8_t bufs[4][20];
    net_datagram_in in[4];
    for (int i = 0; i < 4; ++i)
        in[i] = {bufs[i], 20, 0, {}};
    int got = 0;
    // Loopback need not have delivered all three by the first call.
    while (got < 3 && net_wait_readable(c.rx, 2000000) == 1) {
        const int r = net_recv_batch(c.rx, in + got, 4 - got);
        ASSERT_GT(r, 0);
        got += r;
    }
    ASSERT_EQ(got, 3);
    EXPECT_EQ(in[0].len, 10);
    EXPECT_EQ(in[1].len, -2) << "larger than its buffer: discarded whole";
    EXPECT_EQ(in[2].len, 5);
    EXPECT_EQ(bytes(bufs[2], bufs[2] + 5), pattern(5, 1));
    EXPECT_TRUE(net_peer_same(in[2].from, net_peer_ipv4(ipv4_of(127, 0, 0, 1),
                                                         net_order16(net_local_port(c.sender.socket)))));
    EXPECT_EQ(net_recv_batch(c.rx, in, 4), net_recv_nothing);
}
