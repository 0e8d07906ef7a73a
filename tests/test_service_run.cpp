// Launcher, console and service runs, installation and removal, against the fake.
#include <gtest/gtest.h>
#include <atomic>
#include <chrono>
#include <thread>
#include "service/launcher.h"
#include "tests/test_support.h"
#include "test_service_fake.h"

namespace {
// Whether text is pattern, '~' standing for any run of characters; each part is taken at its first place after the
// one before, never backtracked, so the recursion stays within the Windows stack (as std::regex's does not).
bool matches(std::string_view text, std::string_view pattern, bool anchored = true)
{
    const std::size_t tilde = std::min(pattern.find('~'), pattern.size());
    const std::size_t at = anchored ? 0 : text.find(pattern.substr(0, tilde));
    if (tilde == pattern.size())
        return anchored ? text == pattern : text.ends_with(pattern);
    return at != text.npos && text.substr(at).starts_with(pattern.substr(0, tilde)) &&
           matches(text.substr(at + tilde), pattern.substr(tilde + 1), false);
}

// A stop event as three counts in one: 1 once closed, 2 for each set running, 4096 once set. A set that finds it
// closed, or a close that finds it closed or being set, is a misuse.
std::atomic<int> events[100], made{0}, misuse{0};
std::atomic<int>& event_of(stop_event* e) { return *reinterpret_cast<std::atomic<int>*>(e); }
auto now() { return std::chrono::steady_clock::now(); }
void yield() { std::this_thread::yield(); }
using namespace std::chrono_literals;
}  // namespace

