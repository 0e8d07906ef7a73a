// The trace log where operators look: the journal's priorities, the texts systemd hands over, and the log file that
// rotates within its bound however much is written.
#include <gtest/gtest.h>
#include <filesystem>
#include "support/trace_log.h"
#include "tests/test_support.h"

TEST(TraceLog, JournalPriorityAndTheManagersTexts)
{
    const struct { int level; const char* prefix; } levels[] = {
        {.level = trace_level_error, .prefix = "<3>"}, {.level = trace_level_warning, .prefix = "<4>"},
        {.level = trace_level_normal, .prefix = "<6>"}, {.level = trace_level_verbose, .prefix = "<7>"},
        {.level = trace_level_verbose + 1, .prefix = "<7>"}};
    for (const auto& r : levels)
        EXPECT_STREQ(journal_priority_prefix(r.level), r.prefix) << r.level;
    const struct { const char* text; bool names; } streams[] = {  // of device 2049, inode 131
        {.text = "2049:131", .names = true}, {.text = "2049:1310", .names = false}, {.text = "204:131", .names = false},
        {.text = "2049:131 ", .names = false}, {.text = "2049:", .names = false}, {.text = ":131", .names = false},
        {.text = "2049-131", .names = false}, {.text = "", .names = false}, {.text = nullptr, .names = false}};
    for (const auto& r : streams)
        EXPECT_EQ(journal_stream_names(r.text, 2049, 131), r.names) << (r.text ? r.text : "null");
    const struct { const char* text; std::uint64_t ms; } watchdogs[] = {  // 0: no watchdog
        {.text = "30000000", .ms = 15000}, {.text = "2000000", .ms = 1000}, {.text = "1", .ms = 1},
        {.text = "0", .ms = 0}, {.text = "-5", .ms = 0}, {.text = "20s", .ms = 0}, {.text = "", .ms = 0},
        {.text = nullptr, .ms = 0}};
    for (const auto& r : watchdogs)
        EXPECT_EQ(watchdog_interval_ms(r.text), r.ms) << (r.text ? r.text : "null");
}

// Lines of every length up to twice the limit: neither file ever holds more than the limit (or one longer line), and
// the two hold the last lines written, in order.
TEST(TraceLog, TheLogFileRotatesWithinItsBoundAndKeepsTheLastLines)
{
    const auto dir = std::filesystem::temp_directory_path() / ("vantry-trace-" + std::to_string(::testing::UnitTest::
        GetInstance()->random_seed()));
    std::filesystem::create_directories(dir);
    const std::string path = (dir / "t.log").string(), older = path + ".1";
    constexpr std::uint64_t limit = 100;
    trace_file f;
    ASSERT_EQ(trace_file_open(f, path.c_str(), limit), 0);
    std::string last_two;
    for (std::size_t length = 1; length <= 2 * limit; ++length) {
        const std::string line(length, static_cast<char>('a' + length % 26));
        ASSERT_EQ(trace_file_write(f, line.c_str()), 0) << length;
        EXPECT_LE(std::filesystem::file_size(path), std::max<std::uint64_t>(limit, length + 1)) << length;
        last_two = length > 1 ? std::string(length - 1, static_cast<char>('a' + (length - 1) % 26)) + "\n" + line + "\n"
                              : "";
    }
    trace_file_close(f);
    EXPECT_EQ(file_text(older) + file_text(path), last_two);
    std::filesystem::remove_all(dir);
}
