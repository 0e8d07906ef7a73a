// Numbers and texts as options read them, configuration lines and files,
// and what each option does to the run's settings.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "forward/allow_list.h"
#include "run/options.h"
#include "run/run_settings.h"
#include "run/settings.h"
#include "support/trace_log.h"
#include "tests/test_support.h"

namespace {

void reset_option_fields()
{
    settings.collector.reset();
    settings.bpf_filter.reset();
    settings.interface_name.reset();
    settings.tzsp_port = 0;
    settings.tap_id = 0;
    settings.snaplen = 0x10000;
    settings.disable_encryption = false;
    trace_verbosity = 2;
}

class Settings : public testing::Test {
protected:
    void SetUp() override { reset_option_fields(); }
    void TearDown() override { reset_option_fields(); }
};

// The option fields away from their defaults, as " c=... t=... K".
std::string option_fields()
{
    auto text = [](const char* name, const std::optional<std::string>& v) { return v ? name + *v : ""; };
    auto num = [](const char* name, long v, long def) { return v == def ? "" : name + std::to_string(v); };
    return text(" c=", settings.collector) + text(" f=", settings.bpf_filter) + text(" i=", settings.interface_name) +
           num(" t=", settings.tzsp_port, 0) + num(" n=", settings.tap_id, 0) + num(" s=", settings.snaplen, 0x10000) +
           (settings.disable_encryption ? " K" : "") + num(" v=", trace_verbosity, 2);
}

// Standard output of fn, trace lines without their time stamp and source.
template <typename F>
std::string logged(F fn)
{
    testing::internal::CaptureStdout();
    fn();
    std::string raw = testing::internal::GetCapturedStdout(), out;
    for (std::size_t pos = 0; pos < raw.size();) {
        std::size_t end = std::min(raw.find('\n', pos), raw.size());
        std::string line = raw.substr(pos, end - pos);
        out += line.substr(line.find("] ") == std::string::npos ? 0 : line.find("] ") + 2) + "\n";
        pos = end + 1;
    }
    return out;
}

void record(int letter, const char* value, void* ctx)
{
    std::string& out = *static_cast<std::string*>(ctx);
    out += (out.empty() ? "" : " ") + std::string(1, static_cast<char>(letter)) +
           (value ? std::string("=") + value : "");
}

std::string write_temp(const char* name, const std::string& bytes)
{
    std::string path = testing::TempDir() + "vantry_settings_" + name;
    std::FILE* f = std::fopen(path.c_str(), "wb");
    EXPECT_NE(f, nullptr);
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
    return path;
}

}  // namespace

TEST(Text, ReadIntIsAtoiWithoutOverflow)
{
    const std::pair<const char*, int> rows[] = {
        {"37008", 37008}, {"  \t\n\v\f\r-12x", -12}, {"+7", 7}, {"abc", 0}, {"", 0}, {"- 5", 0},
        {"0x10", 0}, {"+-1", 0}, {"\x01" "5", 0}, {"2147483647", INT_MAX}, {"-2147483648", INT_MIN},
        {"2147483648", INT_MAX}, {"-2147483649", INT_MIN}, {"99999999999999999999", INT_MAX},
        {"-99999999999999999999", INT_MIN}, {"09", 9}, {"9/", 9}, {"-:", 0}};
    for (const auto& [text, value] : rows)
        EXPECT_EQ(read_int(text), value) << text;
}

TEST(Text, CaseInsensitiveEqualityAndSearch)
{
    EXPECT_TRUE(equals_nocase("/C", "/c"));
    EXPECT_TRUE(equals_nocase("", ""));
    EXPECT_FALSE(equals_nocase("/c", "/c "));
    EXPECT_FALSE(equals_nocase("/i", "/r"));
    EXPECT_FALSE(equals_nocase("@", "`"));  // the neighbours of A and Z are no letters
    EXPECT_FALSE(equals_nocase("[", "{"));
    const struct {
        const char* haystack;
        const char* needle;
        long at;
    } rows[] = {
        {"", "a", -1}, {"abc", "", -1}, {"", "", -1}, {"Intel(R) Ethernet", "ETHER", 9},
        {"PPP DialUp Adapter", "dialup", 4}, {"abab", "ab", 0}, {"aab", "ab", 1}, {"ab", "abc", -1},
        {"a", "ab", -1}, {"Ethernet", "ethx", -1}, {"AZaz", "azAZ", 0}, {"@[", "`{", -1},
        // A one-character needle matches only the last character.
        {"Adapter 1", "1", 8}, {"1 Adapter", "1", -1}, {"a1b1", "1", 3}, {"eth0", "H", -1},
        {"ETH", "h", 2}};
    for (const auto& r : rows)
        EXPECT_EQ(find_nocase(r.haystack, r.needle), r.at) << r.haystack << " / " << r.needle;
}

