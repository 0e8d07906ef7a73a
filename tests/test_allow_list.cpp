#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "forward/allow_list.h"
#include "forward/prefix_trie.h"
#include "support/trace_log.h"
#include "tests/test_support.h"

namespace {

const std::string hosts_path =
    (std::filesystem::temp_directory_path() / ("vantry_hosts_" + std::to_string(std::random_device{}()))).string();

int listed(const trie_node* n) { return n ? (n->prefix != nullptr) + listed(n->left) + listed(n->right) : 0; }

// Writes bytes to hosts_path, loads `from` into *list and returns what was logged.
std::string load(prefix_trie** list, const std::string& bytes, const std::string& from = hosts_path)
{
    std::FILE* f = std::fopen(hosts_path.c_str(), "wb");
    EXPECT_TRUE(f && std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size() && std::fclose(f) == 0);
    trace_verbosity = trace_level_normal;
    ::testing::internal::CaptureStdout();
    load_hosts_file(from.c_str(), list);
    return ::testing::internal::GetCapturedStdout();
}

}  // namespace

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
        {"  # indented", -1, 0}};  // only a leading # makes a comment
    for (const char* bad : {" 10.0.0.1", "bogus", "10.0.0.256", "256.0.0.1", "1.2.3.4.5", "1.2.3.", ".1.2.3",
                            "1..2.3", "08", "09.1.1.1", "0x", "0x.1.1.1", "0xg", "10.0.0.1x", "10.0.0:1", "4294967296",
                            "1.16777216", "1.2.65536", "99999999999999999999", "-1", "+1", "10,0,0,1", "1.2.3.4\x80"})
        rows.push_back({bad, -1, 0});
    // Before, after, and the line's number: before another line with either line end, or last without one.
    const std::tuple<const char*, const char*, int> layouts[] = {
        {"#\n", "\n10.0.0.250\n", 2}, {"#\r\n", "\r\n10.0.0.250\r\n", 2}, {"10.0.0.250\n\n", "", 3}};
    const std::uint32_t other = ipv4_of(10, 0, 0, 250);
    rows.push_back({"10.0.0.6\n", 1, ipv4_of(10, 0, 0, 6)});  // ends the address as white space, in a file the line
    prefix_trie* list = nullptr;
    for (const row& r : rows) {
        if (r.line.size() <= 255 && r.line.find('\0') == std::string::npos) {
            std::uint32_t addr = 0x5a5a5a5a;
            EXPECT_EQ(parse_ipv4_text(r.line.c_str(), &addr), r.kind == 1 ? 0 : -1) << r.line;
            EXPECT_EQ(parse_hosts_line(r.line.c_str(), &addr), r.kind) << r.line;
            EXPECT_EQ(addr, r.kind == 1 ? r.addr : 0x5a5a5a5a) << r.line << ": only an address sets the result";
        }
        for (const auto& [before, after, number] : layouts) {
            SCOPED_TRACE("line '" + r.line + "' after '" + before + "'");
            const std::string log = load(&list, before + r.line + after);
            ASSERT_NE(list, nullptr);
            EXPECT_EQ(listed(list->root), r.kind == 1 && r.addr != other ? 2 : 1);
            EXPECT_TRUE(host_allowed(list, other) && (r.kind != 1 || host_allowed(list, r.addr)));
            for (int bit = 0; bit < 32; ++bit)  // near misses
                EXPECT_FALSE(host_allowed(list, r.addr ^ (1u << bit)) && (r.addr ^ (1u << bit)) != other) << bit;
            const std::string want = "] WARNING: Skipping line " + std::to_string(number) + " of " + hosts_path + ": " +
                                     (r.warning.empty() ? "'" + r.line + "' is not an IPv4 address" : r.warning) + "\n";
            EXPECT_TRUE(r.kind >= 0 ? log.empty() : log.find(want) != std::string::npos) << log;
            EXPECT_EQ(log.find("WARNING"), log.rfind("WARNING")) << log;
        }
    }
    release_allow_list(&list);
    std::remove(hosts_path.c_str());
}

TEST(HostsFile, ALoadReplacesTheListOnlyOnceTheFileIsOpen)
{
    static long live;
    live = 0;
    trie_allocate = [](std::size_t size) { return ++live, std::malloc(size); };
    trie_release = [](void* block) { live -= block != nullptr, std::free(block); };
    prefix_trie* list = nullptr;
    const std::string missing = hosts_path + ".d/hosts";
    EXPECT_NE(load(&list, "", missing).find("] ERROR: Unable to open file " + missing + "\n"), std::string::npos);
    EXPECT_TRUE(list == nullptr && !host_allowed(list, 0));
    EXPECT_EQ(load(&list, ""), "");
    EXPECT_TRUE(list && !host_allowed(list, 0)) << "an empty list forwards nothing, unlike no list";
    load(&list, "10.0.0.1\n10.0.0.2\n10.0.0.1\n012.0.0.1\n");
    EXPECT_EQ(listed(list->root), 2) << "a duplicate is entered once";
    EXPECT_EQ(live, 6) << "the trie, two hosts, their glue node: the empty list is gone";
    const prefix_trie* loaded = list;
    EXPECT_NE(load(&list, "", missing).find("Unable to open file"), std::string::npos);
    EXPECT_EQ(list, loaded);
    trie_allocate = [](std::size_t) -> void* { return nullptr; };  // out of memory: the list goes, none comes
    EXPECT_NE(load(&list, "10.0.0.1\n").find("] WARNING: Error while reading hosts\n"), std::string::npos);
    EXPECT_TRUE(list == nullptr && live == 0);
    release_allow_list(&list);  // no list: harmless
    trie_allocate = std::malloc, trie_release = std::free;
    std::remove(hosts_path.c_str());
}
