// Launcher, console and service runs, installation and removal, against the fake.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <tuple>

#include "service/launcher.h"
#include "test_service_fake.h"

namespace {

// Whether text is pattern, in which '~' stands for any run of characters.
// (std::regex would recurse once per character, past the Windows stack.)
bool matches(const std::string& text, const std::string& pattern)
{
    std::size_t at = 0, from = 0, tilde;  // in text, in pattern
    for (; (tilde = pattern.find('~', from)) != std::string::npos; from = tilde + 1) {
        const std::size_t found = text.find(pattern.substr(from, tilde - from), at);
        if (found == std::string::npos || (from == 0 && found != 0))
            return false;
        at = found + tilde - from;
    }
    return from == 0 ? text == pattern
                     : at + pattern.size() - from <= text.size() &&
                           text.ends_with(pattern.substr(from));
}

// A stop event that counts its uses after its close and its closes while set.
struct checked_event {
    std::atomic<bool> closed{false}, set{false};
    std::atomic<int> setting{0};
};

checked_event& checked(stop_event* e) { return *reinterpret_cast<checked_event*>(e); }

const std::string denied = " failed - Access is denied. (0x5)\n", ok = "vantry_remote installed.\n";

}  // namespace

// Interrogate, stop and shutdown arrive while the run waits. A refused
// status report goes to the event log and the service goes on where it can.
TEST(ServiceLife, CheckPointsAndEachFailure)
{
    const std::string start = "register vantry_remote\nstatus 2 0 1 3000\n",
                      read = start + "reg open Services\\other_tap\\Parameters read\n"
                                     "reg query AppParameters\nstatus 2 0 2 3000\n",
                      ready = read + "stop event create\nstatus 4 1 0 0\n",
                      run = ready + "event vantry_remote: p\t-k\t********\nthread p\t-k\tmango\n",
                      full = run + "wait\nstatus 4 1 0 0\n", set = "stop event set\n",
                      stop = "status 3 1 3 0\n", shut = "status 3 1 4 0\n",
                      end = "stop event close\nstatus 1 1 0 0\n",
                      refused = "event vantry_remote: SetServiceStatus\n";
    const std::pair<const char*, std::string> rows[] = {
        {"-", full + stop + set + shut + set + end},
        {"register", "register vantry_remote\n"},
        {"status 2 0 1", start + refused + "status 1 1 0 0\n"},
        {"status 2 0 2", read + refused + "status 1 1 0 0\n"},
        {"stop event create", read + "stop event create\nstatus 1 1 0 0\n"},
        {"status 4", ready + refused + end},
        {"thread", run + "event vantry_remote: Could not start the run thread.\n" + end},
        {"status 3 1 3", full + stop + refused + set + shut + set + end},
        {"status 3 1 4", full + stop + set + shut + refused + set + end},
        {"status 1", full + stop + set + shut + set + end + refused}};
    for (const auto& [fail, log] : rows) {
        fake_reset();
        fake.fail = {fail};
        std::vector<std::string> words = {"other_tap", "-t", "1"};  // start parameters: ignored
        service_main(3, argv_of(words).data());
        EXPECT_EQ(fake.log, log) << fail;
        EXPECT_EQ(fake.handles + (tap_stop_event != nullptr), 0);
    }
    // Interrogate repeats the state: start pending accepts nothing, pending takes a check-point.
    for (auto [state, log] : {std::pair<std::uint32_t, const char*>{2, "status 2 0 7 0\n"},
                              {3, "status 3 1 7 0\n"}}) {
        fake_reset();
        status_checkpoint = 7;
        current_status.current_state = state;
        service_control_handler(4);
        EXPECT_EQ(fake.log, log);
    }
}

