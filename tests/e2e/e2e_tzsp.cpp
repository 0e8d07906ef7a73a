// The TZSP path end to end on loopback: TZSP datagrams built here go into
// the real vantry_remote, and what comes out is read either raw (a plain
// UDP socket of the test) or through the real vantry_collector's pcap
// stream.
//
// Under Wine (VANTRY_RUN_PREFIX=wine, VANTRY_WIN_BIN_DIR=<windows build>)
// the tap is the Windows build; the collector stays native. Cases that
// need a signal delivered to the tap are skipped there, and the tap is
// ended by its PID.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <csignal>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#if defined(__linux__)
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#endif

#include "platform/platform.h"
#include "tests/e2e/process.h"

namespace {

using bytes = std::vector<std::uint8_t>;
using clock_type = std::chrono::steady_clock;

constexpr int start_timeout_ms = 30000;  // Wine's first start is slow

std::uint32_t ipv4(const char* text)
{
    std::uint32_t a = 0;
    net_resolve_ipv4(text, &a);
    return a;
}

// A port that was free a moment ago.
std::uint16_t free_udp_port()
{
    net_socket s = net_udp_socket();
    net_bind_any(s, 0);
    std::uint16_t p = net_local_port(s);
    net_close(s);
    return p;
}

struct udp {
    net_socket s = net_invalid_socket;
    explicit udp(const char* bind_addr = "127.0.0.1", std::uint16_t port = 0)
    {
        s = net_udp_socket();
        net_bind(s, ipv4(bind_addr), port);
    }
    udp(const udp&) = delete;
    udp& operator=(const udp&) = delete;
    ~udp() { net_close(s); }
    std::uint16_t port() const { return net_local_port(s); }
    void send(const bytes& d, std::uint16_t port) const
    {
        net_addr4 to{ipv4("127.0.0.1"), net_order16(port)};
        net_send_to(s, d.data(), d.size(), to);
    }
    // One datagram within timeout_ms, or false.
    bool receive(bytes* out, int timeout_ms) const
    {
        if (net_wait_readable(s, timeout_ms * 1000L) != 1)
            return false;
        out->resize(65536);
        long n = net_recv_from(s, out->data(), out->size(), nullptr);
        if (n < 0)
            return false;
        out->resize(static_cast<std::size_t>(n));
        return true;
    }
};

bytes frame_of(std::size_t len, std::uint8_t seed)
{
    bytes f(len);
    for (std::size_t i = 0; i < len; ++i)
        f[i] = static_cast<std::uint8_t>(seed + i * 7);
    return f;
}

// TZSP header (version 1, type received, Ethernet), the given tags, END, frame.
bytes tzsp(const bytes& frame, const bytes& tags = {})
{
    bytes d = {1, 0, 0, 1};
    d.insert(d.end(), tags.begin(), tags.end());
    d.push_back(1);
    d.insert(d.end(), frame.begin(), frame.end());
    return d;
}

std::uint32_t be32(const std::uint8_t* p)
{
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           p[3];
}
std::uint16_t be16(const std::uint8_t* p)
{
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}
std::uint32_t le32(const std::uint8_t* p)
{
    return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
           (std::uint32_t{p[3]} << 24);
}

struct record {
    std::uint32_t ts_sec = 0, ts_usec = 0, caplen = 0, len = 0;
    bytes frame;
};

// Checks the clear Tap datagram layout and returns its records.
::testing::AssertionResult parse_tap(const bytes& d, std::uint16_t tap_id, std::vector<record>* out)
{
    if (d.size() < 8)
        return ::testing::AssertionFailure() << "short datagram " << d.size();
    if (d[0] != 0x02 || d[1] != 0x19 || d[2] != 0x68 || d[3] != 0x24)
        return ::testing::AssertionFailure() << "bad magic";
    if (be16(&d[4]) != tap_id || d[7] != 0)
        return ::testing::AssertionFailure() << "bad tap id or reserved byte";
    std::size_t pos = 8;
    out->clear();
    for (unsigned i = 0; i < d[6]; ++i) {
        if (d.size() - pos < 12)
            return ::testing::AssertionFailure() << "record header cut";
        record r;
        r.ts_sec = be32(&d[pos]);
        r.ts_usec = be32(&d[pos + 4]);
        r.caplen = be16(&d[pos + 8]);
        r.len = be16(&d[pos + 10]);
        pos += 12;
        if (d.size() - pos < r.caplen)
            return ::testing::AssertionFailure() << "frame cut";
        r.frame.assign(d.begin() + static_cast<long>(pos), d.begin() + static_cast<long>(pos + r.caplen));
        pos += r.caplen;
        out->push_back(r);
    }
    if (pos != d.size())
        return ::testing::AssertionFailure() << "trailing bytes";
    return ::testing::AssertionSuccess();
}

// Records of a pcap file (classic, little-endian, microseconds).
::testing::AssertionResult parse_pcap(const std::string& path, std::vector<record>* out)
{
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return ::testing::AssertionFailure() << "cannot open " << path;
    bytes d;
    std::uint8_t buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        d.insert(d.end(), buf, buf + n);
    std::fclose(f);
    if (d.size() < 24 || le32(&d[0]) != 0xa1b2c3d4 || le32(&d[20]) != 1)
        return ::testing::AssertionFailure() << "bad pcap file header";
    out->clear();
    std::size_t pos = 24;
    while (pos < d.size()) {
        if (d.size() - pos < 16)
            return ::testing::AssertionFailure() << "record header cut";
        record r;
        r.ts_sec = le32(&d[pos]);
        r.ts_usec = le32(&d[pos + 4]);
        r.caplen = le32(&d[pos + 8]);
        r.len = le32(&d[pos + 12]);
        pos += 16;
        if (d.size() - pos < r.caplen)
            return ::testing::AssertionFailure() << "frame cut";
        r.frame.assign(d.begin() + static_cast<long>(pos), d.begin() + static_cast<long>(pos + r.caplen));
        pos += r.caplen;
        out->push_back(r);
    }
    return ::testing::AssertionSuccess();
}

// Starts the tap on a fresh TZSP port; false if it did not get running.
bool start_remote(scoped_child& c, std::uint16_t* tzsp_port, std::uint16_t collector_port,
                  std::vector<std::string> extra)
{
    *tzsp_port = free_udp_port();
    std::vector<std::string> args = {"/c", "-t", std::to_string(*tzsp_port), "-c",
                                     "127.0.0.1:" + std::to_string(collector_port)};
    args.insert(args.end(), extra.begin(), extra.end());
    if (process_start(&c.proc, e2e_program_path("vantry_remote"), args) != 0)
        return false;
    return process_wait_output(c.proc, "Running...", start_timeout_ms);
}

// Starts the native collector on a port of its own choosing, inside the
// network namespace netns when one is named.
bool start_collector(scoped_child& c, std::uint16_t* port, std::vector<std::string> extra,
                     const std::string& netns = "")
{
    std::vector<std::string> args = {"-p", "0"};
    args.insert(args.end(), extra.begin(), extra.end());
    if (!netns.empty())
        args.insert(args.begin(), {"netns", "exec", netns, VANTRY_BIN_DIR "/vantry_collector"});
    process_options o;
    o.use_run_prefix = false;
    if (process_start(&c.proc, netns.empty() ? VANTRY_BIN_DIR "/vantry_collector" : "ip", args,
                      o) != 0)
        return false;
    const std::string marker = "Listening on UDP port ";
    // With "-w -" the log moves to standard error.
    auto deadline = clock_type::now() + std::chrono::seconds(5);
    std::string out;
    while (out.find(marker) == std::string::npos) {
        if (clock_type::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        out = process_stdout(c.proc) + process_stderr(c.proc);
    }
    *port = static_cast<std::uint16_t>(std::atoi(out.c_str() + out.find(marker) + marker.size()));
    return *port != 0;
}

// Ends the tap: SIGTERM natively (then it must exit 0 on its own), by PID
// under Wine. Returns its standard output.
std::string stop_remote(scoped_child& c)
{
    if (e2e_under_wine()) {
        process_finish(&c.proc, 0);
        return process_stdout(c.proc);
    }
    EXPECT_EQ(process_signal(&c.proc, SIGTERM), 0);
    EXPECT_EQ(process_finish(&c.proc, 5000), 0) << "did not stop within one wait";
    EXPECT_EQ(c.proc.exit_status, 0);
    return process_stdout(c.proc);
}

std::uint64_t unix_now_us()
{
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                          std::chrono::system_clock::now().time_since_epoch())
                                          .count());
}

