// The collector's pcap stream: classic layout, little-endian, microseconds.
#include <gtest/gtest.h>
#include "collector/pcap_stream.h"
#include "tests/test_support.h"
TEST(PcapStream, HeadersAreLaidOutByteExactly)
{
    std::uint8_t file[pcap_file_header_size], rec[pcap_record_header_size];
    pcap_fill_file_header(file);
    EXPECT_EQ(bytes(file, file + sizeof file),
              cat({{0xd4, 0xc3, 0xb2, 0xa1, 2, 0, 4, 0}, bytes(8), {0xff, 0xff, 0, 0, 1, 0, 0, 0}}));
    pcap_fill_record_header(rec, {.ts_sec = 0x01020304, .ts_usec = 999999, .caplen = 0x0506, .len = 0x0708});
    EXPECT_EQ(bytes(rec, rec + sizeof rec), (bytes{4, 3, 2, 1, 0x3f, 0x42, 0x0f, 0, 6, 5, 0, 0, 8, 7, 0, 0}));
}