TEST(ServiceStoredArguments, TextValuesAreTakenAsStoredAnythingElseGivesAnEmptyRun)
{
    const std::string longest(8191, 'x');
    // type, value, failing call, run
    const std::tuple<std::uint32_t, std::string, const char*, std::string> rows[] = {
        {1, "p\t/c", "reg open", ""}, {0, "", "-", ""}, {7, std::string("p\0/c\0\0", 6), "-", ""},
        {4, "\1\1\1\1", "-", ""}, {1, std::string(1, '\0'), "-", ""}, {1, "\t\t", "-", ""},
        {1, std::string(8192, 'a') + '\0', "-", ""}, {1, longest + '\0', "-", longest},
        {1, "\tp\t\t/c\t-k\t\tmango\t", "-", "p\t/c\t-k\tmango"},
        {2, "p\t-H\t%SystemRoot%\\hosts", "-", "p\t-H\t%SystemRoot%\\hosts"},
        {1, std::string("p\t/c\0tail", 9), "-", "p\t/c"}};
    for (const auto& [type, stored, fail, run] : rows) {
        fake_reset();
        fake.stored_type = type;
        fake.stored = stored;
        fake.fail = {fail};
        service_main(0, nullptr);
        EXPECT_TRUE(matches(fake.log, "~reg open Services\\vantry_remote\\Parameters read\n~"));
        EXPECT_EQ(fake.run, run);
        EXPECT_EQ(fake.out, run.empty() ? "Could not create AppParameters string.\n" : "");
    }
}

TEST(Launcher, FirstWordChoosesTheWork)
{
    const std::string help = "Available options:\n/i <service name>~\n/c [options] ~\n/r <service "
                             "name> ~\n\nExample:\nInstall~'\n\nNotes:\n1. Type~service names.\n\n",
                      note = "\nNOTE:\nUnder~service.\nPlease open~,\nor type~options.\n",
                      no_scm = "\nInstalling and running~Windows feature.\n~--now vantry_remote\n",
                      to_scm = "console off\ndispatcher vantry_remote\n",
                      failed = "StartServiceControlDispatcher failed!\n", x(8187, 'x'),
                      too_long = "Arguments too long: 8192 characters, at most 8191\n";
    // words, failing call ("no scm": no service manager), printed, log
    const std::tuple<std::vector<std::string>, const char*, std::string, std::string> rows[] = {
        {{"p"}, "-", note, to_scm},
        {{"p"}, "dispatcher", note + "\n" + failed, to_scm + "event vantry_remote: " + failed},
        {{"p", "/h"}, "-", help, ""},
        {{"p", "/cc", "/c"}, "-", "\nUnrecognized option: /cc\n" + help, ""},
        // Stop and shutdown end a console run; interrogate does nothing.
        {{"p", "/C", "-K"}, "-", "", "console on\nstop event create\nthread p\t/C\t-K\nwait\n"
                                     "stop event set\nstop event set\nstop event close\n"},
        {{"p", "/c", x}, "-", too_long, "console on\nstop event create\nstop event close\n"},
        {{"p", "/I"}, "-", ok, "scm\n~\nreg set AppParameters p\t/c\n"},
        {{"p", "/i", x}, "-", too_long + "vantry_remote not installed.\n", ""},
        {{"p", "/R", "my_tap"}, "service control", "vantry_remote removed.\n", "scm\nservice~"},
        {{"p"}, "no scm", no_scm, ""},
        {{"p", "/i", "x", "-K"}, "no scm", no_scm, ""},
        {{"p", "/R", "x"}, "no scm", no_scm, ""}};
    for (auto [words, fail, out, log] : rows) {
        SCOPED_TRACE(words.back().substr(0, 9));
        static service_api api = fake_service_api;
        api.has_service_manager = std::strcmp(fail, "no scm");
        fake_reset(&api);
        fake.fail = {fail};
        EXPECT_EQ(launcher_main(static_cast<int>(words.size()), argv_of(words).data()), 0);
        EXPECT_TRUE(matches(fake.out, out)) << fake.out;
        EXPECT_TRUE(matches(fake.log, log)) << fake.log;
    }
    // Windows numbers the console events; logoff (5) and shutdown (6) stop nothing.
    for (std::uint32_t event = 0; event < 8; ++event)
        EXPECT_EQ(console_event_signal(event), event == 0 ? 2 : event <= 2 ? 15 : 0) << event;
}