// A file under /tmp, removed when the test leaves its scope on any path.
struct temp_file {
    std::string path;
    temp_file(const char* name, const std::string& text)
        : path(std::string("/tmp/vantry-e2e-") + std::to_string(::getpid()) + "-" + name)
    {
        std::FILE* f = std::fopen(path.c_str(), "w");
        if (f) {
            std::fputs(text.c_str(), f);
            std::fclose(f);
        }
    }
    temp_file(const temp_file&) = delete;
    temp_file& operator=(const temp_file&) = delete;
    ~temp_file() { std::remove(path.c_str()); }
};

}  // namespace

// Raw Tap datagrams in clear: layout, the tag walk, 5- and 6-byte
// datagrams, a tag list that runs past its end, the idle send.
TEST(TzspE2E, ClearDatagramFollowsTheLayout)
{
    udp sink;
    scoped_child tap;
    std::uint16_t tport = 0;
    ASSERT_TRUE(start_remote(tap, &tport, sink.port(), {"-K", "-n", "65794", "-v"}))
        << process_stdout(tap.proc) << process_stderr(tap.proc);

    udp src;
    bytes f1 = frame_of(60, 1);
    bytes f2 = frame_of(1, 2);
    bytes f3 = frame_of(100, 3);
    std::uint64_t before = unix_now_us();
    src.send(bytes{1, 0, 0, 1, 1}, tport);                       // 5 bytes: ignored, not counted
    src.send(tzsp(frame_of(8996, 9)), tport);                    // 9001 bytes: dropped whole
    src.send(tzsp(f1), tport);                                   // 65 bytes
    src.send(tzsp(f2), tport);                                   // 6 bytes: 1-byte frame
    src.send(bytes{1, 0, 0, 1, 10, 200, 1, 1}, tport);           // tags past the end
    src.send(tzsp(f3, {0, 0, 10, 4, 1, 1, 1, 1, 42, 0}), tport);  // tagged
    auto last_input = clock_type::now();

    bytes d;
    ASSERT_TRUE(sink.receive(&d, 5000));
    auto silence = clock_type::now() - last_input;
    std::uint64_t after = unix_now_us();
    // Sent only after a whole wait without input.
    EXPECT_GE(silence, std::chrono::milliseconds(1000));

    std::vector<record> recs;
    ASSERT_TRUE(parse_tap(d, 0x0102, &recs));  // tap id 65794 keeps its low 16 bits
    ASSERT_EQ(recs.size(), 3u);
    EXPECT_EQ(recs[0].frame, f1);
    EXPECT_EQ(recs[1].frame, f2);
    EXPECT_EQ(recs[2].frame, f3);
    EXPECT_EQ(d.size(), 8u + 12 * 3 + 60 + 1 + 100);
    for (const record& r : recs) {
        EXPECT_EQ(r.caplen, r.len);
        EXPECT_LT(r.ts_usec, 1000000u);
        std::uint64_t ts = std::uint64_t{r.ts_sec} * 1000000 + r.ts_usec;
        EXPECT_GE(ts + 1000, before);
        EXPECT_LE(ts, after + 1000);
    }
    // Nothing more: the idle rule sends no empty datagram.
    EXPECT_FALSE(sink.receive(&d, 1500));

    std::string out = stop_remote(tap);
    if (!e2e_under_wine()) {
        EXPECT_NE(out.find("Collected packet 1 with len = 65"), std::string::npos) << out;
        EXPECT_NE(out.find("Collected packet 2 with len = 6"), std::string::npos) << out;
        EXPECT_NE(out.find("Collected 4 pkts"), std::string::npos) << out;
    }
}

