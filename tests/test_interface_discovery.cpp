// Choosing the capture interface: the rules over made-up interface lists,
// the listing as printed, and the run's -i option over a fake capture
// library (wait mode, and the failures that end the process).
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>
#if defined(_WIN32)
#include <io.h>
#define dup2 _dup2
constexpr int failure_status = -1;
#else
#include <unistd.h>
constexpr int failure_status = 255;  // -1 as the parent sees it
#endif

#include "run/run_settings.h"
#include "run/settings.h"
#include "support/interface_discovery.h"
#include "support/interface_source.h"
#include "support/trace_log.h"

namespace {

using iface_list = std::vector<capture_iface>;
const std::string loopback = "Adapter for loopback traffic capture";
const iface_list nics = {{"npf_A", "Intel(R) Ethernet Connection"}, {"npf_B", "Realtek Wireless Adapter"}};
const iface_list skips = {{"w1", "WAN Miniport (IP)"}, {"a", "Ethernet A"}, {"w2", "NdisWan Adapter"},
                          {"w3", "Generic DIALUP link"}, {"b", "wan miniport lookalike"}};
const iface_list names = {{"br0", "bridge over veth1"}, {"veth1", "peer"}, {"0", "odd"}};
const iface_list lo_eth = {{"lo", loopback}, {"eth", "Ethernet"}};
const iface_list lo_only = {{"w", "WAN Miniport (IPv6)"}, {"lo", loopback}, {"lo2", loopback}};
const iface_list wan = {{"w", "WAN Miniport (IP)"}}, none = {};
const iface_list forty = [] {
    iface_list l;
    for (int i = 0; i < 40; ++i)
        l.push_back({"if" + std::to_string(i), "Port " + std::to_string(i) + " x"});
    return l;
}();

// Standard output of fn, trace lines without their time stamp and source.
template <typename F>
std::string printed(F fn)
{
    testing::internal::CaptureStdout();
    fn();
    return std::regex_replace(testing::internal::GetCapturedStdout(), std::regex(".* \\[(util|vantry_remote):\\d+\\] "), "");
}

}  // namespace

TEST(ChooseInterface, RulesInOrder)
{
    static const default_device def{0, "x"}, no_def{-1, "no suitable device found"};
    const std::string no_def_said = "(quiet) Unable to locate default interface (no suitable device found)";
    const struct {
        const iface_list& list;
        const char* text;
        std::string expected;  // the name, or (kind) and the text
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
        {none, "0", "(failed) Interface index 0 out of range"}, {none, nullptr, "(failed) No usable capture interface found"},
        {forty, "if37", "if37"}, {forty, "31", "if31"}, {forty, "PORT 35 X", "if0"},
        {forty, "32", "(failed) Interface index 32 out of range"},
    };
    for (const auto& r : rows) {
        interface_choice c = choose_interface(r.list, r.dev, r.text);
        const char* kinds[] = {"", "(listing)", "(wait) ", c.before_listing ? "(quiet) " : "(failed) "};
        EXPECT_EQ(kinds[c.kind] + (c.kind == interface_failed ? c.message : c.name), r.expected)
            << (r.text ? r.text : "(null)");
    }
    // Wait mode looks for the text in names and descriptions as written.
    const iface_list l = {{"w", "WAN Miniport (IP)"}, {"tap-guest", "ether"}};
    const std::pair<const char*, const char*> waits[] = {{"", "w"}, {"Miniport", "w"}, {"guest", "tap-guest"},
                                                         {"eth", "tap-guest"}};
    for (auto [wanted, found] : waits)
        EXPECT_EQ(find_waited_interface(l, wanted), found);
    EXPECT_EQ(find_waited_interface(l, "ETH"), std::nullopt);
    EXPECT_EQ(find_waited_interface(none, ""), std::nullopt);
}

