// The taps a collector hears from. Without -A a source is a sender's
// address and port together with the tap id its datagrams carry, numbered
// in order of first arrival; that number is the source's interface in
// every pcapng file. With -A a source is a tap run, named by what its
// datagrams authenticate (tap id and run id): its index is its stream's,
// and the sender's address only describes it, updated when it moves (a tap
// behind NAT). The table is allocated once, at start-up: a datagram never
// allocates, and a flood of new senders cannot grow the process.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"
#include "wire/sealed_datagram.h"
#include "collector/hash_index.h"

inline constexpr std::size_t source_table_default_capacity = 1024;

struct source_counts {
    std::uint64_t datagrams = 0;    // decoded
    std::uint64_t frames = 0;
    std::uint64_t bytes = 0;        // captured frame bytes
    std::uint64_t undecodable = 0;  // datagrams from its sender that did not decode
    // With -A: replayed or too old datagrams from its sender, and the
    // datagrams its streams lost on the way (late ones count back).
    std::uint64_t replayed = 0;
    std::int64_t lost = 0;
    std::int64_t frames_lost = 0;  // with -A: frames that never arrived whole
};

struct source {
    net_peer sender;  // address and port, IPv4 or IPv6; with -A the latest
    std::uint16_t tap_id = 0;
    std::int64_t first_seen = 0;  // Unix seconds, UTC
    source_counts counts;
    bool sealed = false;  // named by tap id and run id (-A)
    std::uint8_t run_id[sealed_run_id_size] = {};
    // Unique over the process's life: a capture file tells by it that a
    // slot now holds another source, which needs an interface of its own.
    std::uint64_t serial = 0;
    std::int64_t moved_logged = 0;  // when a new sender was last logged, Unix seconds
    // With -A: the latest statistics the tap run sent of itself, and when
    // it sent them (the tap's clock, microseconds since 1970 UTC).
    tap_statistics tap{};
    std::uint64_t tap_sent_us = 0;
    bool has_tap_statistics = false;
};

struct source_table {
    source* entries = nullptr;  // [0, count) in order of first arrival
    std::size_t count = 0;
    std::size_t capacity = 0;
    // By sender only, so that the taps behind one sender share a probe
    // run, which source_find_sender walks too.
    hash_index by_sender;
    // Datagrams and frames of sources that found the table full.
    std::uint64_t refused_datagrams = 0;
    std::uint64_t refused_frames = 0;
    std::uint64_t last_serial = 0;
};

// Allocates a table for capacity sources (at least 1). 0 on success, -1
// when the memory cannot be had (the table is then empty and releasable).
int source_table_init(source_table* t, std::size_t capacity);

void source_table_release(source_table* t);

// The index of the source (addr, port, tap_id), added with first_seen when
// new (*added is then set). -1 when it is new and the table is full: the
// caller counts it as refused.
long source_find_or_add(source_table* t, const net_peer& sender, std::uint16_t tap_id,
                        std::int64_t first_seen, bool* added);

// The index of the first source from sender, whatever its tap id; -1 if
// none. A datagram that does not decode has no tap id to tell more.
// Sources of sealed runs are not found by their sender.
long source_find_sender(const source_table& t, const net_peer& sender);

// With -A: the source of a tap run takes index i (its stream's), in place
// of whichever source was there, with fresh counts.
void source_place_run(source_table* t, std::size_t i, const net_peer& sender, std::uint16_t tap_id,
                      const std::uint8_t* run_id, std::int64_t first_seen);

// "tap 7 from 10.0.0.5:50000", "tap 7 from [::1]:50000", or with -A "tap 7
// run 1a2b3c4d from 10.0.0.5:50000" into out (cap bytes; source_name_max
// hold any).
inline constexpr std::size_t source_name_max = 32 + net_peer_text_max;
void source_name(const source& s, char* out, std::size_t cap);

// "first datagram 2026-04-30 12:00:00 UTC" into out (at least 48 bytes).
void source_description(const source& s, char* out, std::size_t cap);
