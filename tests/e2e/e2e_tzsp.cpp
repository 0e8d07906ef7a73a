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
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

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

// Starts the native collector on a port of its own choosing.
bool start_collector(scoped_child& c, std::uint16_t* port, std::vector<std::string> extra)
{
    std::vector<std::string> args = {"-p", "0"};
    args.insert(args.end(), extra.begin(), extra.end());
    process_options o;
    o.use_run_prefix = false;
    if (process_start(&c.proc, VANTRY_BIN_DIR "/vantry_collector", args, o) != 0)
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