// The size rule: more than 1480 bytes of records go out when the next
// frame arrives; exactly 1480 still takes one more.
TEST(TzspE2E, BatchIsSentWhenItHoldsMoreThan1480Bytes)
{
    udp sink;
    scoped_child tap;
    std::uint16_t tport = 0;
    ASSERT_TRUE(start_remote(tap, &tport, sink.port(), {"-K"})) << process_stdout(tap.proc);

    udp src;
    std::vector<bytes> frames = {frame_of(728, 1), frame_of(728, 2), frame_of(10, 3),
                                 frame_of(20, 4)};
    for (const bytes& f : frames)
        src.send(tzsp(f), tport);

    bytes d;
    std::vector<record> recs;
    ASSERT_TRUE(sink.receive(&d, 5000));
    ASSERT_TRUE(parse_tap(d, 0, &recs));
    // 740 + 740 = 1480 takes the 10-byte frame; 1502 is sent before the last.
    ASSERT_EQ(recs.size(), 3u);
    EXPECT_EQ(d.size(), 8u + 1502);
    EXPECT_EQ(recs[2].frame, frames[2]);

    ASSERT_TRUE(sink.receive(&d, 5000));
    ASSERT_TRUE(parse_tap(d, 0, &recs));
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].frame, frames[3]);
    stop_remote(tap);
}

