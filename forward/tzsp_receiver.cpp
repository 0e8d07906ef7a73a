// The TZSP receiver loop: TZSP datagrams from any sender on the -t port,
// their frames batched into Tap datagrams for the collector.
//
// States: not started -> bound -> running (until ctx.stop) -> ended. Only
// the last one logs "Collected %u pkts" and the counters; the early
// returns do not. While running, each wait is followed by a drain of the
// socket, received in batches, and the datagrams the drain completed are
// sent together; between batches the counters are told when due.
#include <cstdint>
#include <cstring>
#include <memory>

#include "forward/allow_list.h"
#include "forward/collector_resolver.h"
#include "forward/forwarding.h"
#include "forward/loop_report.h"
#include "forward/sender.h"
#include "forward/tap_batch.h"
#include "forward/tzsp.h"
#include "platform/platform.h"
#include "support/trace_log.h"

namespace {

constexpr std::uint32_t tzsp_buffer_size = 9000;

// Datagrams of this size or less carry no frame and are not counted.
constexpr long tzsp_min_counted = 5;

struct tzsp_loop_state {
    tap_batch batch;
    send_queue queue;
    loop_report report;
    std::uint8_t bufs[net_batch_max][tzsp_buffer_size];
    net_datagram_in in[net_batch_max];  // over bufs
    std::uint32_t collected = 0;
    std::uint16_t own_port = 0;  // the sender's local port, network order; 0 unknown
    bool own_warned = false;
};

// A collector address that is the tap's own TZSP port (written by mistake,
// or a name that resolves to this host) would bring every Tap datagram
// back as TZSP input, to be sent again, forever. Such datagrams come from
// the tap's sending port on this host, which every other sender's do not.
bool sent_by_this_tap(const tzsp_loop_state& st, const tap_sender& s, const net_peer& from)
{
    if (st.own_port == 0 || from.port != st.own_port)
        return false;
    const bool from_collector = from.family == s.to.family &&
                                std::memcmp(from.addr, s.to.addr, sizeof from.addr) == 0;
    return from_collector || (from.family == net_family_ipv4 && from.addr[0] == 127);
}

// A moved collector, taken before the next datagram; its socket may be
// new (another family), and with it the tap's own port.
void follow_collector(forward_context& ctx, tzsp_loop_state& st)
{
    if (collector_follow(ctx.sender) == 1)
        st.own_port = net_order16(net_local_port(ctx.sender.socket));
}

// Handles one counted datagram.
void forward_datagram(forward_context& ctx, tzsp_loop_state& st, const net_datagram_in& d)
{
    if (ctx.allow_list && !host_allowed(ctx.allow_list, net_peer_addr4(d.from))) {
        ++ctx.counts.allow_list_out;
        return;
    }
    tzsp_frame frame;
    // A tag list that runs past the end leaves no frame to trust; an empty
    // frame carries nothing a capture tool could show.
    if (tzsp_find_frame(d.buf, static_cast<std::size_t>(d.len), &frame) != 0 || frame.length == 0)
        return;

    const std::uint64_t us = clock_unix_us();
    if (st.batch.cap)
        rate_cap_advance(*st.batch.cap, clock_monotonic_us());
    if (!tap_batch_add(st.batch, static_cast<std::uint32_t>(us / 1000000),
                       static_cast<std::uint32_t>(us % 1000000), frame.length, frame.length, nullptr,
                       d.buf + frame.offset))
        rate_cap_log_due(*st.batch.cap);
}

// Handles one received datagram.
void take_datagram(forward_context& ctx, tzsp_loop_state& st, const net_datagram_in& d)
{
    // -2 (larger than the buffer, discarded whole) lands here too:
    // ignored, not counted.
    if (d.len <= tzsp_min_counted)
        return;
    if (sent_by_this_tap(st, ctx.sender, d.from)) {
        if (!st.own_warned)
            TAP_LOG(trace_level_warning,
                    "Dropping the tap's own datagrams: the collector is this TZSP port");
        st.own_warned = true;
        return;
    }
    ++st.collected;
    ++ctx.counts.received;
    TAP_LOG(trace_level_verbose, "Collected packet %u with len = %u", st.collected,
            static_cast<unsigned>(d.len));
    forward_datagram(ctx, st, d);
}

// Between batches: the counters told where due.
void report_when_due(forward_context& ctx, tzsp_loop_state& st)
{
    const std::uint64_t now = clock_monotonic_ms();
    if (loop_report_due(st.report, now))
        loop_report_run(st.report, ctx, st.batch, loop_report_take(st.report, now));
}

// Empties the socket's queue: under load one call per batch of datagrams
// instead of a wait and a receive each. The stop is still looked at
// before every datagram; what a stop leaves of a batch is dropped, as
// what is still in the socket is.
void drain(forward_context& ctx, tzsp_loop_state& st, net_socket s)
{
    while (!ctx.stop.load()) {
        follow_collector(ctx, st);
        const int n = net_recv_batch(s, st.in, net_batch_max);
        // A failed receive also goes back to the wait, which then decides,
        // instead of retrying at full speed.
        if (n == net_recv_nothing || n == -1)
            return;
        take_datagram(ctx, st, st.in[0]);
        for (int i = 1; i < n && !ctx.stop.load(); ++i)
            take_datagram(ctx, st, st.in[i]);
        report_when_due(ctx, st);
    }
}

void wake_waker(void* w) { net_waker_wake(*static_cast<net_waker*>(w)); }

}  // namespace