TEST(ShownTexts, KeyMaskedInEveryFormEventsCutToFit)
{
    const std::pair<const char*, const char*> forms[] = {
        {"-k\tmango", "-k\t********"}, {"-kmango", "-k********"}, {"-vk\tmango", "-vk\t********"},
        {"-vKkmango", "-vKk********"}, {"--key\tmango", "--key\t********"},
        {"--key=mango", "--key=********"}, {"--ke\tmango", "--ke\t********"},
        {"--k=mango", "--k=********"}, {"--key=", "--key=********"},
        // Values like options, a second key, words between, past an error.
        {"-k\t-v\t-t\t1\t--key\t--", "-k\t********\t-t\t1\t--key\t********"},
        {"my_tap\t-i\t0\t-k\tmango", "my_tap\t-i\t0\t-k\t********"},
        {"\t-k\t\tmango\t", "-k\t********"}, {"-x\t-k\tmango", "-x\t-k\t********"},
        // Not keys: an option's value, words after "--", a missing value.
        {"-c\t-k\tmango", "-c\t-k\tmango"}, {"--\t-k\tmango", "--\t-k\tmango"},
        {"-t\t1\t-k", "-t\t1\t-k"}};
    for (const auto& [options, shown] : forms)
        EXPECT_EQ(shown_argument_string(std::string("p\t/c\t") + options, false),
                  std::string("p\t/c\t") + shown);
    // POSIXLY_CORRECT: no option after another word; no mode word: options from the second.
    EXPECT_EQ(shown_argument_string("p\t/c\t-k\tmango\tmy_tap\t-k\tlime", true),
              "p\t/c\t-k\t********\tmy_tap\t-k\tlime");
    EXPECT_EQ(shown_argument_string("p\t-kmango", true), "p\t-k********");
    // Cut to fit the event buffer, with a visible marker.
    const std::string fits(4095 - 15, 'a');
    EXPECT_EQ(event_message(fits.c_str()), "vantry_remote: " + fits);
    EXPECT_EQ(event_message((fits + "b").c_str()),
              "vantry_remote: " + fits.substr(14) + " [message cut]");
    EXPECT_EQ(event_message(std::string(100000, 'z').c_str()).size(), 4095u);
}

TEST(StopEvent, StopRequestsRacingTheCloseNeverUseAClosedEvent)
{
    static checked_event events[100];
    static std::atomic<int> made{0}, misuse{0}, closes{0};
    static service_api api = fake_service_api;
    api.event_create = [] { return reinterpret_cast<stop_event*>(&events[made++]); };
    api.event_set = [](stop_event* e) {
        ++checked(e).setting;
        misuse += checked(e).closed;
        checked(e).set = true;  // the waiter goes on to close it while this set still runs
        std::this_thread::yield();
        misuse += checked(e).closed;
        --checked(e).setting;
    };
    api.event_close = [](stop_event* e) {
        misuse += checked(e).setting || checked(e).closed.exchange(true);
        ++closes;
    };
    api.event_wait = [](stop_event* e) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        while (!checked(e).set && std::chrono::steady_clock::now() < end)
            std::this_thread::yield();
    };
    api.sleep_ms = [](unsigned ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); };
    fake_reset(&api);
    console_mode = 1;  // the handler then only sets the event
    std::atomic<bool> done{false};
    auto setter = [&done] {
        for (; !done; std::this_thread::yield())
            service_control_handler(1);
    };
    std::thread a(setter), b(setter);
    std::vector<std::string> words = {"p"};
    for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
         made < 100 && std::chrono::steady_clock::now() < end;)
        run_until_stopped(1, argv_of(words).data());
    done = true;
    for (std::thread* t : {&a, &b})
        t->join();
    EXPECT_EQ(misuse, 0);
    EXPECT_EQ(closes, made);
}

