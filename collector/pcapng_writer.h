// The pcapng blocks the collector writes: a section header, one interface
// description per source, an enhanced packet block per frame, and the
// statistics of the interfaces whose taps sent theirs. Pure: each
// function fills a caller's buffer in little-endian order and touches
// nothing else, so that tests and the fuzzer read back exactly what a run
// writes.
//
// Every interface is Ethernet with a snap length of 65535 and the default
// time stamp resolution (microseconds), which is what Tap records carry.
#pragma once

#include <cstddef>
#include <cstdint>

#include "wire/tap_datagram.h"

inline constexpr std::uint32_t pcapng_section_type = 0x0a0d0d0a;
inline constexpr std::uint32_t pcapng_interface_type = 1;
inline constexpr std::uint32_t pcapng_statistics_type = 5;
inline constexpr std::uint32_t pcapng_packet_type = 6;
inline constexpr std::uint32_t pcapng_byte_order_magic = 0x1a2b3c4d;

// The section header naming the writing program (shb_userappl), its
// section length unknown (-1) as a stream cannot know it. Returns the
// block's size, or 0 when it does not fit in cap (nothing is then written).
std::size_t pcapng_section_header(std::uint8_t* out, std::size_t cap, const char* application);

// An interface description with if_name and if_description. Returns the
// block's size, or 0 when it does not fit in cap.
std::size_t pcapng_interface_description(std::uint8_t* out, std::size_t cap, const char* name,
                                         const char* description);

// An enhanced packet block is written in three pieces so that the frame is
// copied only once, straight from the datagram: the head, the caplen frame
// bytes, then the tail (padding to 4 bytes and the repeated length).
inline constexpr std::size_t pcapng_packet_head_size = 28;
inline constexpr std::size_t pcapng_packet_tail_max = 7;

// The whole block's size for a frame of caplen bytes.
constexpr std::size_t pcapng_packet_size(std::uint16_t caplen)
{
    return pcapng_packet_head_size + ((caplen + 3u) & ~3u) + 4;
}

void pcapng_packet_head(std::uint8_t (&out)[pcapng_packet_head_size], std::uint32_t interface_id,
                        const tap_record_view& r);

// Fills the tail of r's block; returns its size (4 to 7 bytes).
std::size_t pcapng_packet_tail(std::uint8_t (&out)[pcapng_packet_tail_max], std::uint16_t caplen);

// What an interface statistics block tells of one interface: times in
// microseconds since 1970 UTC (the interfaces' resolution), counts of
// frames from the start of the capture, as the isb_ options define them.
struct pcapng_statistics {
    std::uint64_t taken_us = 0;  // the block's own time stamp
    std::uint64_t start_us = 0;  // isb_starttime
    std::uint64_t end_us = 0;    // isb_endtime
    std::uint64_t ifrecv = 0;
    std::uint64_t ifdrop = 0;
    std::uint64_t filteraccept = 0;
    std::uint64_t osdrop = 0;
    std::uint64_t usrdeliv = 0;
};

// Every option is written, each 8 bytes of value: the block's size is fixed.
inline constexpr std::size_t pcapng_statistics_size = 8 + 12 + 7 * 12 + 4 + 4;

// An interface statistics block for interface_id. Returns its size
// (pcapng_statistics_size), or 0 when it does not fit in cap.
std::size_t pcapng_interface_statistics(std::uint8_t* out, std::size_t cap, std::uint32_t interface_id,
                                        const pcapng_statistics& s);
