// The sender of Tap datagrams, and how its failures are reported.
#pragma once

#include <cstdint>

// Encrypts (unless disabled) and sends one Tap datagram of len bytes to the
// collector. 0 sent whole; 2 the send failed or was short; -1 encryption
// failed and nothing was sent.
int send_datagram(const std::uint8_t* buf, std::uint32_t len);

// Datagrams that could not be sent since the start of the run.
std::uint32_t send_failures_total();

// A collector that cannot be reached makes every send fail, thousands a
// second: each failure is counted, but only the first of a run of failures
// is reported at once, later ones at most once per interval with their
// number, and the end of the run once.
struct send_failure_log {
    bool failing = false;
    std::uint32_t unreported = 0;    // failures since the last report
    std::uint32_t in_run = 0;        // failures since sending last worked
    std::uint64_t last_report_ms = 0;
};

inline constexpr std::uint64_t send_failure_report_interval_ms = 1000;

// Counts one failure at time now_ms. Returns the number of failures the
// report should name (this one included) when a line is due, 0 when the
// failure is only counted.
std::uint32_t send_failure_note(send_failure_log& log, std::uint64_t now_ms);

// Records a successful send. Returns the number of failures of the run that
// just ended (a line is due), 0 when sending was working already.
std::uint32_t send_success_note(send_failure_log& log);
