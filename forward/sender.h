// The sender of Tap datagrams, and how its failures are reported.
#pragma once

#include <cstdint>

#include "platform/platform.h"

struct speck_key_schedule;

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

// Where and how Tap datagrams go. Used by the forwarding thread only.
struct tap_sender {
    net_socket socket = net_invalid_socket;
    net_addr4 to;
    bool has_destination = false;  // false: nothing is ever sent
    bool encrypt = true;
    const speck_key_schedule* key = nullptr;  // needed when encrypt is set
    std::uint32_t datagrams_sent = 0;
    std::uint32_t failures = 0;  // datagrams that could not be sent
    send_failure_log failure_log;
};

// Encrypts (unless switched off) and sends one Tap datagram of len bytes.
// The cipher runs in place: buf holds the sent bytes afterwards. 0 sent
// whole; 2 the send failed or was short; -1 encryption failed and nothing
// was sent.
int send_datagram(tap_sender& s, std::uint8_t* buf, std::uint32_t len);