TEST(ServiceHost, EachWorkAndEachFailureThroughTheLauncher)
{
    const std::string x(8187, 'x'), m(240, 'm'), nul(1, '\0'), denied = " failed - Access is denied. (0x5)\n",
        help = "Available options:\n/i <service name>~\n/c [options] ~\n/r <service name> ~\n\nExample:\nInstall~'\n\n"
               "Notes:\n1. Type~service names.\n\n",
        note = "\nNOTE:\nUnder~service.\nPlease open~,\nor type~options.\n", ok = "vantry_remote installed.\n",
        no_scm = "\nInstalling and running~Windows feature.\n~--now vantry_remote\n", no_run = "~\nthread\nwait~",
        no_text = note + "Could not create AppParameters string.\n", stopped = "status 1 1 0 0\n",
        too_long = "Arguments too long: 8192 characters, at most 8191\n", thread = "Could not start the run thread.\n",
        refused = "event vantry_remote: SetServiceStatus\n", closed = "stop event close\n" + stopped,
        life = "console off\ndispatcher vantry_remote\nregister vantry_remote\nstatus 2 0 1 3000\nreg open Services\\"
               "other_tap\\Parameters read\nreg query AppParameters\nstatus 2 0 2 3000\nstatus 2 0 3 0\nstop event "
               "create\nstatus 4 1 0 0\nevent vantry_remote: p\t-k\t********\nthread p\t-k\tmango\nwait\nstatus 4 1 "
               "0 0\nstatus 3 1 4 0\nstop event set\nstatus 3 1 5 0\nstatus 3 1 6 0\nstop event set\n" + closed,
        ev = "Services\\EventLog\\Application\\vantry_remote", dir = "C:\\Program Files\\Vantry",
        exe = dir + "\\vantry_remote.exe", secure = "scm\nsecure " + dir + " D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)"
        "(A;OICI;0x1200a9;;;BU)\nsecure " + dir + "\\vantry_remote.conf D:P(A;;FA;;;SY)(A;;FA;;;BA)\nsecure " + dir +
        "\\vantry_remote.key D:P(A;;FA;;;SY)(A;;FA;;;BA)\n",
        inst = secure + "service create vantry_remote vantry_remote for Windows \"" + exe + "\"\ndescribe p\t/c\t"
               "my_tap\t--key=********\n"
               "reg open Services\\vantry_remote write\nreg set Description vantry_remote for Windows\n"
               "reg create " + ev + "\nreg open " + ev + " write\nreg set EventMessageFile " + exe + "\nreg open " +
               ev + " write\nreg set TypesSupported 7\nreg create Services\\vantry_remote\\Parameters\nreg secure D:P"
               "(A;OICI;KA;;;SY)(A;OICI;KA;;;BA)\nreg open Services\\vantry_remote\\Parameters write\nreg set "
               "AppParameters p\t/c\tmy_tap\t--key=mango\n",
        open = "scm\nservice open vantry_remote\nservice control 1\n", wait = "sleep 1000\nservice query\n",
        gone = "service delete\nreg delete " + ev + "\n", removed = "vantry_remote removed.\n",
        not_stopped = "\nvantry_remote failed to stop.\n" + removed, stopping = "Stopping vantry_remote";
    const std::vector<const char*> svc = {"p"}, i = {"p", "/I", "my_tap", "--key=mango"}, rm = {"p", "/R"};
    struct row { std::vector<const char*> argv; fake_os setup; std::string out, log; };  // printed, calls: patterns
    const row rows[] = {
        {{"p", "/h"}, {}, help, ""}, {{"p", "/cc", "/c"}, {}, "\nUnrecognized option: /cc\n" + help, ""},
        {svc, {{"dispatcher"}}, note + "\nStartServiceControlDispatcher failed!\n", "~\nevent~Dispatcher failed!\n"},
        {svc, {{"no scm"}}, no_scm, ""}, {{"p", "/i", "-K"}, {{"no scm"}}, no_scm, ""},
        {{"p", "/R", "x"}, {{"no scm"}}, no_scm, ""},
        {{"p", "/C", "-K"}, {}, "", "console on\nstop event create\nthread p\t/C\t-K\nwait\nstop event set\n"
                                    "stop event set\nstop event close\n"},
        {{"p", "/i", "s", "-k", ""}, {}, ok, "~reg set AppParameters p\t/c\ts\t-k\t\"\"\n"},
        {{"p", "/c", x.c_str()}, {}, too_long, "console on\nstop event create\nstop event close\n"},
        {{"p", "/i", x.c_str()}, {}, too_long + "vantry_remote not installed.\n", ""},
        // The service runs with what was stored. A refused status report goes to the event log, and the service on.
        {svc, {}, note, life}, {svc, {{"register"}}, note, "~dispatcher vantry_remote\nregister vantry_remote\n"},
        {svc, {{"status 2 0 1"}}, note, "~1 3000\n" + refused + stopped},
        {svc, {{"status 2 0 2"}}, note, "~2 3000\n" + refused + stopped},
        {svc, {{"stop event create"}}, note, "~0\nstop event create\n" + stopped},
        {svc, {{"status 4"}}, note, "~create\nstatus 4 1 0 0\n" + refused + closed},
        {svc, {{"status 3 1 4"}}, note, "~status 3 1 4 0\n" + refused + "stop event set\nstatus 3 1 5 0\n~"},
        {svc, {{"thread"}}, note + thread, "~mango\nevent vantry_remote: " + thread + closed},
        {svc, {{"reg open"}}, no_text, "~read\nstatus 2 0 2" + no_run}, {svc, {.stored = "\t\t"}, no_text, no_run},
        {svc, {.stored_type = 7}, no_text, no_run}, {svc, {.stored_type = 4}, no_text, no_run},
        {svc, {.stored = x + "xxxx" + nul}, note, "~\nthread " + x + "xxxx\n~"},
        {svc, {.stored = x + "xxxxx" + nul}, no_text, no_run}, {svc, {.stored_type = 0}, no_text, no_run},
        {svc, {.stored_type = 2, .stored = "\tp\t\t-H\t%SystemRoot%\t"}, note, "~\nthread p\t-H\t%SystemRoot%\n~"},
        {svc, {.stored = "p\t/c" + nul + "tail"}, note, "~\nthread p\t/c\n~"}, {svc, {.stored = nul}, no_text, no_run},
        // Before the service exists installation stops at a failure; after, every registry step is still tried.
        {i, {}, ok, inst}, {i, {{"scm"}}, "OpenSCManager" + denied, "scm\n"}, {i, {{"describe"}}, ok, inst},
        {i, {{"service create"}}, "CreateService vantry_remote" + denied, secure + "service create~.exe\"\n"},
        // Nobody but administrators may change what the service runs as LocalSystem, nor read the configuration.
        {i, {{"secure C"}}, "Could not restrict access to the folder " + dir + " (error 0x5): users could~"
            "disk.\nvantry_remote not installed.\n", "scm\nsecure " + dir + " ~BU)\n"},
        {i, {{"secure " + dir + "\\vantry_remote.k"}}, "Could not restrict access to " + dir + "\\vantry_remote.key "
            "(error 0x5)~in it.\nvantry_remote not installed.\n", secure},
        {i, {.module_path = "D:\\vantry_remote.exe"}, "D:\\vantry_remote.exe is not in a folder of its own.~"
            "there.\nvantry_remote not installed.\n", "scm\n"},
        {i, {{"reg open Services\\vantry_remote "}}, ok + "Unable to set service description.\nvantry_remote for "
            "WindowsSYSTEM\\CurrentControlSet\\Services\\vantry_remote", "~remote write\nreg create~"},
        {i, {{"reg create Services\\E"}}, ok + "The EventLog~", inst}, {i, {{"reg set E"}}, ok + "The Message~", inst},
        {i, {{"reg set T"}}, ok + "The Types Supported~", inst}, {i, {{"reg set A"}}, ok + "Could not save~", inst},
        {i, {{"reg create Services\\v"}}, ok + "Could not create Parameters subkey.\n", "~\\Parameters\n"},
        // Not stored at all rather than readable by every user.
        {i, {{"reg secure"}}, ok + "Could not restrict access~(error 0x5).\nThe options were not saved~again.\n",
         "~BA)\nreg delete Services\\vantry_remote\\Parameters\n"},
        // A path cut to fit would name another file.
        {i, {.module_path = ""}, "Unable to install vantry_remote - Access is denied. (0x5)\n", ""},
        {i, {.module_path = std::string(512, 'p')}, "Unable to install vantry_remote - \n", ""},
        {rm, {.states = "331"}, stopping + "...\nvantry_remote stopped.\n" + removed, open + wait + wait + wait + gone},
        {rm, {.states = "34"}, stopping + ".." + not_stopped, open + wait + wait + gone},
        {rm, {{"service query"}}, stopping + "." + not_stopped, open + wait + gone},
        {rm, {{"service control"}}, removed, open + gone}, {rm, {{"scm"}}, "OpenSCManager" + denied, "scm\n"},
        {rm, {{"service open"}}, "OpenService vantry_remote" + denied, "scm\nservice open vantry_remote\n"},
        {rm, {{"service control", "service delete"}}, "DeleteService" + denied, open + "service delete\n"},
        // The system's text without its line end, or nothing when it would not fit 256 bytes with the code.
        {rm, {.fail = {"scm"}, .message = m + "\r\n"}, "OpenSCManager failed - " + m + " (0x5)\n", "scm\n"},
        {rm, {.fail = {"scm"}, .message = m + "m\r\n"}, "OpenSCManager failed - \n", "scm\n"}};
    probe_guard<const service_api*> os(service_os);
    for (const row& r : rows) {
        SCOPED_TRACE(&r - rows);
        static service_api api = fake_service_api;
        api.has_service_manager = r.setup.fail != std::vector<std::string>{"no scm"};  // a set-up, not a call
        fake_reset(r.setup, &api);
        auto argv = r.argv;
        argv.push_back(nullptr);
        EXPECT_EQ(launcher_main(static_cast<int>(r.argv.size()), const_cast<char**>(argv.data())), 0);
        EXPECT_TRUE(matches(fake.out, r.out)) << fake.out;
        EXPECT_TRUE(matches(fake.log, r.log)) << fake.log;
        EXPECT_EQ(fake.log.find("bad"), fake.log.npos) << fake.log;
        EXPECT_EQ(fake.handles, 0);
        EXPECT_EQ(tap_stop_event.load(), nullptr);
    }
    for (std::uint32_t event = 0; event < 8; ++event)  // Windows' numbers: logoff (5) and shutdown (6) stop nothing
        EXPECT_EQ(console_event_signal(event), event == 0 ? 2 : event <= 2 ? 15 : 0) << event;
}

