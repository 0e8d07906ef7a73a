#include "tools/collector/pcap_stream.h"

namespace {

void put_le32(std::uint8_t* p, std::uint32_t v)
{
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}

void put_le16(std::uint8_t* p, std::uint16_t v)
{
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

}  // namespace

void pcap_fill_file_header(std::uint8_t (&out)[pcap_file_header_size])
{
    put_le32(out, 0xa1b2c3d4);  // microsecond resolution
    put_le16(out + 4, 2);
    put_le16(out + 6, 4);
    put_le32(out + 8, 0);   // time zone offset
    put_le32(out + 12, 0);  // accuracy
    put_le32(out + 16, pcap_snaplen);
    put_le32(out + 20, pcap_linktype_ethernet);
}

void pcap_fill_record_header(std::uint8_t (&out)[pcap_record_header_size],
                             const tap_record_view& r)
{
    put_le32(out, r.ts_sec);
    put_le32(out + 4, r.ts_usec);
    put_le32(out + 8, r.caplen);
    put_le32(out + 12, r.len);
}