// Only senders on the hosts list get through, whatever the frames hold.
TEST(TzspE2E, AllowListTestsTheSenderAddress)
{
    struct one_case {
        const char* listed;
        const char* other;
    };
    for (one_case c : {one_case{"127.0.0.1", "127.0.0.2"}, one_case{"127.0.0.2", "127.0.0.1"}}) {
        SCOPED_TRACE(c.listed);
        temp_file hosts_file("hosts", std::string("# test\n") + c.listed + "\n");
        const std::string& hosts = hosts_file.path;
        udp sink;
        scoped_child tap;
        std::uint16_t tport = 0;
        ASSERT_TRUE(start_remote(tap, &tport, sink.port(), {"-K", "-H", hosts}))
            << process_stdout(tap.proc);

        udp listed(c.listed);
        udp other(c.other);
        bytes from_other = frame_of(40, 0x10);
        bytes from_listed = frame_of(40, 0x20);
        other.send(tzsp(from_other), tport);
        listed.send(tzsp(from_listed), tport);

        bytes d;
        std::vector<record> recs;
        ASSERT_TRUE(sink.receive(&d, 5000));
        ASSERT_TRUE(parse_tap(d, 0, &recs));
        ASSERT_EQ(recs.size(), 1u);
        EXPECT_EQ(recs[0].frame, from_listed);

        std::string out = stop_remote(tap);
        if (!e2e_under_wine()) {
            EXPECT_NE(out.find("Collected 2 pkts"), std::string::npos) << out;
        }
    }
}

// A stop with records in hand drops them and still reports the count.
TEST(TzspE2E, StopDropsRecordsInHand)
{
    if (e2e_under_wine())
        GTEST_SKIP() << "signals are not delivered to a program under Wine";
    udp sink;
    scoped_child tap;
    std::uint16_t tport = 0;
    ASSERT_TRUE(start_remote(tap, &tport, sink.port(), {"-K", "-v"})) << process_stdout(tap.proc);

    udp src;
    src.send(tzsp(frame_of(50, 1)), tport);
    src.send(tzsp(frame_of(50, 2)), tport);
    ASSERT_TRUE(process_wait_output(tap.proc, "Collected packet 2", 2000));
    auto t0 = clock_type::now();
    ASSERT_EQ(process_signal(&tap.proc, SIGTERM), 0);
    ASSERT_EQ(process_finish(&tap.proc, 5000), 0);
    // Within one wait of the signal.
    EXPECT_LT(clock_type::now() - t0, std::chrono::milliseconds(2500));
    EXPECT_EQ(tap.proc.exit_status, 0);
    std::string out = process_stdout(tap.proc);
    EXPECT_NE(out.find("Shutting down..."), std::string::npos) << out;
    EXPECT_NE(out.find("Collected 2 pkts"), std::string::npos) << out;
    EXPECT_EQ(out.find("Sending"), std::string::npos) << out;
    bytes d;
    EXPECT_FALSE(sink.receive(&d, 300));
}

// A collector option that names the tap's own TZSP port: each Tap
// datagram would come back as TZSP input, to be sent again, forever.
TEST(TzspE2E, CollectorOnTheTapsOwnPortIsNoLoop)
{
    scoped_child tap;
    const std::string port = std::to_string(free_udp_port());
    ASSERT_EQ(process_start(&tap.proc, e2e_program_path("vantry_remote"),
                            {"/c", "-t", port, "-c", "127.0.0.1:" + port, "-K", "-v"}),
              0);
    ASSERT_TRUE(process_wait_output(tap.proc, "Running...", start_timeout_ms));
    udp src;
    src.send(tzsp(frame_of(50, 1)), static_cast<std::uint16_t>(std::stoi(port)));
    // The idle send after about a second brings the datagram back once.
    ASSERT_TRUE(process_wait_output(tap.proc, "WARNING: Dropping the tap's own datagrams", 5000))
        << process_stdout(tap.proc);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    std::string out = stop_remote(tap);
    std::size_t collected = 0;
    for (auto at = out.find("Collected packet "); at != std::string::npos;
         at = out.find("Collected packet ", at + 1))
        ++collected;
    EXPECT_EQ(collected, 1u) << out;
}

