// What the options of a tap run say, read into a plain record.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "forward/allow_list.h"
#include "run/run_end.h"
#include "support/version.h"
#include "wire/sealed_datagram.h"

inline constexpr const char* tap_title = "Vantry remote/virtual tap";

struct allow_list_release {
    void operator()(prefix_trie* list) const { release_allow_list(&list); }
};
using allow_list_handle = std::unique_ptr<prefix_trie, allow_list_release>;

inline constexpr std::int32_t tap_mtu_max = 65535;
// -S: a day at most, so that a mistyped number still gives a line daily.
inline constexpr std::int32_t tap_stats_seconds_max = 86400;

// Written while options are read, read-only afterwards but for the key
// text (wiped once used: by check_settings in the Speck mode, by the run's
// sealing set-up under -A) and the allow-list (handed to the run). A fresh
// record is "= {}".
struct tap_options {
    std::optional<std::string> collector;
    std::optional<std::string> bpf_filter;  // the user's filter
    std::optional<std::string> interface_name;
    std::uint16_t tzsp_port = 0;
    std::int32_t tap_id = 0;
    std::int32_t snaplen = 0x10000;
    // -M, with -A: the largest IP packet a datagram may make on the path.
    std::int32_t mtu = 1500;
    bool disable_encryption = false;
    // -A: datagrams sealed (wire/sealed_datagram.h) with a key derived from
    // the key text, kept for that until the run starts.
    bool authenticated = false;
    // -k, or once the options are checked the first line of --key-file.
    std::optional<std::string> key_text;
    std::optional<std::string> key_file;  // --key-file
    std::optional<std::string> salt;      // --salt, for a passphrase under -A
    allow_list_handle allow_list;  // -H; null: everything passes
    std::uint64_t max_rate_bits = 0;  // -R, bits a second on the wire; 0: no cap
    std::uint32_t stats_seconds = 0;  // -S: a line of the counters this often; 0: none
    // Set by the reading function that returned other than 0.
    run_end stopped_by = run_end::none;
};

// Overwrites the key text, used or refused, and forgets it.
inline void forget_key_text(tap_options& o)
{
    if (o.key_text)
        sealed_wipe(o.key_text->data(), o.key_text->size());
    o.key_text.reset();
}
