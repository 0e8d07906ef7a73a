#include "collector/pcap_stream.h"
#include "support/byte_order.h"

void pcap_fill_file_header(std::uint8_t (&out)[pcap_file_header_size])
{
    store_le32(out, 0xa1b2c3d4);  // microsecond resolution
    store_le16(out + 4, 2);
    store_le16(out + 6, 4);
    store_le32(out + 8, 0);   // time zone offset
    store_le32(out + 12, 0);  // accuracy
    store_le32(out + 16, pcap_snaplen);
    store_le32(out + 20, pcap_linktype_ethernet);
}

void pcap_fill_record_header(std::uint8_t (&out)[pcap_record_header_size],
                             const tap_record_view& r)
{
    store_le32(out, r.ts_sec);
    store_le32(out + 4, r.ts_usec);
    store_le32(out + 8, r.caplen);
    store_le32(out + 12, r.len);
}
