// The rate cap (-R): a token bucket that decides, frame by frame, whether
// what the frame adds to the wire still fits the cap. Time is passed in
// (microseconds of the monotonic clock), so that tests drive it with a
// fake clock; nothing here reads a clock or allocates.
#pragma once

#include <cstdint>

// The largest cap: 1 Tbit/s. It keeps every product of the bucket's
// arithmetic within 64 bits.
inline constexpr std::uint64_t rate_cap_max_bits = 1000000000000ull;

// The bucket holds 5 ms of the cap, and at least 4 datagrams of full
// Ethernet frames (each 1,562 bytes on the wire in the Speck mode): a
// loop that lost the CPU for a scheduler tick or two, or input that came
// in bursts, must not cost the cap what it could not send meanwhile (with
// 2.5 ms, a tap sharing its CPU sent 75 % of 20 Mbit/s). Never more than
// 20 ms of the cap, so that no 100 ms window carries more than 1.25 times
// the cap from 1 Mbit/s up.
inline constexpr std::uint64_t rate_cap_burst_bytes = 4 * 1600;
inline constexpr std::uint64_t rate_cap_burst_us = 5000;
inline constexpr std::uint64_t rate_cap_burst_most_us = 20000;

// One per run, used by the forwarding thread only. Tokens are counted in
// bit-microseconds per second (a byte costs 8,000,000), so that any cap
// of whole bits a second refills exactly, without rounding.
struct rate_cap {
    std::uint64_t bits_per_s = 0;  // 0: no cap
    std::uint32_t datagram_overhead = 20 + 8;  // IPv4 and UDP: net_udp_overhead
    std::uint64_t depth = 0;
    // The depth; after a frame larger than the bucket was left out, the
    // depth and that frame's cost, so that the bucket saves up for the
    // next such frame, until one is taken.
    std::uint64_t ceiling = 0;
    std::uint64_t tokens = 0;
    std::uint64_t now_us = 0;  // as last advanced
    bool started = false;
    std::uint64_t left_out = 0;    // frames, the whole run
    std::uint64_t unreported = 0;  // frames left out since the last report
    std::uint64_t unreported_since_us = 0;
    char text[32] = "";  // the cap in Mbit/s, as the logs show it
};

// Reads a cap in megabits a second (10^6 bits): digits with at most one
// decimal point, e.g. "50" or "0.5"; digits past the sixth decimal (below
// a bit a second) are ignored. 0 with *bits_per_s set; -1 when the text is
// not such a number, is 0, or is above rate_cap_max_bits.
int rate_cap_parse_mbits(const char* text, std::uint64_t* bits_per_s);

// Sets up c for a cap of bits_per_s (0: none; at most rate_cap_max_bits),
// datagram_overhead bytes charged per datagram on top of its UDP payload.
// The bucket starts full at the first rate_cap_advance.
void rate_cap_init(rate_cap& c, std::uint64_t bits_per_s, std::uint32_t datagram_overhead);

// Moves the cap's clock to now_us and refills the bucket for the time
// passed. A clock that went back refills nothing.
void rate_cap_advance(rate_cap& c, std::uint64_t now_us);

// Called once per frame, where the frame is added: true when bytes (its
// record, and when it starts a datagram that datagram's headers and tag,
// c.datagram_overhead included) fit and are charged; false when the frame
// is to be left out, and it is counted.
bool rate_cap_take(rate_cap& c, std::uint64_t bytes);

// The frames left out since the last report, when a report is due: once a
// second at most, a second after the first frame it counts; 0 otherwise.
// *span_us is then the time the count covers.
std::uint64_t rate_cap_report_due(rate_cap& c, std::uint64_t* span_us);

// Logs the line rate_cap_report_due calls for, if one is due.
void rate_cap_log_due(rate_cap& c);

// Logs the closing count ("Rate cap 20 Mbit/s: N frames left out in all")
// when a cap is set.
void rate_cap_log_total(const rate_cap& c);
