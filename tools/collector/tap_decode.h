// Reading Tap datagrams on the collector's side: the counter-mode key
// stream is undone in place, then the header and the frame records are
// checked and described without copying any frame.
#pragma once

#include <cstddef>
#include <cstdint>

struct speck_key_schedule;

// num_pkts is one byte, so no datagram holds more records than this.
inline constexpr std::size_t tap_max_records = 255;

struct tap_record_view {
    std::uint32_t ts_sec = 0;
    std::uint32_t ts_usec = 0;
    std::uint16_t caplen = 0;
    std::uint16_t len = 0;
    const std::uint8_t* frame = nullptr;  // caplen bytes inside the datagram
};

struct tap_datagram_view {
    std::uint16_t tap_id = 0;
    std::uint8_t num_pkts = 0;
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

// Undoes (or applies) the datagram cipher in place: counter words both
// equal to len. 0 on success, non-zero when the transform failed.
int tap_decrypt(std::uint8_t* data, std::size_t len, const speck_key_schedule& ks);
