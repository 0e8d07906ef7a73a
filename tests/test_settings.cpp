// Numbers and texts as options read them, the choice of the capture
// interface, configuration lines and files, and what each option does to
// the run's settings (-i over a fake capture library).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdio>
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
#include "run/options.h"
#include "run/run_settings.h"
#include "run/settings.h"
#include "support/interface_discovery.h"
#include "support/interface_source.h"
#include "support/trace_log.h"
#include "tests/test_support.h"

namespace {

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
    std::size_t calls = 0;
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
        release_allow_list();
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
    void TearDown() override
    {
        SetUp();
        discovery_source = capture_interface_source();
    }
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

std::string write_temp(const std::string& bytes)
{
    std::string path = testing::TempDir() + "vantry_settings_test";
    std::FILE* f = std::fopen(path.c_str(), "wb");
    EXPECT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
    std::fclose(f);
    return path;
}

}  // namespace

TEST(Text, NumbersAndCaseInsensitiveTexts)
{
    const std::pair<const char*, int> numbers[] = {
        {"  \t\n\v\f\r-12x", -12}, {"+7", 7}, {"- 5", 0}, {"+-1", 0}, {"\x01" "5", 0}, {"9/", 9}, {"-:", 0},
        {"2147483647", INT_MAX}, {"-2147483648", INT_MIN}, {"2147483648", INT_MAX}, {"-2147483649", INT_MIN},
        {"99999999999999999999", INT_MAX}, {"-99999999999999999999", INT_MIN}};
    for (auto [text, value] : numbers)
        EXPECT_EQ(read_int(text), value) << text;
    EXPECT_TRUE(equals_nocase("/C", "/c") && equals_nocase("AZaz", "azAZ") && equals_nocase({"ab", 1}, {"ac", 1}));
    EXPECT_FALSE(equals_nocase("/c", "/c ") || equals_nocase("/i", "/r") || equals_nocase("@[", "`{"));
    const std::tuple<const char*, const char*, long> searches[] = {  // one character matches only the last
        {"", "a", -1}, {"abc", "", -1}, {"Intel(R) Ethernet", "ETHER", 9}, {"aab", "ab", 1}, {"ab", "abc", -1},
        {"Ethernet", "ethx", -1}, {"AZaz", "azAZ", 0}, {"@[", "`{", -1}, {"a1b1", "1", 3}, {"eth0", "H", -1}};
    for (auto [haystack, needle, at] : searches)
        EXPECT_EQ(find_nocase(haystack, needle), at) << haystack << " / " << needle;
}

TEST(ChooseInterface, RulesInOrder)
{
    static const default_device def{0, "x"}, no_def{-1, "no suitable device found"};
    const std::string no_def_said = "(quiet) Unable to locate default interface (no suitable device found)";
    const struct {
        const iface_list& list;
        const char* text;
        std::string expected;  // the name, or the kind in brackets and the text
        const default_device& dev = def;
    } rows[] = {
        {nics, "1", "npf_B"}, {nics, "+1x", "npf_B"}, {nics, "WIRELESS", "npf_B"}, {nics, nullptr, "npf_A"},
        {nics, "bluetooth", "npf_A"},  // no description has it, no digits: index 0
        {nics, "-1", "(listing)"}, {nics, " -1x", "(listing)"}, {nics, "*guest", "(wait) guest"},
        {nics, "*", "(wait) "}, {nics, "*x", "(wait) x", no_def}, {nics, "0", no_def_said, no_def},
        {nics, "-1", no_def_said, no_def}, {nics, "2", "(failed) Interface index 2 out of range"},
        {nics, "-2", "(failed) Interface index -2 out of range"},
        // The exact name wins over all, a description ending in the digit over the index.
        {names, "veth1", "veth1"}, {names, "0", "0"}, {names, "1", "br0"},
        {skips, "1", "b"}, {skips, "w2", "a"}, {skips, "dialup", "a"}, {skips, nullptr, "a"},
        {lo_eth, nullptr, "eth"}, {lo_eth, "0", "lo"}, {lo_only, nullptr, "lo2"},
        {none, "0", "(failed) Interface index 0 out of range"},
        {none, nullptr, "(failed) No usable capture interface found"},
        {forty, "if37", "if37"}, {forty, "31", "if31"}, {forty, "PORT 35 X", "if0"},
        {forty, "32", "(failed) Interface index 32 out of range"}};
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
        {skips, false, skip + "\tSkipping interface NdisWan Adapter\n\tSkipping interface Generic DIALUP link\n"},
        {wan, true, head + skip + "WARNING: No interfaces available! This application cannot\n"
                    "WARNING: work make sure that winpcap is installed properly\n"
                    "WARNING: and that you have network interfaces installed.\n"},
        {one, true, head + "\t[index=0] [a] 'Ethernet A'\n\n"},
        {forty, false, "WARNING: 40 interfaces found: only the first 32 have an index; choose the others by their "
                       "exact name\n"}};
    for (const auto& [list, listing, expected] : rows)
        EXPECT_EQ(logged([&, &list = list, listing = listing] { print_interface_listing(list, listing); }), expected);
}

