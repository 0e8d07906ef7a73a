#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "tests/test_support.h"
#include "forward/speck.h"
#include "tools/collector/pcap_stream.h"
#include "tools/collector/tap_decode.h"

namespace {

using bytes = std::vector<std::uint8_t>;

void put_be(bytes& d, std::uint32_t v, int width)
{
    for (int i = width - 1; i >= 0; --i)
        d.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

bytes header(std::uint16_t tap_id, std::uint8_t num_pkts)
{
    bytes d = {0x02, 0x19, 0x68, 0x24};
    put_be(d, tap_id, 2);
    d.push_back(num_pkts);
    d.push_back(0);
    return d;
}

void add_record(bytes& d, std::uint32_t sec, std::uint32_t usec, const bytes& frame,
                std::uint16_t len = 0)
{
    put_be(d, sec, 4);
    put_be(d, usec, 4);
    put_be(d, static_cast<std::uint32_t>(frame.size()), 2);
    put_be(d, len ? len : static_cast<std::uint32_t>(frame.size()), 2);
    d.insert(d.end(), frame.begin(), frame.end());
}

tap_decode_result decode(const bytes& d, tap_datagram_view* v)
{
    return tap_decode(d.data(), d.size(), v);
}

tap_datagram_view view;

}  // namespace

TEST(TapDecode, ReadsHeaderAndRecordsInOrder)
{
    bytes d = header(0x0102, 2);
    add_record(d, 1700000000, 999999, {1, 2, 3});
    add_record(d, 5, 0, {9}, 60);
    ASSERT_EQ(decode(d, &view), tap_decode_ok);
    EXPECT_EQ(view.tap_id, 0x0102);
    ASSERT_EQ(view.num_pkts, 2);
    EXPECT_EQ(view.records[0].ts_sec, 1700000000u);
    EXPECT_EQ(view.records[0].ts_usec, 999999u);
    EXPECT_EQ(view.records[0].caplen, 3);
    EXPECT_EQ(view.records[0].frame, d.data() + 8 + 12);
    EXPECT_EQ(view.records[1].caplen, 1);
    EXPECT_EQ(view.records[1].len, 60);  // cut by a snap length
    EXPECT_EQ(view.records[1].frame[0], 9);
}

TEST(TapDecode, EmptyDatagramIsValid)
{
    // The batcher may hand over a header alone before an oversized record.
    ASSERT_EQ(decode(header(0, 0), &view), tap_decode_ok);
    EXPECT_EQ(view.num_pkts, 0);
}

TEST(TapDecode, MagicIsLittleEndianAndCheckedFirst)
{
    bytes d = header(0, 0);
    std::swap(d[0], d[3]);
    std::swap(d[1], d[2]);
    EXPECT_EQ(decode(d, &view), tap_decode_bad_magic);
    EXPECT_EQ(decode(bytes{0x24, 0x68, 0x19, 0x02}, &view), tap_decode_bad_magic);
    EXPECT_EQ(decode(bytes{0x02, 0x19, 0x68, 0x24, 0}, &view), tap_decode_bad_length);
    EXPECT_EQ(decode(bytes{0x02, 0x19}, &view), tap_decode_bad_length);
}

TEST(TapDecode, LengthMustMatchTheRecords)
{
    bytes d = header(0, 1);
    add_record(d, 1, 2, {1, 2, 3, 4});
    bytes longer = d;
    longer.push_back(0);
    EXPECT_EQ(decode(longer, &view), tap_decode_bad_length);
    for (std::size_t cut = 9; cut < d.size(); ++cut) {
        bytes shorter(d.begin(), d.begin() + static_cast<long>(cut));
        EXPECT_EQ(decode(shorter, &view), tap_decode_bad_record) << cut;
    }
}

TEST(TapDecode, ImpossibleRecordValuesAreRefused)
{
    bytes d = header(0, 1);
    add_record(d, 1, 1000000, {1});
    EXPECT_EQ(decode(d, &view), tap_decode_bad_record);
    bytes e = header(0, 1);
    add_record(e, 1, 0, {1, 2});
    e[8 + 11] = 1;  // len 1 below caplen 2
    EXPECT_EQ(decode(e, &view), tap_decode_bad_record);
}

TEST(TapDecode, DecryptUndoesTheCipherWithTheLengthAsCounter)
{
    key_guard guard;
    ASSERT_EQ(speck_setup_key("collector-test-key", 18), 1);
    bytes clear = header(7, 1);
    add_record(clear, 10, 20, bytes(45, 0x5a));
    // What the tap's sender does: counter words (n, n), little-endian.
    std::uint8_t counter[16] = {};
    for (int w = 0; w < 2; ++w)
        for (int i = 0; i < 8; ++i)
            counter[8 * w + i] = static_cast<std::uint8_t>(clear.size() >> (8 * i));
    bytes wire(clear.size());
    ASSERT_EQ(speck_ctr_crypt(wire.data(), clear.data(), wire.size(), counter, *speck_key), 0);
    ASSERT_NE(wire, clear);

    bytes got = wire;
    ASSERT_EQ(tap_decrypt(got.data(), got.size(), *speck_key), 0);
    EXPECT_EQ(got, clear);
    ASSERT_EQ(decode(got, &view), tap_decode_ok);

    // Another key leaves noise whose magic does not match.
    ASSERT_EQ(speck_setup_key("another-key", 11), 1);
    got = wire;
    ASSERT_EQ(tap_decrypt(got.data(), got.size(), *speck_key), 0);
    EXPECT_EQ(decode(got, &view), tap_decode_bad_magic);
}

TEST(PcapStream, FileAndRecordHeadersAreLittleEndianMicroseconds)
{
    std::uint8_t fh[pcap_file_header_size];
    pcap_fill_file_header(fh);
    const std::uint8_t want_fh[24] = {0xd4, 0xc3, 0xb2, 0xa1, 2, 0, 4, 0, 0, 0, 0, 0,
                                      0,    0,    0,    0,    0xff, 0xff, 0, 0, 1, 0, 0, 0};
    EXPECT_EQ(std::memcmp(fh, want_fh, sizeof fh), 0);

    tap_record_view r;
    r.ts_sec = 0x01020304;
    r.ts_usec = 999999;
    r.caplen = 60;
    r.len = 1514;
    std::uint8_t rh[pcap_record_header_size];
    pcap_fill_record_header(rh, r);
    const std::uint8_t want_rh[16] = {4, 3, 2, 1, 0x3f, 0x42, 0x0f, 0, 60, 0, 0, 0, 0xea, 5, 0, 0};
    EXPECT_EQ(std::memcmp(rh, want_rh, sizeof rh), 0);
}
