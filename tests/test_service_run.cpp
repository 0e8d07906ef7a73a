// Launcher, console run and service life against the recording fake.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <string>
#include <thread>
#include <vector>

#include "service/launcher.h"
#include "test_service_fake.h"

namespace {

const char* const parameters_key = "SYSTEM\\CurrentControlSet\\Services\\vantry_remote\\Parameters";

struct expected_report {
    std::uint32_t state, accepted, check_point, wait_hint;
};

void expect_reports(const std::vector<expected_report>& want)
{
    ASSERT_EQ(fake.reports.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
        SCOPED_TRACE("report " + std::to_string(i));
        const service_status& s = fake.reports[i];
        EXPECT_EQ(s.service_type, 0x10u);
        EXPECT_EQ(s.current_state, want[i].state);
        EXPECT_EQ(s.controls_accepted, want[i].accepted);
        EXPECT_EQ(s.win32_exit_code, 0u);
        EXPECT_EQ(s.service_specific_exit_code, 0u);
        EXPECT_EQ(s.check_point, want[i].check_point);
        EXPECT_EQ(s.wait_hint, want[i].wait_hint);
    }
}

void start_service(std::vector<std::string> words = {"vantry_remote"})
{
    std::vector<char*> argv;
    for (auto& w : words)
        argv.push_back(w.data());
    service_main(static_cast<unsigned>(argv.size()), argv.data());
}

constexpr std::uint32_t stopped = 1, start_pending = 2, stop_pending = 3, running = 4;

const expected_report s1{start_pending, 0, 1, 3000};
const expected_report s2{start_pending, 0, 2, 3000};
const expected_report s3{running, 1, 0, 0};
const expected_report s4{stop_pending, 1, 3, 0};
const expected_report s6{stopped, 1, 0, 0};

}  // namespace

TEST(ServiceLife, StopControlGivesCheckPointsOneTwoThenThree)
{
    fake_service_scope scope;
    fake_store_arguments(std::string("C:\\Tap\\vantry_remote.exe\t/c\t-t\t37008\t-k\tmango") +
                         '\0');
    fake.on_wait = [] { service_control_handler(win::service_control_stop); };
    start_service();

    expect_reports({s1, s2, s3, s4, s6});
    ASSERT_EQ(fake.run_strings.size(), 1u);
    EXPECT_EQ(fake.run_strings[0], "C:\\Tap\\vantry_remote.exe\t/c\t-t\t37008\t-k\tmango");
    // The event log is open to every user: the key is masked there.
    EXPECT_EQ(fake.events,
              std::vector<std::string>{
                  "vantry_remote: C:\\Tap\\vantry_remote.exe\t/c\t-t\t37008\t-k\t********"});
    EXPECT_EQ(fake.out, "");
    EXPECT_EQ(fake.events_set, 1);
    EXPECT_EQ(fake.events_closed, 1);
    EXPECT_EQ(tap_stop_event.load(), nullptr);
    ASSERT_EQ(fake.opens.size(), 1u);
    EXPECT_EQ(fake.opens[0].first, parameters_key);
    EXPECT_EQ(fake.opens[0].second, 0x20019u);
    EXPECT_EQ(fake.open_keys, 0);
    EXPECT_EQ(fake.event_sources_open, 0);
    EXPECT_EQ(fake.set_calls_with_handle, 5);
    EXPECT_EQ(fake.calls[0], "register vantry_remote");
}

TEST(ServiceLife, ShutdownControlStopsLikeStop)
{
    fake_service_scope scope;
    fake_store_arguments("p\t/c");
    fake.on_wait = [] { service_control_handler(win::service_control_shutdown); };
    start_service();
    expect_reports({s1, s2, s3, s4, s6});
    EXPECT_EQ(fake.events_set, 1);
}

TEST(ServiceLife, RunThatEndsByItselfGoesFromRunningToStopped)
{
    fake_service_scope scope;
    fake_store_arguments("p\t/c");
    start_service();
    expect_reports({s1, s2, s3, s6});
}

