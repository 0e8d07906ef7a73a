// The option reader (orders and indices are those of the C library's
// getopt_long), numbers and texts, the choice of the capture interface,
// configuration lines and files, and what each option does (-i over a fake
// capture library).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <fstream>
#include <functional>
#include <optional>
#include <regex>
#include <string>
#include <tuple>
#include <vector>
#if defined(_WIN32)
#include <io.h>
#define dup2 _dup2
constexpr int failure_status = -1;
#else
#include <unistd.h>
constexpr int failure_status = 255;  // -1 as the parent sees it
#endif

#include "forward/allow_list.h"
#include "run/getopt.h"
#include "run/options.h"
#include "run/run_settings.h"
#include "run/settings.h"
#include "run/tap_run.h"
#include "support/interface_discovery.h"
#include "support/interface_source.h"
#include "support/trace_log.h"
#include "tests/test_support.h"

namespace {

const long_option exact_and_longer[] = {
    {"version", arg_none, 'V'}, {"ver", arg_none, 'a'}, {"verbose", arg_none, 'v'}, {nullptr, arg_none, 0}};
const long_option same_result[] = {{"colour", arg_none, 'c'}, {"color", arg_none, 'c'}, {nullptr, arg_none, 0}};
const long_option optional_arg[] = {{"level", arg_optional, 'l'}, {nullptr, arg_none, 0}};

using iface_list = std::vector<capture_iface>;
const std::string loopback = "Adapter for loopback traffic capture";
const iface_list nics = {{"npf_A", "Intel(R) Ethernet Connection"}, {"npf_B", "Realtek Wireless Adapter"}};
const iface_list skips = {{"w1", "WAN Miniport (IP)"}, {"a", "Ethernet A"}, {"w2", "NdisWan Adapter"},
                          {"w3", "Generic DIALUP link"}, {"b", "wan miniport lookalike"}};
const iface_list names = {{"br0", "bridge over veth1"}, {"veth1", "peer"}, {"0", "odd"}};
const iface_list lo_eth = {{"lo", loopback}, {"eth", "Ethernet"}}, none = {}, wan = {skips[0]}, one = {skips[1]};
const iface_list lo_only = {{"w", "WAN Miniport (IPv6)"}, {"lo", loopback}, {"lo2", loopback}};
const iface_list forty = [] {
    iface_list l;
    for (int i = 0; i < 40; ++i)
        l.push_back({"if" + std::to_string(i), "Port " + std::to_string(i) + " x"});
    return l;
}();

struct fake_library {
    std::vector<iface_list> looks;  // what each look at the list finds; the last one stays
    char fails = 0;                 // 'l'ibrary, 'd'efault device, 'f'ind
    std::size_t calls = 0;          // looks so far
    std::vector<unsigned> sleeps = {};
} fake;

class Settings : public testing::Test {
protected:
    void SetUp() override
    {
        settings.collector = settings.bpf_filter = settings.interface_name = std::nullopt;
        settings.tzsp_port = settings.tap_id = 0;
        settings.snaplen = 65536;
        settings.disable_encryption = false;
        trace_verbosity = 2;
        release_allow_list(&settings.allow_list);
        delete std::exchange(speck_key, nullptr);
        fake = {{skips}};
        discovery_source = {
            [](std::string* err) { return fake.fails == 'l' ? (*err = "wpcap.dll missing", -1) : 0; },
            [](iface_list* out, std::string* err) {
                *out = fake.looks[std::min(fake.calls++, fake.looks.size() - 1)];
                return fake.fails == 'f' ? (*err = "denied", -1) : 0;
            },
            [](std::string* name, std::string* err) {
                return fake.fails == 'd' ? (*err = "no suitable device found", -1) : (*name = "x", 0);
            },
            [](unsigned ms) { fake.sleeps.push_back(ms); }};
    }
    void TearDown() override { SetUp(); discovery_source = capture_interface_source(); }
    key_guard keys;
};

// The option fields away from their defaults, as " c=... t=... K".
std::string option_fields()
{
    auto text = [](const char* name, const std::optional<std::string>& v) { return v ? name + *v : ""; };
    auto num = [](const char* name, long v, long def) { return v == def ? "" : name + std::to_string(v); };
    return text(" c=", settings.collector) + text(" f=", settings.bpf_filter) + text(" i=", settings.interface_name) +
           num(" t=", settings.tzsp_port, 0) + num(" n=", settings.tap_id, 0) + num(" s=", settings.snaplen, 65536) +
           (settings.disable_encryption ? " K" : "") + num(" v=", trace_verbosity, 2) + (speck_key ? " k" : "") +
           (settings.allow_list ? " H" : "");
}

// Standard output of fn, trace lines without their time stamp and source.
template <typename F>
std::string logged(F fn)
{
    testing::internal::CaptureStdout();
    fn();
    return std::regex_replace(testing::internal::GetCapturedStdout(), std::regex(".* \\[\\w+:\\d+\\] "), "");
}

void record(int letter, const char* value, void* ctx)
{
    std::string& s = *static_cast<std::string*>(ctx);
    s += (s.empty() ? "" : " ") + std::string(1, static_cast<char>(letter)) + (value ? std::string("=") + value : "");
}

// The words of line, split at blanks and TABs as the run thread splits them.
std::vector<std::string> words_of(std::string line)
{
    std::replace(line.begin(), line.end(), ' ', '\t');
    return split_arguments(line.c_str());
}

std::string write_temp(const std::string& bytes)
{
    const std::string path = testing::TempDir() + "vantry_settings_test";
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

}  // namespace

TEST(Getopt, ReadsReordersAndDiagnosesLikeGnu)
{
    const struct {
        const char* words;
        const char* seen;  // letters or long names, "=value"; '?' followed by optopt
        const char* err;   // the diagnostics
        int optind = 0;    // after the end; 0: not checked
        const char* order = nullptr;  // the words after reading; null: not checked
        bool posix = false;
        const char* shortopts = tap_short_options;
        const long_option* longopts = tap_long_options;
    } rows[] = {
        {"prog a -v b -c x c", "v c=x", "", 4, "prog -v -c x a b c"},
        {"prog -v a -K", "v", "", 2, "prog -v a -K", true}, {"prog a -v", "", "", 1, "prog a -v", true},
        {"prog - -v", "v", "", 2, "prog -v -"}, {"prog -v -- -K x", "v", "", 3, "prog -v -- -K x"},
        {"prog a -- -K", "", "", 2, "prog -- a -K"}, {"prog a -v -- b", "v", "", 3, "prog -v -- a b"},
        {"prog -k man\tgo -t 37008", "k=man t=37008", "", 5, "prog -k man -t 37008 go"},  // a word holding a TAB
        {"prog -vK -vc10.0.0.1:5000 -c -v -c -- -g x -G --tzsp=37008 --tzsp 37008 --tzsp= --collector --key --hel --d "
         "--vers --verb --col=1:5",
         "v K v c=10.0.0.1:5000 c=-v c=-- g=x G --tzsp=37008 --tzsp=37008 --tzsp= --collector=--key --help "
         "--disable-encryption --version --verbose --collector=1:5", "", 21},
        {"./tap -x -v -xv -: -K -c", "?x v ?x v ?: K ?c",
         "./tap: invalid option -- x\n./tap: invalid option -- x\n./tap: invalid option -- :\n"
         "./tap: option requires an argument -- c\n", 7},
        {"./tap -vx", "v ?x", "./tap: illegal option -- x\n", 2, nullptr, true},
        {"prog --ver --h --t --snaplen 1500 --vers=2 --nope=1 --tz", "? ? ? ? ?V ? ?t",
         "prog: option `--ver' is ambiguous\nprog: option `--h' is ambiguous\nprog: option `--t' is ambiguous\n"
         "prog: unrecognized option `--snaplen'\nprog: option `--version' doesn't allow an argument\n"
         "prog: unrecognized option `--nope=1'\nprog: option `--tzsp' requires an argument\n",
         8, "prog --ver --h --t --snaplen --vers=2 --nope=1 --tz 1500"},
        {"prog --ver --ve", "--ver ?", "prog: option `--ve' is ambiguous\n", 0, nullptr, false, "", exact_and_longer},
        {"prog --col", "--colour", "", 0, nullptr, false, "", same_result},
        {"p -l x -l3 --level x --level=3", "l l=3 --level --level=3", "", 0, nullptr, false, "l::", optional_arg},
        {"p --v", "?- v", "p: invalid option -- -\n", 0, nullptr, false, "v", nullptr},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.words);
        const std::vector<std::string> words = words_of(r.words);
        const int argc = static_cast<int>(words.size());
        std::vector<const char*> argv;
        for (const std::string& w : words)
            argv.push_back(w.c_str());
        argv.push_back(nullptr);
        std::vector<const char*> twin_argv = argv, tap_argv = argv;
        // The twin reads the same words alongside, silently: readings share no state.
        getopt_state st, twin;
        st.posixly_correct = twin.posixly_correct = r.posix;
        std::string seen, order, before_error;
        testing::internal::CaptureStderr();
        for (int c, n = 0;
             n < 100 && (c = getopt_long_next(st, argc, argv.data(), r.shortopts, r.longopts, stderr)) != -1; ++n) {
            EXPECT_EQ(getopt_long_next(twin, argc, twin_argv.data(), r.shortopts, r.longopts, nullptr), c);
            EXPECT_EQ(twin.optarg, st.optarg);  // the same pointer into the same words
            if (seen.find('?') == std::string::npos && c != '?')
                record(c, st.optarg, &before_error);
            seen += (seen.empty() ? "" : " ") +
                    (st.long_index >= 0 ? "--" + std::string(r.longopts[st.long_index].name) : std::string(1, c)) +
                    (c == '?' && st.optopt ? std::string(1, st.optopt) : "") +
                    (st.optarg ? "=" + std::string(st.optarg) : "");
        }
        const std::string said = testing::internal::GetCapturedStderr();
        EXPECT_EQ(getopt_long_next(twin, argc, twin_argv.data(), r.shortopts, r.longopts, nullptr), -1);
        EXPECT_EQ(twin.optind, st.optind);
        for (int i = 0; i < argc; ++i)
            order += (i ? " " : "") + std::string(argv[i]);
        EXPECT_EQ(seen, r.seen);
        EXPECT_EQ(said, r.err);
        EXPECT_EQ(st.optind, r.optind ? r.optind : st.optind);
        EXPECT_EQ(order, r.order ? r.order : order);
        if (r.longopts == tap_long_options) {  // the tap's reader: the same options up to the first error
            std::string sunk;
            EXPECT_EQ(read_command_line(argc, tap_argv.data(), r.posix, nullptr, record, &sunk), said.empty() ? 0 : -1);
            EXPECT_EQ(sunk, before_error);
        }
    }
}

