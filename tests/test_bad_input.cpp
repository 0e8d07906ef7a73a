// What the program does with input that is wrong, damaged or hostile: one
// group per kind of input, for the rows of docs/bad_input.md that no other
// unit test covers. The fuzz harnesses in fuzz/ throw random input at the
// same code; these tests pin down what a person sees.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#if !defined(_WIN32)
#include <sched.h>
#include <unistd.h>
#endif

#include "tests/test_support.h"
#include "forward/allow_list.h"
#include "forward/forwarding.h"
#include "forward/prefix_trie.h"
#include "forward/tzsp.h"
#include "platform/platform.h"
#include "run/options.h"
#include "run/run_settings.h"
#include "run/tap_run.h"
#include "service/service_host.h"
#include "support/trace_log.h"
#include "tools/collector/tap_decode.h"

namespace {

std::string temp_file(const char* name, const std::string& bytes)
{
    std::filesystem::path p = std::filesystem::temp_directory_path() /
                              (std::string("vantry_bad_input_") + name);
    std::FILE* f = std::fopen(p.string().c_str(), "wb");
    EXPECT_NE(f, nullptr);
    if (f) {
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
    }
    return p.string();
}

struct option_pair {
    int letter;
    std::optional<std::string> value;
    bool operator==(const option_pair& o) const { return letter == o.letter && value == o.value; }
};

void record_option(int letter, const char* value, void* ctx)
{
    static_cast<std::vector<option_pair>*>(ctx)->push_back(
        {letter, value ? std::optional<std::string>(value) : std::nullopt});
}

// The option fields and what set-up derives from them, as at start.
void reset_settings()
{
    settings.collector.reset();
    settings.bpf_filter.reset();
    settings.self_filter.reset();
    settings.interface_name.reset();
    settings.tzsp_port = 0;
    settings.disable_encryption = false;
    settings.has_collector_addr = false;
    settings.collector_addr = net_addr4{};
    settings.collector_addr_len = 0;
    net_socket s = settings.udp_socket.exchange(net_invalid_socket);
    if (s != net_invalid_socket)
        net_close(s);
    release_allow_list();
}

// tap_setup with a complete set of options in clear TZSP mode and the
// given collector text; the log lines it wrote, without time stamps.
struct setup_result {
    int rc;
    std::string log;
};

setup_result setup_with_collector(const std::string& collector)
{
    std::vector<std::string> args{"vantry_remote", "-K", "-t", "37008", "-c", collector};
    testing::internal::CaptureStdout();
    int rc = tap_setup(args);
    std::string out = testing::internal::GetCapturedStdout();
    std::string log;
    for (std::size_t pos = 0; pos < out.size();) {
        std::size_t end = out.find('\n', pos);
        std::string line = out.substr(pos, end - pos);
        std::size_t tag = line.find("] ");
        if (tag != std::string::npos)
            log += line.substr(tag + 2) + "\n";
        pos = end == std::string::npos ? out.size() : end + 1;
    }
    return {rc, log};
}

}  // namespace

// ---- option words ----------------------------------------------------------

// The launcher joins the words with TABs and the run thread splits them
// again, so a TAB inside a word cannot survive: the word arrives as two,
// and the second is a non-option the reader skips.
TEST(BadInputOptionWords, TabInsideAWordArrivesAsTwoWords)
{
    char prog[] = "vantry_remote", mode[] = "/c", k[] = "-k", key[] = "man\tgo", t[] = "-t",
         port[] = "37008";
    char* words[] = {prog, mode, k, key, t, port};
    std::string joined;
    ASSERT_EQ(join_argument_string(6, words, joined, nullptr), 0);
    std::vector<std::string> args = split_arguments(joined.c_str());
    drop_mode_word(args);
    EXPECT_EQ(args, (std::vector<std::string>{"vantry_remote", "-k", "man", "go", "-t", "37008"}));

    std::vector<const char*> argv;
    for (const std::string& a : args)
        argv.push_back(a.c_str());
    argv.push_back(nullptr);
    std::vector<option_pair> got;
    EXPECT_EQ(read_command_line(static_cast<int>(args.size()), argv.data(), false, nullptr,
                                record_option, &got),
              0);
    EXPECT_EQ(got, (std::vector<option_pair>{{'k', "man"}, {'t', "37008"}}));
}