TEST(ServiceLife, InterrogateReReportsTheCurrentState)
{
    fake_service_scope scope;
    fake_store_arguments("p\t/c");
    fake.on_wait = [] {
        service_control_handler(win::service_control_interrogate);
        service_control_handler(win::service_control_stop);
        service_control_handler(win::service_control_interrogate);
    };
    start_service();
    // Running: check-point 0; stop pending: the next check-point.
    expect_reports({s1, s2, s3, {running, 1, 0, 0}, s4, {stop_pending, 1, 4, 0}, s6});

    // Start pending accepts nothing and takes the next check-point.
    current_status.current_state = start_pending;
    service_control_handler(win::service_control_interrogate);
    EXPECT_EQ(fake.reports.back().controls_accepted, 0u);
    EXPECT_EQ(fake.reports.back().check_point, 5u);
}

TEST(ServiceLife, HandlerRegistrationFailureEndsSilently)
{
    fake_service_scope scope;
    fake.handler_registration_fails = true;
    start_service();
    EXPECT_TRUE(fake.reports.empty());
    EXPECT_TRUE(fake.events.empty());
    EXPECT_TRUE(fake.opens.empty());
    EXPECT_TRUE(fake.run_strings.empty());
}

struct status_failure_case {
    const char* name;
    std::size_t failing;
    std::vector<expected_report> reports;
    int events_created;
    bool thread_started;
};

class StatusFailure : public testing::TestWithParam<status_failure_case> {};

TEST_P(StatusFailure, IsReportedAsEventAndHandledAsItsRowSays)
{
    const status_failure_case& c = GetParam();
    fake_service_scope scope;
    fake_store_arguments("p\t/c");
    fake.failing_reports = {c.failing};
    fake.on_wait = [] {
        service_control_handler(win::service_control_interrogate);
        service_control_handler(win::service_control_stop);
    };
    start_service();

    expect_reports(c.reports);
    EXPECT_EQ(fake.events_created, c.events_created);
    EXPECT_EQ(fake.events_closed, c.events_created);
    EXPECT_EQ(fake.run_strings.size(), c.thread_started ? 1u : 0u);
    std::vector<std::string> want_events;
    if (c.thread_started)
        want_events.push_back("vantry_remote: p\t/c");
    // The failure after the start event, except at rows S1 to S3, which
    // come before it.
    auto at = c.failing <= 2 ? want_events.begin() : want_events.end();
    want_events.insert(at, "vantry_remote: SetServiceStatus");
    EXPECT_EQ(fake.events, want_events);
    EXPECT_EQ(tap_stop_event.load(), nullptr);
}

const expected_report s5{running, 1, 0, 0};

INSTANTIATE_TEST_SUITE_P(
    Rows, StatusFailure,
    testing::Values(
        // S1: the run is skipped, stopped is still reported.
        status_failure_case{"S1", 0, {s1, {stopped, 1, 0, 0}}, 0, false},
        // S2: no stop event, no run.
        status_failure_case{"S2", 1, {s1, s2, s6}, 0, false},
        // S3: the stop event is closed again, no run.
        status_failure_case{"S3", 2, {s1, s2, s3, s6}, 1, false},
        // S5, S4, S6: carry on.
        status_failure_case{"S5", 3, {s1, s2, s3, s5, s4, s6}, 1, true},
        status_failure_case{"S4", 4, {s1, s2, s3, s5, s4, s6}, 1, true},
        status_failure_case{"S6", 5, {s1, s2, s3, s5, s4, s6}, 1, true}),
    [](const testing::TestParamInfo<status_failure_case>& i) { return i.param.name; });

