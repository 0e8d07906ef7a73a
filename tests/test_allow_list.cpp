// The allow-list: hosts lines through the parser and a file, and what a load keeps when it fails.
#include <gtest/gtest.h>
#include "tests/test_support.h"
TEST(HostsFile, EveryFormOfLineThroughTheParserAndAFile)
{
    const std::string line_255 = "10.0.0.4" + std::string(247, ' '), too_long = "longer than 255 characters";
    // A line without its line end, its kind (1: an address, 0: nothing to enter, -1: skipped with a
    // warning), the address entered and the warning ("": "'LINE' is not an IPv4 address").
    struct row { std::string line; int kind; std::uint32_t addr; std::string warning = ""; };
    std::vector<row> rows = {
        {"10.0.0.1", 1, ipv4_of(10, 0, 0, 1)}, {"0.0.0.0", 1, 0}, {"255.255.255.255", 1, ~0u}, {"0", 1, 0},
        {"9.8.7.6", 1, ipv4_of(9, 8, 7, 6)}, {"4294967295", 1, ~0u}, {"167772161", 1, ipv4_of(10, 0, 0, 1)},
        {"1.2.300", 1, ipv4_of(1, 2, 1, 44)}, {"1.66000", 1, ipv4_of(1, 1, 1, 208)},  // last part: 16, 24 bits
        {"0377.012.0.07", 1, ipv4_of(255, 10, 0, 7)}, {"0xAf.0XfA.0x0.1", 1, ipv4_of(175, 250, 0, 1)},
        {"0x0a000001", 1, ipv4_of(10, 0, 0, 1)}, {"10.0.0.1 # gateway", 1, ipv4_of(10, 0, 0, 1)},
        {"10.0.0.2\tx", 1, ipv4_of(10, 0, 0, 2)}, {"10.0.0.3\vx", 1, ipv4_of(10, 0, 0, 3)},  // white space ends it
        {"10.0.0.4\fx", 1, ipv4_of(10, 0, 0, 4)}, {"10.0.0.5\rx", 1, ipv4_of(10, 0, 0, 5)},
        {line_255, 1, ipv4_of(10, 0, 0, 4)}, {line_255 + " ", -1, 0, too_long},  // the longest line, CR LF or not
        {"#" + std::string(254, 'a') + "10.0.0.9", -1, 0, too_long},  // its tail must not be entered
        {std::string("10.0.0.1\0", 9), -1, 0, "it holds a NUL byte"}, {"", 0, 0}, {"#", 0, 0}, {"# 10.0.0.1", 0, 0},
        {"  # indented", -1, 0}, {"10.0.0.6\n", 1, ipv4_of(10, 0, 0, 6)}};  // # leads a comment; LF ends an address
    for (const char* bad : {" 10.0.0.1", "bogus", "10.0.0.256", "256.0.0.1", "1.2.3.4.5", "1.2.3.", ".1.2.3",
                            "1..2.3", "08", "09.1.1.1", "0x", "0x.1.1.1", "0xg", "10.0.0.1x", "10.0.0:1", "4294967296",
                            "1.16777216", "1.2.65536", "99999999999999999999", "-1", "+1", "10,0,0,1", "1.2.3.4\x80"})
        rows.push_back({bad, -1, 0});
    // What comes before and after the line, and the line's number: before another line with either line end, or
    // last without one.
    const struct { const char* before; const char* after; int number; } layouts[] = {
        {.before = "#\n", .after = "\n10.0.0.250\n", .number = 2},
        {.before = "#\r\n", .after = "\r\n10.0.0.250\r\n", .number = 2},
        {.before = "10.0.0.250\n\n", .after = "", .number = 3}};
    const std::uint32_t other = ipv4_of(10, 0, 0, 250);
    hosts_file hosts;
    prefix_trie* list = nullptr;
    for (const row& r : rows) {
        SCOPED_TRACE("line '" + r.line + "'");
        std::uint32_t addr = 0x5a5a5a5a;
        if (r.line.size() <= 255 && r.line.find('\0') == std::string::npos) {
            EXPECT_EQ(parse_ipv4_text(r.line.c_str(), &addr), r.kind == 1 ? 0 : -1);
            EXPECT_EQ(parse_hosts_line(r.line.c_str(), &addr), r.kind);
            EXPECT_EQ(addr, r.kind == 1 ? r.addr : 0x5a5a5a5a) << "only an address sets the result";
        }
        for (const auto& layout : layouts) {
            SCOPED_TRACE(layout.before);
            const std::string log = hosts.load(&list, layout.before + r.line + layout.after);
            ASSERT_EQ(list ? prefixes_listed(list->root) : -1, r.kind == 1 && r.addr != other ? 2 : 1);
            EXPECT_TRUE(host_allowed(list, other));
            if (r.kind == 1) {
                EXPECT_TRUE(host_allowed(list, r.addr));
            }
            for (int bit = 0; bit < 32; ++bit) {  // near misses
                const std::uint32_t near = r.addr ^ (1u << bit);
                if (near != other) {
                    EXPECT_FALSE(host_allowed(list, near)) << bit;
                }
            }
            const std::string want = "] WARNING: Skipping line " + std::to_string(layout.number) + " of " +
                                     hosts.file.path + ": " +
                                     (r.warning.empty() ? "'" + r.line + "' is not an IPv4 address" : r.warning) + "\n";
            EXPECT_EQ(log.find(want) != std::string::npos, r.kind < 0) << log;
            EXPECT_EQ(log.empty(), r.kind >= 0) << log;
            EXPECT_EQ(log.find("WARNING"), log.rfind("WARNING")) << log;
        }
    }
    release_allow_list(&list);
}

TEST(HostsFile, ALoadReplacesTheListOnlyOnceTheFileIsOpen)
{
    using probe = trie_allocation_probe;
    const probe counted;
    hosts_file hosts;
    prefix_trie* list = nullptr;
    const std::string missing = hosts.file.path + ".d/hosts";
    EXPECT_NE(hosts.load(&list, "", missing).find("] ERROR: Unable to open file " + missing + "\n"), std::string::npos);
    EXPECT_EQ(list, nullptr);
    EXPECT_FALSE(host_allowed(list, 0));
    EXPECT_EQ(hosts.load(&list, ""), "");
    ASSERT_NE(list, nullptr);
    EXPECT_FALSE(host_allowed(list, 0)) << "an empty list forwards nothing, unlike no list";
    hosts.load(&list, "10.0.0.1\n10.0.0.2\n10.0.0.1\n012.0.0.1\n");
    EXPECT_EQ(prefixes_listed(list->root), 2) << "a duplicate is entered once";
    EXPECT_EQ(probe::live, 6) << "the trie, two hosts, their glue node: the empty list is gone";
    const prefix_trie* loaded = list;
    EXPECT_NE(hosts.load(&list, "", missing).find("Unable to open file"), std::string::npos);
    EXPECT_EQ(list, loaded);
    probe::calls = 0;  // out of memory: the list goes, none comes
    probe::fail_at = 1;
    EXPECT_NE(hosts.load(&list, "10.0.0.1\n").find("] WARNING: Error while reading hosts\n"), std::string::npos);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(probe::live, 0);
    release_allow_list(&list);  // no list: harmless
}
