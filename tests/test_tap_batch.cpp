// Batching frames into Tap datagrams: the layout, when a datagram goes out, what an oversize frame keeps.
#include <gtest/gtest.h>
#include "forward/tap_batch.h"
#include "tests/test_support.h"

namespace {
// A batch of tap 7 sending to a loopback collector, in clear unless a test sets a key.
struct TapBatch : ::testing::Test {
    loopback_collector collector;
    std::unique_ptr<tap_batch> batch = std::make_unique<tap_batch>();
    void SetUp() override { tap_batch_init(*batch, 7, &collector.sender); }
    void add(const bytes& f, std::uint32_t len = 0, const std::uint8_t* prefix = nullptr)
    {
        tap_batch_add(*batch, 1, 2, std::uint32_t(f.size()), len ? len : std::uint32_t(f.size()), prefix, f.data());
    }
    bytes next(bool idle = false)  // the next datagram, after an idle wait when asked
    {
        bytes d;
        if (idle) tap_batch_idle(*batch);
        EXPECT_TRUE(collector.receive(d));
        return d;
    }
};
}  // namespace

// Deciphered with the length in both counter words; after each send the header is written anew, its count from 1.
TEST_F(TapBatch, HeaderAndRecordsAreLaidOutByteExactlyAndCipheredWithTheLengthAsCounter)
{
    key_guard key;
    ASSERT_EQ(speck_setup_key("batch key", 9), 1);
    collector.sender.encrypt = true;
    collector.sender.key = speck_key;
    auto clear = [&](const bytes& d) { return reference_ctr(d, d.size(), d.size(), *speck_key); };
    tap_batch_init(*batch, 65537, &collector.sender);
    const bytes f1 = pattern(3, 0x40), f2 = pattern(60, 0x80), eth = pattern(14, 0xe0);
    tap_batch_add(*batch, 0x01020304, 999999, 3, 1500, nullptr, f1.data());
    tap_batch_add(*batch, 0xa0b0c0d0, 5, 60, 60, eth.data(), f2.data());  // the prefix counts in both lengths
    EXPECT_EQ(clear(next(true)), cat({tap_header_bytes(1, 2), tap_record_bytes(0x01020304, 999999, 3, 1500), f1,
                                      tap_record_bytes(0xa0b0c0d0, 5, 74, 74), eth, f2}));
    for (std::uint32_t n : {1u, 15u, 16u, 33u, 1514u}) {
        const bytes f = pattern(n, 5);
        add(f);
        EXPECT_EQ(clear(next(true)), cat({tap_header_bytes(1, 1), tap_record_bytes(1, 2, n, n), f})) << n;
    }
    tap_batch_idle(*batch);
    tap_batch_flush(*batch);
    EXPECT_TRUE(collector.quiet()) << "nothing in hand: nothing goes out, also when forced";
}

// The threshold is tested before a frame is added; the budget is what one IPv4 UDP datagram carries.
TEST_F(TapBatch, DatagramGoesOutPast1480BytesOrWhenTheNextRecordWouldNotFit)
{
    const std::uint32_t b = 65507 - 8;
    const struct { std::uint32_t first, second, sent, kept; } rows[] = {  // the datagram the second sends, bytes kept
        {.first = 1468, .second = 10, .sent = 0, .kept = 1502},
        {.first = 1469, .second = 10, .sent = 8 + 1481, .kept = 22},
        {.first = 88, .second = b - 112, .sent = 0, .kept = b},
        {.first = 88, .second = b - 111, .sent = 108, .kept = b - 99}};
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message() << r.first << " then " << r.second);
        tap_batch_init(*batch, 7, &collector.sender);
        add(pattern(r.first, 1));
        add(pattern(r.second, 2));
        EXPECT_EQ(r.sent ? next().size() : 0u, r.sent);
        EXPECT_TRUE(collector.quiet(30));
        EXPECT_EQ(batch->data_len, r.kept);
        EXPECT_EQ(next(true).size(), 8u + r.kept);
    }
    EXPECT_FALSE(idle_wait_passed(5000, 6009));
    EXPECT_TRUE(idle_wait_passed(5000, 6010));
}

TEST_F(TapBatch, OversizeFrameIsCarriedCutToWhatFits)
{
    const bytes most = pattern(65507 - 20, 3), big = pattern(70000, 9), eth(14, 0);
    add(most);
    EXPECT_EQ(next(true), cat({tap_header_bytes(7, 1), tap_record_bytes(1, 2, 65487, 65487), most}))
        << "the largest frame goes whole";
    add(big, 65522, eth.data());  // 65536 on the wire with the prefix: one past what the field holds
    EXPECT_EQ(batch->data_len, 65499u) << "into an empty datagram: no empty one goes out before it";
    add(pattern(4, 1));  // sends it: caplen is what was carried, prefix included; len saturates
    EXPECT_EQ(next(), cat({tap_header_bytes(7, 1), tap_record_bytes(1, 2, 65487, 65535), eth,
                           bytes(big.begin(), big.begin() + 65473)}));
    add(big, 65600);
    EXPECT_EQ(next().size(), 8u + 16) << "behind a record: that one goes out alone first";
    EXPECT_EQ(next(true).size(), 65507u);
}