TEST(ServiceStoredArguments, UnusableValuesStartAnEmptyRun)
{
    struct unusable {
        const char* name;
        std::function<void()> store;
    };
    const std::vector<unusable> cases = {
        {"no Parameters key", [] {}},
        {"no value", [] { fake.registry[parameters_key]; }},
        {"multi text", [] { fake_store_arguments(std::string("p\0/c\0\0", 6), win::reg_multi_sz); }},
        {"number", [] { fake_store_arguments(std::string(4, '\1'), win::reg_dword); }},
        {"empty", [] { fake_store_arguments(std::string(1, '\0')); }},
        {"only TABs", [] { fake_store_arguments("\t\t\t"); }},
        {"8192 characters and terminator",
         [] { fake_store_arguments(std::string(8192, 'a') + '\0'); }},
        {"key cannot be opened",
         [] {
             fake_store_arguments("p\t/c");
             fake.failing_opens.insert(parameters_key);
         }},
    };
    for (const unusable& c : cases) {
        SCOPED_TRACE(c.name);
        fake_service_scope scope;
        c.store();
        start_service();
        ASSERT_EQ(fake.run_strings.size(), 1u);
        EXPECT_EQ(fake.run_strings[0], "");
        EXPECT_EQ(fake.out, "Could not create AppParameters string.\n");
        EXPECT_EQ(fake.events, std::vector<std::string>{"vantry_remote: "});
        EXPECT_EQ(fake.open_keys, 0);
    }
}

TEST(ServiceStoredArguments, TextValuesAreTakenAsStored)
{
    struct usable {
        std::string stored;
        std::uint32_t type;
        std::string run;
    };
    const std::string longest(8191, 'x');
    const std::vector<usable> cases = {
        {"\tp\t\t/c\t-k\t\tmango\t", win::reg_sz, "p\t/c\t-k\tmango"},
        {"p\t/c\t-H\t%SystemRoot%\\hosts", win::reg_expand_sz, "p\t/c\t-H\t%SystemRoot%\\hosts"},
        {longest + '\0', win::reg_sz, longest},
        {"p\t/c\0tail", win::reg_sz, "p\t/c"},
    };
    for (const usable& c : cases) {
        SCOPED_TRACE(c.run.substr(0, 40));
        fake_service_scope scope;
        fake_store_arguments(c.stored, c.type);
        start_service();
        ASSERT_EQ(fake.run_strings.size(), 1u);
        EXPECT_EQ(fake.run_strings[0], c.run);
        EXPECT_EQ(fake.out, "");
    }
}

TEST(ServiceStoredArguments, StartParametersAreIgnored)
{
    fake_service_scope scope;
    fake_store_arguments("p\t/c\t-K");
    start_service({"vantry_remote", "-t", "1"});
    ASSERT_EQ(fake.run_strings.size(), 1u);
    EXPECT_EQ(fake.run_strings[0], "p\t/c\t-K");
}

TEST(ServiceStoredArguments, KeyPathUsesTheNameTheDispatcherPassed)
{
    fake_service_scope scope;
    start_service({"other_tap"});
    ASSERT_FALSE(fake.opens.empty());
    EXPECT_EQ(fake.opens[0].first, "SYSTEM\\CurrentControlSet\\Services\\other_tap\\Parameters");
    EXPECT_EQ(fake.calls[0], "register vantry_remote");
}

TEST(ConsoleRun, ReportsNothingAndWaitsForTheRun)
{
    fake_service_scope scope;
    console_mode = 1;
    fake.on_wait = [] {
        service_control_handler(win::service_control_interrogate);
        service_control_handler(win::service_control_stop);
    };
    char prog[] = "vantry_remote", mode[] = "/c", opt[] = "-K";
    char* argv[] = {prog, mode, opt};
    run_until_stopped(3, argv);

    EXPECT_TRUE(fake.reports.empty());
    EXPECT_TRUE(fake.events.empty());
    EXPECT_EQ(fake.event_sources_open, 0);
    for (const std::string& c : fake.calls)
        EXPECT_EQ(c.rfind("event source", 0), std::string::npos);
    EXPECT_EQ(fake.calls, (std::vector<std::string>{"event create", "thread", "wait", "event set",
                                                    "event close"}));
    EXPECT_EQ(fake.run_strings, std::vector<std::string>{"vantry_remote\t/c\t-K"});
}

