// What vantry_remote's command lines show.
#include "tests/e2e/e2e_support.h"
// Each run ends with status 0 and shows the lines given in that order, the last of them last.
TEST(Cli, WhatEachCommandLineShows)
{
    const std::string version = "Welcome to Vantry remote/virtual tap v.1.1.260430", shut = "Shutting down...";
    const std::string iface = "ERROR: Missing interface -i or -t", title = "Vantry remote/virtual tap 1.1.260430";
    temp_file conf("# a tap\ncollector 127.0.0.1:5000\n  \"--version\"\n");
    const struct {
        std::vector<std::string> args, lines;
        const char* err = "";
        std::vector<std::string> env = {};
    } rows[] = {
        {{"/c", "-t", "37008", "-c", "127.0.0.1:5000"}, {"ERROR: Missing encryption key -k", title, "Usage:", shut}},
        {{"/c", "-K", "--snaplen", "1500", "-t", "37008", "-c", "127.0.0.1:5000"}, {iface, "Usage:", shut},
         "unrecognized option `--snaplen'\n"},
        {{"/c", "-K", "x", "-Q"}, {iface, shut}, "", {"POSIXLY_CORRECT=1"}},
        {{"/c", "-K", "--collector\tx"}, {iface, shut}, "unrecognized option `--collector\tx'\n"},  // one word
        {{"/c", "-K", "-t", std::to_string(free_port()), "-c", "127.0.0.1"},
         {"WARNING: Data will not be encrypted (-K specified)", "ERROR: Invalid -c format specified: missing port",
          version, "ERROR: Socket error", shut}},
        {{"/c", conf.path}, {"WARNING: Skipping unrecognized line: collector 127.0.0.1:5000", "", version, "",
                             "Version:       1.1.260430"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.args));
        child c;
        ASSERT_EQ(start(&c, remote_path(), row.args, "", row.env), 0);
        EXPECT_EQ(status_within(&c, 30000), 0);  // Wine's first start is slow
        // Without the program path, and the trace log's time stamps and sources.
        EXPECT_EQ(std::regex_replace(err_of(c), std::regex("\r|^[^ ]*: "), ""), row.err);
        const std::string out = "\n" + std::regex_replace(out_of(c), std::regex("\r|.* \\[\\w+:\\d+\\] "), "");
        std::size_t at = 0;
        for (const std::string& line : row.lines)  // whole lines
            EXPECT_NE(at = out.find("\n" + line + "\n", at), std::string::npos) << line;
        EXPECT_TRUE(out.ends_with("\n" + row.lines.back() + "\n")) << out;
    }
}


// An empty word reaches the run as one: the key is empty, not "-A", and the run ends with an error, not forwarding.
TEST(Cli, AnEmptyKeyIsNotTheNextWord)
{
    child c;
    const std::string port = std::to_string(free_port());
    ASSERT_EQ(start(&c, remote_path(), {"/c", "-t", port, "-c", "127.0.0.1:9", "-k", "", "-A"}), 0);
    EXPECT_NE(status_within(&c, 30000), -2) << out_of(c);
    EXPECT_TRUE(has(out_of(c), "ERROR: ")) << out_of(c);
    EXPECT_FALSE(has(out_of(c), "Running...")) << out_of(c);
}
