// The forwarding path below the loops: TZSP frames, the Tap datagram and
// its batching, the sender.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <thread>

#include "forward/allow_list.h"
#include "forward/forwarding.h"
#include "forward/speck_internal.h"
#include "forward/tap_batch.h"
#include "forward/tzsp.h"
#include "tools/collector/pcap_stream.h"
#include "tests/test_support.h"

namespace {

std::uint32_t be16(const bytes& b, std::size_t at) { return (b[at] << 8) | b[at + 1]; }
std::uint32_t be32(const bytes& b, std::size_t at) { return (be16(b, at) << 16) | be16(b, at + 2); }

// A batch sending to a loopback collector, in clear so the bytes can be
// read back.
struct TapBatch : ::testing::Test {
    loopback_collector collector;
    std::unique_ptr<tap_batch> batch = std::make_unique<tap_batch>();

    void SetUp() override
    {
        ASSERT_TRUE(collector.sender.has_destination);
        tap_batch_init(*batch, 7, &collector.sender);
    }
    void add(const bytes& f, std::uint32_t len = 0, const std::uint8_t* prefix = nullptr)
    {
        tap_batch_add(*batch, 1, 2, static_cast<std::uint32_t>(f.size()),
                      len ? len : static_cast<std::uint32_t>(f.size()), prefix, f.data());
    }
    bytes next()
    {
        bytes d;
        EXPECT_TRUE(collector.receive(d));
        return d;
    }
};

}  // namespace

// Header with arbitrary version, type and protocol: none of them matters.
TEST(TzspFrame, TagsAreWalkedToEndAndNeverPastTheDatagram)
{
    struct row {
        bytes d;
        int result;
        std::uint32_t offset, length;
    };
    const row rows[] = {
        {{0x7f, 0xee, 0x12, 0x34, 1, 0xaa, 0xbb, 0xcc}, 0, 5, 3},
        {{1, 0, 0, 1, 1}, 0, 5, 0},
        // padding, padding, tag 10 with 4 value bytes, tag 42 with none, END
        {{1, 0, 0, 1, 0, 0, 10, 4, 1, 1, 1, 1, 42, 0, 1, 0xde, 0xad}, 0, 15, 2},
        // value bytes that look like END are not the end
        {{1, 0, 0, 1, 10, 2, 1, 1, 1, 0x55}, 0, 9, 1},
        {{1, 0, 0, 1}, -1, 0, 0},
        {{1, 0, 0, 1, 0, 0, 0}, -1, 0, 0},
        {{1, 0, 0, 1, 10}, -1, 0, 0},
        {{1, 0, 0, 1, 10, 3, 1, 1}, -1, 0, 0},
        {{1, 0, 0, 1, 10, 255, 1}, -1, 0, 0},
        {{1, 0, 0}, -1, 0, 0},
        {{}, -1, 0, 0},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(testing::PrintToString(r.d));
        // An exact copy, so that a sanitizer build catches a read past it.
        auto exact = std::make_unique<std::uint8_t[]>(r.d.size());
        std::copy(r.d.begin(), r.d.end(), exact.get());
        tzsp_frame f{};
        ASSERT_EQ(tzsp_find_frame(exact.get(), r.d.size(), &f), r.result);
        if (r.result == 0) {
            EXPECT_EQ(f.offset, r.offset);
            EXPECT_EQ(f.length, r.length);
        }
    }
}

TEST(TapWire, DecodingRefusesWhatNoTapBuilds)
{
    const bytes good = {0x02, 0x19, 0x68, 0x24, 0, 9, 1, 0, 0, 0, 0, 1, 0, 0, 0, 2, 0, 2, 0, 3, 0xaa, 0xbb};
    auto with = [&](std::size_t at, std::uint8_t v) {
        bytes d = good;
        d[at] = v;
        return d;
    };
    struct row {
        bytes d;
        tap_decode_result r;
    };
    const row rows[] = {
        {good, tap_decode_ok},
        {with(0, 0x24), tap_decode_bad_magic},
        {bytes(good.begin(), good.begin() + 7), tap_decode_bad_length},
        {bytes(good.begin(), good.end() - 1), tap_decode_bad_record},  // frame cut
        {[&] { bytes d = good; d.push_back(0); return d; }(), tap_decode_bad_length},
        {with(6, 2), tap_decode_bad_record},          // a second record that is not there
        {with(19, 1), tap_decode_bad_record},         // caplen above len
        {[&] { bytes d = good; d[13] = 0x0f; d[14] = 0x42; d[15] = 0x40; return d; }(),
         tap_decode_bad_record},                      // a million microseconds
        {{0x02, 0x19, 0x68, 0x24, 0, 0, 0, 0}, tap_decode_ok},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(testing::PrintToString(r.d));
        static tap_datagram_view view;
        EXPECT_EQ(tap_decode(r.d.data(), r.d.size(), &view), r.r);
    }
    std::vector<wire_record> recs;
    std::uint16_t id = 0;
    ASSERT_TRUE(decode_records(good, &recs, &id));
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(id, 9);
    EXPECT_EQ(recs[0].ts_sec, 1u);
    EXPECT_EQ(recs[0].ts_usec, 2u);
    EXPECT_EQ(recs[0].len, 3);
    EXPECT_EQ(recs[0].frame, (bytes{0xaa, 0xbb}));
}

