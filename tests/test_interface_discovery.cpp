#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>
#if defined(_WIN32)
#include <io.h>
#define dup2 _dup2
#else
#include <unistd.h>
#endif

#include "support/interface_discovery.h"
#include "support/interface_source.h"
#include "support/trace_log.h"

namespace {

#if defined(_WIN32)
constexpr int failure_status = -1;
#else
constexpr int failure_status = 255;  // -1 as the parent sees it
#endif

// The fake interface library that every discovery test runs against.
struct fake_library {
    std::vector<capture_iface> list;
    std::vector<capture_iface> late_list;  // served from call late_after on
    int late_after = -1;
    bool list_fails = false;
    bool no_default = false;
    bool not_installed = false;
    int find_calls = 0;
    std::vector<unsigned> sleeps;
};

fake_library fake;

int fake_load(std::string* err)
{
    if (fake.not_installed) {
        *err = "wpcap.dll cannot be loaded";
        return -1;
    }
    return 0;
}

int fake_find_all(std::vector<capture_iface>* out, std::string* err)
{
    ++fake.find_calls;
    if (fake.list_fails) {
        *err = "no permission";
        return -1;
    }
    *out = fake.late_after >= 0 && fake.find_calls > fake.late_after ? fake.late_list : fake.list;
    return 0;
}

int fake_lookup_default(std::string* name, std::string* err)
{
    if (fake.no_default) {
        *err = "no suitable device found";
        return -1;
    }
    *name = "whatever";
    return 0;
}

void fake_sleep(unsigned ms) { fake.sleeps.push_back(ms); }

class Discovery : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake = fake_library{};
        saved_ = discovery_source;
        discovery_source = {fake_load, fake_find_all, fake_lookup_default, fake_sleep};
        ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    }
    void TearDown() override { discovery_source = saved_; }

    // Runs a discovery and returns what it printed on standard output.
    std::string run(const char* text, std::optional<std::string>* result)
    {
        ::testing::internal::CaptureStdout();
        *result = find_capture_interface(text);
        return ::testing::internal::GetCapturedStdout();
    }

    interface_source saved_{};
};

const std::vector<capture_iface> two_nics = {
    {"\\Device\\NPF_{A}", "Intel(R) Ethernet Connection"},
    {"\\Device\\NPF_{B}", "Realtek Wireless Adapter"},
};

}  // namespace

TEST(FindNocase, EmptyTextsNeverMatch)
{
    EXPECT_EQ(find_nocase("", "a"), -1);
    EXPECT_EQ(find_nocase("abc", ""), -1);
    EXPECT_EQ(find_nocase("", ""), -1);
}

TEST(FindNocase, LongerNeedlesMatchAnywhereInAnyCase)
{
    EXPECT_EQ(find_nocase("Intel(R) Ethernet", "ETHER"), 9);
    EXPECT_EQ(find_nocase("PPP DialUp Adapter", "dialup"), 4);
    EXPECT_EQ(find_nocase("abab", "ab"), 0);
    EXPECT_EQ(find_nocase("aab", "ab"), 1);
    EXPECT_EQ(find_nocase("ab", "abc"), -1);
    EXPECT_EQ(find_nocase("a", "ab"), -1);
    EXPECT_EQ(find_nocase("Ethernet", "ethx"), -1);
}

TEST(FindNocase, OneCharacterNeedleMatchesOnlyTheLastCharacter)
{
    EXPECT_EQ(find_nocase("Adapter 1", "1"), 8);
    EXPECT_EQ(find_nocase("1 Adapter", "1"), -1);
    EXPECT_EQ(find_nocase("a1b1", "1"), 3);
    EXPECT_EQ(find_nocase("eth0", "H"), -1);
    EXPECT_EQ(find_nocase("ETH", "h"), 2);
}

TEST_F(Discovery, IndexSelectsInListOrder)
{
    fake.list = two_nics;
    std::optional<std::string> r;
    run("0", &r);
    EXPECT_EQ(r, "\\Device\\NPF_{A}");
    run("1", &r);
    EXPECT_EQ(r, "\\Device\\NPF_{B}");
}

