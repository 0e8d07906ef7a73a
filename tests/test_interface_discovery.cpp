// Choosing the capture interface over made-up interface lists, and the
// listing as printed. How the run's -i option uses them: test_settings.cpp.
#include <gtest/gtest.h>

#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "support/interface_discovery.h"

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

}  // namespace

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
    const std::pair<const char*, std::optional<std::string>> waits[] = {
        {"", "w"}, {"Miniport", "w"}, {"guest", "tap-guest"}, {"eth", "tap-guest"}, {"ETH", std::nullopt}};
    for (const auto& [wanted, found] : waits)
        EXPECT_EQ(find_waited_interface(l, wanted), found);
    EXPECT_EQ(find_waited_interface(none, ""), std::nullopt);
}

TEST(InterfaceListing, PrintedAsTheUserSeesIt)
{
    const std::string head = "\n\nAvailable interfaces:\n", skip = "\tSkipping interface WAN Miniport (IP)\n";
    const std::string overflow = "40 interfaces found: only the first 32 have an index; choose the others by their "
                                 "exact name\n";
    std::string forty_rows;
    for (int i = 0; i < 32; ++i)
        forty_rows += "\t[index=" + std::to_string(i) + "] [if" + std::to_string(i) + "] 'Port " + std::to_string(i) +
                      " x'\n";
    const struct {
        const iface_list& list;
        bool listing;
        std::string expected;
    } rows[] = {
        {skips, true, head + skip + "\t[index=0] [a] 'Ethernet A'\n\tSkipping interface NdisWan Adapter\n"
                      "\tSkipping interface Generic DIALUP link\n\t[index=1] [b] 'wan miniport lookalike'\n\n"},
        {skips, false, skip + "\tSkipping interface NdisWan Adapter\n\tSkipping interface Generic DIALUP link\n"},
        {wan, true, head + skip + "No interfaces available! This application cannot\n"
                           "work make sure that winpcap is installed properly\n"
                           "and that you have network interfaces installed.\n"},
        {one, true, head + "\t[index=0] [a] 'Ethernet A'\n\n"}, {forty, true, head + forty_rows + overflow + "\n"},
        {forty, false, overflow},
    };
    for (const auto& r : rows) {
        testing::internal::CaptureStdout();
        print_interface_listing(r.list, r.listing);
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(std::regex_replace(out, std::regex(".* \\[util:\\d+\\] WARNING: "), ""), r.expected);
    }
}