// Tap and collector together: frames out of the pcap stream equal the
// frames sent, in clear and encrypted.
TEST(TzspE2E, CollectorWritesTheFramesSent)
{
    for (bool encrypted : {false, true}) {
        SCOPED_TRACE(encrypted ? "-k" : "-K");
        std::vector<std::string> key = encrypted ? std::vector<std::string>{"-k", "e2e secret key"}
                                                 : std::vector<std::string>{"-K"};
        temp_file pcap_file(encrypted ? "k.pcap" : "K.pcap", "");
        const std::string& pcap = pcap_file.path;
        scoped_child col;
        std::uint16_t cport = 0;
        std::vector<std::string> col_args = key;
        col_args.insert(col_args.end(), {"-w", pcap, "-c", "6"});
        ASSERT_TRUE(start_collector(col, &cport, col_args)) << process_stdout(col.proc);

        scoped_child tap;
        std::uint16_t tport = 0;
        ASSERT_TRUE(start_remote(tap, &tport, cport, key)) << process_stdout(tap.proc);

        udp src;
        std::vector<bytes> frames = {frame_of(64, 1),   frame_of(1, 2),    frame_of(1400, 3),
                                     frame_of(512, 4),  frame_of(8995, 5), frame_of(60, 6)};
        for (std::size_t i = 0; i < frames.size(); ++i)
            src.send(i % 2 ? tzsp(frames[i], {0, 7, 2, 0xaa, 0xbb}) : tzsp(frames[i]), tport);

        // The collector ends by itself after six frames.
        ASSERT_EQ(process_wait(&col.proc, 10000), 0) << process_stdout(col.proc);
        EXPECT_EQ(col.proc.exit_status, 0);
        std::vector<record> recs;
        ASSERT_TRUE(parse_pcap(pcap, &recs));
        ASSERT_EQ(recs.size(), frames.size());
        for (std::size_t i = 0; i < frames.size(); ++i) {
            EXPECT_EQ(recs[i].frame, frames[i]) << i;
            EXPECT_EQ(recs[i].len, frames[i].size());
        }
        EXPECT_NE(process_stdout(col.proc).find("6 frames; not decoded: 0 bad magic"),
                  std::string::npos)
            << process_stdout(col.proc);
        stop_remote(tap);
    }
}

// A collector with another key counts bad datagrams and keeps going.
TEST(TzspE2E, CollectorReportsDatagramsUnderAnotherKey)
{
    temp_file pcap_file("wrong.pcap", "");
    const std::string& pcap = pcap_file.path;
    scoped_child col;
    std::uint16_t cport = 0;
    ASSERT_TRUE(start_collector(col, &cport, {"-k", "not the key", "-w", pcap}))
        << process_stdout(col.proc);
    scoped_child tap;
    std::uint16_t tport = 0;
    ASSERT_TRUE(start_remote(tap, &tport, cport, {"-k", "the key"})) << process_stdout(tap.proc);

    udp src;
    src.send(tzsp(frame_of(100, 1)), tport);
    ASSERT_TRUE(process_wait_output(col.proc, "not decoded: bad magic", 5000))
        << process_stdout(col.proc);
    ASSERT_EQ(process_signal(&col.proc, SIGTERM), 0);
    ASSERT_EQ(process_finish(&col.proc, 3000), 0) << process_stdout(col.proc);
    EXPECT_EQ(col.proc.exit_status, 0);
    EXPECT_NE(process_stdout(col.proc).find("Received 1 datagrams, 0 frames; not decoded: 1 bad magic"),
              std::string::npos)
        << process_stdout(col.proc);
    stop_remote(tap);
}

// "-w -": the pcap stream alone on standard output, the log elsewhere.
TEST(TzspE2E, CollectorStreamsPcapToStandardOutput)
{
    scoped_child col;
    std::uint16_t cport = 0;
    ASSERT_TRUE(start_collector(col, &cport, {"-K", "-w", "-", "-c", "1"}))
        << process_stderr(col.proc);
    scoped_child tap;
    std::uint16_t tport = 0;
    ASSERT_TRUE(start_remote(tap, &tport, cport, {"-K"})) << process_stdout(tap.proc);
    udp src;
    bytes f = frame_of(77, 9);
    src.send(tzsp(f), tport);
    ASSERT_EQ(process_wait(&col.proc, 5000), 0);
    std::vector<record> recs;
    ASSERT_TRUE(parse_pcap(col.proc.out_path, &recs));
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].frame, f);
    EXPECT_NE(process_stderr(col.proc).find("Received 1 datagrams, 1 frames"), std::string::npos);
    stop_remote(tap);
}

