// The command line of the built vantry_remote: help, version, missing
// options, option errors and a configuration file, as a user sees them.
//
// Under Wine (VANTRY_RUN_PREFIX=wine, VANTRY_WIN_BIN_DIR=<windows build>)
// the Windows build is driven instead.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "tests/e2e/process.h"

namespace {

constexpr int run_timeout_ms = 30000;  // Wine's first start is slow

struct cli_run {
    bool ended = false;  // ended by itself within the time limit
    int status = -1;
    std::string out;
    std::string err;
    std::vector<std::string> lines;  // standard output, trace decoration removed
};

std::vector<std::string> split_lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(pos, end - pos);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
        pos = end + 1;
    }
    return lines;
}

// "06/Dec/2026 21:21:10 [vantry_remote:125] text" -> "text"; plain lines
// (interface listing, version) stay as they are.
std::string undecorated(const std::string& line)
{
    std::size_t open = line.find(" [vantry_remote:");
    if (open == std::string::npos)
        open = line.find(" [util:");
    if (open == std::string::npos)
        return line;
    std::size_t close = line.find("] ", open);
    return close == std::string::npos ? line : line.substr(close + 2);
}

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
    r.ended = process_finish(&child.proc, run_timeout_ms) == 0;
    r.status = child.proc.exit_status;
    r.out = process_stdout(child.proc);
    r.err = process_stderr(child.proc);
    for (const std::string& line : split_lines(r.out))
        r.lines.push_back(undecorated(line));
    return r;
}

const std::vector<std::string> help_lines = {
    "",
    "Vantry remote/virtual tap 1.1.260430",
    "",
    "Usage:",
    "vantry_remote <config filename>",
    "or",
    "vantry_remote /c|/i -i <interface>|-t <TZSP port> -c <vantry_collector ip>:<vantry_collector port>",
    "    -k <key>|-K [-f <BPF filter>] [-s <len>] [-H <hosts>]",
    "    [-h] [-v] [-V]",
    "",
    "Options:",
    "   [--interface|-i] <interface>      | Interface id from which packets are captured",
    "   [--tzsp|-t] <port>                | TZSP collection port",
    "   [--collector|-c] <address>:<port> | Vantry collector IP:port",
    "   [--key|-k] <key>                  | Encryption key",
    "   [--disable-encryption|-K]         | Disable data encryption (faster but unsafe)",
    "   [--tap-id|-n] <num>               | Tap id used by the vantry_collector",
    "                                     | to identify the remote tap",
    "   [--filter|-f] <BPF>               | Capture filter",
    "   [--snaplen|-s] <len>              | Max packet capture lenght",
    "   [--hosts|-H]                      | File containing IPv4 addresses to forward traffic",
    "                                     | to the collector. One IPv4 per line",
    "   [--help|-h]                       | Print the help",
    "   [--verbose|-v]                    | Verbose",
    "   [--version|-V]                    | Print version information",
    "",
    "Example:",
    "- vantry_remote /c -i 1  -c 127.0.0.1:1234 -k mango",
    "- vantry_remote /c -t 37008  -c 127.0.0.1:1234 -k mango",
    "- vantry_collector -p 1234 -k mango -w capture.pcap",
    "- vantry_collector -p 1234 -k mango -w -",
    "- vantry_collector -p 1234 -k mango -i vantry0",
    "",
    "Please use vantry_remote /i <options> to install this tool as Windows service",
    "and vantry_remote /r to remove the above service",
};

const char* version_text =
    "\nWelcome to Vantry remote/virtual tap v.1.1.260430\n\nVersion:       1.1.260430\n";

// Expects the help text to start at lines[from], each of its lines logged
// through the trace log, and the run to end with "Shutting down...".
void expect_help(const cli_run& r, std::size_t from)
{
    EXPECT_TRUE(r.ended);
    EXPECT_EQ(r.status, 0);
    ASSERT_GE(r.lines.size(), from + help_lines.size() + 1) << r.out;
    for (std::size_t i = 0; i < help_lines.size(); ++i)
        EXPECT_EQ(r.lines[from + i], help_lines[i]) << "help line " << i + 1;
    std::vector<std::string> raw = split_lines(r.out);
    for (std::size_t i = from; i < from + help_lines.size(); ++i)
        EXPECT_NE(raw[i].find(" [vantry_remote:"), std::string::npos) << raw[i];
    EXPECT_EQ(r.lines.back(), "Shutting down...");
}

std::size_t index_of(const std::vector<std::string>& lines, const std::string& wanted)
{
    for (std::size_t i = 0; i < lines.size(); ++i)
        if (lines[i] == wanted)
            return i;
    return lines.size();
}

std::string without_cr(std::string text)
{
    for (std::size_t p; (p = text.find('\r')) != std::string::npos;)
        text.erase(p, 1);
    return text;
}

// Standard error as one line without the program path in front of it (Wine
// shows that path the Windows way); empty when there was nothing.
std::string diagnostic(const std::string& err)
{
    std::string text = without_cr(err);
    if (text.empty())
        return text;
    if (text.find('\n') != text.size() - 1)
        return "(not one line) " + text;
    for (const char* program : {"vantry_remote: ", "vantry_remote.exe: "}) {
        std::size_t at = text.find(program);
        if (at != std::string::npos)
            return text.substr(at + std::string(program).size());
    }
    return "(no program path) " + text;
}

std::uint16_t free_udp_port()
{
    net_startup();
    net_socket s = net_udp_socket();
    net_bind_any(s, 0);
    std::uint16_t p = net_local_port(s);
    net_close(s);
    return p;
}

}  // namespace

