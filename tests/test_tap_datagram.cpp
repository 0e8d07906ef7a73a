// The Tap datagram decoder: what no tap builds is refused, what one builds reads back.
#include <gtest/gtest.h>
#include "tests/test_support.h"
TEST(TapWire, DecodingRefusesWhatNoTapBuilds)
{
    auto one = [](int count, std::uint32_t usec, int len) {  // one record, or a count that says more
        return cat({tap_header_bytes(9, count), tap_record_bytes(1, usec, 2, len), {7, 8}});
    };
    const bytes good = one(1, 999999, 3);
    const struct { bytes datagram; tap_decode_result want; } rows[] = {
        {good, tap_decode_ok}, {tap_header_bytes(0, 0), tap_decode_ok},
        {cat({tap_header_bytes(0, 1), tap_record_bytes(0, 0, 0, 0)}), tap_decode_ok},
        {cat({{0x24}, bytes(good.begin() + 1, good.end())}), tap_decode_bad_magic},
        {bytes(good.begin(), good.begin() + 7), tap_decode_bad_length}, {cat({good, {0}}), tap_decode_bad_length},
        {bytes(good.begin(), good.end() - 1), tap_decode_bad_record}, {one(2, 999999, 3), tap_decode_bad_record},
        {one(1, 999999, 1), tap_decode_bad_record}, {one(1, 1000000, 3), tap_decode_bad_record},
        {one(255, 999999, 3), tap_decode_bad_record}};  // the most records a count claims, one there
    static tap_datagram_view view;
    for (const auto& r : rows)
        EXPECT_EQ(tap_decode(r.datagram.data(), r.datagram.size(), &view), r.want)
            << testing::PrintToString(r.datagram);
    std::vector<wire_record> r;
    std::uint16_t id = 0;
    ASSERT_TRUE(decode_records(good, &r, &id));
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(id, 9);
    EXPECT_EQ(r[0].ts_sec, 1u);
    EXPECT_EQ(r[0].ts_usec, 999999u);
    EXPECT_EQ(r[0].caplen, 2);
    EXPECT_EQ(r[0].len, 3);
    EXPECT_EQ(r[0].frame, (bytes{7, 8}));
    EXPECT_STREQ(tap_decode_text(tap_decode_bad_record), "bad record");
    EXPECT_STREQ(tap_decode_text(static_cast<tap_decode_result>(-9)), "unknown") << "a text for any value";
}
