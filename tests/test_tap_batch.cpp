#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "forward/speck_internal.h"
#include "forward/tap_batch.h"
#include "tests/udp_sink.h"

namespace {

using bytes = std::vector<std::uint8_t>;

std::uint32_t be16(const bytes& b, std::size_t at) { return (b[at] << 8) | b[at + 1]; }
std::uint32_t be32(const bytes& b, std::size_t at) { return (be16(b, at) << 16) | be16(b, at + 2); }

bytes frame_of(std::size_t n, std::uint8_t seed)
{
    bytes f(n);
    for (std::size_t i = 0; i < n; ++i)
        f[i] = static_cast<std::uint8_t>(seed + i);
    return f;
}

// A batch and a sink, sent in the clear so the bytes can be read back.
struct TapBatch : ::testing::Test {
    udp_sink sink;
    sink_settings_guard guard{sink};
    std::unique_ptr<tap_batch> batch = std::make_unique<tap_batch>();

    void SetUp() override
    {
        ASSERT_TRUE(sink.ok());
        settings.disable_encryption = true;
        tap_batch_init(*batch, 7);
    }

    tap_add_result add(const bytes& f, std::uint32_t len = 0, const std::uint8_t* prefix = nullptr)
    {
        return tap_batch_add(*batch, 1, 2, static_cast<std::uint32_t>(f.size()),
                             len ? len : static_cast<std::uint32_t>(f.size()), prefix, f.data());
    }

    bytes next()
    {
        bytes d;
        EXPECT_TRUE(sink.receive(d));
        return d;
    }
};

}  // namespace

TEST_F(TapBatch, HeaderAndRecordsAreLaidOutByteExactly)
{
    tap_batch_init(*batch, 65537);
    const bytes f1 = frame_of(3, 0x40), f2 = frame_of(60, 0x80);
    ASSERT_EQ(tap_batch_add(*batch, 0x01020304, 999999, 3, 1500, nullptr, f1.data()), tap_added);
    std::uint8_t eth[14];
    for (int i = 0; i < 14; ++i)
        eth[i] = static_cast<std::uint8_t>(0xe0 + i);
    ASSERT_EQ(tap_batch_add(*batch, 0xa0b0c0d0, 5, 60, 60, eth, f2.data()), tap_added);
    tap_batch_idle(*batch);

    const bytes d = next();
    ASSERT_EQ(d.size(), 8u + 12 + 3 + 12 + 14 + 60);
    const bytes header(d.begin(), d.begin() + 8);
    EXPECT_EQ(header, (bytes{0x02, 0x19, 0x68, 0x24, 0x00, 0x01, 2, 0}));

    // The first record starts at 8; the second right after it, unaligned.
    EXPECT_EQ(be32(d, 8), 0x01020304u);
    EXPECT_EQ(be32(d, 12), 999999u);
    EXPECT_EQ(be16(d, 16), 3u);
    EXPECT_EQ(be16(d, 18), 1500u);
    EXPECT_EQ(bytes(d.begin() + 20, d.begin() + 23), f1);
    const std::size_t r2 = 23;
    EXPECT_EQ(be32(d, r2), 0xa0b0c0d0u);
    EXPECT_EQ(be32(d, r2 + 4), 5u);
    EXPECT_EQ(be16(d, r2 + 8), 74u) << "the prefix counts in caplen";
    EXPECT_EQ(be16(d, r2 + 10), 74u) << "and in len";
    EXPECT_EQ(bytes(d.begin() + r2 + 12, d.begin() + r2 + 26), bytes(eth, eth + 14));
    EXPECT_EQ(bytes(d.begin() + r2 + 26, d.end()), f2);

    // After a send the next record starts at 8 again and counts from 1.
    EXPECT_EQ(batch->data_len, 0u);
    ASSERT_EQ(add(f1), tap_added);
    tap_batch_idle(*batch);
    const bytes again = next();
    ASSERT_EQ(again.size(), 8u + 12 + 3);
    EXPECT_EQ(again[6], 1);
    EXPECT_EQ(bytes(again.begin() + 20, again.end()), f1);
}

TEST_F(TapBatch, TapIdZeroIsZeroOnTheWire)
{
    tap_batch_init(*batch, 0);
    ASSERT_EQ(add(frame_of(1, 0)), tap_added);
    tap_batch_idle(*batch);
    const bytes d = next();
    ASSERT_GE(d.size(), 8u);
    EXPECT_EQ(be16(d, 4), 0u);
}

TEST_F(TapBatch, ThresholdIsTestedBeforeTheFrameIsAdded)
{
    // 1480 bytes of records: the next frame still joins them.
    ASSERT_EQ(add(frame_of(1468, 1)), tap_added);
    ASSERT_EQ(batch->data_len, 1480u);
    ASSERT_EQ(add(frame_of(10, 2)), tap_added);
    EXPECT_EQ(batch->data_len, 1502u);
    EXPECT_TRUE(sink.quiet());

    // Past 1480 the datagram goes out first, with both records.
    ASSERT_EQ(add(frame_of(5, 3)), tap_added);
    const bytes d = next();
    EXPECT_EQ(d.size(), 8u + 1502);
    EXPECT_EQ(d[6], 2);
    EXPECT_EQ(batch->data_len, 17u);
    EXPECT_EQ(batch->buf[6], 1);
}

