// What the program does with input that is wrong, damaged or hostile, for
// the rows of docs/bad_input.md that no other unit test covers (the fuzz
// harnesses in fuzz/ throw random input at the same code).
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>
#if !defined(_WIN32)
#include <sched.h>
#include <unistd.h>
#endif

#include "tests/test_support.h"
#include "forward/allow_list.h"
#include "run/tap_run.h"

template <typename F>
static std::string output_of(F fn)
{
    testing::internal::CaptureStdout();
    fn();
    return testing::internal::GetCapturedStdout();
}

// A NUL byte costs its own line and no other; a folder opens but cannot be
// read, so its list stays empty and nothing is forwarded.
TEST(BadInputHostsFile, NulByteCostsOnlyItsOwnLineAndAFolderGivesAnEmptyList)
{
    static const char text[] = "10.0.0.1\0junk\n10.0.0.2\n10.0.0.3\n";
    const std::string path = testing::TempDir() + "vantry_bad_input.hosts";
    std::ofstream(path, std::ios::binary) << std::string(text, sizeof text - 1);
    prefix_trie* list = nullptr;
    std::string log = output_of([&] { load_hosts_file(path.c_str(), &list); });
    EXPECT_NE(log.find("WARNING: Skipping line 1 of " + path + ": it holds a NUL byte"), std::string::npos) << log;
    EXPECT_TRUE(!host_allowed(list, ipv4_of(10, 0, 0, 1)) && host_allowed(list, ipv4_of(10, 0, 0, 2)) &&
                host_allowed(list, ipv4_of(10, 0, 0, 3)));
    std::remove(path.c_str());
    release_allow_list(&list);
#if !defined(_WIN32)
    log = output_of([&] { load_hosts_file(testing::TempDir().c_str(), &list); });
    EXPECT_NE(list, nullptr);
    EXPECT_FALSE(host_allowed(list, ipv4_of(127, 0, 0, 1)));
    EXPECT_NE(log.find("WARNING: Error while reading hosts"), std::string::npos) << log;
    release_allow_list(&list);
#endif
}

// The address is the first non-empty field, the port the next one. The
// text is never cut, and the port is the one written or the text is
// refused: no wrapped, cut or partly read port. A name must resolve to IPv4.
TEST(BadInputCollectorAddress, AddressAndPortAsWrittenOrARefusal)
{
    const std::string bad_port = "ERROR: Invalid -c port '", format = "ERROR: Invalid -c format specified: missing ";
    const std::tuple<std::string, int, std::string> rows[] = {  // text, port (0: refused), what the refusal says
        {"127.0.0.1:5000:7", 5000, ""}, {"127.0.0.1::5000", 5000, ""}, {"127.0.0.1:05000", 5000, ""},
        {"127.0.0.1" + std::string(54, ':') + "5000", 5000, ""}, {"127.0.0.1:65535", 65535, ""}, {"127.0.0.1:1", 1, ""},
        {"127.0.0.1:70000", 0, bad_port + "70000': not a port number"}, {"127.0.0.1:5000x", 0, bad_port + "5000x'"},
        {"127.0.0.1:-1", 0, bad_port + "-1'"}, {"127.0.0.1: 80", 0, bad_port + " 80'"}, {":::", 0, format + "address"},
        {"127.0.0.1:abc", 0, bad_port + "abc'"}, {"127.0.0.1:0", 0, bad_port + "0'"}, {":5000", 0, format + "port"},
        {"127.0.0.1:65536", 0, bad_port + "65536'"}, {"127.0.0.1:", 0, format + "port"},
        {std::string(254, 'a') + ":5000", 0, "ERROR: Invalid -c address: 254 characters, at most 253"}};
    for (const auto& [text, port, said] : rows) {
        std::uint32_t addr = 0;
        std::uint16_t got = 0;
        int rc = 1;
        std::string log = output_of([&, &text = text] { rc = read_collector(text, &addr, &got); });
        EXPECT_EQ(rc, port ? 0 : -1) << text;
        EXPECT_EQ(rc == 0 ? got : 0, port) << text;
        EXPECT_EQ(rc == 0 ? addr : ipv4_of(127, 0, 0, 1), ipv4_of(127, 0, 0, 1)) << text;
        EXPECT_NE(log.find(said), std::string::npos) << log;
        EXPECT_EQ(log.find("ERROR") != std::string::npos, port == 0) << log;
    }
#if !defined(_WIN32)
    // In a child in a network namespace of its own, without a usable
    // interface: the lookup fails at once and no query leaves the machine.
    if (::geteuid() != 0)
        GTEST_SKIP() << "a network namespace needs root";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto read = [] {
        std::uint32_t addr;
        std::uint16_t port;
        if (::unshare(CLONE_NEWNET) != 0 || ::dup2(2, 1) < 0)  // the log, for the matcher
            std::_Exit(3);
        std::_Exit(read_collector("no-such-collector.invalid:5000", &addr, &port) == -1 ? 0 : 1);
    };
    EXPECT_EXIT(read(), testing::ExitedWithCode(0), "Invalid -c address 'no-such-collector.invalid': not an IPv4");
#endif
}