TEST(MandatoryOptions, KeyIsCheckedFirstThenInterfaceThenCollector)
{
    const char *key = "Missing encryption key -k", *iface = "Missing interface -i or -t", *collector = "Missing collector -c";
    const struct {
        bool no_encryption, key, iface;
        unsigned port;
        bool collector;
        const char* message;
    } rows[] = {{0, 0, 0, 0, 0, key},          {0, 0, 1, 1, 1, key},          {1, 0, 0, 0, 0, iface},
                {0, 1, 0, 0, 1, iface},        {1, 0, 1, 0, 0, collector},    {0, 1, 0, 37008, 0, collector},
                {1, 0, 0, 37008, 1, nullptr},  {0, 1, 1, 0, 1, nullptr}};
    for (const auto& r : rows)
        EXPECT_STREQ(missing_option_message(r.no_encryption, r.key, r.iface, r.port, r.collector), r.message);
}

TEST_F(Settings, EachOptionAsItChangesTheSettings)
{
    using opts = std::vector<std::pair<int, const char*>>;
    const struct {
        opts options;
        const char* fields;
        const char* log;
    } rows[] = {
        {{{'t', "37008"}, {'i', "1"}}, " t=37008", "ERROR: Ignored -i as -t has already been specified\n"},
        {{{'t', "65573"}}, " t=37", ""}, {{{'t', "-1"}}, " t=65535", ""}, {{{'t', "0"}}, "", ""},
        {{{'n', " -12x"}, {'s', "abc"}}, " n=-12 s=0", ""}, {{{'s', "1500"}}, " s=1500", ""},
        {{{'c', "10.0.0.1:5000"}, {'c', "10.0.0.2:6000"}, {'f', "tcp"}}, " c=10.0.0.2:6000 f=tcp", ""},
        {{{'c', "x"}, {'f', "tcp"}, {'c', nullptr}, {'f', nullptr}}, "", ""},
        {{{'g', "x"}, {'G', nullptr}}, "", "ERROR: Bad option g\nERROR: Bad option G\n"},
        {{{'s', "96"}, {'s', nullptr}, {'k', nullptr}, {'n', nullptr}, {'t', nullptr}, {'H', nullptr}},
         " s=96",
         "ERROR: Option -s needs a value\nERROR: Option -k needs a value\nERROR: Option -n needs a "
         "value\nERROR: Option -t needs a value\nERROR: Option -H needs a value\n"},
        {{{'v', nullptr}, {'v', nullptr}}, " v=6", ""},
        {{{'K', nullptr}}, " K", "WARNING: Data will not be encrypted (-K specified)\n"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.fields);
        reset_option_fields();
        EXPECT_EQ(logged([&] {
                      for (auto [letter, value] : r.options)
                          handle_option(letter, value);
                  }),
                  r.log);
        EXPECT_EQ(option_fields(), r.fields);
    }
}

TEST_F(Settings, KeyAndHostsAreSetUpAtOnce)
{
    key_guard keys;
    handle_option('k', "mango");
    EXPECT_NE(speck_key, nullptr);
    std::string path = write_temp("hosts", "10.0.0.1\n");
    handle_option('H', path.c_str());
    EXPECT_TRUE(host_allowed(ipv4_of(10, 0, 0, 1)));
    EXPECT_FALSE(host_allowed(ipv4_of(10, 0, 0, 2)));
    release_allow_list();
    std::remove(path.c_str());
}

TEST(SettingsExit, VersionEndsTheProcessWithStatusZero)
{
    EXPECT_EXIT(handle_option('V', nullptr), testing::ExitedWithCode(0), "");
}

