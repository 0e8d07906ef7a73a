// The TZSP receiver loop: TZSP datagrams from any sender on the -t port,
// their frames batched into Tap datagrams for the collector.
//
// States: not started -> bound -> running (until ctx.stop) -> ended. Only
// the last one logs "Collected %u pkts"; the early returns do not.
#include <cstdint>
#include <cstring>
#include <memory>

#include "forward/allow_list.h"
#include "forward/forwarding.h"
#include "forward/tap_batch.h"
#include "forward/tzsp.h"
#include "platform/platform.h"
#include "support/trace_log.h"

namespace {

// Microseconds from 1601-01-01 to 1970-01-01.
constexpr std::uint64_t filetime_unix_epoch_us = 0x295E9648864000ull;

constexpr std::size_t tzsp_buffer_size = 9000;

// Datagrams of this size or less carry no frame and are not counted.
constexpr long tzsp_min_counted = 5;

struct tzsp_loop_state {
    tap_batch batch;
    std::uint8_t buf[tzsp_buffer_size];
    std::uint32_t collected = 0;
    std::uint16_t own_port = 0;  // the sender's local port, network order; 0 unknown
    bool own_warned = false;
};

// A collector address that is the tap's own TZSP port (written by mistake,
// or a name that resolves to this host) would bring every Tap datagram
// back as TZSP input, to be sent again, forever. Such datagrams come from
// the tap's sending port on this host, which every other sender's do not.
bool sent_by_this_tap(const tzsp_loop_state& st, const tap_sender& s, const net_addr4& from)
{
    if (st.own_port == 0 || from.port != st.own_port)
        return false;
    std::uint8_t a[4];
    std::memcpy(a, &from.addr, 4);
    return from.addr == s.to.addr || a[0] == 127;
}

// Handles one counted datagram of n bytes.
void forward_datagram(forward_context& ctx, tzsp_loop_state& st, long n, const net_addr4& from)
{
    if (ctx.allow_list && !host_allowed(ctx.allow_list, from.addr))
        return;
    tzsp_frame frame;
    // A tag list that runs past the end leaves no frame to trust; an empty
    // frame carries nothing a capture tool could show.
    if (tzsp_find_frame(st.buf, static_cast<std::size_t>(n), &frame) != 0 || frame.length == 0)
        return;

    std::uint64_t us = clock_utc_filetime() / 10 - filetime_unix_epoch_us;
    tap_batch_add(st.batch, static_cast<std::uint32_t>(us / 1000000),
                  static_cast<std::uint32_t>(us % 1000000), frame.length, frame.length, nullptr,
                  st.buf + frame.offset);
}

// Empties the socket's queue: under load one call per datagram instead of
// a wait and a receive. The stop is still looked at after every datagram.
void drain(forward_context& ctx, tzsp_loop_state& st, net_socket s)
{
    while (!ctx.stop.load()) {
        net_addr4 from;
        long n = net_recv_from_nowait(s, st.buf, sizeof st.buf, &from);
        // A failed receive also goes back to the wait, which then decides,
        // instead of retrying at full speed.
        if (n == net_recv_nothing || n == -1)
            return;
        // -2 (larger than the buffer, discarded whole) lands here too:
        // ignored, not counted.
        if (n <= tzsp_min_counted)
            continue;
        if (sent_by_this_tap(st, ctx.sender, from)) {
            if (!st.own_warned)
                TAP_LOG(trace_level_warning,
                        "Dropping the tap's own datagrams: the collector is this TZSP port");
            st.own_warned = true;
            continue;
        }
        ++st.collected;
        TAP_LOG(trace_level_verbose, "Collected packet %u with len = %u", st.collected,
                static_cast<unsigned>(n));
        forward_datagram(ctx, st, n, from);
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
    // Both buffers outside the stack: the batch alone is 64 KiB.
    auto st = std::make_unique<tzsp_loop_state>();
    tap_batch_init(st->batch, ctx.tap_id, &ctx.sender);
    st->own_port = net_order16(net_local_port(ctx.sender.socket));
    TAP_LOG(trace_level_normal, "Running...");

    while (!ctx.stop.load()) {
        const int ready = net_wait_readable_or_woken(s, waker, tap_idle_wait_us);
        if (ctx.stop.load())
            break;
        if (ready == 0)
            tap_batch_idle(st->batch);
        else if (ready == 1)
            drain(ctx, *st, s);
        // A failed wait (a signal) or a wake goes round: the stop decides.
    }
    forward_set_wake(ctx, nullptr, nullptr);
    net_waker_close(&waker);
    net_close(s);
    TAP_LOG(trace_level_normal, "Collected %u pkts", st->collected);
}
