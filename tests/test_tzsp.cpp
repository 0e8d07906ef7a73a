#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "forward/tzsp.h"

namespace {

using bytes = std::vector<std::uint8_t>;

// Header with arbitrary version, type and protocol: none of them matters.
bytes tzsp(std::initializer_list<std::uint8_t> tags, std::initializer_list<std::uint8_t> frame)
{
    bytes d = {0x7f, 0xee, 0x12, 0x34};
    d.insert(d.end(), tags);
    d.insert(d.end(), frame);
    return d;
}

int find(const bytes& d, tzsp_frame* f)
{
    return tzsp_find_frame(d.data(), d.size(), f);
}

}  // namespace

TEST(TzspFrame, EndRightAfterHeaderStartsFrameAtFive)
{
    tzsp_frame f;
    bytes d = tzsp({1}, {0xaa, 0xbb, 0xcc});
    ASSERT_EQ(find(d, &f), 0);
    EXPECT_EQ(f.offset, 5u);
    EXPECT_EQ(f.length, 3u);
}

TEST(TzspFrame, SixByteDatagramHasOneByteFrame)
{
    tzsp_frame f;
    ASSERT_EQ(find(tzsp({1}, {0x42}), &f), 0);
    EXPECT_EQ(f.offset, 5u);
    EXPECT_EQ(f.length, 1u);
}

TEST(TzspFrame, FiveByteDatagramHasEmptyFrame)
{
    tzsp_frame f;
    ASSERT_EQ(find(tzsp({1}, {}), &f), 0);
    EXPECT_EQ(f.length, 0u);
}

TEST(TzspFrame, TaggedFieldsAndPaddingAreSkipped)
{
    tzsp_frame f;
    // padding, padding, tag 10 with 4 value bytes, tag 42 with none, END
    bytes d = tzsp({0, 0, 10, 4, 1, 1, 1, 1, 42, 0, 1}, {0xde, 0xad});
    ASSERT_EQ(find(d, &f), 0);
    EXPECT_EQ(f.offset, 4u + 11u);
    EXPECT_EQ(f.length, 2u);
    EXPECT_EQ(d[f.offset], 0xde);
}

TEST(TzspFrame, ValueBytesThatLookLikeEndAreNotTheEnd)
{
    tzsp_frame f;
    bytes d = tzsp({10, 2, 1, 1, 1}, {0x55});
    ASSERT_EQ(find(d, &f), 0);
    EXPECT_EQ(f.offset, 4u + 5u);
    EXPECT_EQ(f.length, 1u);
}

TEST(TzspFrame, ListRunningPastTheEndIsRefused)
{
    tzsp_frame f;
    EXPECT_EQ(find(tzsp({}, {}), &f), -1);             // header only
    EXPECT_EQ(find(tzsp({0, 0, 0}, {}), &f), -1);      // padding, no END
    EXPECT_EQ(find(tzsp({10}, {}), &f), -1);           // type without length
    EXPECT_EQ(find(tzsp({10, 3, 1, 1}, {}), &f), -1);  // value cut short
    EXPECT_EQ(find(tzsp({10, 255, 1}, {}), &f), -1);   // length far past the end
    EXPECT_EQ(find(bytes{1, 0, 0}, &f), -1);            // shorter than the header
    EXPECT_EQ(find(bytes{}, &f), -1);
}

TEST(TzspFrame, EveryPrefixOfAValidDatagramIsSafe)
{
    // Cut a tagged datagram at every length: the parser must answer
    // without reading past the end (checked by the sanitizer build).
    bytes d = tzsp({0, 10, 4, 9, 9, 9, 9, 1}, {1, 2, 3});
    for (std::size_t n = 0; n <= d.size(); ++n) {
        bytes cut(d.begin(), d.begin() + static_cast<long>(n));
        tzsp_frame f;
        int r = tzsp_find_frame(cut.data(), cut.size(), &f);
        if (n >= 12) {
            ASSERT_EQ(r, 0) << n;
            EXPECT_EQ(f.offset + f.length, n);
        } else {
            EXPECT_EQ(r, -1) << n;
        }
    }
}
