#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "tests/test_support.h"
#include "forward/allow_list.h"
#include "forward/prefix_trie.h"
#include "run/run_settings.h"
#include "support/trace_log.h"

namespace {

std::string dotted_text(std::uint32_t addr_be)
{
    std::uint8_t b[4];
    std::memcpy(b, &addr_be, 4);
    char out[16];
    std::snprintf(out, sizeof out, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    return out;
}

int listed_count()
{
    if (!settings.allow_list)
        return -1;
    int count = 0;
    std::vector<const trie_node*> todo{settings.allow_list->root};
    while (!todo.empty()) {
        const trie_node* n = todo.back();
        todo.pop_back();
        if (!n)
            continue;
        count += n->prefix != nullptr;
        todo.push_back(n->left);
        todo.push_back(n->right);
    }
    return count;
}

class HostsFile : public ::testing::Test {
protected:
    std::filesystem::path dir;
    std::uint8_t saved_verbosity = trace_verbosity;

    void SetUp() override
    {
        release_allow_list();
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir = std::filesystem::temp_directory_path() /
              ("vantry_hosts_" + std::to_string(std::random_device{}()) + "_" + info->name());
        std::filesystem::create_directories(dir);
    }
    void TearDown() override
    {
        release_allow_list();
        trace_verbosity = saved_verbosity;
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }

    // Writes the bytes exactly as given and returns the path.
    std::string write(const char* name, const std::string& bytes)
    {
        std::string path = (dir / name).string();
        std::FILE* f = std::fopen(path.c_str(), "wb");
        EXPECT_NE(f, nullptr);
        if (f) {
            std::fwrite(bytes.data(), 1, bytes.size(), f);
            std::fclose(f);
        }
        return path;
    }

    // Loads the file and returns what was logged.
    std::string load(const std::string& path, std::uint8_t verbosity = trace_level_normal)
    {
        trace_verbosity = verbosity;
        ::testing::internal::CaptureStdout();
        load_hosts_file(path.c_str());
        return ::testing::internal::GetCapturedStdout();
    }
};

std::size_t occurrences(const std::string& text, const std::string& what)
{
    std::size_t count = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

}  // namespace

TEST(ParseIpv4Text, AcceptsWhatClassicConversionAccepts)
{
    struct {
        const char* text;
        std::uint32_t want;
    } cases[] = {
        {"10.0.0.1", ipv4_of(10, 0, 0, 1)},
        {"0.0.0.0", ipv4_of(0, 0, 0, 0)},
        {"255.255.255.255", ipv4_of(255, 255, 255, 255)},
        {"1.2.3", ipv4_of(1, 2, 0, 3)},             // last part 16 bits
        {"1.2.300", ipv4_of(1, 2, 1, 44)},
        {"1.66000", ipv4_of(1, 1, 1, 208)},         // last part 24 bits
        {"167772161", ipv4_of(10, 0, 0, 1)},        // one 32-bit part
        {"4294967295", ipv4_of(255, 255, 255, 255)},
        {"0", ipv4_of(0, 0, 0, 0)},
        {"012.0.0.01", ipv4_of(10, 0, 0, 1)},       // octal
        {"0x0A.0.0.0x1", ipv4_of(10, 0, 0, 1)},     // hexadecimal
        {"0Xa000001", ipv4_of(10, 0, 0, 1)},
        {"10.0.0.1 # gateway", ipv4_of(10, 0, 0, 1)},  // white space ends it
        {"10.0.0.1\t", ipv4_of(10, 0, 0, 1)},
    };
    for (const auto& c : cases) {
        std::uint32_t got = 0;
        EXPECT_EQ(parse_ipv4_text(c.text, &got), 0) << c.text;
        EXPECT_EQ(dotted_text(got), dotted_text(c.want)) << c.text;
    }
}

TEST(ParseIpv4Text, RejectsEverythingElse)
{
    const char* bad[] = {"",          " 10.0.0.1", "10.0.0.256", "256.0.0.1",  "1.2.3.4.5",   "1.2.3.",
                         ".1.2.3",    "1..2.3",    "08",         "09.1.1.1",   "0x",          "0x.1.1.1",
                         "0xg",       "10.0.0.1x", "4294967296", "1.16777216", "1.2.65536",   "99999999999999999999",
                         "abc",       "-1",        "+1",         "1.2.3.-4",   "# 10.0.0.1", "10,0,0,1",
                         "1.2.3.4\x80"};
    for (const char* text : bad) {
        std::uint32_t got = 0x5a5a5a5a;
        EXPECT_EQ(parse_ipv4_text(text, &got), -1) << "'" << text << "'";
        EXPECT_EQ(got, 0x5a5a5a5au) << "a rejected text must not touch the result";
    }
}

TEST(ParseHostsLine, SortsLinesIntoAddressesSkipsAndErrors)
{
    std::uint32_t addr = 0;
    EXPECT_EQ(parse_hosts_line("", &addr), 0);
    EXPECT_EQ(parse_hosts_line("# 10.0.0.1", &addr), 0);
    EXPECT_EQ(parse_hosts_line("#", &addr), 0);
    EXPECT_EQ(parse_hosts_line("  # indented", &addr), -1) << "only a leading # makes a comment";
    EXPECT_EQ(parse_hosts_line("garbage", &addr), -1);
    EXPECT_EQ(parse_hosts_line("192.168.7.9", &addr), 1);
    EXPECT_EQ(addr, ipv4_of(192, 168, 7, 9));
}

TEST_F(HostsFile, NoListAllowsNothingThroughTheTest)
{
    EXPECT_EQ(settings.allow_list, nullptr);
    EXPECT_FALSE(host_allowed(ipv4_of(10, 0, 0, 1)));
    release_allow_list();  // twice is harmless
    EXPECT_EQ(settings.allow_list, nullptr);
}

TEST_F(HostsFile, EmptyOrCommentOnlyFileGivesAnEmptyList)
{
    for (const char* bytes : {"", "# hosts\n\n#10.0.0.1\r\n\r\n", "\n\n\n"}) {
        const std::string log = load(write("hosts", bytes));
        ASSERT_NE(settings.allow_list, nullptr) << "an empty list forwards nothing, unlike no list";
        EXPECT_EQ(listed_count(), 0);
        EXPECT_FALSE(host_allowed(ipv4_of(10, 0, 0, 1)));
        EXPECT_EQ(log, "");
    }
}

TEST_F(HostsFile, DuplicatesAreEnteredOnceAndLoggedEachTime)
{
    const std::string log =
        load(write("hosts", "10.0.0.1\n10.0.0.2\n10.0.0.1\n012.0.0.1\n"), trace_level_verbose);
    EXPECT_EQ(listed_count(), 2);
    EXPECT_TRUE(host_allowed(ipv4_of(10, 0, 0, 1)));
    EXPECT_TRUE(host_allowed(ipv4_of(10, 0, 0, 2)));
    EXPECT_FALSE(host_allowed(ipv4_of(10, 0, 0, 3)));
    EXPECT_EQ(occurrences(log, "] Adding 10.0.0.1\n"), 2u);
    EXPECT_EQ(occurrences(log, "] Adding 012.0.0.1\n"), 1u);
    EXPECT_EQ(occurrences(log, "Adding"), 4u);
    EXPECT_EQ(load(write("hosts", "10.0.0.1\n")), "") << "Adding is verbose only";
}

TEST_F(HostsFile, LineEndsDoNotChangeTheList)
{
    const char* variants[] = {
        "10.0.0.1\n10.0.0.2\n255.255.255.255\n",
        "10.0.0.1\r\n10.0.0.2\r\n255.255.255.255\r\n",
        "10.0.0.1\r\n10.0.0.2\n255.255.255.255",  // mixed, no final line end
        "10.0.0.1\n10.0.0.2\n255.255.255.255\r",
    };
    for (const char* bytes : variants) {
        const std::string log = load(write("hosts", bytes));
        EXPECT_EQ(log, "") << bytes;
        EXPECT_EQ(listed_count(), 3) << bytes;
        EXPECT_TRUE(host_allowed(ipv4_of(10, 0, 0, 1)));
        EXPECT_TRUE(host_allowed(ipv4_of(10, 0, 0, 2)));
        EXPECT_TRUE(host_allowed(ipv4_of(255, 255, 255, 255))) << "the last line counts, with or without its end";
    }
}

TEST_F(HostsFile, LineThatIsNoAddressIsSkippedWithItsNumber)
{
    const std::string path = write("hosts", "10.0.0.1\r\nbogus\r\n  # indented\n10.0.0.300\n10.0.0.2\n");
    const std::string log = load(path);
    EXPECT_EQ(listed_count(), 2);
    EXPECT_FALSE(host_allowed(ipv4_of(255, 255, 255, 255))) << "never entered for a bad line";
    EXPECT_TRUE(host_allowed(ipv4_of(10, 0, 0, 2)));
    EXPECT_NE(log.find("] WARNING: Skipping line 2 of " + path + ": 'bogus' is not an IPv4 address\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("Skipping line 3 of " + path + ": '  # indented' is not"), std::string::npos) << log;
    EXPECT_NE(log.find("Skipping line 4 of " + path + ": '10.0.0.300' is not"), std::string::npos) << log;
    EXPECT_EQ(occurrences(log, "WARNING"), 3u);
}

TEST_F(HostsFile, OverlongLineIsSkippedWhole)
{
    // The tail of a 300-character comment reads like an address: it must
    // not be entered.
    const std::string long_line = "#" + std::string(254, 'a') + "10.0.0.9";
    // Exactly 255 characters and its line end (LF or CR LF) is still a line.
    const std::string full_line = "10.0.0.4" + std::string(247, ' ');
    const std::string path = write("hosts", "10.0.0.1\n" + long_line + "\n" + full_line +
                                                "\r\n" + full_line + "\nnope\n10.0.0.5");
    const std::string log = load(path);
    EXPECT_TRUE(host_allowed(ipv4_of(10, 0, 0, 1)));
    EXPECT_FALSE(host_allowed(ipv4_of(10, 0, 0, 9)));
    EXPECT_TRUE(host_allowed(ipv4_of(10, 0, 0, 4)));
    EXPECT_TRUE(host_allowed(ipv4_of(10, 0, 0, 5)));
    EXPECT_EQ(listed_count(), 3);
    EXPECT_NE(log.find("Skipping line 2 of " + path + ": longer than 255 characters"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("Skipping line 5 of " + path + ": 'nope'"), std::string::npos) << log;
    EXPECT_EQ(occurrences(log, "WARNING"), 2u);
}

TEST_F(HostsFile, FileThatCannotBeOpenedKeepsWhatWasThere)
{
    const std::string missing = (dir / "no_such_dir" / "hosts").string();
    std::string log = load(missing);
    EXPECT_NE(log.find("] ERROR: Unable to open file " + missing + "\n"), std::string::npos) << log;
    EXPECT_EQ(settings.allow_list, nullptr);

    load(write("hosts", "10.0.0.1\n"));
    prefix_trie* loaded = settings.allow_list;
    log = load(missing);
    EXPECT_NE(log.find("Unable to open file"), std::string::npos);
    EXPECT_EQ(settings.allow_list, loaded);
    EXPECT_TRUE(host_allowed(ipv4_of(10, 0, 0, 1)));
}

TEST_F(HostsFile, SecondFileReplacesFirstAndReleasesIt)
{
    static long live = 0;
    trie_allocate = [](std::size_t size) -> void* {
        ++live;
        return std::malloc(size);
    };
    trie_release = [](void* block) {
        live -= block != nullptr;
        std::free(block);
    };
    live = 0;
    load(write("first", "10.0.0.1\n10.0.0.2\n10.0.0.3\n"));
    const long first_blocks = live;
    load(write("second", "10.0.0.7\n"));
    const long second_blocks = live;
    EXPECT_FALSE(host_allowed(ipv4_of(10, 0, 0, 1)));
    EXPECT_TRUE(host_allowed(ipv4_of(10, 0, 0, 7)));
    EXPECT_EQ(listed_count(), 1);
    release_allow_list();
    const long after_release = live;
    trie_allocate = std::malloc;
    trie_release = std::free;

    EXPECT_GT(first_blocks, second_blocks);
    EXPECT_EQ(second_blocks, 3) << "the trie, one node and its prefix: the first list is gone";
    EXPECT_EQ(after_release, 0);
    EXPECT_EQ(settings.allow_list, nullptr);
}

TEST_F(HostsFile, ManyRandomHostsAreAllFoundAndOthersNot)
{
    std::mt19937 rng(5);
    std::string text;
    std::vector<std::uint32_t> listed;
    for (int i = 0; i < 2000; ++i) {
        listed.push_back(static_cast<std::uint32_t>(rng()));
        text += dotted_text(listed.back()) + "\n";
    }
    load(write("hosts", text));
    for (std::uint32_t a : listed)
        ASSERT_TRUE(host_allowed(a)) << dotted_text(a);
    int false_hits = 0;
    for (int i = 0; i < 2000; ++i) {
        std::uint32_t a = listed[static_cast<std::size_t>(i)] ^ (1u << (rng() % 32));
        if (std::find(listed.begin(), listed.end(), a) == listed.end())
            false_hits += host_allowed(a);
    }
    EXPECT_EQ(false_hits, 0);
}
