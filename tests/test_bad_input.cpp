// What the program does with input that is wrong, damaged or hostile, for
// the rows of docs/bad_input.md that no other unit test covers (the fuzz
// harnesses in fuzz/ throw random input at the same code).
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <tuple>
#include <vector>
#if !defined(_WIN32)
#include <sched.h>
#include <unistd.h>
#endif

#include "tests/test_support.h"
#include "forward/allow_list.h"
#include "forward/forwarding.h"
#include "platform/platform.h"
#include "run/run_settings.h"
#include "run/tap_run.h"
#include "tools/collector/tap_decode.h"

namespace {

// What set-up reads and derives, and the socket it opens, as at start.
void reset_settings()
{
    settings.collector = settings.interface_name = std::nullopt;
    settings.tzsp_port = 0;
    settings.disable_encryption = settings.has_collector_addr = false;
    settings.collector_addr = {};
    settings.collector_addr_len = 0;
    if (net_socket s = settings.udp_socket.exchange(net_invalid_socket); s != net_invalid_socket)
        net_close(s);
    release_allow_list();
}

template <typename F>
std::string output_of(F fn)
{
    testing::internal::CaptureStdout();
    fn();
    return testing::internal::GetCapturedStdout();
}

}  // namespace

// A NUL byte costs its own line and no other; a folder opens but cannot be
// read, so its list stays empty and nothing is forwarded.
TEST(BadInputHostsFile, NulByteCostsOnlyItsOwnLineAndAFolderGivesAnEmptyList)
{
    static const char text[] = "10.0.0.1\0junk\n10.0.0.2\n10.0.0.3\n";
    const std::string path = (std::filesystem::temp_directory_path() / "vantry_bad_input.hosts").string();
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(text, 1, sizeof text - 1, f);
    std::fclose(f);
    std::string log = output_of([&] { load_hosts_file(path.c_str()); });
    EXPECT_NE(log.find("WARNING: Skipping line 1 of " + path + ": it holds a NUL byte"), std::string::npos) << log;
    EXPECT_FALSE(host_allowed(ipv4_of(10, 0, 0, 1)));
    EXPECT_TRUE(host_allowed(ipv4_of(10, 0, 0, 2)) && host_allowed(ipv4_of(10, 0, 0, 3)));
    std::remove(path.c_str());
    release_allow_list();
#if !defined(_WIN32)
    log = output_of([] { load_hosts_file(std::filesystem::temp_directory_path().string().c_str()); });
    EXPECT_FALSE(host_allowed(ipv4_of(127, 0, 0, 1)));
    EXPECT_NE(log.find("WARNING: Error while reading hosts"), std::string::npos) << log;
    release_allow_list();
#endif
}

// The receiver loop: datagrams of 5 bytes or less, and one larger than its
// 9000-byte buffer, are not even counted; a tag list without END and an
// empty frame are counted and dropped without a message. Only the frame of
// the good datagram reaches the collector, whatever its header says.
TEST(BadInputTzsp, ReceiverCountsAndDropsWhatCarriesNoFrame)
{
    ASSERT_EQ(net_startup(), 0);
    reset_settings();
    const std::uint32_t lo = ipv4_of(127, 0, 0, 1);
    net_socket collector = net_udp_socket(), probe = net_udp_socket(), tx = net_udp_socket();
    ASSERT_EQ(net_bind(collector, lo, 0), 0);
    ASSERT_EQ(net_bind(probe, lo, 0), 0);
    settings.tzsp_port = net_local_port(probe);
    net_close(probe);  // a port that was free a moment ago
    settings.disable_encryption = settings.has_collector_addr = true;
    settings.udp_socket = net_udp_socket();
    settings.collector_addr = {lo, net_order16(net_local_port(collector))};
    settings.collector_addr_len = 16;
    const std::vector<std::vector<std::uint8_t>> datagrams = {
        {0x01}, {0x01, 0x00, 0x00, 0x01, 0x01}, std::vector<std::uint8_t>(9001, 0x01),  // not counted
        {0x01, 0x00, 0x00, 0x01, 0x0a, 0x09, 0x01, 0x02},  // no END: counted, dropped
        {0x01, 0x00, 0x00, 0x01, 0x00, 0x01},              // empty frame: counted, dropped
        {0xff, 0xee, 0xdd, 0xcc, 0x01, 0xab, 0xcd},        // odd header fields: forwarded
    };
    std::uint8_t buf[256];
    long n = -1;
    std::string log = output_of([&] {
        std::thread loop(run_tzsp_receiver);
        // Time for the loop to bind its port: a bind of our own to find out
        // would race with it.
        sleep_ms(1500);
        for (const auto& d : datagrams)
            net_send_to(tx, d.data(), d.size(), {lo, net_order16(settings.tzsp_port)});
        // The frame goes out after one idle wait of 1.01 s.
        if (net_wait_readable(collector, 5000000) == 1)
            n = net_recv_from(collector, buf, sizeof buf, nullptr);
        settings.stop_requested = true;
        loop.join();
    });
    tap_datagram_view view;
    ASSERT_GT(n, 0) << log;
    ASSERT_EQ(tap_decode(buf, static_cast<std::size_t>(n), &view), tap_decode_ok);
    ASSERT_EQ(view.num_pkts, 1);
    const tap_record_view& rec = view.records[0];
    EXPECT_EQ(std::vector<std::uint8_t>(rec.frame, rec.frame + rec.caplen), (std::vector<std::uint8_t>{0xab, 0xcd}));
    EXPECT_NE(log.find("Collected 3 pkts"), std::string::npos) << log;
    EXPECT_EQ(log.find("ERROR"), log.find("WARNING")) << log;  // neither is there
    net_close(tx);
    net_close(collector);
    settings.stop_requested = false;
    reset_settings();
}

