// The command line of the built vantry_remote as a user sees it: help,
// version, missing options, option errors and a configuration file. Under
// Wine (VANTRY_RUN_PREFIX=wine, VANTRY_WIN_BIN_DIR=<windows build>) the
// Windows build is driven instead.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "tests/e2e/process.h"

namespace {

struct cli_run {
    int status = -1;                 // -1 also when it did not end in time
    std::string err;                 // standard error without the program path
    std::vector<std::string> lines;  // standard output, trace decoration removed
};

cli_run run_cli(const std::vector<std::string>& args, const std::vector<std::string>& env = {})
{
    cli_run r;
    scoped_child child;
    process_options opts;
    opts.env = env;
    if (process_start(&child.proc, e2e_program_path("vantry_remote"), args, opts) != 0) {
        ADD_FAILURE() << "cannot start " << e2e_program_path("vantry_remote");
        return r;
    }
    if (process_finish(&child.proc, 30000) == 0)  // Wine's first start is slow
        r.status = child.proc.exit_status;
    std::string out = process_stdout(child.proc);
    r.err = process_stderr(child.proc);
    std::erase(out, '\r');
    std::erase(r.err, '\r');
    if (std::size_t p = r.err.find(": "); p != std::string::npos)  // after the program path
        r.err = r.err.substr(p + 2);
    // "06/Dec/2026 21:21:10 [vantry_remote:125] text" -> "text"
    for (std::size_t pos = 0; pos < out.size();) {
        std::size_t end = std::min(out.find('\n', pos), out.size());
        std::string line = out.substr(pos, end - pos);
        std::size_t tag = std::min(line.find(" [vantry_remote:"), line.find(" [util:"));
        r.lines.push_back(tag == std::string::npos ? line : line.substr(line.find("] ", tag) + 2));
        pos = end + 1;
    }
    return r;
}

}  // namespace

// Each run shows the lines given, in that order, the last of them last;
// option errors stop the reading, then the mandatory checks report the
// first option missing with the help, and the run ends with status 0.
TEST(Cli, WhatEachCommandLineShows)
{
    const std::string version = "Welcome to Vantry remote/virtual tap v.1.1.260430";
    const std::string conf = testing::TempDir() + "vantry_e2e_cli.conf";
    std::FILE* f = std::fopen(conf.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs("# a tap\ncollector 127.0.0.1:5000\n  \"--version\"\n", f);
    std::fclose(f);
    const std::string warning = "WARNING: Skipping unrecognized line: collector 127.0.0.1:5000";
    net_startup();
    net_socket s = net_udp_socket();
    net_bind_any(s, 0);
    const std::string free_port = std::to_string(net_local_port(s));
    net_close(s);
    using words = std::vector<std::string>;
    const words version_out = {"", version, "", "Version:       1.1.260430"};
    words conf_out = version_out;
    conf_out.insert(conf_out.begin(), warning);
    const std::string key = "ERROR: Missing encryption key -k", iface = "ERROR: Missing interface -i or -t";
    const struct {
        words args;
        words lines;
        bool exact = false;  // these lines and no others
        const char* err = "";
        words env = {};
        std::string absent = "(none)";
    } rows[] = {
        {{"-K", "-t", "37008", "-c", "127.0.0.1:5000", "--help"},
         {"WARNING: Data will not be encrypted (-K specified)", "", "Vantry remote/virtual tap 1.1.260430", "",
          "Usage:", "- vantry_remote /c -t 37008  -c 127.0.0.1:1234 -k mango", "Shutting down..."},
         false, "", {}, version},
        {{"-V"}, version_out, true}, {{"--version"}, version_out, true}, {{"--vers"}, version_out, true},
        {{}, {key, "", "Vantry remote/virtual tap 1.1.260430", "", "Usage:", "Shutting down..."}},
        {{"-t", "37008", "-c", "127.0.0.1:5000"}, {key, "Usage:", "Shutting down..."}},
        {{"-c", "127.0.0.1:5000", "-K"}, {iface, "Usage:", "Shutting down..."}},
        {{"-K", "-t", "0", "-c", "127.0.0.1:5000"}, {iface, "Usage:", "Shutting down..."}},
        {{"-K", "-t", "37008"}, {"ERROR: Missing collector -c", "Usage:", "Shutting down..."}},
        {{"-K", "--snaplen", "1500", "-t", "37008", "-c", "127.0.0.1:5000"}, {iface, "Usage:", "Shutting down..."},
         false, "unrecognized option `--snaplen'\n"},
        {{"-K", "--ver"}, {iface, "Shutting down..."}, false, "option `--ver' is ambiguous\n"},
        {{"-K", "x", "-Q"}, {iface, "Shutting down..."}, false, "invalid option -- Q\n"},
        {{"-K", "x", "-Q"}, {iface, "Shutting down..."}, false, "", {"POSIXLY_CORRECT=1"}},
        {{"-Q"}, {key, "Shutting down..."}, false, "illegal option -- Q\n", {"POSIXLY_CORRECT=1"}},
        {{"-K", "-t", free_port, "-c", "127.0.0.1"},
         {"ERROR: Invalid -c format specified: missing port", version, "ERROR: Socket error", "Shutting down..."}},
        {{conf}, conf_out, true},
        // With a second word both are command-line words: the file is not read.
        {{conf, "-K"}, {iface, "Shutting down..."}, false, "", {}, warning},
    };
    for (const auto& row : rows) {
        words args = row.args;
        args.insert(args.begin(), "/c");
        SCOPED_TRACE(testing::PrintToString(args));
        cli_run r = run_cli(args, row.env);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, row.err);
        auto next = r.lines.begin();
        for (const std::string& line : row.lines)
            EXPECT_NE(next = std::find(next, r.lines.end(), line), r.lines.end()) << line;
        EXPECT_EQ(r.lines.empty() ? "" : r.lines.back(), row.lines.back());
        EXPECT_EQ(std::find(r.lines.begin(), r.lines.end(), row.absent), r.lines.end());
        EXPECT_TRUE(!row.exact || r.lines == row.lines) << testing::PrintToString(r.lines);
    }
    std::remove(conf.c_str());
}
