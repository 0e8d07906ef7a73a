// What a forwarding loop tells of the run's counters while it runs and
// when it ends: a line every -S seconds, and sealed (-A) a statistics
// datagram to the collector every 5 s. Times are passed in (milliseconds
// of the monotonic clock), so that tests drive them with a fake clock;
// nothing here allocates.
#pragma once

#include <cstddef>
#include <cstdint>

#include "wire/sealed_datagram.h"

struct forward_context;
struct tap_batch;

inline constexpr std::uint64_t statistics_datagram_interval_ms = 5000;
// A statistics datagram before sealing: header and body, no record.
inline constexpr std::uint32_t statistics_datagram_size = sealed_header_size + sealed_statistics_size;
// Room for the -S line with every counter at its largest.
inline constexpr std::size_t statistics_line_size = 384;

// One per running loop, owned by it.
struct loop_report {
    std::uint64_t line_every_ms = 0;  // -S; 0: no line
    bool sends = false;               // sealed: statistics datagrams go to the collector
    std::uint64_t next_line_ms = 0;
    std::uint64_t next_datagram_ms = 0;
    // The sooner of the two, or never: what a loop compares its clock with
    // between frames.
    std::uint64_t next_ms = 0;
    std::uint8_t datagram[statistics_datagram_size + sealed_tag_size];
};

// What loop_report_take finds due.
enum report_due : int { report_nothing = 0, report_line = 1, report_datagram = 2 };

// Starts r at now_ms for the context's -S and sender: the first line
// -S seconds on, the first datagram 5 s on (none unless the sender seals).
void loop_report_start(loop_report& r, const forward_context& ctx, std::uint64_t now_ms);

// Whether anything is due at now_ms: one comparison, for between frames.
inline bool loop_report_due(const loop_report& r, std::uint64_t now_ms) { return now_ms >= r.next_ms; }

// What is due at now_ms (report_due bits), each then moved to its next
// time. A loop that looked late keeps its pace, but never owes more than
// the one it is late for.
int loop_report_take(loop_report& r, std::uint64_t now_ms);

// The -S line of s into out (size bytes, at least statistics_line_size).
void statistics_line(const tap_statistics& s, char* out, std::size_t size);

// Writes at p the statistics datagram of tap tap_id that carries s, before
// sealing: no record, next_frame the number of the next frame to start.
// Its length, statistics_datagram_size.
std::uint32_t write_statistics_datagram(std::uint8_t* p, std::uint16_t tap_id, std::uint32_t next_frame,
                                        const tap_statistics& s);

// Between two frames: logs the line and sends the datagram that due says,
// the datagram after the frames built before it (the one in hand too: the
// rest of a frame must come in the datagram right after its beginning).
void loop_report_run(loop_report& r, forward_context& ctx, tap_batch& b, int due);

// A loop stopped: the closing line and, sealed, the last datagram, after
// what the queue held. The datagram in hand is dropped, as a stop drops it.
void loop_report_end(loop_report& r, forward_context& ctx, tap_batch& b);