TEST_F(TapBatch, HeaderAndRecordsAreLaidOutByteExactly)
{
    tap_batch_init(*batch, 65537, &collector.sender);
    const bytes f1 = pattern(3, 0x40), f2 = pattern(60, 0x80);
    tap_batch_add(*batch, 0x01020304, 999999, 3, 1500, nullptr, f1.data());
    std::uint8_t eth[14];
    for (int i = 0; i < 14; ++i)
        eth[i] = static_cast<std::uint8_t>(0xe0 + i);
    tap_batch_add(*batch, 0xa0b0c0d0, 5, 60, 60, eth, f2.data());
    tap_batch_idle(*batch);

    const bytes d = next();
    ASSERT_EQ(d.size(), 8u + 12 + 3 + 12 + 14 + 60);
    EXPECT_EQ(bytes(d.begin(), d.begin() + 8), (bytes{0x02, 0x19, 0x68, 0x24, 0x00, 0x01, 2, 0}));
    // The first record starts at 8; the second right after it, unaligned.
    EXPECT_EQ(be32(d, 8), 0x01020304u);
    EXPECT_EQ(be32(d, 12), 999999u);
    EXPECT_EQ(be16(d, 16), 3u);
    EXPECT_EQ(be16(d, 18), 1500u);
    EXPECT_EQ(bytes(d.begin() + 20, d.begin() + 23), f1);
    EXPECT_EQ(be32(d, 23), 0xa0b0c0d0u);
    EXPECT_EQ(be32(d, 27), 5u);
    EXPECT_EQ(be16(d, 31), 74u) << "the prefix counts in caplen";
    EXPECT_EQ(be16(d, 33), 74u) << "and in len";
    EXPECT_EQ(bytes(d.begin() + 35, d.begin() + 49), bytes(eth, eth + 14));
    EXPECT_EQ(bytes(d.begin() + 49, d.end()), f2);

    // After a send the next record starts at 8 again and counts from 1.
    add(f1);
    tap_batch_idle(*batch);
    const bytes again = next();
    ASSERT_EQ(again.size(), 8u + 12 + 3);
    EXPECT_EQ(again[6], 1);
    EXPECT_EQ(be16(again, 4), 1u);
    EXPECT_EQ(collector.sender.datagrams_sent, 2u);
    // Nothing in hand: nothing goes out, also when forced.
    tap_batch_idle(*batch);
    tap_batch_flush(*batch);
    EXPECT_TRUE(collector.quiet());
}

// The threshold is tested before a frame is added; the budget is what one
// IPv4 UDP datagram carries.
TEST_F(TapBatch, DatagramGoesOutPast1480BytesOrWhenTheNextRecordWouldNotFit)
{
    struct row {
        std::uint32_t first, second;  // frame sizes
        std::uint32_t sent;           // datagram sent by the second add (0: none)
        std::uint32_t left;           // record bytes in hand afterwards
    };
    const std::uint32_t budget = 65507 - 8;
    const row rows[] = {
        {1468, 10, 0, 1502},                     // 1480 bytes in hand: joins them
        {1469, 10, 8 + 1481, 22},                // 1481: goes out first
        {88, budget - 100 - 12, 0, budget},      // exactly the space left
        {88, budget - 100 - 11, 8 + 100, budget - 99},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.first << " then " << r.second);
        tap_batch_init(*batch, 7, &collector.sender);
        add(pattern(r.first, 1));
        add(pattern(r.second, 2));
        if (r.sent) {
            EXPECT_EQ(next().size(), r.sent);
        }
        EXPECT_TRUE(collector.quiet(30));
        EXPECT_EQ(batch->data_len, r.left);
        tap_batch_idle(*batch);
        EXPECT_EQ(next().size(), 8u + r.left);
    }
    EXPECT_FALSE(idle_wait_passed(5000, 6009));
    EXPECT_TRUE(idle_wait_passed(5000, 6010));
}