TEST_F(Settings, EachOptionAsItChangesTheSettings)
{
    const std::string hosts = write_temp("10.0.0.1\n"), skip = logged([] { print_interface_listing(skips, false); });
    const std::tuple<std::vector<std::pair<int, const char*>>, const char*, std::string> rows[] = {
        {{{'t', "37008"}, {'i', "1"}}, " t=37008", "ERROR: Ignored -i as -t has already been specified\n"},
        {{{'i', "1"}, {'t', "37008"}}, " i=b", skip + "ERROR: Ignored -t as -i has already been specified\n"},
        {{{'i', nullptr}}, " i=a", skip},
        {{{'t', "65573"}, {'n', " -12x"}, {'s', "abc"}, {'c', "1:5"}, {'c', "2:6"}, {'f', "tcp"}, {'v', nullptr},
          {'v', nullptr}},
         " c=2:6 f=tcp t=37 n=-12 s=0 v=6", ""},
        {{{'t', "-1"}, {'s', "1500"}, {'c', "x"}, {'f', "tcp"}, {'c', nullptr}, {'f', nullptr}}, " t=65535 s=1500", ""},
        {{{'t', "0"}, {'K', nullptr}}, " K", "WARNING: Data will not be encrypted (-K specified)\n"},
        {{{'g', "x"}, {'G', nullptr}, {'s', "96"}, {'s', nullptr}, {'k', nullptr}, {'n', nullptr}, {'t', nullptr},
          {'H', nullptr}},
         " s=96",
         "ERROR: Bad option g\nERROR: Bad option G\nERROR: Option -s needs a value\nERROR: Option -k needs a value\n"
         "ERROR: Option -n needs a value\nERROR: Option -t needs a value\nERROR: Option -H needs a value\n"},
        {{{'k', "mango"}, {'H', hosts.c_str()}}, " k H", ""}};
    for (const auto& [options, fields, log] : rows) {
        SetUp();
        EXPECT_EQ(logged([&, &options = options] {
                      for (auto [letter, value] : options)
                          handle_option(letter, value);
                  }),
                  log);
        EXPECT_EQ(option_fields(), fields);
    }
    EXPECT_TRUE(host_allowed(ipv4_of(10, 0, 0, 1)) && !host_allowed(ipv4_of(10, 0, 0, 2)));
}

TEST_F(Settings, InterfaceOptionListsAndWaits)
{
    EXPECT_EQ(logged([] { EXPECT_EQ(must_choose_interface("-1"), std::nullopt); }),
              logged([] { print_interface_listing(skips, true); }));
    fake.fails = 'f';  // nothing to list
    EXPECT_EQ(logged([] { must_choose_interface("-1"); }), logged([] { print_interface_listing(none, true); }));
    fake = {{skips, skips, {{"tap-guest", "TAP"}}}};  // the third look finds it
    EXPECT_EQ(logged([] { EXPECT_EQ(must_choose_interface("*guest"), "tap-guest"); }),
              "Searching for interface 'guest' until the interface is up\nFound interface 'tap-guest'\n");
    EXPECT_EQ(fake.sleeps, (std::vector<unsigned>{3000, 3000}));
}

// What may end the process runs in a child (a death test), its standard
// output sent to standard error for the matcher. A child whose run returns
// ends with status 3 when the settings are those expected. Reading and
// checking report the first option missing: the key (or -K), then the
// interface or TZSP port, then the collector; the help follows.
TEST_F(Settings, WhatMayEndTheProcessRunsInAChild)
{
    using testing::HasSubstr;
    const std::string conf = write_temp("-K\n--tzsp=37008\n--collector \"10.0.0.1:5000\"\n-n 7\n");
    auto read = [](std::vector<std::string> args, std::string fields) -> std::function<void()> {
        return [=]() mutable {
            args.insert(args.begin(), "vantry_remote");
            parse_settings(args);
            std::_Exit(option_fields() == fields ? 3 : 4);
        };
    };
    auto choose = [](const char* text, fake_library lib, int verbosity) -> std::function<void()> {
        return [=] {
            fake = lib;
            trace_verbosity = static_cast<std::uint8_t>(verbosity);
            must_choose_interface(text);
        };
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
        {choose("7", {{skips}}, 2), failure_status,
         testing::ContainsRegex("Skipping interface Generic DIALUP link\n.* \\[util:.*ERROR: Interface index 7 out of")},
        {choose("0", {{skips}, 'l'}, 2), failure_status,
         HasSubstr("ERROR: Unable to load the capture library (wpcap.dll missing): please install Npcap")},
        {choose("-1", {{skips}, 'd'}, 2), failure_status, testing::IsEmpty()},  // said only when verbose
        {choose("0", {{skips}, 'd'}, 3), failure_status,
         testing::MatchesRegex(".* Unable to locate default interface \\(no suitable device found\\)\n")}};
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (const auto& [run, status, said] : runs) {
        auto child = [&, &run = run] {
            std::fflush(stdout);
            dup2(2, 1);
            run();
        };
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
        {"--filter not port 22", "f=not port 22"}, {"--key=", "k"}, {"--tzsp  ", "t"}, {"--help x", "h=x"},
        // A short option always loses its third character; its letter is not checked.
        {"-c 10.0.0.1:5000", c}, {"-c10.0.0.1:5000", "c=0.0.0.1:5000"}, {"-t   '37008'", "t=37008"}, {"-v", "v"},
        {"-vx", "v"}, {"-vxy", "v=y"}, {"-K\n", "K"}, {"-z 1", "z=1"},
        // Blank, too short and comment lines; anything else is unrecognized.
        {"", ""}, {"\n", ""}, {"   \"'  \r\n", ""}, {"x", ""}, {"# -v", ""}, {"  #--verbose", ""},
        {"collector 10.0.0.1:5000\n", "? collector 10.0.0.1:5000"}, {"'ab'", "? ab"}, {"ab '", "? ab"}};
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
    EXPECT_EQ(got, "c=10.0.0.1:5000 K t f=" + x + " v n=3");
    got.clear();
    EXPECT_EQ(logged([&] { EXPECT_EQ(read_config_lines("/nonexistent/vantry.conf", record, &got), -1); }), "");
    EXPECT_EQ(got, "");
}
