// The host allow-list test of a captured packet: where its IPv4 header is,
// and whether its source or destination is listed. Pure functions over the
// captured bytes, so that every frame layout can be tested without a
// capture.
#pragma once

#include <cstdint>

inline constexpr int link_ethernet = 1;
inline constexpr int link_raw_ip = 12;
// Capture files number raw IP 101; some libraries hand that number out for
// live captures too, so it is treated like 12.
inline constexpr int link_raw_ip_file = 101;

inline constexpr bool link_is_raw_ip(int link_type)
{
    return link_type == link_raw_ip || link_type == link_raw_ip_file;
}

// Offset of the IPv4 header in a captured packet, after any number of
// 802.1Q tags on Ethernet; 0 on raw-IP links. -1 when the packet is not
// IPv4 (another EtherType, another IP version, another link type) or when
// its captured bytes end before the end of the addresses (offset + 20).
// Never reads beyond caplen.
long ipv4_header_offset(int link_type, const std::uint8_t* data, std::uint32_t caplen);

// True when the packet may pass the allow-list: it is IPv4 and allowed()
// answers yes for its source or, failing that, its destination (addresses
// in network byte order). The destination is not asked about when the
// source is listed.
bool packet_allowed(int link_type, const std::uint8_t* data, std::uint32_t caplen,
                    bool (*allowed)(std::uint32_t addr));
