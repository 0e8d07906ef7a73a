// One run's spine: the argument string, the collector text, the phases and
// the stop.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "run/run_settings.h"
#include "run/tap_run.h"
#include "tests/test_support.h"

namespace {

using words = std::vector<std::string>;

int count_of(const std::string& text, const std::string& what)
{
    int n = 0;
    for (auto p = text.find(what); p != std::string::npos; p = text.find(what, p + 1))
        ++n;
    return n;
}

}  // namespace

TEST(RunThread, ArgumentStringIsSplitAtTabsAndTheModeWordDropped)
{
    EXPECT_TRUE(split_arguments("").empty());
    EXPECT_TRUE(split_arguments("\t\t").empty());
    // Words are not unquoted: a quoted word with a blank stays one word.
    EXPECT_EQ(split_arguments("\tprog\t\t/c\t\"a b\"\t"), (words{"prog", "/c", "\"a b\""}));
    struct row {
        words in, out;
    };
    const row rows[] = {
        {{"prog", "/C", "-K"}, {"prog", "-K"}},
        {{"prog", "/i", "anything", "-t", "1"}, {"prog", "-t", "1"}},
        {{"prog", "/R"}, {}},
        {{"prog", "-c", "/c"}, {"prog", "-c", "/c"}},
        {{"prog"}, {"prog"}},
    };
    for (const row& r : rows) {
        words w = r.in;
        drop_mode_word(w);
        EXPECT_EQ(w, r.out) << testing::PrintToString(r.in);
    }
}

// A stop from a signal and the run's own stop at the same moment: one
// "Shutting down...", the loop told to stop, its wake called each time.
TEST(RunThread, ShutdownAnnouncesOnceAndWakesTheLoop)
{
    static int wakes;
    wakes = 0;
    forward_set_wake(settings.forward, [](void*) { ++wakes; }, nullptr);
    testing::internal::CaptureStdout();
    for (int round = 0; round < 20; ++round) {
        settings.shutdown_done = false;
        std::thread a([] { tap_shutdown(2); });
        std::thread b([] { tap_shutdown(15); });
        a.join();
        b.join();
    }
    const std::string out = testing::internal::GetCapturedStdout();
    forward_set_wake(settings.forward, nullptr, nullptr);
    EXPECT_EQ(count_of(out, "Shutting down..."), 20);
    EXPECT_TRUE(settings.forward.stop.load());
    EXPECT_EQ(wakes, 40);
    settings.shutdown_done = false;
    settings.forward.stop = false;
}

TEST(RunThread, PhasesOnlyMoveForward)
{
    run_settings& s = settings;
    const run_phase before = s.phase.load();
    s.phase = run_phase::setting_up;
    EXPECT_TRUE(run_phase_enter(s, run_phase::forwarding));
    EXPECT_FALSE(run_phase_enter(s, run_phase::forwarding));
    EXPECT_FALSE(run_phase_enter(s, run_phase::setting_up));
    EXPECT_TRUE(run_phase_enter(s, run_phase::ended));
    EXPECT_FALSE(run_phase_enter(s, run_phase::shutting_down));
    s.phase = before;
}

// Set-up opens a bound socket towards the collector only when the
// collector text is whole; the interface mode also gets the filter that
// keeps the tap's own datagrams out.
TEST(RunThread, SetUpOpensTheSocketOnlyForAUsableCollector)
{
    for (const char* collector : {"127.0.0.1:5000", "127.0.0.1"}) {
        SCOPED_TRACE(collector);
        const bool usable = std::string(collector).find(':') != std::string::npos;
        std::vector<std::string> args = {"vantry_remote", "-K", "-t", "37008", "-c", collector};
        testing::internal::CaptureStdout();
        const int rc = tap_setup(args);
        testing::internal::GetCapturedStdout();
        tap_sender& s = settings.forward.sender;
        EXPECT_EQ(rc, usable ? 0 : -1);
        EXPECT_EQ(s.socket != net_invalid_socket, usable);
        EXPECT_EQ(s.has_destination, usable);
        if (usable) {
            EXPECT_NE(net_local_port(s.socket), 0) << "bound before the first send";
            EXPECT_EQ(s.to.port, net_order16(5000));
        }
        EXPECT_FALSE(settings.self_filter) << "no filter without an interface";
        if (s.socket != net_invalid_socket)
            net_close(s.socket);
        s = tap_sender{};
        settings.collector.reset();
        settings.tzsp_port = 0;
        settings.disable_encryption = false;
    }
}
