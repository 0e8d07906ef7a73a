// The two forwarding loops and what the run hands them. Nothing here reads
// the run's settings: a loop gets its context and configuration, and
// returns when ctx.stop is set or on its own failure, after logging its
// closing lines.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "forward/rate_cap.h"
#include "forward/sender.h"
#include "wire/sealed_datagram.h"

struct prefix_trie;

struct forward_context {
    tap_sender sender;
    const prefix_trie* allow_list = nullptr;  // null: everything passes
    std::int32_t tap_id = 0;
    rate_cap cap;  // -R; used by the loop alone
    // -S: a line of the run's counters this often; 0 none.
    std::uint32_t stats_seconds = 0;
    // The counters the loop keeps itself (received, drops, the allow-list's);
    // the sender and the cap keep the others. Written by the loop alone:
    // forward_statistics gathers a copy of them all.
    tap_statistics counts;
    std::atomic<bool> stop{false};

    // What a stop must wake while the loop waits, set by the loop for as
    // long as it is valid; the lock keeps a stop from waking a handle the
    // loop is closing.
    std::mutex wake_lock;
    void (*wake)(void* arg) = nullptr;
    void* wake_arg = nullptr;
};

// Asks the loop to stop and wakes it from its wait. Safe from any thread,
// any number of times.
void forward_stop(forward_context& ctx);

// Sets (or, with a null fn, withdraws) what forward_stop wakes.
void forward_set_wake(forward_context& ctx, void (*fn)(void*), void* arg);

// Every counter of the run as it stands: a copy, for the thread that runs
// the loop (while it runs, or once it has returned).
tap_statistics forward_statistics(const forward_context& ctx);

struct capture_config {
    std::string interface_name;
    int snaplen = 0x10000;
    std::optional<std::string> filter;           // applied first
    std::optional<std::string> fallback_filter;  // applied alone when filter cannot be
    std::string user_filter;  // as the user gave it (or empty): joined anew when the collector moves
};

// Captures from cfg.interface_name until stopped. An interface that cannot
// be opened, or a sender without a socket, ends it at once with an ERROR
// line.
void run_interface_capture(forward_context& ctx, const capture_config& cfg);

// Receives TZSP datagrams on port until stopped.
void run_tzsp_receiver(forward_context& ctx, std::uint16_t port);
