// What the capture loop needs to know of a captured frame, as pure
// functions over its bytes: how it becomes an Ethernet frame for the
// collector, where its IPv4 header is for the allow-list, and the capture
// filter that keeps the tap's own datagrams out.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/platform.h"

inline constexpr int link_null = 0;
inline constexpr int link_ethernet = 1;
inline constexpr int link_raw_ip = 12;
// Capture files number raw IP 101; some libraries hand that number out for
// live captures too, so it is treated like 12.
inline constexpr int link_raw_ip_file = 101;
inline constexpr int link_loop = 108;
inline constexpr int link_linux_sll = 113;
inline constexpr int link_ipv4 = 228;
inline constexpr int link_ipv6 = 229;
inline constexpr int link_linux_sll2 = 276;

inline constexpr std::uint16_t ethertype_ipv4 = 0x0800;
inline constexpr std::uint16_t ethertype_ipv6 = 0x86DD;
inline constexpr std::uint32_t ethernet_header_size = 14;

// A captured frame as the collector will see it. The Tap datagram carries
// Ethernet frames, so on every link type we can read, the link's own
// header (header_len bytes, none for raw IP) is replaced by an Ethernet
// header without addresses and with the EtherType of what follows.
struct link_frame {
    bool rewrite = false;          // false: Ethernet already, or a link we cannot read
    std::uint32_t header_len = 0;  // link header bytes before the payload
    std::uint16_t ethertype = 0;   // of the payload (the frame's own on Ethernet)
};

// True for the link types whose frames reach the collector as Ethernet.
bool link_reads_as_ethernet(int link_type);

// Reads the link header of a frame. 0 with *out filled; -1 when a frame of
// a rewritten link is shorter than its link header (nothing can be made of
// it). Ethernet and unknown links always give 0 (rewrite false; the
// EtherType of an Ethernet frame shorter than 14 bytes reads as 0). Never
// reads beyond caplen.
int read_link_frame(int link_type, const std::uint8_t* data, std::uint32_t caplen,
                    link_frame* out);

// The Ethernet header put in front of a rewritten frame's payload.
void ethernet_prefix(std::uint16_t ethertype, std::uint8_t out[ethernet_header_size]);

// Offset of the IPv4 header in a captured packet, after any number of
// 802.1Q tags; -1 when the packet is not IPv4 (another EtherType, another
// IP version, a link type that cannot be read) or when its captured bytes
// end before the end of the addresses (offset + 20). Never reads beyond
// caplen.
long ipv4_header_offset(int link_type, const std::uint8_t* data, std::uint32_t caplen);

struct prefix_trie;

// True when the packet may pass the allow-list: it is IPv4 and its source
// or destination is listed.
bool packet_allowed(int link_type, const std::uint8_t* data, std::uint32_t caplen,
                    const prefix_trie* list);

// The filter that keeps the tap's own datagrams out of its capture, for a
// collector at `collector` (IPv4 or IPv6, with its port).
std::string self_exclusion_filter(const net_peer& collector);

// The filter the capture applies: the user's, narrowed by the
// self-exclusion filter, or the self-exclusion filter alone when the user
// gave none (or only blanks).
std::string capture_filter_text(std::string_view user, std::string_view self_exclusion);
