// The command line of the built vantry_remote as a user sees it. Under Wine
// (VANTRY_RUN_PREFIX=wine, VANTRY_WIN_BIN_DIR=<windows build>) the Windows
// build is driven instead.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "tests/e2e/process.h"

using words = std::vector<std::string>;

// Each run shows the lines given, in that order, the last of them last, and
// ends with status 0. Option errors stop the reading; the mandatory checks
// then report the first option missing, with the help.
TEST(Cli, WhatEachCommandLineShows)
{
    const std::string version = "Welcome to Vantry remote/virtual tap v.1.1.260430";
    const words version_out = {"", version, "", "Version:       1.1.260430"};
    const std::string conf = testing::TempDir() + "vantry_e2e_cli.conf";
    std::FILE* f = std::fopen(conf.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs("# a tap\ncollector 127.0.0.1:5000\n  \"--version\"\n", f);
    std::fclose(f);
    const std::string warning = "WARNING: Skipping unrecognized line: collector 127.0.0.1:5000";
    words conf_out = version_out;
    conf_out.insert(conf_out.begin(), warning);
    net_startup();
    net_socket s = net_udp_socket();
    net_bind_any(s, 0);
    const std::string free_port = std::to_string(net_local_port(s));
    net_close(s);
    const std::string key = "ERROR: Missing encryption key -k", iface = "ERROR: Missing interface -i or -t";
    const std::string help = "- vantry_remote /c -t 37008  -c 127.0.0.1:1234 -k mango", end = "Shutting down...";
    const struct {
        words args, lines;
        bool exact = false;  // these lines and no others
        const char* err = "";
        words env = {};
        std::string absent = "(none)";
    } rows[] = {
        {{"-K", "-t", "37008", "-c", "127.0.0.1:5000", "--help"},
         {"WARNING: Data will not be encrypted (-K specified)", "", "Vantry remote/virtual tap 1.1.260430", "",
          "Usage:", help, end}, false, "", {}, version},
        {{"--vers"}, version_out, true}, {{}, {key, "", "Vantry remote/virtual tap 1.1.260430", "", "Usage:", end}},
        {{"-c", "127.0.0.1:5000", "-K"}, {iface, "Usage:", help, end}},
        {{"-K", "-t", "0", "-c", "127.0.0.1:5000"}, {iface, "Usage:", end}},
        {{"-K", "-t", "37008"}, {"ERROR: Missing collector -c", "Usage:", end}},
        {{"-K", "--snaplen", "1500", "-t", "37008", "-c", "127.0.0.1:5000"}, {iface, "Usage:", end}, false,
         "unrecognized option `--snaplen'\n"},
        {{"-K", "--ver"}, {iface, end}, false, "option `--ver' is ambiguous\n"},
        {{"-K", "x", "-Q"}, {iface, end}, false, "invalid option -- Q\n"},
        {{"-K", "x", "-Q"}, {iface, end}, false, "", {"POSIXLY_CORRECT=1"}},
        {{"-Q"}, {key, end}, false, "illegal option -- Q\n", {"POSIXLY_CORRECT=1"}},
        // The words reach the run joined by TABs and are split there again.
        {{"-K", "--collector\tx"}, {iface, end}},
        {{"-K", "-t", free_port, "-c", "127.0.0.1"},
         {"ERROR: Invalid -c format specified: missing port", version, "ERROR: Socket error", end}},
        {{conf}, conf_out, true},
        // With a second word both are command-line words: the file is not read.
        {{conf, "-K"}, {iface, end}, false, "", {}, warning},
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
        // Standard error without the program path; standard output without
        // the trace log's time stamps and sources.
        std::string err = std::regex_replace(process_stderr(child.proc), std::regex("\r|^[^ ]*: "), "");
        EXPECT_EQ(err, row.err);
        std::string out = std::regex_replace(process_stdout(child.proc),
                                             std::regex("\r|.* \\[(vantry_remote|util):\\d+\\] "), "");
        words lines;
        for (std::size_t pos = 0, end; pos < out.size(); pos = end + 1) {
            end = std::min(out.find('\n', pos), out.size());
            lines.push_back(out.substr(pos, end - pos));
        }
        auto next = lines.begin();
        for (const std::string& line : row.lines)
            EXPECT_NE(next = std::find(next, lines.end(), line), lines.end()) << line;
        EXPECT_EQ(lines.empty() ? "" : lines.back(), row.lines.back());
        EXPECT_EQ(std::find(lines.begin(), lines.end(), row.absent), lines.end());
        EXPECT_TRUE(!row.exact || lines == row.lines) << testing::PrintToString(lines);
    }
    std::remove(conf.c_str());
}
