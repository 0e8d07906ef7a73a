// The command line of the built vantry_remote as a user sees it. Under Wine
// (VANTRY_RUN_PREFIX=wine, VANTRY_WIN_BIN_DIR=<windows build>) the Windows
// build is driven instead.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "tests/e2e/process.h"
#include "tests/test_support.h"

using words = std::vector<std::string>;

// Each run ends with status 0 and shows the lines given in that order, the
// last of them last. An option error stops the reading; the mandatory
// checks then report the first option missing, with the help.
TEST(Cli, WhatEachCommandLineShows)
{
    const std::string version = "Welcome to Vantry remote/virtual tap v.1.1.260430", shut = "Shutting down...";
    const std::string iface = "ERROR: Missing interface -i or -t", title = "Vantry remote/virtual tap 1.1.260430";
    const std::string conf = testing::TempDir() + "vantry_e2e_cli.conf";
    std::ofstream(conf) << "# a tap\ncollector 127.0.0.1:5000\n  \"--version\"\n";
    std::string free_port;  // a port that was free a moment ago
    {
        loopback_collector probe;
        free_port = std::to_string(net_order16(probe.sender.to.port));
    }
    const struct {
        words args, lines;
        const char* err = "";
        words env = {};
    } rows[] = {
        {{"-K", "-t", "37008", "-c", "127.0.0.1:5000", "--help"},
         {"WARNING: Data will not be encrypted (-K specified)", "", title, "", "Usage:",
          "- vantry_remote /c -t 37008  -c 127.0.0.1:1234 -k mango", shut}},
        {{"-t", "37008", "-c", "127.0.0.1:5000"}, {"ERROR: Missing encryption key -k", "", title, "", "Usage:", shut}},
        {{"-K", "--snaplen", "1500", "-t", "37008", "-c", "127.0.0.1:5000"}, {iface, "Usage:", shut},
         "unrecognized option `--snaplen'\n"},
        {{"-K", "x", "-Q"}, {iface, shut}, "", {"POSIXLY_CORRECT=1"}},
        // The words reach the run joined by TABs and are split there again.
        {{"-K", "--collector\tx"}, {iface, shut}},
        {{"-K", "-t", free_port, "-c", "127.0.0.1"},
         {"ERROR: Invalid -c format specified: missing port", version, "ERROR: Socket error", shut}},
        {{conf}, {"WARNING: Skipping unrecognized line: collector 127.0.0.1:5000", "", version, "",
                  "Version:       1.1.260430"}},
    };
    for (const auto& row : rows) {
        words args = row.args;
        args.insert(args.begin(), "/c");
        SCOPED_TRACE(testing::PrintToString(args));
        scoped_child child;
        process_options opts;
        opts.env = row.env;
        ASSERT_EQ(process_start(&child.proc, e2e_program_path("vantry_remote"), args, opts), 0);
        EXPECT_EQ(process_finish(&child.proc, 30000), 0);  // Wine's first start is slow
        EXPECT_EQ(child.proc.exit_status, 0);
        // Without the program path, and the trace log's time stamps and sources.
        EXPECT_EQ(std::regex_replace(process_stderr(child.proc), std::regex("\r|^[^ ]*: "), ""), row.err);
        const std::string out =
            "\n" + std::regex_replace(process_stdout(child.proc), std::regex("\r|.* \\[\\w+:\\d+\\] "), "");
        std::size_t at = 0;
        for (const std::string& line : row.lines)  // whole lines
            EXPECT_NE(at = out.find("\n" + line + "\n", at), std::string::npos) << line;
        EXPECT_TRUE(out.ends_with("\n" + row.lines.back() + "\n")) << out;
    }
    std::remove(conf.c_str());
}
