// The counters told: when the -S line and the sealed statistics datagram are due on a fake clock, the line's text,
// and the datagram as the collector opens it.
#include <gtest/gtest.h>
#include <array>
#include <bit>
#include "forward/forwarding.h"
#include "forward/loop_report.h"
#include "tests/test_support.h"

// Started at 1000 ms, each row looks at its times in order. due: 1 the line, 2 the datagram. A late look owes one.
TEST(LoopReport, LinesEverySSecondsDatagramsEvery5SecondsAndOnlySealed)
{
    const struct { std::uint32_t seconds; bool sealed; std::vector<std::uint64_t> looks; std::vector<int> due; }
    rows[] = {
        {.seconds = 0, .sealed = false, .looks = {1000, 900000}, .due = {0, 0}},
        {.seconds = 2, .sealed = false, .looks = {2999, 3000, 4999, 5000, 20000, 21999, 22000},
         .due = {0, 1, 0, 1, 1, 0, 1}},
        {.seconds = 0, .sealed = true, .looks = {5999, 6000, 10999, 11000}, .due = {0, 2, 0, 2}},
        {.seconds = 5, .sealed = true, .looks = {6000, 11000, 11001}, .due = {3, 3, 0}}};
    sealed_sender sealing;
    for (const auto& r : rows) {
        forward_context ctx;
        ctx.stats_seconds = r.seconds;
        ctx.sender.sealed = r.sealed ? &sealing : nullptr;
        const auto report = std::make_unique<loop_report>();
        loop_report_start(*report, ctx, 1000);
        for (std::size_t i = 0; i < r.looks.size(); ++i) {
            SCOPED_TRACE(testing::Message() << "-S " << r.seconds << (r.sealed ? " -A" : "") << " at " << r.looks[i]);
            EXPECT_EQ(loop_report_due(*report, r.looks[i]), r.due[i] != 0);
            EXPECT_EQ(loop_report_take(*report, r.looks[i]), r.due[i]);
        }
    }
}

TEST(LoopReport, TheLineNamesEachCounterAndHoldsTheLargest)
{
    char line[statistics_line_size];
    statistics_line({1, 120000, 12, 1, 300, 5000, 114700, 9000, 3}, line, sizeof line);
    EXPECT_STREQ(line, "Stats: 120000 frames received, 12 capture drops, 1 interface drops, 300 left out by the "
                       "allow-list, 5000 left out by the rate cap, 114700 frames sent in 9000 datagrams, 3 datagrams "
                       "failed");
    const std::uint64_t most = ~std::uint64_t{0};
    statistics_line({most, most, most, most, most, most, most, most, most}, line, sizeof line);
    EXPECT_TRUE(std::string_view(line).ends_with("18446744073709551615 datagrams failed")) << line;
}

// Sealed with the run's next number, it opens under the run key: kind 1, no record, the next frame's number, the
// first record past the body, and every counter as it was.
TEST(LoopReport, TheStatisticsDatagramOpensUnderTheRunKeyAndReadsBack)
{
    const std::uint8_t master[sealed_key_size] = {7};
    sealed_sender s;
    ASSERT_EQ(sealed_crypto_init() | sealed_sender_open(&s, master), 0);
    s.next_seq = 41;
    const tap_statistics sent{1, 2, 3, 4, 5, 6, 7, 8, ~std::uint64_t{0}};
    std::uint8_t d[statistics_datagram_size + sealed_tag_size];
    const std::uint32_t len = sealed_seal(s, d, write_statistics_datagram(d, 0x1234, 77, sent));
    sealed_cipher_close(&s.cipher);
    sealed_header_view h;
    ASSERT_EQ(sealed_read_header(d, len, &h), sealed_read_ok);
    EXPECT_EQ(h.kind, sealed_kind_statistics);
    EXPECT_EQ(h.record_count, 0);
    EXPECT_EQ(h.tap_id, 0x1234);
    EXPECT_EQ(h.seq, 41u);
    EXPECT_EQ(h.first_frame, 77u);
    EXPECT_EQ(h.first_record, sealed_statistics_size);
    std::uint8_t key[sealed_key_size];
    sealed_cipher c;
    std::size_t at = 0, n = 0;
    ASSERT_EQ(sealed_run_key(master, h.run_id, key) | sealed_cipher_open(&c) | sealed_cipher_key(c, key), 0);
    EXPECT_EQ(sealed_open(c, d, len, &at, &n), sealed_read_ok);
    sealed_cipher_close(&c);
    tap_statistics got;
    ASSERT_EQ(sealed_read_statistics(d + at, n, &got), 0);
    using fields = std::array<std::uint64_t, tap_statistics_count>;
    EXPECT_EQ(std::bit_cast<fields>(got), std::bit_cast<fields>(sent));
}