TEST(ConfigLine, EachKindOfLine)
{
    const std::pair<const char*, const char*> rows[] = {
        {"--collector=10.0.0.1:5000", "c=10.0.0.1:5000"}, {"--collector 10.0.0.1:5000", "c=10.0.0.1:5000"},
        {"   \t--collector 10.0.0.1:5000\r\n", "c=10.0.0.1:5000"},
        {"--collector=\"10.0.0.1:5000\"", "c=10.0.0.1:5000"}, {"--collector '10.0.0.1:5000'", "c=10.0.0.1:5000"},
        {"\"--collector=10.0.0.1:5000\"\n", "c=10.0.0.1:5000"}, {"'--collector   10.0.0.1:5000'", "c=10.0.0.1:5000"},
        {"--collector\t 10.0.0.1:5000", "c=10.0.0.1:5000"},
        // Long names must be whole and may stand without a value.
        {"--col 10.0.0.1:5000", ""}, {"--verbosex", ""}, {"--snaplen 96", ""}, {"--", ""},
        {"--verbose", "v"}, {"--version\n", "V"}, {"--interface", "i"}, {"--interface=", "i"},
        {"--interface = eth0", "i== eth0"}, {"--disable-encryption", "K"}, {"--tap-id 7", "n=7"},
        {"--hosts=C:\\hosts.txt", "H=C:\\hosts.txt"}, {"--filter not port 22", "f=not port 22"},
        {"--key=a", "k=a"}, {"--key=", "k"}, {"--tzsp  ", "t"}, {"--help x", "h=x"},
        // A short option always loses its third character; its letter is not checked.
        {"-c 10.0.0.1:5000", "c=10.0.0.1:5000"}, {"-c10.0.0.1:5000", "c=0.0.0.1:5000"},
        {"-t   '37008'", "t=37008"}, {"-v", "v"}, {"-vx", "v"}, {"-vxy", "v=y"}, {"-K\n", "K"},
        {"-z 1", "z=1"},
        // Blank, too short, comments; anything else is unrecognized.
        {"", ""}, {"\n", ""}, {"   \"'  \r\n", ""}, {"x", ""}, {"# -v", ""}, {"  #--verbose", ""},
        {"collector 10.0.0.1:5000\n", "unrecognized:collector 10.0.0.1:5000"},
        {"'ab'", "unrecognized:ab"}, {"ab '", "unrecognized:ab"}};
    for (const auto& [line, expected] : rows) {
        config_line cl = parse_config_line(line);
        std::string got = cl.kind == config_line_unrecognized ? "unrecognized:" + cl.text : "";
        if (cl.kind == config_line_option)
            record(cl.letter, cl.value ? cl.value->c_str() : nullptr, &got);
        EXPECT_EQ(got, expected) << line;
    }
}

TEST(ConfigFile, LinesArriveInOrderInPiecesAndTheRestIsWarnedAbout)
{
    // The first piece is exactly 16,383 characters; "-v" is left for the next.
    const std::string x(16383 - 9, 'x');
    static const char nul[] = "-c 10.0.0.1:5000\0-k secret\n-K\n--tzsp\0=1\n-n 3\n";
    const struct {
        std::string bytes;
        std::string seen;
        const char* log;
    } rows[] = {
        {"# tap\n-K\n\n--filter=" + x + "-v\n--tzsp 37008", "K f=" + x + " v t=37008", ""},
        // A NUL byte ends the text of its line only.
        {std::string(nul, sizeof nul - 1), "c=10.0.0.1:5000 K t n=3", ""},
        {"collector 10.0.0.1:5000\n--col 1\n--verbosex\nx\n-c 10.0.0.1:5000\n", "c=10.0.0.1:5000",
         "WARNING: Skipping unrecognized line: collector 10.0.0.1:5000\n"},
    };
    for (const auto& r : rows) {
        std::string path = write_temp("lines.conf", r.bytes), seen;
        EXPECT_EQ(logged([&] { EXPECT_EQ(read_config_lines(path.c_str(), record, &seen), 0); }), r.log);
        EXPECT_EQ(seen, r.seen);
        std::remove(path.c_str());
    }
    std::string seen;
    const std::string missing = testing::TempDir() + "vantry_settings_missing.conf";
    EXPECT_EQ(logged([&] { EXPECT_EQ(read_config_lines(missing.c_str(), record, &seen), -1); }), "");
    EXPECT_EQ(seen, "");
}

TEST_F(Settings, ConfigFileIsReadOnlyWhenItIsTheOnlyWord)
{
    std::string path = write_temp("only.conf", "-K\n--tzsp=37008\n--collector \"10.0.0.1:5000\"\n-n 7\n");
    std::vector<std::string> args{"vantry_remote", path};
    parse_settings(args);
    EXPECT_EQ(option_fields(), " c=10.0.0.1:5000 t=37008 n=7 K");
    // With another word after it the words are a command line; the file
    // name is a non-option and is skipped.
    reset_option_fields();
    args = {"vantry_remote", path, "-K", "-t", "1", "-c", "a:1"};
    parse_settings(args);
    EXPECT_EQ(option_fields(), " c=a:1 t=1 K");
    std::remove(path.c_str());
}
