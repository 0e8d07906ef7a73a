// The one process-wide record of a tap run: options, derived values and
// the resources the run holds open.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

#include "forward/forwarding.h"
#include "support/version.h"
#include "wire/sealed_datagram.h"

struct prefix_trie;
struct stop_event;

inline constexpr const char* tap_title = "Vantry remote/virtual tap";

// A run moves through these in order, never back; run_phase_enter holds
// the only moves.
enum class run_phase : int { setting_up, forwarding, shutting_down, ended };

struct run_settings {
    // Options. Written while options are read, read-only afterwards.
    std::optional<std::string> collector;
    // The user's filter; once set up, the filter the capture applies.
    std::optional<std::string> bpf_filter;
    std::optional<std::string> interface_name;
    std::uint16_t tzsp_port = 0;
    std::int32_t tap_id = 0;
    std::int32_t snaplen = 0x10000;
    bool disable_encryption = false;
    // -A: datagrams sealed (wire/sealed_datagram.h) with a key derived from
    // the -k text, kept for that until the run starts.
    bool authenticated = false;
    std::string key_text;
    sealed_sender sealed;
    prefix_trie* allow_list = nullptr;

    // Derived by tap_setup: keeps the tap's own datagrams out of the
    // capture, applied alone when bpf_filter cannot be.
    std::optional<std::string> self_filter;

    // What the forwarding loop gets: the sender (socket, destination,
    // cipher), the allow-list, the tap id and the stop.
    forward_context forward;

    std::atomic<run_phase> phase{run_phase::setting_up};
    std::atomic<bool> shutdown_done{false};  // "Shutting down..." claimed
};

extern run_settings settings;

// Moves the run to next if that is a move forward. True when it moved.
bool run_phase_enter(run_settings& s, run_phase next);

// Set by the launcher before the run thread starts; the run thread sets it
// when the run has ended (see stop_event_set_shared).
inline std::atomic<stop_event*> tap_stop_event{nullptr};
