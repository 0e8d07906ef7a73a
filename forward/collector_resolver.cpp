// Looks the collector's host name up again, on a thread of its own, and
// hands new addresses to the forwarding thread.
#include "forward/collector_resolver.h"

#include <cstdlib>
#include <cstring>

#include "forward/sender.h"
#include "support/trace_log.h"

namespace {

// How often the thread looks at its stop and the failure flag: a stop
// waits no longer than this, unless a lookup is under way.
constexpr unsigned resolver_poll_ms = 100;

unsigned resolve_interval_ms()
{
#if defined(VANTRY_TEST_HOOKS)
    // Lets the tests see a move within seconds instead of half a minute.
    if (const char* v = std::getenv("VANTRY_RESOLVE_INTERVAL_MS"))
        if (const long ms = std::strtol(v, nullptr, 10); ms > 0)
            return static_cast<unsigned>(ms);
#endif
    return collector_resolve_interval_ms;
}

// One lookup: a new address is logged once and handed over; a failure is
// logged at the first of a run of them, the last address staying in use.
void look_up(collector_resolver& r, bool* failing)
{
    net_peer found;
    char text[net_peer_text_max];
    if (net_resolve_peer(r.name.c_str(), r.port, &found) != 0) {
        if (!*failing) {
            net_peer_text(r.last, text, sizeof text);
            TAP_LOG(trace_level_warning, "Collector %s does not resolve now: still sending to %s",
                    r.name.c_str(), text);
        }
        *failing = true;
        return;
    }
    if (*failing)
        TAP_LOG(trace_level_normal, "Collector %s resolves again", r.name.c_str());
    *failing = false;
    if (net_peer_same(found, r.last))
        return;
    r.last = found;
    net_peer_text(found, text, sizeof text);
    TAP_LOG(trace_level_normal, "Collector %s now at %s", r.name.c_str(), text);
    collector_mailbox_put(r.mailbox, found);
}

unsigned resolver_thread(void* arg)
{
    // The thread's share: the record outlives the run if a lookup does.
    const std::unique_ptr<std::shared_ptr<collector_resolver>> share(
        static_cast<std::shared_ptr<collector_resolver>*>(arg));
    collector_resolver& r = **share;
    bool failing = false;
    std::uint64_t last_lookup = clock_monotonic_ms();
    while (!r.stop.load()) {
        sleep_ms(r.interval_ms < resolver_poll_ms ? r.interval_ms : resolver_poll_ms);
        const std::uint64_t since = clock_monotonic_ms() - last_lookup;
        const bool early = r.sends_failing.load() && since >= collector_failure_resolve_gap_ms;
        if (r.stop.load() || (since < r.interval_ms && !early))
            continue;
        r.sends_failing.store(false);
        look_up(r, &failing);
        last_lookup = clock_monotonic_ms();
    }
    return 0;
}

}  // namespace

void collector_mailbox_put(collector_mailbox& m, const net_peer& p)
{
    std::uint64_t w[collector_mailbox::words_max] = {};
    std::memcpy(w, &p, sizeof p);
    const std::uint32_t v = m.version.load(std::memory_order_relaxed);
    m.version.store(v + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    for (int i = 0; i < collector_mailbox::words_max; ++i)
        m.words[i].store(w[i], std::memory_order_relaxed);
    m.version.store(v + 2, std::memory_order_release);
}

int collector_mailbox_take(const collector_mailbox& m, std::uint32_t* seen, net_peer* out)
{
    const std::uint32_t v = m.version.load(std::memory_order_acquire);
    if (v == *seen || (v & 1) != 0)
        return 0;
    std::uint64_t w[collector_mailbox::words_max];
    for (int i = 0; i < collector_mailbox::words_max; ++i)
        w[i] = m.words[i].load(std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_acquire);
    if (m.version.load(std::memory_order_relaxed) != v)
        return 0;
    std::memcpy(out, w, sizeof *out);
    *seen = v;
    return 1;
}

collector_resolver_handle collector_resolver_start(const std::string& name, const net_peer& first)
{
    auto r = std::make_shared<collector_resolver>();
    r->name = name;
    r->port = net_order16(first.port);
    r->last = first;
    r->interval_ms = resolve_interval_ms();
    auto* share = new std::shared_ptr<collector_resolver>(r);
    if (thread_start(resolver_thread, share) != 0) {
        delete share;
        TAP_LOG(trace_level_warning,
                "Unable to start looking up collector %s again: it stays at its first address",
                name.c_str());
        return {};
    }
    return collector_resolver_handle(std::move(r));
}

net_socket collector_socket_open(const net_peer& to, std::uint16_t local_port, bool dont_fragment)
{
    net_socket s = net_udp_socket_for(to);
    if (s == net_invalid_socket)
        return s;
    if (dont_fragment && net_set_dont_fragment(s) != 0) {
        const int e = net_last_error();
        TAP_LOG(trace_level_warning,
                "Unable to set Don't Fragment %d/%s: datagrams larger than the path may be "
                "fragmented on the way",
                e, os_error_text(e));
    }
    net_peer any;
    any.family = to.family;
    any.port = net_order16(local_port);
    // Not checked, as ever: an unbound socket gets a port at its first send.
    net_bind_peer(s, any);
    return s;
}

int collector_follow(tap_sender& s)
{
    if (!s.resolver)
        return 0;
    if (s.failure_log.in_run >= collector_failures_before_resolve)
        s.resolver->sends_failing.store(true, std::memory_order_relaxed);
    net_peer now;
    if (collector_mailbox_take(s.resolver->mailbox, &s.resolved_seen, &now) == 0)
        return 0;
    if (now.family != s.to.family) {
        // The tap's own port stays where the TZSP loop knows it, if free.
        const std::uint16_t port = net_local_port(s.socket);
        if (s.socket != net_invalid_socket)
            net_close(s.socket);
        s.socket = collector_socket_open(now, port, s.path_mtu != 0);
        if (s.socket == net_invalid_socket) {
            const int e = net_last_error();
            TAP_LOG(trace_level_error, "Unable to create socket %d/%s", e, os_error_text(e));
        }
    }
    s.previous = s.to;
    s.to = now;
    return 1;
}