TEST_F(Discovery, DescriptionEndingInTheDigitWinsOverTheIndex)
{
    fake.list = {{"first", "Virtual Adapter 1"}, {"second", "Other"}};
    std::optional<std::string> r;
    run("1", &r);
    EXPECT_EQ(r, "first");
}

TEST_F(Discovery, DescriptionPieceInAnyCaseThenIndexZero)
{
    fake.list = two_nics;
    std::optional<std::string> r;
    run("wireless", &r);
    EXPECT_EQ(r, "\\Device\\NPF_{B}");
    run("ETHERNET", &r);
    EXPECT_EQ(r, "\\Device\\NPF_{A}");
    // No description has it and it has no digits: it reads as index 0.
    run("bluetooth", &r);
    EXPECT_EQ(r, "\\Device\\NPF_{A}");
}

TEST_F(Discovery, ExactNameWinsOverDescriptionAndIndex)
{
    fake.list = {{"br0", "bridge over veth1"}, {"veth1", "peer"}, {"0", "odd"}};
    std::optional<std::string> r;
    run("veth1", &r);
    EXPECT_EQ(r, "veth1");
    // "0" is both an index and a name: the name is meant.
    run("0", &r);
    EXPECT_EQ(r, "0");
}

TEST_F(Discovery, SkipRulesAnnounceAndLeaveConsecutiveIndices)
{
    fake.list = {
        {"w1", "WAN Miniport (IP)"},
        {"a", "Ethernet A"},
        {"w2", "NdisWan Adapter"},
        {"w3", "Generic DIALUP link"},
        {"b", "wan miniport lookalike"},  // the first two rules are case-sensitive
    };
    std::optional<std::string> r;
    std::string out = run("-1", &r);
    EXPECT_FALSE(r.has_value());
    EXPECT_EQ(out,
              "\n\nAvailable interfaces:\n"
              "\tSkipping interface WAN Miniport (IP)\n"
              "\t[index=0] [a] 'Ethernet A'\n"
              "\tSkipping interface NdisWan Adapter\n"
              "\tSkipping interface Generic DIALUP link\n"
              "\t[index=1] [b] 'wan miniport lookalike'\n"
              "\n");
    // Skipped interfaces are announced in selection mode too.
    out = run("1", &r);
    EXPECT_EQ(r, "b");
    EXPECT_NE(out.find("\tSkipping interface NdisWan Adapter\n"), std::string::npos);
    EXPECT_EQ(out.find("Available"), std::string::npos);
}

TEST_F(Discovery, LoopbackIsListedButDefaultOnlyWhenNothingElseIs)
{
    fake.list = {{"lo", "Adapter for loopback traffic capture"}, {"eth", "Ethernet"}};
    std::optional<std::string> r;
    std::string out = run("-1", &r);
    EXPECT_NE(out.find("\t[index=0] [lo] 'Adapter for loopback traffic capture'\n"),
              std::string::npos);
    run(nullptr, &r);
    EXPECT_EQ(r, "eth");

    fake.list = {{"w", "WAN Miniport (IPv6)"}, {"lo", "Adapter for loopback traffic capture"}};
    run(nullptr, &r);
    EXPECT_EQ(r, "lo");
}

TEST_F(Discovery, ListingWithNothingEnteredWarns)
{
    fake.list = {{"w", "WAN Miniport (IP)"}};
    std::optional<std::string> r;
    std::string out = run("-1", &r);
    EXPECT_FALSE(r.has_value());
    EXPECT_NE(out.find("No interfaces available! This application cannot"), std::string::npos);
    EXPECT_NE(out.find("and that you have network interfaces installed."), std::string::npos);
    EXPECT_EQ(out.find("\n\n\n"), std::string::npos);

    fake.list_fails = true;
    out = run("-1", &r);
    EXPECT_NE(out.find("No interfaces available!"), std::string::npos);
}

TEST_F(Discovery, WaitModeRetriesEveryThreeSecondsUntilTheNameAppears)
{
    fake.list = {{"eth0", "ETHER"}};
    fake.late_after = 2;
    fake.late_list = {{"eth0", "ETHER"}, {"tap-guest", "TAP"}};
    std::optional<std::string> r;
    std::string out = run("*guest", &r);
    EXPECT_EQ(r, "tap-guest");
    EXPECT_EQ(fake.find_calls, 3);
    EXPECT_EQ(fake.sleeps, (std::vector<unsigned>{3000, 3000}));
    EXPECT_NE(out.find("Searching for interface 'guest' until the interface is up"),
              std::string::npos);
    EXPECT_NE(out.find("Found interface 'tap-guest'"), std::string::npos);
}

