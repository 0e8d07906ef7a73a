// A collector named by a host name may move (a DNS change, a failover):
// the name is looked up again on a thread of its own, every
// collector_resolve_interval_ms and soon after a run of failed sends, and
// a new address is handed to the forwarding thread without a lock. A slow
// resolver never holds up the forwarding loop; a name that stops
// resolving leaves the last address in use.
//
// States of the resolver thread: waiting (polls its stop and the failure
// flag) -> looking up -> waiting, until stopped. Its record is shared: the
// run and the thread each hold it, so a thread still inside a lookup when
// the run ends frees it itself.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/platform.h"

struct tap_sender;

inline constexpr unsigned collector_resolve_interval_ms = 30000;
// Failed sends in a row after which the name is looked up early, at most
// once per collector_failure_resolve_gap_ms.
inline constexpr std::uint32_t collector_failures_before_resolve = 10;
inline constexpr unsigned collector_failure_resolve_gap_ms = 5000;

// One address handed from one writer to one reader without a lock: a
// sequence count, odd while the words change, around the record stored as
// atomic words, so that a reader never acts on a half-written address.
struct collector_mailbox {
    static constexpr int words_max = (sizeof(net_peer) + 7) / 8;
    std::atomic<std::uint32_t> version{0};  // even when stable; 0: nothing handed over yet
    std::atomic<std::uint64_t> words[words_max] = {};
};

// Hands p over (the writer's thread only).
void collector_mailbox_put(collector_mailbox& m, const net_peer& p);

// 1 with *out the newest address when one newer than *seen was handed
// over, *seen then moved on; 0 when there is none (also while the writer
// is in the middle of one: it is taken next time).
int collector_mailbox_take(const collector_mailbox& m, std::uint32_t* seen, net_peer* out);

struct collector_resolver {
    std::string name;         // as -c gave it
    std::uint16_t port = 0;   // host order
    net_peer last;            // the address last found (the thread's own after the start)
    unsigned interval_ms = collector_resolve_interval_ms;
    collector_mailbox mailbox;
    std::atomic<bool> sends_failing{false};  // set by the forwarding thread
    std::atomic<bool> stop{false};
};

// The run's share of the record: dropping it tells the thread to end,
// which drops its own share once its lookup, if any, is over.
struct collector_resolver_handle {
    std::shared_ptr<collector_resolver> shared;
    collector_resolver_handle() = default;
    explicit collector_resolver_handle(std::shared_ptr<collector_resolver> r) : shared(std::move(r)) {}
    collector_resolver_handle(const collector_resolver_handle&) = delete;
    collector_resolver_handle& operator=(const collector_resolver_handle&) = delete;
    collector_resolver_handle& operator=(collector_resolver_handle&& o) noexcept
    {
        reset();
        shared = std::move(o.shared);
        return *this;
    }
    ~collector_resolver_handle() { reset(); }
    collector_resolver* get() const { return shared.get(); }
    void reset()
    {
        if (shared)
            shared->stop.store(true);
        shared.reset();
    }
};

// Starts the thread that looks name up again, from the address found at
// the start (first, port in network order). An empty handle, after a
// warning, when the thread cannot be started: the run then keeps the
// first address. In builds with VANTRY_TEST_HOOKS the environment variable
// VANTRY_RESOLVE_INTERVAL_MS shortens the interval.
collector_resolver_handle collector_resolver_start(const std::string& name, const net_peer& first);

// A UDP socket of to's family for sending to it, bound to local_port
// (host order; 0: any port) on every address of that family; or
// net_invalid_socket (see net_last_error()).
// dont_fragment (sealed): Don't Fragment set, a warning when refused.
net_socket collector_socket_open(const net_peer& to, std::uint16_t local_port, bool dont_fragment);

// Called by the forwarding loops between datagrams. Takes a new address
// from s.resolver, if any: 1 when s.to changed (s.previous holds the
// old one; a socket of the new family replaces the old one, on the same
// local port where it can), 0 otherwise. Also flags a run of failed sends
// to the resolver.
int collector_follow(tap_sender& s);