TEST(InterfaceListing, PrintedAsTheUserSeesIt)
{
    const std::string head = "\n\nAvailable interfaces:\n", skip_wan = "\tSkipping interface WAN Miniport (IP)\n";
    std::string forty_rows;
    for (int i = 0; i < 32; ++i)
        forty_rows += "\t[index=" + std::to_string(i) + "] [if" + std::to_string(i) + "] 'Port " + std::to_string(i) +
                      " x'\n";
    const std::string overflow =
        "WARNING: 40 interfaces found: only the first 32 have an index; choose the others by their exact name\n";
    const std::string skipped = skip_wan + "\tSkipping interface NdisWan Adapter\n\tSkipping interface Generic DIALUP link\n";
    const struct {
        const iface_list& list;
        bool listing;
        std::string expected;
    } rows[] = {
        {skips, true, head + skip_wan + "\t[index=0] [a] 'Ethernet A'\n\tSkipping interface NdisWan Adapter\n"
                      "\tSkipping interface Generic DIALUP link\n\t[index=1] [b] 'wan miniport lookalike'\n\n"},
        {skips, false, skipped},
        {wan, true, head + skip_wan + "WARNING: No interfaces available! This application cannot\n"
                    "WARNING: work make sure that winpcap is installed properly\n"
                    "WARNING: and that you have network interfaces installed.\n"},
        {forty, true, head + forty_rows + overflow + "\n"},
        {forty, false, overflow},
    };
    for (const auto& r : rows)
        EXPECT_EQ(printed([&] { print_interface_listing(r.list, r.listing); }), r.expected);
}

// ---- the run's -i option over a fake capture library ------------------------

namespace {

struct fake_library {
    std::vector<iface_list> looks = {{}};  // what each look at the list finds; the last one stays
    char fails = 0;                        // 'l'ibrary, 'd'efault device or interface 'f'ind
    std::size_t calls = 0;
    std::vector<unsigned> sleeps = {};
} fake;

class MustChooseInterface : public testing::Test {
protected:
    void SetUp() override
    {
        fake = fake_library{};
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
        discovery_source = capture_interface_source();
        settings.interface_name.reset();
    }
};

}  // namespace

TEST_F(MustChooseInterface, ChoosesListsAndWaitsThroughTheOption)
{
    fake.looks = {skips};
    EXPECT_EQ(printed([] { handle_option('i', "1"); }), printed([] { print_interface_listing(skips, false); }));
    EXPECT_EQ(settings.interface_name, "b");
    EXPECT_EQ(printed([] { handle_option('t', "37008"); }), "ERROR: Ignored -t as -i has already been specified\n");
    EXPECT_EQ(settings.tzsp_port, 0);
    std::string out = printed([] { EXPECT_EQ(must_choose_interface("-1"), std::nullopt); });
    EXPECT_EQ(out, printed([] { print_interface_listing(skips, true); }));
    fake.fails = 'f';
    out = printed([] { EXPECT_EQ(must_choose_interface("-1"), std::nullopt); });
    EXPECT_EQ(out, printed([] { print_interface_listing(none, true); }));

    fake = fake_library{{nics, nics, {{"tap-guest", "TAP"}}}};  // the third look finds it
    EXPECT_EQ(printed([] { handle_option('i', "*guest"); }),
              "Searching for interface 'guest' until the interface is up\nFound interface 'tap-guest'\n");
    EXPECT_EQ(settings.interface_name, "tap-guest");
    EXPECT_EQ(fake.sleeps, (std::vector<unsigned>{3000, 3000}));
}

TEST_F(MustChooseInterface, FailuresSayWhyAndEndWithMinusOne)
{
    const struct {
        const char* text;
        fake_library lib;
        int verbosity;
        const char* said;  // on standard output, which the child sends to standard error
    } rows[] = {
        {"7", {{nics}}, 2, "util:.*ERROR: Interface index 7 out of range"},
        {"0", {{nics}, 'l'}, 2, "ERROR: Unable to load the capture library \\(wpcap.dll missing\\): please install Npcap"},
        {"0", {{nics}, 'd'}, 3, "^\\S+ \\S+ \\S+ Unable to locate default interface \\(no suitable device found\\)\n$"},
    };
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (const auto& r : rows) {
        fake = r.lib;
        auto choose = [&] {
            trace_verbosity = static_cast<std::uint8_t>(r.verbosity);
            std::fflush(stdout);
            dup2(2, 1);
            must_choose_interface(r.text);
        };
        EXPECT_EXIT(choose(), testing::ExitedWithCode(failure_status), r.said);
    }
}