// Before the service exists installation stops at a failure; after, every
// registry step is still tried. Each failure is reported.
TEST(InstallService, EachFailureIsReportedAndTheNextStepTried)
{
    const std::string exe = "C:\\Program Files\\vantry_remote.exe",
                      create = "scm\nservice create vantry_remote vantry_remote for Windows \"" +
                               exe + "\"\n",
                      description = "reg set Description vantry_remote for Windows\n",
                      events = "Services\\EventLog\\Application\\vantry_remote",
                      secure = "reg secure D:P(A;OICI;KA;;;SY)(A;OICI;KA;;;BA)\n",
                      store = "reg open Services\\vantry_remote\\Parameters write\n"
                              "reg set AppParameters p\t/c\tmy_tap\t--key=mango\n",
                      log = create + "describe p\t/c\tmy_tap\t--key=********\nreg open Services\\"
                            "vantry_remote write\n" + description + "reg create " + events +
                            "\nreg open " + events + " write\nreg set EventMessageFile " + exe +
                            "\nreg open " + events + " write\nreg set TypesSupported 4\n"
                            "reg create Services\\vantry_remote\\Parameters\n" + secure + store,
                      no_description = ok + "Unable to set service description.\nvantry_remote for "
                                            "WindowsSYSTEM\\CurrentControlSet\\Services\\"
                                            "vantry_remote";
    struct row {
        std::string fail = "-", out = "", cut = "", paste = "";  // the log: cut replaced by paste
        std::string path = "C:\\Program Files\\vantry_remote.exe";
    };
    const row rows[] = {
        {.out = ok},
        {.out = "Unable to install vantry_remote - Access is denied. (0x5)\n", .cut = log,
         .path = ""},
        {.out = "Unable to install vantry_remote - \n", .cut = log, .path = std::string(512, 'p')},
        {.fail = "scm", .out = "OpenSCManager" + denied, .cut = log.substr(4)},
        {.fail = "service create", .out = "CreateService vantry_remote" + denied,
         .cut = log.substr(create.size())},
        {.fail = "describe", .out = ok},
        {.fail = "reg open Services\\vantry_remote ", .out = no_description, .cut = description},
        {.fail = "reg set Description", .out = no_description},
        {.fail = "reg create Services\\E",
         .out = ok + "The EventLog subkey could not be created.\n"},
        {.fail = "reg set E", .out = ok + "The Message File value could not be assigned.\n"},
        {.fail = "reg set T", .out = ok + "The Types Supported value could not be assigned.\n"},
        {.fail = "reg create Services\\v", .out = ok + "Could not create Parameters subkey.\n",
         .cut = secure + store},
        // Not stored at all rather than readable by every user.
        {.fail = "reg secure",
         .out = ok + "Could not restrict access to the Parameters subkey (error 0x5).\nThe options "
                     "were not saved, as every user could read the key in them: remove the service "
                     "and install it again.\n",
         .cut = store, .paste = "reg delete Services\\vantry_remote\\Parameters\n"},
        {.fail = "reg set AppParameters", .out = ok + "Could not save AppParameters value.\n"}};
    for (const row& r : rows) {
        fake_reset();
        fake.fail = {r.fail};
        fake.module_path = r.path;
        std::vector<std::string> words = {"p", "/i", "my_tap", "--key=mango"};
        install_service(4, argv_of(words).data());
        std::string want = log;
        EXPECT_EQ(fake.log, want.replace(want.find(r.cut), r.cut.size(), r.paste)) << r.fail;
        EXPECT_EQ(fake.out, r.out);
        EXPECT_EQ(fake.handles, 0);
    }
}

TEST(RemoveService, StopsARunningServiceFirstEachFailureWithTheSystemText)
{
    const std::string open = "scm\nservice open vantry_remote\n", stop = "service control 1\n",
                      wait = "sleep 1000\nservice query\n", stopping = "Stopping vantry_remote",
                      gone = "service delete\nreg delete Services\\EventLog\\Application\\"
                             "vantry_remote\n", failed = "\nvantry_remote failed to stop.\n",
                      removed = "vantry_remote removed.\n";
    // failing calls, answers of the queries, printed, log
    const std::tuple<std::vector<std::string>, const char*, std::string, std::string> rows[] = {
        {{"service control"}, "", removed, open + stop + gone},
        {{}, "331", stopping + "...\nvantry_remote stopped.\n" + removed,
         open + stop + wait + wait + wait + gone},
        {{}, "34", stopping + ".." + failed + removed, open + stop + wait + wait + gone},
        {{"service query"}, "", stopping + "." + failed + removed, open + stop + wait + gone},
        {{"scm"}, "", "OpenSCManager" + denied, "scm\n"},
        {{"service open"}, "", "OpenService vantry_remote" + denied, open},
        {{"service control", "service delete"}, "", "DeleteService" + denied,
         open + stop + "service delete\n"}};
    for (const auto& [fail, states, out, log] : rows) {
        fake_reset();
        fake.fail = fail;
        fake.states = states;
        remove_service();
        EXPECT_EQ(fake.out, out);
        EXPECT_EQ(fake.log, log);
        EXPECT_EQ(fake.handles, 0);
    }
    // Without the line end; nothing when there is no text or it would not
    // fit 256 bytes with the code: 242 characters, line end included, fit.
    fake.messages = {{1, std::string(240, 'm') + "\r\n"}, {2, std::string(241, 'm') + "\r\n"}};
    for (std::uint32_t code : {1, 2, 3}) {
        fake.error = code;
        EXPECT_EQ(last_error_text(), code == 1 ? std::string(240, 'm') + " (0x1)" : "") << code;
    }
    EXPECT_EQ(fake.handles, 0);
}