TEST_F(TapBatch, OversizeFrameIsCarriedCutToWhatFits)
{
    // The largest frame that fits is carried whole.
    const bytes most = pattern(65507 - 8 - 12, 3);
    add(most);
    tap_batch_idle(*batch);
    bytes whole = next();
    ASSERT_EQ(whole.size(), 65507u);
    EXPECT_EQ(be16(whole, 16), most.size());
    const bytes big = pattern(70000, 9);
    std::uint8_t eth[14] = {};
    // Into an empty datagram: no empty datagram goes out before it.
    add(big, 70000, eth);
    EXPECT_EQ(batch->data_len, 65499u);
    add(pattern(4, 1));
    bytes d = next();
    ASSERT_EQ(d.size(), 65507u);
    EXPECT_EQ(d[6], 1);
    EXPECT_EQ(be16(d, 16), 65487u) << "caplen is what was carried, prefix included";
    EXPECT_EQ(be16(d, 18), 65535u) << "len saturates";
    EXPECT_EQ(bytes(d.begin() + 34, d.end()), bytes(big.begin(), big.begin() + 65473));
    // Behind a record: that one goes out alone first.
    add(big, 65600);
    EXPECT_EQ(next().size(), 8u + 16);
    tap_batch_idle(*batch);
    EXPECT_EQ(next().size(), 65507u);
}

// Decrypted with a counter built here from the rule, not with the code's.
TEST_F(TapBatch, EncryptedDatagramDecryptsWithTheLengthCounter)
{
    key_guard key;
    ASSERT_EQ(speck_setup_key("batch key", 9), 1);
    collector.sender.encrypt = true;
    collector.sender.key = speck_key;
    tap_batch_init(*batch, 0x1234, &collector.sender);
    for (std::uint32_t n : {1u, 15u, 1514u}) {
        const bytes f = pattern(n, 5);
        add(f);
        tap_batch_idle(*batch);
        bytes d = next();
        ASSERT_EQ(d.size(), n + 20);
        std::uint8_t counter[16];
        speck_store_le64(counter, d.size());
        speck_store_le64(counter + 8, d.size());
        ASSERT_EQ(speck_ctr_crypt(d.data(), d.data(), d.size(), counter, *speck_key), 0);
        EXPECT_EQ(bytes(d.begin(), d.begin() + 8), (bytes{0x02, 0x19, 0x68, 0x24, 0x12, 0x34, 1, 0}));
        EXPECT_EQ(bytes(d.begin() + 20, d.end()), f);
    }
}

TEST(Sender, FailuresAreCountedAndNothingLeavesWithoutDestinationOrKey)
{
    loopback_collector c;
    tap_sender& s = c.sender;
    bytes d(40, 0x11);
    ASSERT_EQ(send_datagram(s, d.data(), 40), 0);
    ASSERT_TRUE(c.receive(d));

    bytes huge(65508, 0x22);  // more than IPv4 UDP carries
    testing::internal::CaptureStdout();
    EXPECT_EQ(send_datagram(s, huge.data(), 65508), 2);
    s.has_destination = false;
    EXPECT_EQ(send_datagram(s, d.data(), 40), 2);
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(log.find("Send error"), log.rfind("Send error")) << "one line for both: " << log;
    s.has_destination = true;
    s.encrypt = true;  // and no key
    EXPECT_EQ(send_datagram(s, d.data(), 40), -1);
    EXPECT_TRUE(c.quiet());
    EXPECT_EQ(s.datagrams_sent, 1u);
    EXPECT_EQ(s.failures, 2u);
}

// A collector that cannot be reached: every failure counted, one line for
// the first, then at most one a second with the number since the last
// line, and one when sending works again.
TEST(Sender, FailureLogNamesTheFirstThenOneLineASecondThenTheRecovery)
{
    send_failure_log log;
    EXPECT_EQ(send_success_note(log), 0u);
    struct step {
        std::uint64_t now_ms;
        bool failed;
        std::uint32_t reported;
    };
    const step steps[] = {
        {5000, true, 1},  {5001, true, 0},  {5999, true, 0}, {6000, true, 3},
        {6001, true, 0},  {9000, true, 2},  {9001, false, 6}, {9002, false, 0},
        {9003, true, 1},  {9005, false, 1},
    };
    for (const step& s : steps) {
        SCOPED_TRACE(s.now_ms);
        EXPECT_EQ(s.failed ? send_failure_note(log, s.now_ms) : send_success_note(log), s.reported);
    }
}