TEST_F(Discovery, WaitModeIsCaseSensitiveAndIgnoresSkipRules)
{
    fake.list = {{"w", "WAN Miniport (IP)"}, {"e", "ether"}};
    std::optional<std::string> r;
    run("*", &r);
    EXPECT_EQ(r, "w");
    run("*Miniport", &r);
    EXPECT_EQ(r, "w");
    fake.late_after = 1;
    fake.late_list = {{"E", "ETHER"}};
    fake.find_calls = 0;
    run("*ETH", &r);  // not in "ether": found only once the list changes
    EXPECT_EQ(r, "E");
    EXPECT_EQ(fake.sleeps.size(), 1u);
}

TEST_F(Discovery, TableHoldsThirtyTwoEntriesOthersOnlyByName)
{
    for (int i = 0; i < 40; ++i)
        fake.list.push_back({"if" + std::to_string(i), "Port " + std::to_string(i) + " x"});
    std::optional<std::string> r;
    std::string out = run("-1", &r);
    EXPECT_NE(out.find("[index=31] [if31]"), std::string::npos);
    EXPECT_EQ(out.find("[index=32]"), std::string::npos);
    EXPECT_NE(out.find("only the first 32 have an index"), std::string::npos);
    run("if37", &r);
    EXPECT_EQ(r, "if37");
    run("31", &r);
    EXPECT_EQ(r, "if31");
    EXPECT_EXIT(find_capture_interface("32"), ::testing::ExitedWithCode(failure_status), "");
}

TEST_F(Discovery, LongNamesAreKeptWhole)
{
    std::string name(300, 'n');
    fake.list = {{name, std::string(400, 'd') + " tail"}};
    std::optional<std::string> r;
    run("tail", &r);
    EXPECT_EQ(r, name);
}

TEST_F(Discovery, FailuresEndTheProcessWithMinusOne)
{
    fake.list = two_nics;
    EXPECT_EXIT(find_capture_interface("2"), ::testing::ExitedWithCode(failure_status), "");
    EXPECT_EXIT(find_capture_interface("-2"), ::testing::ExitedWithCode(failure_status), "");

    fake.list.clear();
    EXPECT_EXIT(find_capture_interface("0"), ::testing::ExitedWithCode(failure_status), "");
    EXPECT_EXIT(find_capture_interface(nullptr), ::testing::ExitedWithCode(failure_status), "");

    fake.list = two_nics;
    fake.no_default = true;
    EXPECT_EXIT(find_capture_interface("0"), ::testing::ExitedWithCode(failure_status), "");
    EXPECT_EXIT(find_capture_interface("-1"), ::testing::ExitedWithCode(failure_status), "");
    fake.no_default = false;

    fake.not_installed = true;
    EXPECT_EXIT(find_capture_interface("0"), ::testing::ExitedWithCode(failure_status), "");
}

// Death tests see only the child's standard error, so the child sends its
// standard output there before the call.
void with_stdout_on_stderr(const char* text)
{
    std::fflush(stdout);
    dup2(2, 1);
    find_capture_interface(text);
}

TEST_F(Discovery, FailureMessages)
{
    fake.list = two_nics;
    EXPECT_EXIT(with_stdout_on_stderr("7"), ::testing::ExitedWithCode(failure_status),
                "util:.*ERROR: Interface index 7 out of range");
    fake.not_installed = true;
    EXPECT_EXIT(with_stdout_on_stderr("0"), ::testing::ExitedWithCode(failure_status),
                "please install Npcap");
    fake.not_installed = false;
    fake.list.clear();
    EXPECT_EXIT(with_stdout_on_stderr(nullptr), ::testing::ExitedWithCode(failure_status),
                "No usable capture interface found");
    // At the default verbosity a missing default device ends the process
    // without a word.
    fake.no_default = true;
    EXPECT_EXIT(with_stdout_on_stderr("0"), ::testing::ExitedWithCode(failure_status), "^$");
}