// The address is the first non-empty field, the port the next one. The
// text is never cut, and the port is the one written or the text is
// refused: no wrapped, cut or partly read port, and no socket.
TEST(BadInputCollectorAddress, PortIsTheOneWrittenOrTheTextIsRefused)
{
    const std::string bad_port = "ERROR: Invalid -c port '", no_port = "ERROR: Invalid -c format specified: missing port";
    const std::tuple<std::string, int, std::string> rows[] = {  // text, port (0: refused), what the refusal says
        {"127.0.0.1:5000:7", 5000, ""}, {"127.0.0.1::5000", 5000, ""}, {"127.0.0.1" + std::string(54, ':') + "5000", 5000, ""},
        {"127.0.0.1:05000", 5000, ""}, {"127.0.0.1:65535", 65535, ""}, {"127.0.0.1:1", 1, ""},
        {"127.0.0.1:70000", 0, bad_port + "70000': not a port number"}, {"127.0.0.1:5000x", 0, bad_port + "5000x'"},
        {"127.0.0.1:-1", 0, bad_port + "-1'"}, {"127.0.0.1: 80", 0, bad_port + " 80'"},
        {"127.0.0.1:abc", 0, bad_port + "abc'"}, {"127.0.0.1:0", 0, bad_port + "0'"},
        {"127.0.0.1:65536", 0, bad_port + "65536'"}, {"127.0.0.1:", 0, no_port}, {":5000", 0, no_port},
        {":::", 0, "ERROR: Invalid -c format specified: missing address"},
        {std::string(254, 'a') + ":5000", 0, "ERROR: Invalid -c address: 254 characters, at most 253"}};
    for (const auto& [text, port, said] : rows) {
        SCOPED_TRACE(text);
        reset_settings();
        std::vector<std::string> args{"vantry_remote", "-K", "-t", "37008", "-c", text};
        int rc = 1;
        std::string log = output_of([&] { rc = tap_setup(args); });
        EXPECT_EQ(rc, port ? 0 : -1);
        EXPECT_EQ(settings.has_collector_addr ? net_order16(settings.collector_addr.port) : 0, port);
        EXPECT_EQ(settings.udp_socket.load() != net_invalid_socket, port != 0);
        EXPECT_NE(log.find(said), std::string::npos) << log;
        EXPECT_EQ(log.find("ERROR") != std::string::npos, port == 0) << log;
    }
    reset_settings();
}

#if !defined(_WIN32)
// In a child in a network namespace of its own with no usable interface,
// so that the lookup fails at once and no query leaves the machine.
TEST(BadInputCollectorAddress, NameThatDoesNotResolveIsRefused)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "a network namespace needs root";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    std::vector<std::string> args{"vantry_remote", "-K", "-t", "37008", "-c", "no-such-collector.invalid:5000"};
    auto set_up = [&] {
        if (::unshare(CLONE_NEWNET) != 0 || ::dup2(2, 1) < 0)  // the log, for the matcher
            std::_Exit(3);
        int rc = tap_setup(args);
        std::fflush(stdout);
        std::_Exit(rc == -1 && !settings.has_collector_addr ? 0 : 1);
    };
    EXPECT_EXIT(set_up(), testing::ExitedWithCode(0),
                "ERROR: Invalid -c address 'no-such-collector.invalid': not an IPv4 address");
}
#endif