TEST(ShownTexts, KeyMaskedInEveryFormEventsCutToFit)
{
    // The key in every form, words between, past an error; not an option's value, a missing value or after "--".
    EXPECT_EQ(shown_argument_string("p\t/c\t-kmango\t-vKkmango\t-vk\tmango\t--key\tmango\t--key=mango\t"
                                    "my_tap\t-x\t-k\tmango\t-c\t-k\tlime\t-t\t1\t--\t-k\tlime", false),
              "p\t/c\t-k********\t-vKk********\t-vk\t********\t--key\t********\t--key=********\t"
              "my_tap\t-x\t-k\t********\t-c\t-k\tlime\t-t\t1\t--\t-k\tlime");
    EXPECT_EQ(shown_argument_string("p\t/c\t--key=\t-k\t-v\t\t--key\t--\t-k", false),
              "p\t/c\t--key=********\t-k\t********\t--key\t********\t-k");
    // Short for both --key and --key-file: refused, and still masked.
    EXPECT_EQ(shown_argument_string("p\t/c\t--ke\tmango\t--k\tlime", false), "p\t/c\t--ke\t********\t--k\t********");
    // POSIXLY_CORRECT: no option after another word; no mode word: options from the second.
    EXPECT_EQ(shown_argument_string("p\t/c\t-kmango\tmy_tap\t-k\tlime", true), "p\t/c\t-k********\tmy_tap\t-k\tlime");
    EXPECT_EQ(shown_argument_string("p\t-kmango", true), "p\t-k********");
    const std::string fits(4095 - 15, 'a');
    EXPECT_EQ(event_message(fits.c_str()), "vantry_remote: " + fits);
    EXPECT_EQ(event_message((fits + "b").c_str()), "vantry_remote: " + fits.substr(14) + " [message cut]");
    EXPECT_EQ(event_message(std::string(100000, 'z').c_str()).size(), 4095u);
}

