// Numbers and texts as options read them, configuration lines and files,
// and what each option does to the run's settings (-i over a fake capture
// library).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdio>
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
#include "support/interface_source.h"
#include "support/trace_log.h"
#include "tests/test_support.h"

namespace {

struct fake_library {
    std::vector<std::vector<capture_iface>> looks;  // what each look at the list finds; the last one stays
    char fails = 0;                                 // 'l'ibrary, 'd'efault device, 'f'ind
    std::size_t calls = 0;
    std::vector<unsigned> sleeps = {};
} fake;

const std::vector<capture_iface> nics = {{"npf_A", "Intel(R) Ethernet"}, {"npf_B", "NdisWan"}, {"npf_C", "Wireless"}};

class Settings : public testing::Test {
protected:
    void SetUp() override
    {
        TearDown();
        fake = {{nics}};
        discovery_source = {
            [](std::string* err) { return fake.fails == 'l' ? (*err = "wpcap.dll missing", -1) : 0; },
            [](std::vector<capture_iface>* out, std::string* err) {
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
        settings.collector = settings.bpf_filter = settings.interface_name = std::nullopt;
        settings.tzsp_port = 0;
        settings.tap_id = 0;
        settings.snaplen = 0x10000;
        settings.disable_encryption = false;
        trace_verbosity = 2;
        release_allow_list();
        delete speck_key;
        speck_key = nullptr;
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
           num(" t=", settings.tzsp_port, 0) + num(" n=", settings.tap_id, 0) + num(" s=", settings.snaplen, 0x10000) +
           (settings.disable_encryption ? " K" : "") + num(" v=", trace_verbosity, 2) + (speck_key ? " k" : "") +
           (settings.allow_list ? " H" : "");
}

// Standard output of fn, trace lines without their time stamp and source.
template <typename F>
std::string logged(F fn)
{
    testing::internal::CaptureStdout();
    fn();
    return std::regex_replace(testing::internal::GetCapturedStdout(), std::regex(".* \\[(util|vantry_remote):\\d+\\] "), "");
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
        {"37008", 37008}, {"  \t\n\v\f\r-12x", -12}, {"+7", 7}, {"abc", 0}, {"", 0}, {"- 5", 0}, {"0x10", 0},
        {"+-1", 0}, {"\x01" "5", 0}, {"09", 9}, {"9/", 9}, {"-:", 0}, {"2147483647", INT_MAX},
        {"-2147483648", INT_MIN}, {"2147483648", INT_MAX}, {"-2147483649", INT_MIN},
        {"99999999999999999999", INT_MAX}, {"-99999999999999999999", INT_MIN}};
    for (auto [text, value] : numbers)
        EXPECT_EQ(read_int(text), value) << text;
    EXPECT_TRUE(equals_nocase("/C", "/c") && equals_nocase("", "") && equals_nocase("AZaz", "azAZ"));
    EXPECT_FALSE(equals_nocase("/c", "/c ") || equals_nocase("/i", "/r") || equals_nocase("@[", "`{"));
    EXPECT_TRUE(equals_nocase(std::string_view("ab", 1), std::string_view("ac", 1)));
    const std::tuple<const char*, const char*, long> searches[] = {
        {"", "a", -1}, {"abc", "", -1}, {"", "", -1}, {"Intel(R) Ethernet", "ETHER", 9}, {"abab", "ab", 0},
        {"aab", "ab", 1}, {"ab", "abc", -1}, {"a", "ab", -1}, {"Ethernet", "ethx", -1}, {"AZaz", "azAZ", 0},
        {"@[", "`{", -1}, {"Adapter 1", "1", 8}, {"1 Adapter", "1", -1}, {"a1b1", "1", 3}, {"eth0", "H", -1},
        {"ETH", "h", 2}};  // a one-character needle matches only the last character
    for (auto [haystack, needle, at] : searches)
        EXPECT_EQ(find_nocase(haystack, needle), at) << haystack << " / " << needle;
}

TEST(MandatoryOptions, KeyIsCheckedFirstThenInterfaceThenCollector)
{
    const char *key = "Missing encryption key -k", *iface = "Missing interface -i or -t", *collector = "Missing collector -c";
    const std::tuple<bool, bool, bool, unsigned, bool, const char*> rows[] = {
        {0, 0, 0, 0, 0, key},       {0, 0, 1, 1, 1, key},        {1, 0, 0, 0, 0, iface},         {0, 1, 0, 0, 1, iface},
        {1, 0, 1, 0, 0, collector}, {0, 1, 0, 37008, 0, collector}, {1, 0, 0, 37008, 1, nullptr}, {0, 1, 1, 0, 1, nullptr}};
    for (auto [no_encryption, have_key, have_iface, port, have_collector, message] : rows)
        EXPECT_STREQ(missing_option_message(no_encryption, have_key, have_iface, port, have_collector), message);
}

TEST_F(Settings, EachOptionAsItChangesTheSettings)
{
    const std::string hosts = write_temp("10.0.0.1\n"), skip = "\tSkipping interface NdisWan\n";
    const struct {
        std::vector<std::pair<int, const char*>> options;
        const char* fields;
        std::string log;
    } rows[] = {
        {{{'t', "37008"}, {'i', "1"}}, " t=37008", "ERROR: Ignored -i as -t has already been specified\n"},
        {{{'i', "1"}, {'t', "37008"}}, " i=npf_C", skip + "ERROR: Ignored -t as -i has already been specified\n"},
        {{{'i', nullptr}}, " i=npf_A", skip},
        {{{'i', "*Wire"}}, " i=npf_C", "Searching for interface 'Wire' until the interface is up\nFound interface 'npf_C'\n"},
        {{{'t', "65573"}, {'n', " -12x"}, {'s', "abc"}, {'c', "1:5"}, {'c', "2:6"}, {'f', "tcp"}, {'v', nullptr}, {'v', nullptr}},
         " c=2:6 f=tcp t=37 n=-12 s=0 v=6", ""},
        {{{'t', "-1"}, {'s', "1500"}, {'c', "x"}, {'f', "tcp"}, {'c', nullptr}, {'f', nullptr}}, " t=65535 s=1500", ""},
        {{{'t', "0"}, {'K', nullptr}}, " K", "WARNING: Data will not be encrypted (-K specified)\n"},
        {{{'g', "x"}, {'G', nullptr}, {'s', "96"}, {'s', nullptr}, {'k', nullptr}, {'n', nullptr}, {'t', nullptr},
          {'H', nullptr}},
         " s=96",
         "ERROR: Bad option g\nERROR: Bad option G\nERROR: Option -s needs a value\nERROR: Option -k needs a value\n"
         "ERROR: Option -n needs a value\nERROR: Option -t needs a value\nERROR: Option -H needs a value\n"},
        {{{'k', "mango"}, {'H', hosts.c_str()}}, " k H", ""},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.fields);
        SetUp();
        EXPECT_EQ(logged([&] {
                      for (auto [letter, value] : r.options)
                          handle_option(letter, value);
                  }),
                  r.log);
        EXPECT_EQ(option_fields(), r.fields);
    }
    EXPECT_TRUE(host_allowed(ipv4_of(10, 0, 0, 1)));
    EXPECT_FALSE(host_allowed(ipv4_of(10, 0, 0, 2)));
    EXPECT_EXIT(handle_option('V', nullptr), testing::ExitedWithCode(0), "");
}

TEST_F(Settings, InterfaceOptionListsWaitsOrEndsTheRun)
{
    EXPECT_EQ(logged([] { EXPECT_EQ(must_choose_interface("-1"), std::nullopt); }),
              "\n\nAvailable interfaces:\n\t[index=0] [npf_A] 'Intel(R) Ethernet'\n\tSkipping interface NdisWan\n"
              "\t[index=1] [npf_C] 'Wireless'\n\n");
    fake.fails = 'f';  // nothing to list
    EXPECT_TRUE(logged([] { must_choose_interface("-1"); }).starts_with("\n\nAvailable interfaces:\nWARNING: No"));
    fake = {{nics, nics, {{"tap-guest", "TAP"}}}};  // the third look finds it
    EXPECT_EQ(logged([] { EXPECT_EQ(must_choose_interface("*guest"), "tap-guest"); }),
              "Searching for interface 'guest' until the interface is up\nFound interface 'tap-guest'\n");
    EXPECT_EQ(fake.sleeps, (std::vector<unsigned>{3000, 3000}));

    const std::tuple<const char*, fake_library, int, const char*> ends[] = {
        {"7", {{nics}}, 2, "Skipping interface NdisWan\n.*util:.*ERROR: Interface index 7 out of range"},
        {"0", {{nics}, 'l'}, 2, "ERROR: Unable to load the capture library \\(wpcap.dll missing\\): please install Npcap"},
        {"0", {{nics}, 'd'}, 3, "^\\S+ \\S+ \\S+ Unable to locate default interface \\(no suitable device found\\)\n$"}};
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (const auto& [text, lib, verbosity, said] : ends) {
        fake = lib;
        auto choose = [&] {  // standard output to standard error, for the matcher
            trace_verbosity = static_cast<std::uint8_t>(verbosity);
            std::fflush(stdout);
            dup2(2, 1);
            must_choose_interface(text);
        };
        EXPECT_EXIT(choose(), testing::ExitedWithCode(failure_status), said);
    }
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

// Reading and checking end the process (after the help) when a mandatory
// option is missing, so they run in a child, which tells with status 3
// that they returned with the settings expected.
TEST_F(Settings, ReadAsAFileOrACommandLineThenChecked)
{
    using testing::HasSubstr;
    const std::string conf = write_temp("-K\n--tzsp=37008\n--collector \"10.0.0.1:5000\"\n-n 7\n");
    const std::tuple<std::vector<std::string>, const char*, int, testing::Matcher<const std::string&>> runs[] = {
        {{"vantry_remote", conf}, " c=10.0.0.1:5000 t=37008 n=7 K", 3, testing::_},
        // After another word, the words are a command line and the name a skipped non-option.
        {{"vantry_remote", conf, "-K", "-t", "1", "-c", "a:1"}, " c=a:1 t=1 K", 3, testing::_},
        {{"vantry_remote", "-k", "x", "-i", "0", "-c", "a:1"}, " c=a:1 i=npf_A k", 3, testing::_},
        {{"vantry_remote", "-K", "-c", "a:1"}, "", 0,
         AllOf(HasSubstr("ERROR: Missing interface -i or -t\n"), HasSubstr("Usage:"), testing::EndsWith("Shutting down...\n"))},
    };
    for (const auto& [args, fields, status, said] : runs) {
        auto read = [&] {
            std::fflush(stdout);
            dup2(2, 1);
            std::vector<std::string> words = args;
            parse_settings(words);
            std::_Exit(option_fields() == fields ? 3 : 4);
        };
        EXPECT_EXIT(read(), testing::ExitedWithCode(status), said);
    }
    std::remove(conf.c_str());
}