TEST_F(TapBatch, ThresholdOneByteOverSendsFirst)
{
    ASSERT_EQ(add(frame_of(1469, 1)), tap_added);
    ASSERT_EQ(batch->data_len, 1481u);
    ASSERT_EQ(add(frame_of(10, 2)), tap_added);
    EXPECT_EQ(next().size(), 8u + 1481);
    EXPECT_EQ(batch->data_len, 22u);
}

TEST_F(TapBatch, RecordExactlyAsLargeAsTheSpaceLeftFits)
{
    ASSERT_EQ(add(frame_of(88, 1)), tap_added);
    const std::uint32_t left = batch->data_pkt_avail;
    EXPECT_EQ(batch->data_len + left, 65507u - 8) << "the budget fits one IPv4 UDP datagram";

    ASSERT_EQ(add(frame_of(left - 12, 2)), tap_added);
    EXPECT_EQ(batch->data_pkt_avail, 0u);
    EXPECT_TRUE(sink.quiet());
    tap_batch_idle(*batch);
    const bytes d = next();
    EXPECT_EQ(d.size(), 65507u);
    EXPECT_EQ(d[6], 2);
}

TEST_F(TapBatch, RecordOneByteLargerThanTheSpaceLeftSendsFirst)
{
    ASSERT_EQ(add(frame_of(88, 1)), tap_added);
    const std::uint32_t left = batch->data_pkt_avail;
    ASSERT_EQ(add(frame_of(left - 11, 2)), tap_added);
    EXPECT_EQ(next().size(), 8u + 100);
    EXPECT_EQ(batch->data_len, left + 1);
    tap_batch_idle(*batch);
    EXPECT_EQ(next().size(), 8u + left + 1);
}

TEST_F(TapBatch, IdleWithNoRecordsSendsNothing)
{
    const std::uint32_t before = settings.datagrams_sent;
    tap_batch_idle(*batch);
    tap_batch_flush(*batch);
    EXPECT_TRUE(sink.quiet());
    EXPECT_EQ(settings.datagrams_sent, before);
    // What is in hand waits a whole idle wait (1.01 s) on the clock, also
    // where the capture's waits end early.
    EXPECT_FALSE(idle_wait_passed(5000, 5010));
    EXPECT_FALSE(idle_wait_passed(5000, 6009));
    EXPECT_TRUE(idle_wait_passed(5000, 6010));
}

TEST_F(TapBatch, OversizeFrameIsCarriedCutToWhatFits)
{
    const bytes big = frame_of(70000, 9);
    std::uint8_t eth[14] = {};

    // Into an empty datagram: no empty datagram goes out before it.
    ASSERT_EQ(add(big, 70000, eth), tap_added);
    EXPECT_EQ(batch->data_len, 65499u);
    ASSERT_EQ(add(frame_of(4, 1)), tap_added);
    bytes d = next();
    ASSERT_EQ(d.size(), 65507u);
    EXPECT_EQ(d[6], 1);
    EXPECT_EQ(be16(d, 16), 65487u) << "caplen is what was carried, prefix included";
    EXPECT_EQ(be16(d, 18), 65535u) << "len saturates";
    EXPECT_EQ(bytes(d.begin() + 34, d.end()), bytes(big.begin(), big.begin() + 65473));

    // Behind a record: that one goes out alone first, and the loop goes on.
    ASSERT_EQ(add(big, 65600), tap_added);
    EXPECT_EQ(next().size(), 8u + 16);
    tap_batch_idle(*batch);
    d = next();
    ASSERT_EQ(d.size(), 65507u);
    EXPECT_EQ(be16(d, 16), 65487u);
    EXPECT_EQ(be16(d, 18), 65535u);
    EXPECT_TRUE(sink.quiet());
}

TEST_F(TapBatch, EncryptedBatchDecryptsWithTheLengthCounter)
{
    settings.disable_encryption = false;
    ASSERT_EQ(speck_setup_key("batch key", 9), 1);
    tap_batch_init(*batch, 0x1234);
    const bytes f = frame_of(1514, 5);
    ASSERT_EQ(add(f), tap_added);
    tap_batch_idle(*batch);
    bytes d = next();
    ASSERT_EQ(d.size(), 1534u);
    std::uint8_t counter[16];
    speck_store_le64(counter, 1534);
    speck_store_le64(counter + 8, 1534);
    ASSERT_EQ(speck_ctr_crypt(d.data(), d.data(), d.size(), counter, *speck_key), 0);
    EXPECT_EQ(bytes(d.begin(), d.begin() + 8), (bytes{0x02, 0x19, 0x68, 0x24, 0x12, 0x34, 1, 0}));
    EXPECT_EQ(bytes(d.begin() + 20, d.end()), f);
}