// Windows' quoting where a word needs it (empty, blanks, TABs, quotes), every word back as it was; strings stored
// by earlier versions (TABs between, blanks within) read as before.
TEST(ArgumentString, WordsSurviveJoiningAndSplittingExactly)
{
    const struct row { std::vector<const char*> words; std::string joined; } rows[] = {
        {{"p", "/c", "-k", "", "-A"}, "p\t/c\t-k\t\"\"\t-A"}, {{"-f", "not port 22"}, "-f\t\"not port 22\""},
        {{"a\tb", "\""}, "\"a\tb\"\t\"\\\"\""}, {{"say \"hi\""}, "\"say \\\"hi\\\"\""},
        {{"C:\\d\\", "C:\\my d\\"}, "C:\\d\\\t\"C:\\my d\\\\\""}, {{"a\\\"b"}, "\"a\\\\\\\"b\""}, {{}, ""}};
    for (const row& r : rows) {
        SCOPED_TRACE(r.joined);
        std::string joined;
        const auto argv = const_cast<char**>(r.words.data());
        ASSERT_EQ(join_argument_string(unsigned(r.words.size()), argv, joined, nullptr), 0);
        EXPECT_EQ(joined, r.joined);
        EXPECT_EQ(split_arguments(joined.c_str()), std::vector<std::string>(r.words.begin(), r.words.end()));
    }
    EXPECT_EQ(split_arguments("\tp\t\t-f\tnot port 22\t\"open\tto the end"),
              (std::vector<std::string>{"p", "-f", "not port 22", "open\tto the end"}));
}

TEST(StopEvent, StopRequestsRacingTheCloseNeverUseAClosedEvent)
{
    static service_api api = fake_service_api;
    api.event_create = [] { return reinterpret_cast<stop_event*>(&events[made++]); };
    api.event_set = [](stop_event* e) {
        misuse += (event_of(e) += 2) & 1;
        event_of(e) |= 4096;  // the waiter goes on to close it while this set still runs
        std::this_thread::yield();
        misuse += (event_of(e) -= 2) & 1;
    };
    api.event_close = [](stop_event* e) { misuse += (event_of(e).fetch_or(1) & 4095) != 0; };
    api.event_wait = [](stop_event* e) { for (auto end = now() + 1s; !(event_of(e) & 4096) && now() < end;) yield(); };
    api.sleep_ms = [](unsigned ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); };
    probe_guard<const service_api*> os(service_os);
    fake_reset({}, &api);
    probe_guard<int> console(console_mode, 1);  // the handler then only sets the event
    std::atomic<bool> done{false};
    auto setter = [&done] { for (; !done; yield()) service_control_handler(1); };
    std::thread a(setter), b(setter);
    char p[] = "p", *argv[] = {p, nullptr};
    for (auto end = now() + 3s; made < 100 && now() < end;)
        run_until_stopped(1, argv);
    done = true;
    a.join();
    b.join();
    EXPECT_EQ(misuse, 0);
    EXPECT_EQ(std::count_if(events, events + made, [](auto& e) { return e & 1; }), made);  // each closed
}
