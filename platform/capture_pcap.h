// What both capture backends share: turning a pcap_next_ex result into the
// seam's packet record and result code. Include after <pcap/pcap.h>.
#pragma once

#include <cstdint>

#include "platform/capture.h"

// 1 one packet in *p; 0 none ready; -2 broken off; -1 read error.
inline int capture_packet_from(int r, const pcap_pkthdr* hdr, const u_char* data,
                               capture_packet* p)
{
    if (r == 1) {
        p->ts_sec = static_cast<std::uint32_t>(hdr->ts.tv_sec);
        p->ts_usec = static_cast<std::uint32_t>(hdr->ts.tv_usec);
        p->caplen = hdr->caplen;
        p->len = hdr->len;
        p->data = data;
        return 1;
    }
    if (r == 0)
        return 0;
    return r == PCAP_ERROR_BREAK ? -2 : -1;
}