#if defined(__linux__)
namespace {

// Runs ip; true when it ended with status 0 (its standard output in *out).
bool run_ip(const std::vector<std::string>& args, std::string* out = nullptr)
{
    scoped_child c;
    process_options o;
    o.use_run_prefix = false;
    if (process_start(&c.proc, "ip", args, o) != 0 || process_wait(&c.proc, 5000) != 0)
        return false;
    if (out)
        *out = process_stdout(c.proc);
    return c.proc.exit_status == 0;
}

// A network namespace of this test run, deleted when the holder goes and,
// should the run end on the way, at exit.
std::string netns_at_exit;
struct scoped_netns {
    std::string name;
    bool made = false;
    explicit scoped_netns(const std::string& n) : name(n)
    {
        static const int registered = std::atexit([] {
            if (!netns_at_exit.empty() &&
                std::system(("ip netns del " + netns_at_exit + " 2>/dev/null").c_str()) != 0) {
            }
        });
        (void)registered;
        netns_at_exit = name;
        made = run_ip({"netns", "add", name});
    }
    scoped_netns(const scoped_netns&) = delete;
    scoped_netns& operator=(const scoped_netns&) = delete;
    ~scoped_netns()
    {
        run_ip({"netns", "del", name});
        netns_at_exit.clear();
    }
};

struct scoped_fd {
    int fd = -1;
    ~scoped_fd()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

// Runs fn on a thread that has entered the network namespace ns: sockets
// made there stay in it, /proc/sys/net is its. False if it was not entered.
bool in_netns(const std::string& ns, const std::function<void()>& fn)
{
    bool entered = false;
    std::thread t([&] {
        scoped_fd f{::open(("/var/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC)};
        entered = f.fd >= 0 && ::setns(f.fd, CLONE_NEWNET) == 0;
        if (entered)
            fn();
    });
    t.join();
    return entered;
}

// "ipv6/conf/all/accept_ra=2" into /proc/sys/net of the calling thread.
bool set_net_sysctl(const std::string& setting)
{
    std::size_t eq = setting.find('=');
    std::FILE* f = std::fopen(("/proc/sys/net/" + setting.substr(0, eq)).c_str(), "w");
    bool ok = f && std::fputs(setting.c_str() + eq + 1, f) >= 0;
    return f && std::fclose(f) == 0 && ok;
}

bytes cat(std::initializer_list<bytes> parts)
{
    bytes d;
    for (const bytes& p : parts)
        d.insert(d.end(), p.begin(), p.end());
    return d;
}

bytes be16_of(std::size_t v)
{
    return {static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
}

// Address of the first two bytes, zeros, then tail.
bytes ip6(std::uint8_t a, std::uint8_t b, const bytes& tail)
{
    bytes d(16 - tail.size());
    d[0] = a;
    d[1] = b;
    return cat({d, tail});
}

std::uint16_t inet_checksum(const bytes& d)
{
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < d.size(); i += 2)
        sum += static_cast<std::uint32_t>(d[i] << 8 | (i + 1 < d.size() ? d[i + 1] : 0));
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum);
}

// An ICMPv6 message in IPv6 (hop limit 255) in Ethernet, checksum filled in.
bytes icmp6_frame(const bytes& eth_dst, const bytes& eth_src, const bytes& src, const bytes& dst,
                  bytes icmp)
{
    bytes len = be16_of(icmp.size());
    bytes c = be16_of(inet_checksum(cat({src, dst, {0, 0}, len, {0, 0, 0, 58}, icmp})));
    icmp[2] = c[0];
    icmp[3] = c[1];
    return cat({eth_dst, eth_src, {0x86, 0xdd, 0x60, 0, 0, 0}, len, {58, 255}, src, dst, icmp});
}

// A clear Tap datagram holding the frames.
bytes tap_datagram(const std::vector<bytes>& frames)
{
    bytes d = {0x02, 0x19, 0x68, 0x24, 0, 1, static_cast<std::uint8_t>(frames.size()), 0};
    for (const bytes& f : frames)
        d = cat({d, bytes(8), be16_of(f.size()), be16_of(f.size()), f});
    return d;
}

}  // namespace

// The TAP interface is a passive monitor: what the remote site sends
// through it neither configures this host nor draws an answer from it.
// The namespace is set up so that an ordinary interface would do both:
// take router advertisements, answer ARP and neighbour solicitations for
// its addresses at once (no duplicate detection delay) and take IPv4 from
// any source. Once with the interface made by the collector, once with one
// that already exists and is up; then with settings that cannot be written.
TEST(TzspE2E, CollectorTapInterfaceIsAPassiveMonitor)
{
    if (::geteuid() != 0 || ::access("/proc/sys/net/ipv6", F_OK) != 0 ||
        ::access("/dev/net/tun", F_OK) != 0)
        GTEST_SKIP() << "needs root, IPv6 and /dev/net/tun";
    const std::string pid = std::to_string(::getpid());
    scoped_netns ns("vantry-e2e-" + pid);
    ASSERT_TRUE(ns.made);
    ASSERT_TRUE(run_ip({"-n", ns.name, "link", "set", "lo", "up"}));
    ASSERT_TRUE(run_ip({"-n", ns.name, "addr", "add", "192.0.2.1/32", "dev", "lo"}));
    std::unique_ptr<udp> src, rx;  // to the collector; a local IPv4 address
    bool settings_ok = true;
    ASSERT_TRUE(in_netns(ns.name, [&] {
        for (const char* s : {"ipv6/conf/all/disable_ipv6=0", "ipv6/conf/default/disable_ipv6=0",
                              "ipv6/conf/all/accept_ra=2", "ipv6/conf/default/accept_ra=2",
                              "ipv6/conf/default/accept_dad=0", "ipv4/conf/all/rp_filter=0",
                              "ipv4/conf/default/rp_filter=0", "ipv4/conf/all/arp_ignore=0"})
            settings_ok = set_net_sysctl(s) && settings_ok;
        src = std::make_unique<udp>();
        rx = std::make_unique<udp>("192.0.2.1");
    }));
    ASSERT_TRUE(settings_ok);

    const bytes peer = {0x02, 0, 0, 0, 0, 0x99};
    const bytes peer_ll = ip6(0xfe, 0x80, {0x99});
    for (bool exists : {false, true}) {
        const std::string name = (exists ? "vta" : "vtc") + pid;
        SCOPED_TRACE(name);
        if (exists) {  // up with no carrier: IPv6 starts the moment it is attached
            ASSERT_TRUE(run_ip({"-n", ns.name, "tuntap", "add", "dev", name, "mode", "tap"}) &&
                        run_ip({"-n", ns.name, "link", "set", name, "up"}));
        }
        // Open before the collector starts: whatever the kernel sends on the
        // interface from its first moment is seen.
        scoped_fd pkt;
        in_netns(ns.name,
                 [&] { pkt.fd = ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL)); });
        ASSERT_GE(pkt.fd, 0);
        scoped_child col;
        std::uint16_t cport = 0;
        ASSERT_TRUE(start_collector(col, &cport, {"-K", "-i", name}, ns.name))
            << process_stdout(col.proc) << process_stderr(col.proc);

        ifreq ifr{};
        std::strncpy(ifr.ifr_name, name.c_str(), IFNAMSIZ - 1);
        ASSERT_EQ(::ioctl(pkt.fd, SIOCGIFHWADDR, &ifr), 0);
        const bytes mac(ifr.ifr_hwaddr.sa_data, ifr.ifr_hwaddr.sa_data + 6);
        ASSERT_EQ(::ioctl(pkt.fd, SIOCGIFINDEX, &ifr), 0);
        const int index = ifr.ifr_ifindex;
        // The address an ordinary interface would give itself from its MAC.
        const bytes own_ll = ip6(0xfe, 0x80, {static_cast<std::uint8_t>(mac[0] ^ 2), mac[1], mac[2],
                                              0xff, 0xfe, mac[3], mac[4], mac[5]});
        bytes ip4 = cat({{0x45, 0, 0, 29, 0, 0, 0x40, 0, 64, 17, 0, 0},
                         {198, 51, 100, 7}, {192, 0, 2, 1}});
        bytes sum = be16_of(inet_checksum(ip4));
        ip4[10] = sum[0];
        ip4[11] = sum[1];
        const std::vector<bytes> frames = {
            // Router advertisement, lifetime 1800 s, source link-layer
            // address, prefix 2001:db8:1::/64 on-link and autonomous.
            icmp6_frame({0x33, 0x33, 0, 0, 0, 1}, peer, peer_ll, ip6(0xff, 0x02, {1}),
                        cat({{134, 0, 0, 0, 64, 0, 0x07, 0x08}, bytes(8), {1, 1}, peer,
                             {3, 4, 64, 0xc0, 0, 1, 0x51, 0x80, 0, 0, 0x38, 0x40}, bytes(4),
                             ip6(0x20, 0x01, {0x0d, 0xb8, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0})})),
            // ARP probe (sender 0.0.0.0) for the local address.
            cat({bytes(6, 0xff), peer, {8, 6, 0, 1, 8, 0, 6, 4, 0, 1}, peer, bytes(10),
                 {192, 0, 2, 1}}),
            // Neighbour solicitation for the interface's own link-local address.
            icmp6_frame(mac, peer, peer_ll, own_ll,
                        cat({{135, 0, 0, 0}, bytes(4), own_ll, {1, 1}, peer})),
            // UDP to the local address from a source routed nowhere.
            cat({mac, peer, {8, 0}, ip4, {0x30, 0x39}, be16_of(rx->port()), {0, 9, 0, 0, 'x'}}),
        };
        src->send(tap_datagram(frames), cport);

        // Written frames show as received; what the kernel sends, as
        // outgoing. Reading goes on for a second after the last one written.
        unsigned in = 0, out = 0;
        auto deadline = clock_type::now() + std::chrono::seconds(5);
        while (clock_type::now() < deadline) {
            pollfd p{pkt.fd, POLLIN, 0};
            sockaddr_ll from{};
            socklen_t from_len = sizeof from;
            std::uint8_t buf[2048];
            if (::poll(&p, 1, 50) != 1 ||
                ::recvfrom(pkt.fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from),
                           &from_len) < 0 ||
                from.sll_ifindex != index)
                continue;
            if (from.sll_pkttype == PACKET_OUTGOING)
                ++out;
            else if (++in == frames.size())
                deadline = clock_type::now() + std::chrono::seconds(1);
        }
        EXPECT_EQ(in, frames.size());
        EXPECT_EQ(out, 0u);
        // IPv4 cannot be switched off on one interface. With nothing routed
        // through it, the strict reverse-path check the collector sets on it
        // drops every packet with a source address as a martian, before it
        // reaches a local address.
        EXPECT_NE(net_wait_readable(rx->s, 0), 1);
        std::string text;
        ASSERT_TRUE(run_ip({"-n", ns.name, "addr", "show", "dev", name}, &text));
        EXPECT_EQ(text.find("inet"), std::string::npos) << text;
        for (const char* family : {"-4", "-6"}) {
            ASSERT_TRUE(
                run_ip({"-n", ns.name, family, "route", "show", "table", "all", "dev", name}, &text));
            EXPECT_EQ(text, "") << family;
        }
        ASSERT_EQ(process_signal(&col.proc, SIGTERM), 0);
        ASSERT_EQ(process_finish(&col.proc, 3000), 0);
        EXPECT_EQ(col.proc.exit_status, 0);
        EXPECT_NE(process_stdout(col.proc).find("1 datagrams, 4 frames"), std::string::npos)
            << process_stdout(col.proc);
        if (exists) {
            EXPECT_TRUE(run_ip({"-n", ns.name, "link", "del", name}));
        }
    }

    // Settings it cannot write (/proc/sys/net read-only, in a mount
    // namespace of its own): refused, not run half-inert.
    const std::string name = "vtr" + pid;
    scoped_child bad;
    process_options o;
    o.use_run_prefix = false;
    ASSERT_EQ(process_start(&bad.proc, "ip",
                            {"netns", "exec", ns.name, "unshare", "-m", "sh", "-c",
                             "mount --bind /proc/sys/net /proc/sys/net && "
                             "mount -o remount,bind,ro /proc/sys/net && exec \"$0\" \"$@\"",
                             VANTRY_BIN_DIR "/vantry_collector", "-p", "0", "-K", "-i", name},
                            o),
              0);
    ASSERT_EQ(process_wait(&bad.proc, 5000), 0) << process_stdout(bad.proc);
    EXPECT_NE(bad.proc.exit_status, 0);
    EXPECT_NE(process_stdout(bad.proc).find("ERROR: Unable to make TAP interface '" + name +
                                            "' passive: IPv6 off (disable_ipv6) failed"),
              std::string::npos)
        << process_stdout(bad.proc) << process_stderr(bad.proc);
}
#endif
