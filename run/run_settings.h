// The one process-wide record of a tap run: options, derived values and
// the resources the run holds open.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "platform/platform.h"

struct prefix_trie;
struct capture_device;
struct stop_event;

inline constexpr const char* tap_title = "Vantry remote/virtual tap";
inline constexpr const char* tap_version = "1.1.260430";

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
    prefix_trie* allow_list = nullptr;

    // Derived by tap_setup. has_collector_addr is false when no usable
    // destination exists; nothing is ever sent then.
    bool has_collector_addr = false;
    net_addr4 collector_addr;
    int collector_addr_len = 0;
    // Keeps the tap's own datagrams out of the capture; applied alone when
    // bpf_filter cannot be.
    std::optional<std::string> self_filter;
    // Local port of udp_socket (host order), 0 when unknown.
    std::uint16_t send_port = 0;

    // Resources. udp_socket is closed only once the forwarding loop has
    // returned, so the loop never sends on a closed or reused socket.
    std::atomic<net_socket> udp_socket{net_invalid_socket};

    // Open capture while the interface loop runs. The mutex keeps
    // tap_shutdown from breaking a capture that the loop is closing.
    std::mutex capture_lock;
    capture_device* capture_handle = nullptr;

    std::atomic<bool> stop_requested{false};
    std::atomic<bool> shutdown_done{false};  // "Shutting down..." claimed
    std::atomic<bool> loop_running{false};   // a forwarding loop may use the resources

    std::uint32_t datagrams_sent = 0;
};

extern run_settings settings;

// Published by the launcher before the run thread starts; the run thread
// sets it when the run has ended. Used only through stop_event_set_shared
// and stop_event_close_shared (platform.h), which hand it over between the
// threads so that none uses it once closed.
inline std::atomic<stop_event*> tap_stop_event{nullptr};