// More of both through the options and the interface choice below.
TEST(Text, NumbersAndCaseInsensitiveTexts)
{
    for (auto [text, value] : {std::pair{" \t\n\v\f\r+7x", 7}, {"+-1", 0}, {"\x01" "5", 0}, {"9/", 9}, {"-:", 0},
                               {"-2147483648", INT_MIN}, {"2147483648", INT_MAX}, {"-2147483649", INT_MIN},
                               {"99999999999999999999", INT_MAX}, {"-99999999999999999999", INT_MIN}})
        EXPECT_EQ(read_int(text), value) << text;
    EXPECT_TRUE(equals_nocase("/C", "/c") && equals_nocase("AZaz", "azAZ") && equals_nocase({"ab", 1}, {"ac", 1}));
    EXPECT_FALSE(equals_nocase("/c", "/c ") || equals_nocase("/i", "/r") || equals_nocase("@[", "`{"));
    for (auto [haystack, needle, at] : {std::tuple{"", "a", -1L}, {"abc", "", -1L}, {"aab", "ab", 1L},
                                        {"ab", "abc", -1L}, {"AZaz", "azAZ", 0L}, {"@[", "`{", -1L}, {"a1b1", "1", 3L},
                                        {"eth0", "H", -1L}})
        EXPECT_EQ(find_nocase(haystack, needle), at) << haystack << " / " << needle;
}

