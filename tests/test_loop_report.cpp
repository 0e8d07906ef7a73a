// The counters told: when the -S line and the sealed statistics datagram are due, on a fake clock. What they say is
// checked end to end (TzspE2E.TheTapLogsItsCountersAndSendsThemSealed).
#include <gtest/gtest.h>
#include "forward/forwarding.h"
#include "forward/loop_report.h"
#include "tests/test_support.h"

// Started at 1000 ms, each row looks at its times in order; due: 1 the line, 2 the datagram. A late look keeps
// the pace, and owes only one.
TEST(LoopReport, LinesEverySSecondsDatagramsEvery5SecondsAndOnlySealed)
{
    const struct { std::uint32_t seconds; bool sealed; std::vector<std::pair<std::uint64_t, int>> looks; } rows[] = {
        {.seconds = 0, .sealed = false, .looks = {{1000, 0}, {900000, 0}}},
        {.seconds = 2, .sealed = false,
         .looks = {{2999, 0}, {3500, 1}, {4999, 0}, {5000, 1}, {20000, 1}, {20001, 0}, {22000, 1}}},
        {.seconds = 0, .sealed = true, .looks = {{5999, 0}, {6000, 2}, {10999, 0}, {11000, 2}}},
        {.seconds = 5, .sealed = true, .looks = {{6000, 3}, {11000, 3}, {11001, 0}}}};
    sealed_sender sealing;
    for (const auto& r : rows) {
        forward_context ctx;
        ctx.stats_seconds = r.seconds;
        ctx.sender.sealed = r.sealed ? &sealing : nullptr;
        loop_report report;
        loop_report_start(report, ctx, 1000);
        for (const auto& [at, due] : r.looks) {
            SCOPED_TRACE(testing::Message() << "-S " << r.seconds << (r.sealed ? " -A" : "") << " at " << at);
            EXPECT_EQ(loop_report_due(report, at), due != 0);
            EXPECT_EQ(loop_report_take(report, at), due);
        }
    }
}