// The TZSP loop on loopback: what carries no frame is dropped (counted or
// not), every frame arrives once in order, a stop ends the loop at once and
// drops what is in hand, and an allow-list keeps unlisted senders out.
TEST(TzspReceiver, ForwardsEveryFrameOnceAndStopsAtOnce)
{
    for (bool listed : {true, false}) {
        SCOPED_TRACE(listed ? "sender listed" : "sender not listed");
        loopback_collector collector;
        forward_context ctx;
        ctx.sender = collector.sender;
        collector.sender.socket = net_invalid_socket;  // now the context's
        ctx.tap_id = 3;
        temp_file hosts(listed ? "127.0.0.1\n" : "10.0.0.1\n");
        prefix_trie* list = nullptr;
        load_hosts_file(hosts.path.c_str(), &list);
        ctx.allow_list = list;

        net_socket probe = net_udp_socket();
        net_bind_any(probe, 0);
        const std::uint16_t port = net_local_port(probe);
        net_close(probe);
        testing::internal::CaptureStdout();
        std::thread loop([&] { run_tzsp_receiver(ctx, port); });
        // Bound once another bind of the port fails.
        for (int i = 0; i < 200; ++i) {
            net_socket p = net_udp_socket();
            const int free_port = net_bind_any(p, port);
            net_close(p);
            if (free_port != 0)
                break;
            sleep_ms(10);
        }
        const bytes big1 = pattern(1000, 1), big2 = pattern(1000, 2), small = pattern(1, 3);
        std::vector<bytes> in = {
            {1, 0, 0, 1, 1},                          // 5 bytes: not counted
            bytes(9001, 1),                           // beyond the buffer: not counted
            {1, 0, 0, 1, 1, 0xaa},                    // a 1-byte frame
            {1, 0, 0, 1, 10, 200, 1},                 // tags past the end: counted, dropped
            {1, 0, 0, 1, 0, 1},                       // padding, END, empty frame: dropped
        };
        for (const bytes* f : {&big1, &big2, &small}) {
            const std::uint8_t head[] = {0xff, 0xee, 0xdd, 0xcc, 10, 1, 9, 1};  // odd header, a tag, END
            bytes d(sizeof head + f->size());
            std::memcpy(d.data(), head, sizeof head);
            std::memcpy(d.data() + sizeof head, f->data(), f->size());
            in.push_back(d);
        }
        net_socket src = net_udp_socket();
        for (const bytes& d : in)
            net_send_to(src, d.data(), d.size(), net_addr4{ipv4_of(127, 0, 0, 1), net_order16(port)});
        net_close(src);

        bytes got;
        std::vector<wire_record> recs;
        if (listed) {
            ASSERT_TRUE(collector.receive(got));
            std::uint16_t id = 0;
            ASSERT_TRUE(decode_records(got, &recs, &id));
            EXPECT_EQ(id, 3);
            ASSERT_EQ(recs.size(), 3u);
            EXPECT_EQ(recs[0].frame, bytes{0xaa});
            // Stamped on arrival with the Unix time.
            const double now = static_cast<double>(clock_utc_filetime() / 10000000 - 11644473600ull);
            EXPECT_NEAR(recs[0].ts_sec, now, 5);
            EXPECT_LT(recs[0].ts_usec, 1000000u);
            EXPECT_EQ(recs[1].frame, big1);
            EXPECT_EQ(recs[2].frame, big2);
        } else {
            EXPECT_TRUE(collector.quiet(300));
        }
        const std::uint64_t t0 = clock_monotonic_ms();
        forward_stop(ctx);
        loop.join();
        EXPECT_LT(clock_monotonic_ms() - t0, 500u) << "a stop waits for nothing";
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find("Collected 6 pkts"), std::string::npos) << out;
        EXPECT_TRUE(collector.quiet()) << "the small frame in hand is dropped";
        net_close(ctx.sender.socket);
        release_allow_list(&list);
    }
}

// The collector's pcap stream: classic layout, little-endian, microseconds.
TEST(PcapStream, HeadersAreLaidOutByteExactly)
{
    std::uint8_t file[pcap_file_header_size];
    pcap_fill_file_header(file);
    EXPECT_EQ(bytes(file, file + sizeof file),
              (bytes{0xd4, 0xc3, 0xb2, 0xa1, 2, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 0, 0, 1, 0, 0, 0}));
    tap_record_view r;
    r.ts_sec = 0x01020304;
    r.ts_usec = 999999;
    r.caplen = 0x0506;
    r.len = 0x0708;
    std::uint8_t rec[pcap_record_header_size];
    pcap_fill_record_header(rec, r);
    EXPECT_EQ(bytes(rec, rec + sizeof rec),
              (bytes{4, 3, 2, 1, 0x3f, 0x42, 0x0f, 0, 6, 5, 0, 0, 8, 7, 0, 0}));
}