TEST(ChooseInterface, RulesInOrder)
{
    static const default_device def{0, "x"}, no_def{-1, "no suitable device found"};
    const std::string no_def_said = "(quiet) Unable to locate default interface (no suitable device found)";
    auto range = [](int index) { return "(failed) Interface index " + std::to_string(index) + " out of range"; };
    const struct {
        const iface_list& list;
        const char* text;
        std::string expected;  // the name, or the kind in brackets and the text
        const default_device& dev = def;
    } rows[] = {
        {nics, "1", "npf_B"}, {nics, "WIRELESS", "npf_B"}, {nics, nullptr, "npf_A"}, {nics, "-1", "(listing)"},
        {nics, "bluetooth", "npf_A"},  // no description has it, no digits: index 0
        {nics, " -1x", "(listing)"}, {nics, "*guest", "(wait) guest"}, {nics, "*x", "(wait) x", no_def},
        {nics, "0", no_def_said, no_def}, {nics, "-1", no_def_said, no_def}, {nics, "2", range(2)},
        {nics, "-2", range(-2)},
        // The exact name wins over all, a description ending in the digit over the index.
        {names, "veth1", "veth1"}, {names, "0", "0"}, {names, "1", "br0"},
        {skips, "1", "b"}, {skips, "w2", "a"}, {skips, "dialup", "a"}, {skips, nullptr, "a"},
        {lo_eth, nullptr, "eth"}, {lo_eth, "0", "lo"}, {lo_only, nullptr, "lo2"},
        {none, "0", range(0)}, {none, nullptr, "(failed) No usable capture interface found"},
        {forty, "if37", "if37"}, {forty, "31", "if31"}, {forty, "PORT 35 X", "if0"}, {forty, "32", range(32)}};
    for (const auto& r : rows) {
        interface_choice c = choose_interface(r.list, r.dev, r.text);
        const char* kinds[] = {"", "(listing)", "(wait) ", c.before_listing ? "(quiet) " : "(failed) "};
        EXPECT_EQ(kinds[c.kind] + (c.kind == interface_failed ? c.message : c.name), r.expected)
            << (r.text ? r.text : "(null)");
    }
    // Wait mode looks for the text in names and descriptions as written.
    for (auto [wanted, found] : {std::pair{"", "w1"}, {"Miniport", "w1"}, {"w2", "w2"}, {"miniport", "b"}})
        EXPECT_EQ(find_waited_interface(skips, wanted), found);
    EXPECT_EQ(find_waited_interface(skips, "MINIPORT (ip"), std::nullopt);
}