TEST(ConsoleRun, ArgumentsLongerThan8191CharactersAreRefusedWhole)
{
    fake_service_scope scope;
    console_mode = 1;
    std::string prog = "p", mode = "/c", fits(8191 - 5, 'k');
    std::vector<char*> argv = {prog.data(), mode.data(), fits.data()};
    run_until_stopped(3, argv.data());
    ASSERT_EQ(fake.run_strings.size(), 1u);
    EXPECT_EQ(fake.run_strings[0].size(), 8191u);

    fake = fake_os_state{};
    std::string too_long(8191 - 4, 'k');
    argv[2] = too_long.data();
    run_until_stopped(3, argv.data());
    EXPECT_TRUE(fake.run_strings.empty());
    EXPECT_EQ(fake.out, "Arguments too long: 8192 characters, at most 8191\n");
    EXPECT_EQ(fake.events_closed, 1);
    EXPECT_EQ(fake.waits, 0);
}

TEST(ConsoleRun, FailuresBeforeTheThreadEndTheRun)
{
    fake_service_scope scope;
    console_mode = 1;
    char prog[] = "p";
    char* argv[] = {prog};
    fake.event_create_fails = true;
    run_until_stopped(1, argv);
    EXPECT_TRUE(fake.run_strings.empty());
    EXPECT_EQ(fake.out, "");

    fake = fake_os_state{};
    fake.thread_fails = true;
    run_until_stopped(1, argv);
    EXPECT_EQ(fake.out, "Could not start the run thread.\n");
    EXPECT_EQ(fake.waits, 0);
    EXPECT_EQ(fake.events_closed, 1);
}

TEST(EventMessage, LongTextsAreCutWithAMarker)
{
    EXPECT_EQ(event_message("SetServiceStatus"), "vantry_remote: SetServiceStatus");
    std::string fits(4095 - 15, 'a');
    EXPECT_EQ(event_message(fits.c_str()), "vantry_remote: " + fits);
    std::string cut = event_message((fits + "b").c_str());
    EXPECT_EQ(cut.size(), 4095u);
    EXPECT_EQ(cut.rfind("vantry_remote: aaaa", 0), 0u);
    EXPECT_EQ(cut.substr(cut.size() - 14), " [message cut]");
    EXPECT_EQ(event_message(std::string(100000, 'z').c_str()).size(), 4095u);
}

TEST(ShownArguments, EveryFormOfTheKeyIsMaskedAndNothingElse)
{
    struct form {
        const char* options;  // after "p\t/c\t"
        bool posixly_correct;
        const char* shown;
    };
    const std::vector<form> forms = {
        {"-k\tmango", false, "-k\t********"},
        {"-kmango", false, "-k********"},
        {"-vk\tmango", false, "-vk\t********"},
        {"-vKkmango", false, "-vKk********"},
        {"--key\tmango", false, "--key\t********"},
        {"--key=mango", false, "--key=********"},
        {"--ke\tmango", false, "--ke\t********"},
        {"--k=mango", false, "--k=********"},
        {"--key=", false, "--key=********"},
        // Values that look like options, a second key, words between.
        {"-k\t-v\t-t\t1\t--key\t--", false, "-k\t********\t-t\t1\t--key\t********"},
        {"my_tap\t-i\t0\t-k\tmango", false, "my_tap\t-i\t0\t-k\t********"},
        // Past an error the run reads no more, but the key is still one.
        {"-x\t-k\tmango", false, "-x\t-k\t********"},
        {"\t-k\t\tmango\t", false, "-k\t********"},
        // Not keys: an option's value, words after "--", after the first
        // non-option under POSIXLY_CORRECT, a missing value.
        {"-c\t-k\tmango", false, "-c\t-k\tmango"},
        {"--\t-k\tmango", false, "--\t-k\tmango"},
        {"-k\tmango\tmy_tap\t-k\tlime", true, "-k\t********\tmy_tap\t-k\tlime"},
        {"-t\t1\t-k", false, "-t\t1\t-k"},
    };
    for (const form& f : forms) {
        SCOPED_TRACE(f.options);
        EXPECT_EQ(shown_argument_string(std::string("p\t/c\t") + f.options, f.posixly_correct),
                  std::string("p\t/c\t") + f.shown);
    }
    // Without a mode word the run reads from the second word on.
    EXPECT_EQ(shown_argument_string("p\t-kmango", true), "p\t-k********");
}

