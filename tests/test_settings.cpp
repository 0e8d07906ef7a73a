#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "forward/allow_list.h"
#include "forward/speck.h"
#include "run/options.h"
#include "run/run_settings.h"
#include "run/settings.h"
#include "support/trace_log.h"

namespace {

// The option fields these tests touch, back to their defaults.
void reset_option_fields()
{
    settings.collector.reset();
    settings.bpf_filter.reset();
    settings.self_filter.reset();
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

// Trace lines of one call, without their time stamps and locations.
std::string logged(void (*fn)(const char*), const char* arg)
{
    testing::internal::CaptureStdout();
    fn(arg);
    std::string raw = testing::internal::GetCapturedStdout();
    std::string out;
    std::size_t pos = 0;
    while (pos < raw.size()) {
        std::size_t end = raw.find('\n', pos);
        if (end == std::string::npos)
            end = raw.size();
        std::string line = raw.substr(pos, end - pos);
        std::size_t bracket = line.find("] ");
        out += (bracket == std::string::npos ? line : line.substr(bracket + 2)) + "\n";
        pos = end + 1;
    }
    return out;
}

std::string describe(const config_line& cl)
{
    switch (cl.kind) {
    case config_line_ignored:
        return "ignored";
    case config_line_unrecognized:
        return "unrecognized:" + cl.text;
    case config_line_option:
        return std::string(1, static_cast<char>(cl.letter)) + (cl.value ? "=" + *cl.value : "");
    }
    return "?";
}

std::string temp_path(const char* name)
{
    return testing::TempDir() + "vantry_opts_" + name;
}

void write_file(const std::string& path, const std::string& text)
{
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
}

void record(int letter, const char* value, void* ctx)
{
    auto* out = static_cast<std::vector<std::string>*>(ctx);
    out->push_back(std::string(1, static_cast<char>(letter)) + (value ? std::string("=") + value : ""));
}

}  // namespace

// ---- numbers ----------------------------------------------------------------

TEST(ReadInt, TakesNumbersTheWayAtoiDoes)
{
    EXPECT_EQ(read_int("37008"), 37008);
    EXPECT_EQ(read_int("  \t-12x"), -12);
    EXPECT_EQ(read_int("+7"), 7);
    EXPECT_EQ(read_int("abc"), 0);
    EXPECT_EQ(read_int(""), 0);
    EXPECT_EQ(read_int("- 5"), 0);
    EXPECT_EQ(read_int("0x10"), 0);
    EXPECT_EQ(read_int("2147483647"), INT_MAX);
    EXPECT_EQ(read_int("-2147483648"), INT_MIN);
    // Beyond the range: the nearest end, never a wrapped value.
    EXPECT_EQ(read_int("99999999999999999999"), INT_MAX);
    EXPECT_EQ(read_int("-99999999999999999999"), INT_MIN);
}

// ---- mandatory options ------------------------------------------------------

TEST(MandatoryOptions, KeyIsCheckedFirstThenInterfaceThenCollector)
{
    EXPECT_STREQ(missing_option_message(false, false, false, 0, false), "Missing encryption key -k");
    EXPECT_STREQ(missing_option_message(false, false, true, 1, true), "Missing encryption key -k");
    EXPECT_STREQ(missing_option_message(true, false, false, 0, false), "Missing interface -i or -t");
    EXPECT_STREQ(missing_option_message(false, true, false, 0, true), "Missing interface -i or -t");
    EXPECT_STREQ(missing_option_message(true, false, true, 0, false), "Missing collector -c");
    EXPECT_STREQ(missing_option_message(false, true, false, 37008, false), "Missing collector -c");
    EXPECT_EQ(missing_option_message(true, false, false, 37008, true), nullptr);
    EXPECT_EQ(missing_option_message(false, true, true, 0, true), nullptr);
}

// ---- one option at a time -----------------------------------------------------

namespace {
const char* pending_letter_value = nullptr;
int pending_letter = 0;
void handle_pending(const char*) { handle_option(pending_letter, pending_letter_value); }
std::string handle_logged(int letter, const char* value)
{
    pending_letter = letter;
    pending_letter_value = value;
    return logged(handle_pending, nullptr);
}
}  // namespace

TEST_F(Settings, InterfaceAndTzspRefuseEachOtherInBothOrders)
{
    EXPECT_EQ(handle_logged('t', "37008"), "");
    EXPECT_EQ(settings.tzsp_port, 37008);
    EXPECT_EQ(handle_logged('i', "1"), "ERROR: Ignored -i as -t has already been specified\n");
    EXPECT_FALSE(settings.interface_name);

    reset_option_fields();
    settings.interface_name = "eth9";
    EXPECT_EQ(handle_logged('t', "37008"), "ERROR: Ignored -t as -i has already been specified\n");
    EXPECT_EQ(settings.tzsp_port, 0);
    EXPECT_EQ(settings.interface_name, "eth9");
}

TEST_F(Settings, NumbersAreReadLikeAtoiAndThePortKeepsItsLow16Bits)
{
    handle_option('t', "65573");
    EXPECT_EQ(settings.tzsp_port, 37);
    handle_option('t', "0");
    EXPECT_EQ(settings.tzsp_port, 0);
    handle_option('t', "-1");
    EXPECT_EQ(settings.tzsp_port, 65535);
    handle_option('n', " -12x");
    EXPECT_EQ(settings.tap_id, -12);
    handle_option('s', "abc");
    EXPECT_EQ(settings.snaplen, 0);
    handle_option('s', "1500");
    EXPECT_EQ(settings.snaplen, 1500);
}

TEST_F(Settings, TextOptionsKeepTheLaterValueAndAnAbsentValueClearsThem)
{
    handle_option('c', "10.0.0.1:5000");
    handle_option('c', "10.0.0.2:6000");
    EXPECT_EQ(settings.collector, "10.0.0.2:6000");
    handle_option('f', "tcp");
    EXPECT_EQ(settings.bpf_filter, "tcp");
    handle_option('c', nullptr);
    handle_option('f', nullptr);
    EXPECT_FALSE(settings.collector);
    EXPECT_FALSE(settings.bpf_filter);
}

TEST_F(Settings, UnknownLettersAreRefusedAndChangeNothing)
{
    EXPECT_EQ(handle_logged('g', "x"), "ERROR: Bad option g\n");
    EXPECT_EQ(handle_logged('G', nullptr), "ERROR: Bad option G\n");
    EXPECT_EQ(handle_logged('s', nullptr), "ERROR: Option -s needs a value\n");
    EXPECT_EQ(settings.snaplen, 0x10000);
}

TEST_F(Settings, OptionsThatNeedAValueRefuseToGoWithout)
{
    for (int letter : {'k', 'n', 's', 't', 'H'}) {
        std::string expected = std::string("ERROR: Option -") + static_cast<char>(letter) +
                               " needs a value\n";
        EXPECT_EQ(handle_logged(letter, nullptr), expected);
    }
    EXPECT_EQ(settings.tzsp_port, 0);
    EXPECT_EQ(settings.tap_id, 0);
}

TEST_F(Settings, VerboseAndDisableEncryption)
{
    handle_option('v', nullptr);
    EXPECT_EQ(trace_verbosity, 6);
    handle_option('v', nullptr);
    EXPECT_EQ(trace_verbosity, 6);

    EXPECT_EQ(handle_logged('K', nullptr), "WARNING: Data will not be encrypted (-K specified)\n");
    EXPECT_TRUE(settings.disable_encryption);
}

TEST_F(Settings, KeyAndHostsAreSetUpAtOnce)
{
    handle_option('k', "mango");
    EXPECT_NE(speck_key, nullptr);

    std::string path = temp_path("hosts");
    write_file(path, "10.0.0.1\n");
    handle_option('H', path.c_str());
    const std::uint8_t listed[4] = {10, 0, 0, 1};
    std::uint32_t addr;
    std::memcpy(&addr, listed, 4);  // network order, as read from a packet
    EXPECT_TRUE(host_allowed(addr));
    release_allow_list();
    std::remove(path.c_str());
}

TEST(SettingsExit, VersionEndsTheProcessWithStatusZero)
{
    EXPECT_EXIT(handle_option('V', nullptr), testing::ExitedWithCode(0), "");
}

// ---- configuration lines ------------------------------------------------------

TEST(ConfigLine, LongOptionsWithBlankOrEqualsAndAnyQuoting)
{
    for (const char* line : {
             "--collector=10.0.0.1:5000",
             "--collector 10.0.0.1:5000",
             "   \t--collector 10.0.0.1:5000\r\n",
             "--collector=\"10.0.0.1:5000\"",
             "--collector '10.0.0.1:5000'",
             "\"--collector=10.0.0.1:5000\"\n",
             "'--collector   10.0.0.1:5000'",
             "--collector\t 10.0.0.1:5000",
         })
        EXPECT_EQ(describe(parse_config_line(line)), "c=10.0.0.1:5000") << line;
}

TEST(ConfigLine, LongNamesMustBeWholeAndMayStandWithoutAValue)
{
    EXPECT_EQ(describe(parse_config_line("--col 10.0.0.1:5000")), "ignored");
    EXPECT_EQ(describe(parse_config_line("--verbosex")), "ignored");
    EXPECT_EQ(describe(parse_config_line("--snaplen 96")), "ignored");
    EXPECT_EQ(describe(parse_config_line("--")), "ignored");
    EXPECT_EQ(describe(parse_config_line("--verbose")), "v");
    EXPECT_EQ(describe(parse_config_line("--version\n")), "V");
    EXPECT_EQ(describe(parse_config_line("--interface")), "i");
    EXPECT_EQ(describe(parse_config_line("--interface=")), "i");
    EXPECT_EQ(describe(parse_config_line("--interface = eth0")), "i== eth0");
    EXPECT_EQ(describe(parse_config_line("--disable-encryption")), "K");
    EXPECT_EQ(describe(parse_config_line("--tap-id 7")), "n=7");
    EXPECT_EQ(describe(parse_config_line("--hosts=C:\\hosts.txt")), "H=C:\\hosts.txt");
    EXPECT_EQ(describe(parse_config_line("--filter not port 22")), "f=not port 22");
}

TEST(ConfigLine, ShortOptionsAlwaysLoseTheirThirdCharacter)
{
    EXPECT_EQ(describe(parse_config_line("-c 10.0.0.1:5000")), "c=10.0.0.1:5000");
    EXPECT_EQ(describe(parse_config_line("-c10.0.0.1:5000")), "c=0.0.0.1:5000");
    EXPECT_EQ(describe(parse_config_line("-t   '37008'")), "t=37008");
    EXPECT_EQ(describe(parse_config_line("-v")), "v");
    EXPECT_EQ(describe(parse_config_line("-vx")), "v");
    EXPECT_EQ(describe(parse_config_line("-K\n")), "K");
    // The letter is not checked against the option string here.
    EXPECT_EQ(describe(parse_config_line("-z 1")), "z=1");
}

TEST(ConfigLine, BlankShortCommentAndOtherLines)
{
    EXPECT_EQ(describe(parse_config_line("")), "ignored");
    EXPECT_EQ(describe(parse_config_line("\n")), "ignored");
    EXPECT_EQ(describe(parse_config_line("   \"'  \r\n")), "ignored");
    EXPECT_EQ(describe(parse_config_line("x")), "ignored");
    EXPECT_EQ(describe(parse_config_line("# -v")), "ignored");
    EXPECT_EQ(describe(parse_config_line("  #--verbose")), "ignored");
    EXPECT_EQ(describe(parse_config_line("collector 10.0.0.1:5000\n")),
              "unrecognized:collector 10.0.0.1:5000");
    EXPECT_EQ(describe(parse_config_line("'ab'")), "unrecognized:ab");
}

TEST(ConfigFile, LinesArriveInOrderAndLongLinesComeInPieces)
{
    std::string path = temp_path("pieces.conf");
    // The first piece is exactly 16,383 characters; "-v" is left for the next.
    std::string first = "--filter=" + std::string(16383 - 9, 'x');
    write_file(path, "# tap\n-K\n\n" + first + "-v\n--tzsp 37008\n");
    std::vector<std::string> seen;
    EXPECT_EQ(read_config_lines(path.c_str(), record, &seen), 0);
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[0], "K");
    EXPECT_EQ(seen[1], "f=" + std::string(16383 - 9, 'x'));
    EXPECT_EQ(seen[2], "v");
    EXPECT_EQ(seen[3], "t=37008");
    std::remove(path.c_str());