TEST(InterfaceListing, PrintedAsTheUserSeesIt)
{
    const std::string head = "\n\nAvailable interfaces:\n", skip = "\tSkipping interface WAN Miniport (IP)\n";
    const std::tuple<const iface_list&, bool, std::string> rows[] = {
        {skips, true, head + skip + "\t[index=0] [a] 'Ethernet A'\n\tSkipping interface NdisWan Adapter\n"
                      "\tSkipping interface Generic DIALUP link\n\t[index=1] [b] 'wan miniport lookalike'\n\n"},
        {wan, true, head + skip + "WARNING: No interfaces available! This application cannot\n"
                    "WARNING: work make sure that winpcap is installed properly\n"
                    "WARNING: and that you have network interfaces installed.\n"},
        {one, true, head + "\t[index=0] [a] 'Ethernet A'\n\n"},
        {forty, false, "WARNING: 40 interfaces found: only the first 32 have an index; choose the others by their "
                       "exact name\n"}};
    for (const auto& [list, listing, expected] : rows)
        EXPECT_EQ(logged([&, &list = list, listing = listing] { print_interface_listing(list, listing); }), expected);
}

// Options as "letter=value" words ("letter" alone: no value) in a row.
TEST_F(Settings, EachOptionAsItChangesTheSettings)
{
    const std::string hosts = write_temp("10.0.0.1\n"), skip = logged([] { print_interface_listing(skips, false); });
    const std::tuple<std::string, const char*, std::string> rows[] = {
        {"t=37008 i=1", " t=37008", "ERROR: Ignored -i as -t has already been specified\n"},
        {"i=1 t=37008", " i=b", skip + "ERROR: Ignored -t as -i has already been specified\n"}, {"i", " i=a", skip},
        {"t=65573 n=-12x s=abc c=1:5 c=2:6 f=tcp v v", " c=2:6 f=tcp t=37 n=-12 s=0 v=6", ""},
        {"t=-1 s=1500 c=x f=tcp c f", " t=65535 s=1500", ""},
        {"t=0 K", " K", "WARNING: Data will not be encrypted (-K specified)\n"},
        {"g=x G s=96 s k n t H", " s=96",
         "ERROR: Bad option g\nERROR: Bad option G\nERROR: Option -s needs a value\nERROR: Option -k needs a value\n"
         "ERROR: Option -n needs a value\nERROR: Option -t needs a value\nERROR: Option -H needs a value\n"},
        {"k=mango H=" + hosts, " k H", ""}};
    for (const auto& [options, fields, log] : rows) {
        SetUp();
        EXPECT_EQ(logged([&, &options = options] {
                      for (const std::string& w : words_of(options))
                          handle_option(w[0], w.size() > 1 ? w.c_str() + 2 : nullptr);
                  }),
                  log);
        EXPECT_EQ(option_fields(), fields);
    }
}

