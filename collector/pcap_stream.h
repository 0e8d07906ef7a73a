// The classic pcap file layout, written in little-endian order with
// microsecond time stamps, for Ethernet frames.
#pragma once

#include <cstdint>

#include "wire/tap_datagram.h"

inline constexpr std::uint32_t pcap_file_header_size = 24;
inline constexpr std::uint32_t pcap_record_header_size = 16;
inline constexpr std::uint32_t pcap_linktype_ethernet = 1;
inline constexpr std::uint32_t pcap_snaplen = 65535;  // caplen is a 16-bit field

void pcap_fill_file_header(std::uint8_t (&out)[pcap_file_header_size]);
void pcap_fill_record_header(std::uint8_t (&out)[pcap_record_header_size],
                             const tap_record_view& r);
