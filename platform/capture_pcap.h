// What both capture backends share: turning a pcap_next_ex result into the
// seam's packet record and result code. Include after <pcap/pcap.h>.
#pragma once

#include <cstdint>
#include <string>

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

// The text pcap_open_live gives when activation fails with status: the
// library's own text for a plain error; the status, then the library's
// text in brackets, for the three failures where both say something; the
// status alone for the rest.
inline std::string capture_open_error(const char* name, int status, const char* lib_text,
                                      const char* status_text)
{
    std::string text = name;
    text += ": ";
    if (status == PCAP_ERROR) {
        text += lib_text;
    } else if (status == PCAP_ERROR_NO_SUCH_DEVICE || status == PCAP_ERROR_PERM_DENIED ||
               status == PCAP_ERROR_PROMISC_PERM_DENIED) {
        text += status_text;
        text += " (";
        text += lib_text;
        text += ")";
    } else {
        text += status_text;
    }
    return text;
}