// What may end the process, or wait for good, runs in a child (a death
// test), its standard output sent to standard error for the matcher. A
// child whose run returns ends with status 3 when the result is the one
// expected. Reading and checking report the first option missing: the key
// (or -K), then the interface or TZSP port, then the collector; the help
// follows.
TEST_F(Settings, WhatMayEndTheProcessRunsInAChild)
{
    using testing::HasSubstr;
    const std::string conf = write_temp("-K\n--tzsp=37008\n--collector \"10.0.0.1:5000\"\n-n 7\n");
    auto read = [](std::vector<std::string> args, std::string fields) -> std::function<void()> {
        args.insert(args.begin(), "vantry_remote");
        return [=]() mutable { parse_settings(args); std::_Exit(option_fields() == fields ? 3 : 4); };
    };
    auto missing = [](const char* what) {
        return AllOf(HasSubstr(std::string("ERROR: Missing ") + what + "\n"), testing::EndsWith("Shutting down...\n"));
    };
    const std::tuple<std::function<void()>, int, testing::Matcher<const std::string&>> runs[] = {
        {read({conf}, " c=10.0.0.1:5000 t=37008 n=7 K"), 3, testing::_},
        // After another word, the words are a command line and the name a skipped non-option.
        {read({conf, "-K", "-t", "1", "-c", "a:1"}, " c=a:1 t=1 K"), 3, testing::_},
        {read({"-k", "x", "-i", "0", "-c", "a:1"}, " c=a:1 i=a k"), 3, testing::_},
        {read({"-t", "1", "-c", "a:1"}, ""), 0, missing("encryption key -k")},
        {read({"-K", "-c", "a:1"}, ""), 0, AllOf(missing("interface -i or -t"), HasSubstr("Usage:"))},
        {read({"-K", "-t", "1"}, ""), 0, missing("collector -c")},
        {[] { handle_option('V', nullptr); }, 0, HasSubstr("\nVersion:       1.1.260430\n")},
        {[] { fake.fails = 'f'; std::_Exit(must_choose_interface("-1") ? 4 : 3); }, 3,
         HasSubstr("\n\nAvailable interfaces:\n")},  // and a warning that there are none: nothing to list
        {[] {
             fake = {{skips, skips, {{"tap-guest", "TAP"}}}};  // the third look finds it
             std::_Exit(must_choose_interface("*guest") == "tap-guest" && fake.sleeps == std::vector(2, 3000u) ? 3 : 4);
         },
         3, testing::ContainsRegex("interface 'guest' until the interface is up\n.*Found interface 'tap-guest'\n$")},
        {[] { must_choose_interface("7"); }, failure_status,
         testing::ContainsRegex("Skipping interface Generic DIALUP link\n.*\\[util:.*ERROR: Interface index 7 out of")},
        {[] { fake.fails = 'l'; must_choose_interface("0"); }, failure_status,
         HasSubstr("ERROR: Unable to load the capture library (wpcap.dll missing): please install Npcap")},
        {[] { fake.fails = 'd'; must_choose_interface("-1"); }, failure_status, testing::IsEmpty()},  // verbose only
        {[] { fake.fails = 'd'; trace_verbosity = 3; must_choose_interface("0"); }, failure_status,
         testing::MatchesRegex(".* Unable to locate default interface \\(no suitable device found\\)\n")}};
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (const auto& [run, status, said] : runs) {
        auto child = [&, &run = run] { std::fflush(stdout); dup2(2, 1); run(); };
        EXPECT_EXIT(child(), testing::ExitedWithCode(status), said);
    }
    std::remove(conf.c_str());
}

