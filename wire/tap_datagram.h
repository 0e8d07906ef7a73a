// The Tap datagram, the contract with every collector: layout, encoding,
// decoding and the cipher's counter rule, in this one place. The tap's
// batching and sender, vantry_collector and the tests all use it.
//
//   header   magic 0x24681902 (little-endian), tap id (16 bits), record
//            count (8 bits), a reserved zero byte
//   record   ts_sec (32 bits), ts_usec (32), caplen (16), len (16), then
//            caplen frame bytes; every field but the magic big-endian
//   cipher   Speck128 in counter mode over the whole datagram, both
//            counter words equal to the datagram's length (little-endian)
#pragma once

#include <cstddef>
#include <cstdint>

struct speck_key_schedule;

inline constexpr std::uint32_t tap_magic = 0x24681902;
inline constexpr std::uint32_t tap_header_size = 8;
inline constexpr std::uint32_t tap_record_header_size = 12;
inline constexpr std::uint32_t tap_count_offset = 6;
// What one IPv4 UDP datagram can carry: nothing larger is ever built.
inline constexpr std::uint32_t tap_max_datagram = 65507;
// The record count is one byte.
inline constexpr std::size_t tap_max_records = 255;

// Writes the header of a datagram with no records yet.
void tap_write_header(std::uint8_t* p, std::uint16_t tap_id);

// Writes one record header.
void tap_write_record_header(std::uint8_t* p, std::uint32_t ts_sec, std::uint32_t ts_usec,
                             std::uint16_t caplen, std::uint16_t len);

// Applies (or undoes: the transform is its own inverse) the datagram
// cipher to len bytes from in to out, which may be the same buffer. 0 on
// success, non-zero when the transform failed.
int tap_crypt(std::uint8_t* out, const std::uint8_t* in, std::size_t len,
              const speck_key_schedule& ks);

struct tap_record_view {
    std::uint32_t ts_sec = 0;
    std::uint32_t ts_usec = 0;
    std::uint16_t caplen = 0;
    std::uint16_t len = 0;
    const std::uint8_t* frame = nullptr;  // caplen bytes inside the datagram
};

struct tap_datagram_view {
    std::uint16_t tap_id = 0;
    std::uint8_t record_count = 0;
    tap_record_view records[tap_max_records];
};

enum tap_decode_result : int {
    tap_decode_ok = 0,
    tap_decode_bad_magic = -1,   // not a Tap datagram, or the wrong key
    tap_decode_bad_length = -2,  // shorter than the header, or bytes after the last record
    tap_decode_bad_record = -3,  // a record runs past the end or holds impossible values
};

// Describes the clear datagram data[0..len). The views point into data.
// tap_decode_ok fills *out; any other result leaves *out unspecified.
tap_decode_result tap_decode(const std::uint8_t* data, std::size_t len, tap_datagram_view* out);

// Short fixed text for a result, for messages and the summary.
const char* tap_decode_text(tap_decode_result r);
