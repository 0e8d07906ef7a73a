// Finding the encapsulated frame in a TZSP datagram.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr std::uint32_t tzsp_header_size = 4;  // version, type, 2-byte protocol
inline constexpr std::uint8_t tzsp_tag_padding = 0;
inline constexpr std::uint8_t tzsp_tag_end = 1;

struct tzsp_frame {
    std::uint32_t offset = 0;  // first frame byte within the datagram
    std::uint32_t length = 0;  // frame bytes up to the end of the datagram
};

// Walks the tagged fields after the 4-byte header: PADDING is one byte, END
// closes the list and the frame follows it, any other tag is type, length
// and that many bytes. Version, type and protocol are not examined.
// 0: *out names the frame (possibly empty); -1: the datagram ends inside
// the header or the tag list (no END tag within it).
int tzsp_find_frame(const std::uint8_t* data, std::size_t len, tzsp_frame* out);