TEST(ConfigLine, EachKindOfLine)
{
    const std::string c = "c=10.0.0.1:5000";
    const std::pair<const char*, std::string> rows[] = {
        {"--collector=10.0.0.1:5000", c}, {" \t--collector 10.0.0.1:5000\r\n", c}, {"--collector\t '10.0.0.1:5000'", c},
        {"\"--collector=\"10.0.0.1:5000\"\"\n", c}, {"'--collector   10.0.0.1:5000'", c},
        // Long names must be whole and may stand without a value.
        {"--col 10.0.0.1:5000", ""}, {"--verbosex", ""}, {"--snaplen 96", ""}, {"--", ""}, {"--verbose", "v"},
        {"--version\n", "V"}, {"--interface", "i"}, {"--interface=", "i"}, {"--interface = eth0", "i== eth0"},
        {"--disable-encryption", "K"}, {"--tap-id 7", "n=7"}, {"--hosts=C:\\hosts.txt", "H=C:\\hosts.txt"},
        {"--filter not port 22", "f=not port 22"}, {"--key=", "k"}, {"--help x", "h=x"},
        // A short option always loses its third character; its letter is not checked.
        {"-c 10.0.0.1:5000", c}, {"-c10.0.0.1:5000", "c=0.0.0.1:5000"}, {"-t   '37008'", "t=37008"}, {"-v", "v"},
        {"-vx", "v"}, {"-vxy", "v=y"}, {"-z 1", "z=1"}, {"", ""}, {"   \"'  \r\n", ""}, {"x", ""}, {"  #--verbose", ""},
        {"collector 10.0.0.1:5000\n", "? collector 10.0.0.1:5000"}, {"'ab'", "? ab"}, {"ab '", "? ab"}};  // no option
    for (const auto& [line, expected] : rows) {
        config_line cl = parse_config_line(line);
        std::string got = cl.kind == config_line_unrecognized ? "? " + cl.text : "";
        if (cl.kind == config_line_option)
            record(cl.letter, cl.value ? cl.value->c_str() : nullptr, &got);
        EXPECT_EQ(got, expected) << line;
    }
}

// Lines arrive in pieces of at most 16,383 characters (the first one here
// is exactly that long, "-v" is left for the next); a NUL byte ends the
// text of its line only; what is not understood is warned about.
TEST(ConfigFile, ReadInPiecesWithWarningsAboutWhatItDoesNotUnderstand)
{
    const std::string x(16383 - 9, 'x');
    static const char text[] = "-c 10.0.0.1:5000\0-k secret\n-K\n--tzsp\0=1\n# -n 2\ncollector 9\n--col 1\nx\n";
    std::string path = write_temp(std::string(text, sizeof text - 1) + "--filter=" + x + "-v\n-n 3"), got;
    EXPECT_EQ(logged([&] { EXPECT_EQ(read_config_lines(path.c_str(), record, &got), 0); }),
              "WARNING: Skipping unrecognized line: collector 9\n");
    EXPECT_EQ(logged([&] { EXPECT_EQ(read_config_lines("/nonexistent/vantry.conf", record, &got), -1); }), "");
    EXPECT_EQ(got, "c=10.0.0.1:5000 K t f=" + x + " v n=3");  // nothing from the file that is not there
}
