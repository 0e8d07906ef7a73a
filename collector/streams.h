// The sealed streams a collector hears (option -A): one per tap run, named
// by the tap id and run id of its datagrams (never by the sender's address
// or port), each with the run's key and a window of the sequence numbers
// seen, which refuses replays and counts datagrams lost on the way. The
// table is allocated once, at start-up, and only datagrams that verified
// add to it. When it is full, the stream heard from least recently makes
// room and its run is retired with the highest number it had: datagrams of
// a retired run up to that number are refused as replays, and a later one
// (a tap that was only quiet) brings the run back, every number up to the
// retired highest counted as seen.
#pragma once

#include <cstddef>
#include <cstdint>

#include "wire/sealed_datagram.h"
#include "collector/hash_index.h"

inline constexpr std::size_t stream_table_default_capacity = 1024;
inline constexpr std::size_t retired_runs_default_capacity = 65536;
// Numbers this far below the highest seen are too old to tell from replays.
inline constexpr std::uint64_t replay_window_bits = 1024;

struct run_name {
    std::uint16_t tap_id = 0;
    std::uint8_t run_id[sealed_run_id_size] = {};
};

struct sealed_stream {
    run_name run;
    std::uint8_t key[sealed_key_size] = {};  // the run key, derived once
    std::uint64_t first = 0;  // the first number seen: losses count from there
    std::uint64_t top = 0;    // the highest number seen
    std::uint64_t seen[replay_window_bits / 64] = {};  // bit (n mod window) for n in (top - window, top]
    std::uint64_t lost = 0;   // numbers between first and top not (yet) seen
    std::uint64_t heard = 0;  // the table's count of verified datagrams at this stream's last
    std::uint64_t last_sent = 0;  // the latest send time verified, the tap's microseconds
    // Frames (collector/reassembly.h): the number of the next frame to
    // start, known once framing is set; the unfinished frame's place.
    std::uint32_t next_frame = 0;
    bool framing = false;
    int partial = -1;
};

struct retired_run {
    run_name run;
    std::uint64_t top = 0;  // the highest number its stream had verified
    std::uint64_t last_sent = 0;
};

struct stream_table {
    sealed_stream* entries = nullptr;  // [0, count)
    std::size_t count = 0;
    std::size_t capacity = 0;
    hash_index by_run;
    std::uint64_t verified = 0;  // datagrams verified: the clock of sealed_stream::heard
    // The runs of forgotten streams, a ring: the oldest at retired_next once full.
    // retired_by_run.entry_count of them are in use.
    retired_run* retired = nullptr;
    std::size_t retired_capacity = 0;
    std::size_t retired_next = 0;
    hash_index retired_by_run;
};

// 0, or -1 when the memory cannot be had (the table is then empty).
int stream_table_init(stream_table* t, std::size_t capacity, std::size_t retired_capacity);
void stream_table_release(stream_table* t);

// The stream of (tap_id, run_id), or -1.
long stream_find(const stream_table& t, std::uint16_t tap_id, const std::uint8_t* run_id);

// Whether (tap_id, run_id) is among the runs retired (a hash lookup); *top,
// when given, gets the highest number its stream had.
bool stream_retired(const stream_table& t, std::uint16_t tap_id, const std::uint8_t* run_id,
                    std::uint64_t* top = nullptr);

// Adds the stream whose first verified datagram carried seq, with its key:
// its index, or -1 when the table has no room at all. A full table first
// forgets the stream heard from least recently and retires its run, the
// oldest retired run then leaving the ring; *forgot says so. A retired run
// that comes back passes its old highest number as *resumed_top: every
// number up to it counts as seen.
long stream_add(stream_table* t, std::uint16_t tap_id, const std::uint8_t* run_id,
                const std::uint8_t key[sealed_key_size], std::uint64_t seq, bool* forgot,
                const std::uint64_t* resumed_top = nullptr);

// Stream i verified a datagram sent at sent_us: it is now the one heard
// from last.
void stream_heard(stream_table* t, long i, std::uint64_t sent_us);

// Puts a run remembered from an earlier process among the retired ones (a
// run retired already keeps the higher of its numbers and times), so that
// its datagrams up to top are refused as replays and a later one resumes
// it.
void stream_remember(stream_table* t, const retired_run& r);

// The retired runs in use: [0, stream_retired_count) of t.retired.
inline std::size_t stream_retired_count(const stream_table& t) { return t.retired_by_run.entry_count; }

enum window_verdict : int { window_fresh, window_replayed, window_too_old };

// What the window says of seq, before anything is verified.
window_verdict window_check(const sealed_stream& s, std::uint64_t seq);

// Marks seq (fresh, verified) seen. The change of the stream's lost count:
// the gap it opens above the highest number, or -1 when it fills one.
std::int64_t window_mark(sealed_stream& s, std::uint64_t seq);