TEST(ConsoleEvents, OnlyCtrlCCtrlBreakAndCloseStopTheRun)
{
    // Numbered as Windows numbers them: 5 logoff, 6 shutdown.
    const std::vector<std::pair<std::uint32_t, int>> events = {
        {0, 2}, {1, 15}, {2, 15}, {3, 0}, {4, 0}, {5, 0}, {6, 0}, {7, 0}, {0xffffffff, 0}};
    for (const auto& [event, sig] : events)
        EXPECT_EQ(console_event_signal(event), sig) << event;
}

namespace {

// A stop event that tells when it is set while closed or closed while set.
// Only the setters' calls run on other threads than the test's.
struct checked_event {
    std::atomic<bool> closed{false};
    std::atomic<int> setting{0};
    std::atomic<bool> set{false};
};
std::deque<checked_event> checked_events;  // never shrinks while threads run
std::atomic<int> event_misuse{0}, event_closes{0};

service_api racing_api()
{
    service_api api = fake_service_api;
    api.event_create = []() -> stop_event* {
        return reinterpret_cast<stop_event*>(&checked_events.emplace_back());
    };
    api.event_set = [](stop_event* e) {
        auto* c = reinterpret_cast<checked_event*>(e);
        if (!c || c->closed) {
            ++event_misuse;
            return;
        }
        ++c->setting;
        c->set = true;  // wakes the waiter while this set still runs
        for (int i = 0; i < 3; ++i)
            std::this_thread::yield();
        if (c->closed)
            ++event_misuse;
        --c->setting;
    };
    api.event_close = [](stop_event* e) {
        auto* c = reinterpret_cast<checked_event*>(e);
        if (c->setting || c->closed.exchange(true))
            ++event_misuse;
        ++event_closes;
    };
    api.event_wait = [](stop_event* e) {
        auto* c = reinterpret_cast<checked_event*>(e);
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        while (!c->set && std::chrono::steady_clock::now() < limit)
            std::this_thread::yield();
    };
    api.sleep_ms = [](unsigned ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); };
    return api;
}

}  // namespace

TEST(StopEvent, StopRequestsRacingTheCloseNeverUseAClosedEvent)
{
    fake_service_scope scope;
    const service_api api = racing_api();
    service_os = &api;
    console_mode = 1;  // the handler then only sets the event
    event_misuse = 0;
    event_closes = 0;
    std::atomic<bool> done{false};
    std::vector<std::thread> setters;
    for (int i = 0; i < 2; ++i)
        setters.emplace_back([&done] {
            while (!done) {
                service_control_handler(win::service_control_stop);
                std::this_thread::yield();
            }
        });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    int runs = 0;
    char prog[] = "p";
    char* argv[] = {prog};
    for (; runs < 100 && std::chrono::steady_clock::now() < deadline; ++runs)
        run_until_stopped(1, argv);
    done = true;
    for (std::thread& t : setters)
        t.join();
    EXPECT_EQ(event_misuse, 0);
    EXPECT_EQ(event_closes, runs);
    EXPECT_EQ(tap_stop_event.load(), nullptr);

    // An event that never comes back is left open, after a bounded wait.
    std::atomic<stop_event*> slot{nullptr};
    static int pauses;
    pauses = 0;
    EXPECT_EQ(stop_event_close_shared(slot, reinterpret_cast<stop_event*>(&checked_events.back()),
                                      api.event_close, [](unsigned) { ++pauses; }),
              -1);
    EXPECT_EQ(pauses, stop_event_close_tries);
    EXPECT_EQ(event_closes, runs);
}