    EXPECT_EQ(read_config_lines(temp_path("does-not-exist.conf").c_str(), record, &seen), -1);
}

namespace {
std::string config_path;
void read_config_at(const char*) { read_config_file(config_path.c_str()); }
}  // namespace

TEST_F(Settings, ConfigFileWarnsAboutUnrecognizedLinesOnly)
{
    config_path = temp_path("warn.conf");
    write_file(config_path, "collector 10.0.0.1:5000\n--col 1\n--verbosex\nx\n-c 10.0.0.1:5000\n");
    EXPECT_EQ(logged(read_config_at, nullptr),
              "WARNING: Skipping unrecognized line: collector 10.0.0.1:5000\n");
    EXPECT_EQ(settings.collector, "10.0.0.1:5000");
    EXPECT_EQ(trace_verbosity, 2);
    std::remove(config_path.c_str());
}

TEST_F(Settings, ConfigFileIsReadOnlyWhenItIsTheOnlyWord)
{
    std::string path = temp_path("only.conf");
    write_file(path, "-K\n--tzsp=37008\n--collector \"10.0.0.1:5000\"\n-n 7\n");

    std::vector<std::string> args{"vantry_remote", path};
    parse_settings(args);
    EXPECT_TRUE(settings.disable_encryption);
    EXPECT_EQ(settings.tzsp_port, 37008);
    EXPECT_EQ(settings.collector, "10.0.0.1:5000");
    EXPECT_EQ(settings.tap_id, 7);

    // With another word after it the words are a command line; the file
    // name is a non-option and is skipped.
    reset_option_fields();
    args = {"vantry_remote", path, "-K", "-t", "1", "-c", "a:1"};
    parse_settings(args);
    EXPECT_EQ(settings.tap_id, 0);
    EXPECT_EQ(settings.tzsp_port, 1);
    EXPECT_EQ(settings.collector, "a:1");
    std::remove(path.c_str());
}
