// Batching of frames into Tap datagrams.
#pragma once

#include <cstdint>

#include "wire/tap_datagram.h"

struct rate_cap;
struct send_queue;
struct tap_sender;

inline constexpr std::uint32_t tap_batch_threshold = 1480;
inline constexpr long tap_idle_wait_us = 1010000;  // 1 s + 10000 us

// True once a whole idle wait has passed since quiet_since (milliseconds
// of the monotonic clock): what is in hand is then sent.
inline constexpr bool idle_wait_passed(std::uint64_t quiet_since_ms, std::uint64_t now_ms)
{
    return now_ms - quiet_since_ms >= static_cast<std::uint64_t>(tap_idle_wait_us / 1000);
}

// One per running loop, owned by it. Fixed size: nothing is allocated per
// frame or per datagram. Without a queue each datagram is built in own and
// sent the moment it is full; with one, it is built in the queue's slot in
// hand and waits there for tap_batch_send.
struct tap_batch {
    std::uint8_t own[tap_max_datagram];
    std::uint8_t* buf = own;  // the datagram in hand
    std::uint32_t data_len = 0;
    std::uint32_t room_left = 0;
    std::uint16_t tap_id = 0;
    // The records' start and the room kept behind them: the Speck mode's
    // header, or the sealed mode's with its tag.
    std::uint32_t header_size = tap_header_size;
    std::uint32_t tag_size = 0;
    // Sealed: datagrams filled to the path's size, frames carried in pieces
    // across them (wire/sealed_datagram.h); next_frame numbers the frames.
    bool pieces = false;
    std::uint32_t next_frame = 0;
    tap_sender* sender = nullptr;
    send_queue* queue = nullptr;
    rate_cap* cap = nullptr;  // set: frames that do not fit it are left out
};

// Starts an empty datagram, sealed when sender seals; full ones go to
// sender, through queue when one is given.
void tap_batch_init(tap_batch& b, std::int32_t tap_id, tap_sender* sender,
                    send_queue* queue = nullptr);

// Appends one record: caplen frame bytes, after an optional 14-byte prefix
// (null for none). caplen and len are the frame's own lengths. Sealed, a
// frame goes on in the next datagrams as far as it needs, up to the
// 65,535 bytes of the record's length field; in the Speck mode a frame too
// large for even an empty datagram is carried cut to what fits. A wire
// length beyond the 16-bit field reads as 65535. With a cap, what the
// frame adds to the wire is charged to it first: false when it did not
// fit and the frame was left out, true when it was added.
bool tap_batch_add(tap_batch& b, std::uint32_t ts_sec, std::uint32_t ts_usec,
                   std::uint32_t caplen, std::uint32_t len, const std::uint8_t* prefix,
                   const std::uint8_t* frame);

// Sends (or queues) the datagram in hand, if it holds a record, and starts
// an empty one.
void tap_batch_flush(tap_batch& b);

// Sends the datagrams that wait in the queue; the one in hand stays. A
// loop calls it before every wait, so that no datagram waits longer than
// the drain that completed it.
void tap_batch_send(tap_batch& b);

// Called when an idle wait passed: sends a non-empty datagram, and
// whatever waits in the queue.
void tap_batch_idle(tap_batch& b);
