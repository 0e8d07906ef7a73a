// One Kafka message of the collector: the frames one decoded datagram
// completed, from one source. Pure: texts and bytes in the caller's
// buffers, nothing allocated, nothing global, so that the tests and the
// fuzzer read back exactly what a producing collector sends.
//
//   key      "TAPID@SENDER": "7@192.0.2.1:40000", "7@[2001:db8::5]:40000",
//            so that a source's frames stay in one partition, in order
//   value    one pcapng enhanced packet block per frame (interface 0,
//            microseconds, no options, zero padding), concatenated,
//            little-endian: pcapng_packet_head and _tail build each
//   headers  text, as a console client prints them: "tap_id" (decimal),
//            "sender" (ADDRESS:PORT as in the key), and for sealed runs
//            only "run_id" (32 lower-case hex digits) and "seq" (decimal)
//
// docs/collector.md ("Kafka") tells the layout in full.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/platform.h"
#include "wire/sealed_datagram.h"
#include "wire/tap_datagram.h"
#include "collector/pcapng_writer.h"

// A datagram completes at most the frames that start in it (255) and the
// one begun before it (sealed runs); their bytes are at most two frames of
// 65,535, each block 35 bytes more at most. Past either bound
// kafka_value_add refuses the record and the caller sends what it has.
inline constexpr std::size_t kafka_max_records = tap_max_records + 1;
inline constexpr std::size_t kafka_value_max =
    2 * pcapng_packet_size(65535) + kafka_max_records * pcapng_packet_size(3);

inline constexpr char kafka_header_tap_id[] = "tap_id";
inline constexpr char kafka_header_sender[] = "sender";
inline constexpr char kafka_header_run_id[] = "run_id";
inline constexpr char kafka_header_seq[] = "seq";

// Where a message's frames come from.
struct kafka_origin {
    std::uint16_t tap_id = 0;
    net_peer sender;
    bool sealed = false;  // run_id and seq are set
    std::uint8_t run_id[sealed_run_id_size] = {};
    std::uint64_t seq = 0;  // the sealed datagram that completed the frames
};

// An origin as the key and the header values spell it, each text ended by
// a zero; run_id and seq are empty when the origin is not sealed.
struct kafka_origin_text {
    char key[6 + net_peer_text_max];
    char tap_id[6];
    char sender[net_peer_text_max];
    char run_id[2 * sealed_run_id_size + 1];
    char seq[21];
};

void kafka_origin_format(const kafka_origin& o, kafka_origin_text* out);

// The key and header values of a message as received; a null data() is a
// header that is absent. Not ended by zeros.
struct kafka_origin_fields {
    std::string_view key, tap_id, sender, run_id, seq;
};

// Reads an origin back. 0 with *out filled; -1 when a text is missing,
// malformed or not as kafka_origin_format writes it (leading zeros, an
// address spelled another way), when only one of run_id and seq is there,
// or when the key disagrees with the headers.
int kafka_origin_parse(const kafka_origin_fields& f, kafka_origin* out);

// The value being built, in a buffer its owner allocates once (about 140
// KB) and clears for each message.
struct kafka_value {
    std::size_t size = 0;
    std::size_t record_count = 0;
    std::uint8_t bytes[kafka_value_max];
};

inline void kafka_value_clear(kafka_value* v)
{
    v->size = 0;
    v->record_count = 0;
}

// Appends r's block. 0; -1 when the value is full (kafka_max_records, or
// not room for the block): nothing is written, and the caller sends the
// value, clears it and adds r again (an empty value takes any record).
int kafka_value_add(kafka_value* v, const tap_record_view& r);

enum kafka_parse_result : int {
    kafka_parse_ok = 0,
    kafka_parse_truncated = -1,    // a block's head, body or tail runs past the end
    kafka_parse_bad_block = -2,    // not an enhanced packet block of interface 0
    kafka_parse_bad_length = -3,   // a block length other than its frame's, or the two lengths differ
    kafka_parse_bad_record = -4,   // caplen above len or 65,535, a time past 2106, padding not zero
    kafka_parse_too_many = -5,     // more than kafka_max_records blocks
};

// The frames of a value, in order; the views point into the value.
struct kafka_records {
    std::size_t count = 0;
    tap_record_view records[kafka_max_records];
};

// Reads data[0..len) (an empty value holds no frames). kafka_parse_ok
// fills *out; any other result leaves it unspecified.
kafka_parse_result kafka_value_parse(const std::uint8_t* data, std::size_t len, kafka_records* out);

// Short fixed text for a result, for messages.
const char* kafka_parse_text(kafka_parse_result r);