// ---- configuration file --------------------------------------------------------

// A NUL byte ends the text of its line (lines are C strings); the rest of
// that line is lost, and the next line is read as usual.
TEST(BadInputConfigFile, NulByteEndsItsLineOnly)
{
    static const char text[] = "-c 10.0.0.1:5000\0-k secret\n-K\n--tzsp\0=1\n-n 3\n";
    std::string path = temp_file("nul.conf", std::string(text, sizeof text - 1));
    std::vector<option_pair> got;
    testing::internal::CaptureStdout();
    EXPECT_EQ(read_config_lines(path.c_str(), record_option, &got), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(got, (std::vector<option_pair>{
                       {'c', "10.0.0.1:5000"}, {'K', std::nullopt}, {'t', std::nullopt}, {'n', "3"}}));
    std::remove(path.c_str());
}

TEST(BadInputConfigFile, FileThatCannotBeOpenedGivesNoOptionAndNoMessage)
{
    std::vector<option_pair> got;
    testing::internal::CaptureStdout();
    EXPECT_EQ(read_config_lines("/nonexistent/vantry.conf", record_option, &got), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(got.empty());
}

// ---- hosts file ------------------------------------------------------------------

// A NUL byte inside a line costs that line and no other: a reader that
// measured lines with strlen would take it for unfinished and swallow the
// next line as its rest.
TEST(BadInputHostsFile, NulByteCostsOnlyItsOwnLine)
{
    static const char text[] = "10.0.0.1\0junk\n10.0.0.2\n10.0.0.3\n";
    std::string path = temp_file("nul.hosts", std::string(text, sizeof text - 1));
    testing::internal::CaptureStdout();
    load_hosts_file(path.c_str());
    testing::internal::GetCapturedStdout();
    EXPECT_FALSE(host_allowed(ipv4_of(10, 0, 0, 1)));
    EXPECT_TRUE(host_allowed(ipv4_of(10, 0, 0, 2)));
    EXPECT_TRUE(host_allowed(ipv4_of(10, 0, 0, 3)));
    release_allow_list();
    std::remove(path.c_str());
}

#if !defined(_WIN32)
// A folder opens like a file here but cannot be read: the list that was
// made for it stays empty, so nothing at all is forwarded, and a warning
// says why.
TEST(BadInputHostsFile, FolderGivesAnEmptyListAndAWarning)
{
    const std::string folder = std::filesystem::temp_directory_path().string();
    testing::internal::CaptureStdout();
    load_hosts_file(folder.c_str());
    std::string log = testing::internal::GetCapturedStdout();
    ASSERT_NE(settings.allow_list, nullptr);
    EXPECT_EQ(settings.allow_list->root, nullptr);
    EXPECT_FALSE(host_allowed(ipv4_of(127, 0, 0, 1)));
    EXPECT_NE(log.find("WARNING: Error while reading hosts"), std::string::npos) << log;
    release_allow_list();
}
#endif

// ---- TZSP datagrams ----------------------------------------------------------------

// Version, type and protocol are not examined: whatever they say, the frame
// after the END tag is forwarded.
TEST(BadInputTzsp, HeaderFieldsAreNotExamined)
{
    const std::uint8_t d[] = {0xff, 0xee, 0xdd, 0xcc, 0x01, 0xab, 0xcd};
    tzsp_frame f;
    ASSERT_EQ(tzsp_find_frame(d, sizeof d, &f), 0);
    EXPECT_EQ(f.offset, 5u);
    EXPECT_EQ(f.length, 2u);
}

// A datagram larger than the receiver's 9000-byte buffer is thrown away
// whole (never forwarded cut short), and the next one is read as usual.
TEST(BadInputTzsp, DatagramLargerThanTheBufferIsDiscardedWhole)
{
    ASSERT_EQ(net_startup(), 0);
    net_socket rx = net_udp_socket();
    net_socket tx = net_udp_socket();
    ASSERT_NE(rx, net_invalid_socket);
    ASSERT_NE(tx, net_invalid_socket);
    const std::uint32_t lo = ipv4_of(127, 0, 0, 1);
    ASSERT_EQ(net_bind(rx, lo, 0), 0);
    net_addr4 to;
    to.addr = lo;
    to.port = net_order16(net_local_port(rx));

    std::vector<std::uint8_t> big(9001, 0x5a);
    const std::uint8_t small[] = {1, 0, 0, 1, 1, 0x42};
    ASSERT_EQ(net_send_to(tx, big.data(), big.size(), to), 9001);
    ASSERT_EQ(net_send_to(tx, small, sizeof small, to), static_cast<long>(sizeof small));

    std::uint8_t buf[9000];
    std::vector<long> got;
    for (int i = 0; i < 2 && net_wait_readable(rx, 2000000) == 1; ++i)
        got.push_back(net_recv_from_nowait(rx, buf, sizeof buf, nullptr));
    EXPECT_EQ(got, (std::vector<long>{-2, static_cast<long>(sizeof small)}));
    EXPECT_EQ(buf[5], 0x42);
    net_close(rx);
    net_close(tx);
}

// The receiver loop itself: datagrams of 5 bytes or less are not even
// counted; a tag list without END and an empty frame are counted and
// dropped without a message; only the good datagram's frame reaches the
// collector.
TEST(BadInputTzsp, ReceiverCountsAndDropsWhatCarriesNoFrame)
{
    ASSERT_EQ(net_startup(), 0);
    reset_settings();
    const std::uint32_t lo = ipv4_of(127, 0, 0, 1);
    net_socket collector = net_udp_socket();
    net_socket probe = net_udp_socket();
    ASSERT_EQ(net_bind(collector, lo, 0), 0);
    ASSERT_EQ(net_bind(probe, lo, 0), 0);
    const std::uint16_t tzsp_port = net_local_port(probe);
    net_close(probe);  // a port that was free a moment ago

    settings.tzsp_port = tzsp_port;
    settings.disable_encryption = true;
    settings.udp_socket = net_udp_socket();
    settings.collector_addr.addr = lo;
    settings.collector_addr.port = net_order16(net_local_port(collector));
    settings.collector_addr_len = 16;
    settings.has_collector_addr = true;
    settings.stop_requested = false;

    testing::internal::CaptureStdout();
    std::thread loop(run_tzsp_receiver);
    net_socket tx = net_udp_socket();
    net_addr4 to;
    to.addr = lo;
    to.port = net_order16(tzsp_port);
    const std::vector<std::vector<std::uint8_t>> datagrams = {
        {0x01},                                // not counted
        {0x01, 0x00, 0x00, 0x01, 0x01},        // not counted
        {0x01, 0x00, 0x00, 0x01, 0x0a, 0x09, 0x01, 0x02},  // no END: counted, dropped
        {0x01, 0x00, 0x00, 0x01, 0x00, 0x01},  // empty frame: counted, dropped
        {0x01, 0x00, 0x00, 0x01, 0x01, 0xab, 0xcd},        // forwarded
    };
    // Sent once the loop has had ample time to bind its port. Probing the
    // port with a bind of our own would race with the loop's bind.
    sleep_ms(1500);
    for (const auto& d : datagrams)
        net_send_to(tx, d.data(), d.size(), to);
    // The frame goes out after one idle wait of 1.01 s.
    std::uint8_t buf[256];
    long n = -1;
    if (net_wait_readable(collector, 5000000) == 1)
        n = net_recv_from(collector, buf, sizeof buf, nullptr);
    settings.stop_requested = true;
    loop.join();
    std::string log = testing::internal::GetCapturedStdout();

    ASSERT_GT(n, 0) << log;
    tap_datagram_view view;
    ASSERT_EQ(tap_decode(buf, static_cast<std::size_t>(n), &view), tap_decode_ok);
    ASSERT_EQ(view.num_pkts, 1);
    ASSERT_EQ(view.records[0].caplen, 2);
    EXPECT_EQ(view.records[0].frame[0], 0xab);
    EXPECT_EQ(view.records[0].frame[1], 0xcd);
    EXPECT_NE(log.find("Collected 3 pkts"), std::string::npos) << log;
    EXPECT_EQ(log.find("ERROR"), std::string::npos) << log;
    EXPECT_EQ(log.find("WARNING"), std::string::npos) << log;
    net_close(tx);
    net_close(collector);
    settings.stop_requested = false;
    reset_settings();
}

// ---- collector address -------------------------------------------------------------

class BadInputCollectorAddress : public testing::Test {
protected:
    void SetUp() override { reset_settings(); }
    void TearDown() override { reset_settings(); }
};

// Only colons: no address text at all. Nothing will be sent anywhere.
TEST_F(BadInputCollectorAddress, OnlyColonsGiveNoAddress)
{
    setup_result r = setup_with_collector(":::");
    EXPECT_EQ(r.rc, -1);
    EXPECT_NE(r.log.find("ERROR: Invalid -c format specified: missing address\n"), std::string::npos)
        << r.log;
    EXPECT_FALSE(settings.has_collector_addr);
    EXPECT_EQ(settings.udp_socket.load(), net_invalid_socket);
}

// The address is the first non-empty field, the port the next one. The
// text is never cut, and the port is sent to exactly as written or the
// text is refused: no wrapped, cut or partly read port.
TEST_F(BadInputCollectorAddress, PortIsTheOneWrittenOrTheTextIsRefused)
{
    const std::string name_254 = std::string(254, 'a');
    struct row {
        std::string text;
        int port;           // 0: refused
        const char* error;  // what the refusal says
    };
    const row rows[] = {
        {"127.0.0.1:5000:7", 5000, nullptr},
        {"127.0.0.1::5000", 5000, nullptr},
        {"127.0.0.1" + std::string(54, ':') + "5000", 5000, nullptr},
        {"127.0.0.1:05000", 5000, nullptr},
        {"127.0.0.1:65535", 65535, nullptr},
        {"127.0.0.1:70000", 0, "ERROR: Invalid -c port '70000': not a port number"},
        {"127.0.0.1:5000x", 0, "ERROR: Invalid -c port '5000x': not a port number"},
        {"127.0.0.1:-1", 0, "ERROR: Invalid -c port '-1': not a port number"},
        {"127.0.0.1: 80", 0, "ERROR: Invalid -c port ' 80': not a port number"},
        {"127.0.0.1:abc", 0, "ERROR: Invalid -c port 'abc'"},
        {"127.0.0.1:0", 0, "ERROR: Invalid -c port '0'"},
        {"127.0.0.1:65536", 0, "ERROR: Invalid -c port '65536'"},
        {"127.0.0.1:", 0, "ERROR: Invalid -c format specified: missing port"},
        {":5000", 0, "ERROR: Invalid -c format specified: missing port"},
        {name_254 + ":5000", 0, "ERROR: Invalid -c address: 254 characters, at most 253"},
    };
    for (const row& c : rows) {
        SCOPED_TRACE(c.text);
        reset_settings();
        setup_result r = setup_with_collector(c.text);
        if (c.port) {
            EXPECT_EQ(r.rc, 0) << r.log;
            EXPECT_EQ(r.log.find("ERROR"), std::string::npos) << r.log;
            EXPECT_TRUE(settings.has_collector_addr);
            EXPECT_EQ(net_order16(settings.collector_addr.port), c.port);
        } else {
            EXPECT_EQ(r.rc, -1);
            EXPECT_NE(r.log.find(c.error), std::string::npos) << r.log;
            EXPECT_FALSE(settings.has_collector_addr);
            EXPECT_EQ(settings.udp_socket.load(), net_invalid_socket);
        }
    }
}

#if !defined(_WIN32)
// Runs in a child process: set-up with a collector name that no host file
// lists, in a network namespace of its own with no usable interface, so
// that the lookup fails at once and no query leaves the machine.
[[noreturn]] void set_up_with_unknown_name()
{
    if (::unshare(CLONE_NEWNET) != 0)
        std::_Exit(3);
    ::dup2(2, 1);  // the log, for the matcher
    std::vector<std::string> args{"vantry_remote", "-K", "-t", "37008", "-c",
                                  "no-such-collector.invalid:5000"};
    int rc = tap_setup(args);
    std::fflush(stdout);
    std::_Exit(rc == -1 && !settings.has_collector_addr ? 0 : 1);
}

// A name that does not resolve is refused before anything is sent.
TEST_F(BadInputCollectorAddress, NameThatDoesNotResolveIsRefused)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "a network namespace needs root";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(set_up_with_unknown_name(), testing::ExitedWithCode(0),
                "ERROR: Invalid -c address 'no-such-collector.invalid': not an IPv4 address");
}
#endif