TEST(Cli, HelpPrintsEveryLineThenShutsDown)
{
    cli_run r = run_cli({"/c", "-h"});
    expect_help(r, 0);
    EXPECT_EQ(r.err, "");
}

TEST(Cli, HelpEndsTheRunEvenAfterCompleteOptions)
{
    cli_run r = run_cli({"/c", "-K", "-t", "37008", "-c", "127.0.0.1:5000", "--help"});
    ASSERT_FALSE(r.lines.empty());
    EXPECT_EQ(r.lines[0], "WARNING: Data will not be encrypted (-K specified)");
    expect_help(r, 1);
    EXPECT_EQ(index_of(r.lines, "Welcome to Vantry remote/virtual tap v.1.1.260430"), r.lines.size());
}

TEST(Cli, VersionIsPlainTextAndEndsWithStatusZero)
{
    for (const char* word : {"-V", "--version", "--vers"}) {
        cli_run r = run_cli({"/c", word});
        EXPECT_TRUE(r.ended) << word;
        EXPECT_EQ(r.status, 0) << word;
        EXPECT_EQ(without_cr(r.out), version_text) << word;
    }
}

TEST(Cli, MissingOptionsAreReportedInOrderWithTheHelp)
{
    struct {
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {{"/c"}, "ERROR: Missing encryption key -k"},
        {{"/c", "-t", "37008", "-c", "127.0.0.1:5000"}, "ERROR: Missing encryption key -k"},
        {{"/c", "-c", "127.0.0.1:5000", "-K"}, "ERROR: Missing interface -i or -t"},
        {{"/c", "-K", "-t", "0", "-c", "127.0.0.1:5000"}, "ERROR: Missing interface -i or -t"},
        {{"/c", "-K", "-t", "37008"}, "ERROR: Missing collector -c"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        cli_run r = run_cli(c.args);
        std::size_t at = index_of(r.lines, c.message);
        ASSERT_LT(at, r.lines.size()) << r.out;
        expect_help(r, at + 1);
    }
}

TEST(Cli, AnOptionErrorStopsReadingAndTheChecksFollow)
{
    cli_run r = run_cli({"/c", "-K", "--snaplen", "1500", "-t", "37008", "-c", "127.0.0.1:5000"});
    EXPECT_EQ(diagnostic(r.err), "unrecognized option `--snaplen'\n");
    std::size_t at = index_of(r.lines, "ERROR: Missing interface -i or -t");
    ASSERT_LT(at, r.lines.size()) << r.out;
    expect_help(r, at + 1);

    r = run_cli({"/c", "-K", "--ver"});
    EXPECT_EQ(diagnostic(r.err), "option `--ver' is ambiguous\n");
    EXPECT_EQ(r.status, 0);
}

TEST(Cli, PosixlyCorrectStopsAtTheFirstWordThatIsNoOption)
{
    cli_run r = run_cli({"/c", "-K", "x", "-Q"});
    EXPECT_EQ(diagnostic(r.err), "invalid option -- Q\n");

    r = run_cli({"/c", "-K", "x", "-Q"}, {"POSIXLY_CORRECT=1"});
    EXPECT_EQ(r.err, "");
    EXPECT_LT(index_of(r.lines, "ERROR: Missing interface -i or -t"), r.lines.size()) << r.out;

    r = run_cli({"/c", "-Q"}, {"POSIXLY_CORRECT=1"});
    EXPECT_EQ(diagnostic(r.err), "illegal option -- Q\n");
}

TEST(Cli, CollectorWithoutPortRunsIntoTheLoopAndEndsNormally)
{
    std::string port = std::to_string(free_udp_port());
    cli_run r = run_cli({"/c", "-K", "-t", port, "-c", "127.0.0.1"});
    EXPECT_TRUE(r.ended);
    EXPECT_EQ(r.status, 0);
    std::size_t missing = index_of(r.lines, "ERROR: Invalid -c format specified: missing port");
    std::size_t welcome = index_of(r.lines, "Welcome to Vantry remote/virtual tap v.1.1.260430");
    std::size_t socket = index_of(r.lines, "ERROR: Socket error");
    std::size_t shut = index_of(r.lines, "Shutting down...");
    EXPECT_LT(missing, welcome) << r.out;
    EXPECT_LT(welcome, socket) << r.out;
    EXPECT_LT(socket, shut) << r.out;
    EXPECT_LT(shut, r.lines.size()) << r.out;
}

TEST(Cli, ConfigurationFileNamedAsTheOnlyWord)
{
    std::string path = testing::TempDir() + "vantry_e2e_cli.conf";
    std::FILE* f = std::fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs("# a tap\ncollector 127.0.0.1:5000\n  \"--version\"\n", f);
    std::fclose(f);

    cli_run r = run_cli({"/c", path});
    EXPECT_EQ(r.status, 0);
    ASSERT_FALSE(r.lines.empty());
    EXPECT_EQ(r.lines[0], "WARNING: Skipping unrecognized line: collector 127.0.0.1:5000");
    std::string out = without_cr(r.out);
    EXPECT_EQ(out.substr(out.find('\n') + 1), version_text);

    // With a second word, both are command-line words and the file is not read.
    r = run_cli({"/c", path, "-K"});
    EXPECT_EQ(index_of(r.lines, "WARNING: Skipping unrecognized line: collector 127.0.0.1:5000"),
              r.lines.size());
    EXPECT_LT(index_of(r.lines, "ERROR: Missing interface -i or -t"), r.lines.size());
    std::remove(path.c_str());
}
