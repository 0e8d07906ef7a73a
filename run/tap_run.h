// One tap run: set-up, one forwarding loop, shutdown.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "forward/collector_resolver.h"
#include "forward/forwarding.h"
#include "run/tap_options.h"
#include "support/argument_string.h"
#include "wire/sealed_datagram.h"

struct stop_event;

// A run moves through these in order, never back; run_phase_enter holds
// the only moves.
enum class run_phase : int { setting_up, forwarding, shutting_down, ended };

// What is live while a run lasts: the forwarding loop's context, what the
// run holds open, its phase and the claim of its shutdown.
struct tap_run_state {
    // What the forwarding loop gets: the sender (socket, destination,
    // cipher), the allow-list, the tap id and the stop.
    forward_context forward;
    sealed_sender sealed;          // -A
    allow_list_handle allow_list;  // taken from the options
    // -i: the interface, the filter the capture applies (the user's joined
    // with the self filter) and the self filter alone as the fallback.
    capture_config capture;
    // Set when -c names a host name: the thread that looks it up again.
    collector_resolver_handle resolver;

    std::atomic<run_phase> phase{run_phase::setting_up};
    std::atomic<bool> shutdown_claimed{false};  // "Shutting down..." said
};

// Moves the run to next if that is a move forward. True when it moved.
bool run_phase_enter(tap_run_state& st, run_phase next);

// Set by the launcher before the run thread starts; the run thread sets it
// when the run has ended (see stop_event_set_shared).
inline std::atomic<stop_event*> tap_stop_event{nullptr};

// Thread body: arg is a heap copy of the argument string (char*, from
// new[]) whose ownership passes to the thread. Sets tap_stop_event at the
// end of the run and returns 0; where run_end_rule_of says so, ends the
// process instead.
unsigned tap_run_thread(void* arg);

// Drops the launcher's mode word ("/c": one word; "/i", "/r": two).
void drop_mode_word(std::vector<std::string>& args);

// The longest host name the collector option takes.
inline constexpr std::size_t collector_name_max = 253;

// The collector as -c names it.
struct collector_address {
    std::string name;      // the address or host name, without brackets
    net_peer peer;         // where it is now, with the port
    bool literal = false;  // name is an address: never looked up again
};

// Reads the collector text "<IPv4 address or host name>:<port>" or
// "[<IPv6 address>]:<port>" into *out. A host name is resolved to its first
// IPv4 address, or where it has none to its first IPv6 address. 0 on
// success; -1 with an ERROR line when a part is missing, too long, not a
// port from 1 to 65535, an IPv6 address is written without brackets, or
// the name resolves to nothing.
int read_collector(std::string_view text, collector_address* out);

// Reads the options into o and sets up st: sealing (-A), the collector,
// the capture filters, the UDP socket. run_end::none when the run goes on
// to its loop; otherwise why it stops at the step that failed, after that
// step's message.
run_end tap_setup(tap_options& o, tap_run_state& st, std::vector<std::string>& args);

// Safe to enter any number of times from any thread: logs
// "Shutting down..." once, stops the loop and wakes it from its wait. What
// the loop holds is released by the run thread alone.
void stop_run(tap_run_state& st);

// The signal entry: stop_run on the process's run.
void tap_shutdown(int sig);