namespace {

int launch(std::vector<std::string> words)
{
    std::vector<char*> argv;
    for (auto& w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    return launcher_main(static_cast<int>(words.size()), argv.data());
}

const char* const help_start = "Available options:\n/i <service name> [options] - Install "
                               "vantry_remote as service\n";
const char* const help_end = "3. You can install the vantry_remote service multiple times\n"
                             "   as long as you use different service names.\n\n";

bool ends_with(const std::string& s, const std::string& tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

TEST(Launcher, HelpWithAndWithoutUnrecognizedLine)
{
    for (const char* word : {"/h", "/H"}) {
        fake_service_scope scope;
        EXPECT_EQ(launch({"vantry_remote", word}), 0);
        EXPECT_EQ(fake.out.rfind(help_start, 0), 0u);
        EXPECT_TRUE(ends_with(fake.out, help_end));
        EXPECT_NE(fake.out.find("'vantry_remote /i my_Strael -i 0 -n 192.168.0.1:2055'\n"
                                "Remove the vantry_remote service:   'vantry_remote /r my_Strael'"),
                  std::string::npos);
    }
    fake_service_scope scope;
    EXPECT_EQ(launch({"vantry_remote", "/x", "/c"}), 0);
    EXPECT_EQ(fake.out.rfind(std::string("\nUnrecognized option: /x\n") + help_start, 0), 0u);
    EXPECT_TRUE(fake.calls.empty());
}

TEST(Launcher, NoArgumentEntersTheDispatcher)
{
    const std::string note =
        "\nNOTE:\nUnder your version of Windows, vantry_remote is started as a service.\n"
        "Please open the services control panel to start/stop vantry_remote,\n"
        "or type vantry_remote /h to see all the available options.\n";
    {
        fake_service_scope scope;
        EXPECT_EQ(launch({"vantry_remote"}), 0);
        EXPECT_EQ(fake.out, note);
        EXPECT_EQ(fake.dispatcher_name, "vantry_remote");
        EXPECT_EQ(fake_entry, &service_main);
        EXPECT_TRUE(fake.events.empty());
        // A user's logoff must not stop the service.
        EXPECT_EQ(fake.calls, (std::vector<std::string>{"console events off", "dispatcher"}));
    }
    fake_service_scope scope;
    fake.dispatcher_fails = true;
    EXPECT_EQ(launch({"vantry_remote"}), 0);
    EXPECT_EQ(fake.out, note + "\nStartServiceControlDispatcher failed!\n");
    EXPECT_EQ(fake.events,
              std::vector<std::string>{"vantry_remote: StartServiceControlDispatcher failed!"});
}

TEST(Launcher, ModeWordsIgnoreLetterCase)
{
    {
        fake_service_scope scope;
        EXPECT_EQ(launch({"vantry_remote", "/C", "-K"}), 0);
        EXPECT_EQ(console_mode, 1);
        EXPECT_EQ(fake.calls.front(), "console events on");
        EXPECT_EQ(fake.run_strings, std::vector<std::string>{"vantry_remote\t/C\t-K"});
        EXPECT_TRUE(fake.reports.empty());
    }
    {
        fake_service_scope scope;
        launch({"vantry_remote", "/I"});
        EXPECT_EQ(fake.out, "vantry_remote installed.\n");
    }
    fake_service_scope scope;
    fake.service_exists = true;
    launch({"vantry_remote", "/R", "my_Strael"});
    EXPECT_EQ(fake.out, "vantry_remote removed.\n");
}

TEST(Launcher, WithoutServiceManagerPointsToSystemd)
{
    service_api no_scm = fake_service_api;
    no_scm.has_service_manager = false;
    for (std::vector<std::string> words : {std::vector<std::string>{"vantry_remote"},
                                           {"vantry_remote", "/i", "x", "-K"},
                                           {"vantry_remote", "/r", "x"}}) {
        fake_service_scope scope;
        service_os = &no_scm;
        EXPECT_EQ(launch(words), 0);
        EXPECT_NE(fake.out.find("is a Windows feature"), std::string::npos);
        EXPECT_NE(fake.out.find("systemctl"), std::string::npos);
        EXPECT_TRUE(fake.calls.empty());
    }
}