void run_tzsp_receiver(forward_context& ctx, std::uint16_t port)
{
    net_socket s = net_udp_socket();
    if (s == net_invalid_socket) {
        int e = net_last_error();
        TAP_LOG(trace_level_error, "Unable to create socket %d/%s", e, os_error_text(e));
        return;
    }
    if (net_bind_any(s, port) != 0) {
        TAP_LOG(trace_level_error, "Unable to bind port %d", port);
        net_close(s);
        return;
    }
    net_waker waker;
    if (ctx.sender.socket == net_invalid_socket || net_waker_open(&waker) != 0) {
        TAP_LOG(trace_level_error, "Socket error");
        net_close(s);
        return;
    }
    forward_set_wake(ctx, wake_waker, &waker);
    // The buffers outside the stack: the batch alone is 64 KiB.
    auto st = std::make_unique<tzsp_loop_state>();
    for (int i = 0; i < net_batch_max; ++i)
        st->in[i] = {st->bufs[i], tzsp_buffer_size, 0, {}};
    send_queue_init(st->queue, ctx.sender);
    tap_batch_init(st->batch, ctx.tap_id, &ctx.sender, &st->queue);
    if (ctx.cap.bits_per_s)
        st->batch.cap = &ctx.cap;
    st->own_port = net_order16(net_local_port(ctx.sender.socket));
    ctx.counts.run_start_us = clock_unix_us();
    loop_report_start(st->report, ctx, clock_monotonic_ms());
    TAP_LOG(trace_level_normal, "Running...");
    notify_service_manager("READY=1");

    while (!ctx.stop.load()) {
        follow_collector(ctx, *st);
        const int ready = net_wait_readable_or_woken(s, waker, tap_idle_wait_us);
        notify_watchdog_when_due(clock_monotonic_ms());
        if (ctx.stop.load())
            break;
        if (ready == 0)
            tap_batch_idle(st->batch);
        else if (ready == 1)
            drain(ctx, *st, s);
        // Also after a stop in the drain: what it completed goes, as each
        // would have gone alone.
        tap_batch_send(st->batch);
        if (!ctx.stop.load())
            report_when_due(ctx, *st);
        // A failed wait (a signal) or a wake goes round: the stop decides.
    }
    forward_set_wake(ctx, nullptr, nullptr);
    net_waker_close(&waker);
    net_close(s);
    TAP_LOG(trace_level_normal, "Collected %u pkts", st->collected);
    rate_cap_log_total(ctx.cap);
    loop_report_end(st->report, ctx, st->batch);
}
