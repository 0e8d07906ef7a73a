// Numbers and texts as options read them, configuration lines and files,
// and what each option does to the run's settings.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "forward/allow_list.h"
#include "run/options.h"
#include "run/run_settings.h"
#include "run/settings.h"
#include "support/trace_log.h"
#include "tests/test_support.h"

namespace {

class Settings : public testing::Test {
protected:
    void SetUp() override { TearDown(); }
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
    return std::regex_replace(testing::internal::GetCapturedStdout(), std::regex(".* \\[vantry_remote:\\d+\\] "), "");
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
    const std::string hosts = write_temp("10.0.0.1\n");
    const struct {
        std::vector<std::pair<int, const char*>> options;
        const char* fields;
        const char* log;
    } rows[] = {
        {{{'t', "37008"}, {'i', "1"}}, " t=37008", "ERROR: Ignored -i as -t has already been specified\n"},
        {{{'t', "65573"}}, " t=37", ""}, {{{'t', "-1"}}, " t=65535", ""}, {{{'t', "0"}}, "", ""},
        {{{'n', " -12x"}, {'s', "abc"}}, " n=-12 s=0", ""}, {{{'s', "1500"}}, " s=1500", ""},
        {{{'c', "10.0.0.1:5000"}, {'c', "10.0.0.2:6000"}, {'f', "tcp"}}, " c=10.0.0.2:6000 f=tcp", ""},
        {{{'c', "x"}, {'f', "tcp"}, {'c', nullptr}, {'f', nullptr}}, "", ""},
        {{{'g', "x"}, {'G', nullptr}}, "", "ERROR: Bad option g\nERROR: Bad option G\n"},
        {{{'s', "96"}, {'s', nullptr}, {'k', nullptr}, {'n', nullptr}, {'t', nullptr}, {'H', nullptr}}, " s=96",
         "ERROR: Option -s needs a value\nERROR: Option -k needs a value\nERROR: Option -n needs a value\n"
         "ERROR: Option -t needs a value\nERROR: Option -H needs a value\n"},
        {{{'v', nullptr}, {'v', nullptr}}, " v=6", ""},
        {{{'K', nullptr}}, " K", "WARNING: Data will not be encrypted (-K specified)\n"},
        {{{'k', "mango"}, {'H', hosts.c_str()}}, " k H", ""},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.fields);
        TearDown();
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

TEST(ConfigLine, EachKindOfLine)
{
    const std::string c = "c=10.0.0.1:5000";
    const std::pair<const char*, std::string> rows[] = {
        {"--collector=10.0.0.1:5000", c}, {"--collector 10.0.0.1:5000", c}, {" \t--collector 10.0.0.1:5000\r\n", c},
        {"--collector=\"10.0.0.1:5000\"", c}, {"--collector '10.0.0.1:5000'", c}, {"--collector\t 10.0.0.1:5000", c},
        {"\"--collector=10.0.0.1:5000\"\n", c}, {"'--collector   10.0.0.1:5000'", c},
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

TEST_F(Settings, ConfigFilesArriveInPiecesAndOnlyWhenNamedAlone)
{
    // The first piece is exactly 16,383 characters, "-v" is left for the
    // next; a NUL byte ends the text of its line only.
    const std::string x(16383 - 9, 'x');
    static const char nul[] = "-c 10.0.0.1:5000\0-k secret\n-K\n--tzsp\0=1\n-n 3\n";
    const std::tuple<std::string, std::string, std::string> files[] = {
        {"# tap\n-K\n\n--filter=" + x + "-v\n--tzsp 37008", "K f=" + x + " v t=37008", ""},
        {std::string(nul, sizeof nul - 1), "c=10.0.0.1:5000 K t n=3", ""},
        {"collector 10.0.0.1:5000\n--col 1\n--verbosex\nx\n-c 10.0.0.1:5000\n", "c=10.0.0.1:5000",
         "WARNING: Skipping unrecognized line: collector 10.0.0.1:5000\n"}};
    for (const auto& [bytes, seen, log] : files) {
        std::string path = write_temp(bytes), got;
        EXPECT_EQ(logged([&] { EXPECT_EQ(read_config_lines(path.c_str(), record, &got), 0); }), log);
        EXPECT_EQ(got, seen);
    }
    std::string got;
    EXPECT_EQ(logged([&] { EXPECT_EQ(read_config_lines("/nonexistent/vantry.conf", record, &got), -1); }), "");
    // Named alone the file is read; after another word the words are a
    // command line and the name a skipped non-option.
    std::vector<std::string> args{"vantry_remote", write_temp("-K\n--tzsp=37008\n--collector \"10.0.0.1:5000\"\n-n 7\n")};
    parse_settings(args);
    EXPECT_EQ(option_fields(), " c=10.0.0.1:5000 t=37008 n=7 K");
    TearDown();
    args.insert(args.end(), {"-K", "-t", "1", "-c", "a:1"});
    parse_settings(args);
    EXPECT_EQ(option_fields(), " c=a:1 t=1 K");
    std::remove(args[1].c_str());
}
