// The TZSP receiver loop: TZSP datagrams from any sender on the -t port,
// their frames batched into Tap datagrams for the collector.
//
// States: not started -> bound -> running (until stop_requested) -> ended.
// Only the last one logs "Collected %u pkts"; the early returns do not.
#include <cstdint>
#include <cstring>

#include "forward/allow_list.h"
#include "forward/forwarding.h"
#include "forward/tap_batch.h"
#include "forward/tzsp.h"
#include "platform/platform.h"
#include "run/run_settings.h"
#include "run/tap_run.h"
#include "support/trace_log.h"

namespace {

// Microseconds from 1601-01-01 to 1970-01-01.
constexpr std::uint64_t filetime_unix_epoch_us = 0x295E9648864000ull;

constexpr std::size_t tzsp_buffer_size = 9000;

// Datagrams of this size or less carry no frame and are not counted.
constexpr long tzsp_min_counted = 5;

// Both fixed buffers live outside the stack: the batch alone is 64 KiB,
// and the loop runs once per process.
tap_batch batch;
std::uint8_t receive_buffer[tzsp_buffer_size];

// A collector address that is the tap's own TZSP port (written by mistake,
// or a name that resolves to this host) would bring every Tap datagram
// back as TZSP input, to be sent again, forever. Such datagrams come from
// the tap's sending port on this host, which every other sender's do not.
bool sent_by_this_tap(const net_addr4& from)
{
    if (settings.send_port == 0 || from.port != net_order16(settings.send_port))
        return false;
    std::uint8_t a[4];
    std::memcpy(a, &from.addr, 4);
    return from.addr == settings.collector_addr.addr || a[0] == 127;
}

// Handles one counted datagram of n bytes. False when the loop must end
// (a record that fits no datagram, which a 9000-byte buffer cannot produce).
bool forward_datagram(long n, const net_addr4& from)
{
    if (settings.allow_list && !host_allowed(from.addr))
        return true;

    tzsp_frame frame;
    // A tag list that runs past the end leaves no frame to trust; an empty
    // frame carries nothing a capture tool could show.
    if (tzsp_find_frame(receive_buffer, static_cast<std::size_t>(n), &frame) != 0 ||
        frame.length == 0)
        return true;

    std::uint64_t us = clock_utc_filetime() / 10 - filetime_unix_epoch_us;
    auto ts_sec = static_cast<std::uint32_t>(us / 1000000);
    auto ts_usec = static_cast<std::uint32_t>(us % 1000000);
    return tap_batch_add(batch, ts_sec, ts_usec, frame.length, frame.length, nullptr,
                         receive_buffer + frame.offset) == tap_added;
}

}  // namespace

void run_tzsp_receiver()
{
    net_socket s = net_udp_socket();
    if (s == net_invalid_socket) {
        int e = net_last_error();
        TAP_LOG(trace_level_error, "Unable to create socket %d/%s", e, os_error_text(e));
        return;
    }
    if (net_bind_any(s, settings.tzsp_port) != 0) {
        TAP_LOG(trace_level_error, "Unable to bind port %d", settings.tzsp_port);
        net_close(s);
        return;
    }
    if (settings.udp_socket == net_invalid_socket) {
        TAP_LOG(trace_level_error, "Socket error");
        net_close(s);
        return;
    }
    tap_batch_init(batch, settings.tap_id);
    signals_install(tap_shutdown);
    TAP_LOG(trace_level_normal, "Running...");

    std::uint32_t collected = 0;
    bool ended = false;
    bool own_warned = false;
    while (!ended && !settings.stop_requested) {
        int ready = net_wait_readable(s, tap_idle_wait_us);
        if (settings.stop_requested)
            break;
        if (ready == 0) {
            tap_batch_idle(batch);
            continue;
        }
        // A wait broken by a signal fails before the signal's handler has
        // set stop_requested; a blocking receive now could wait for traffic
        // that never comes, so the loop checks the flag and waits again.
        if (ready < 0)
            continue;
        // Empty the queue before waiting again: under load this is one
        // call per datagram instead of a wait and a receive. The stop flag
        // is still read after every datagram.
        while (!settings.stop_requested) {
            net_addr4 from;
            long n = net_recv_from_nowait(s, receive_buffer, sizeof receive_buffer, &from);
            // A failed receive also goes back to the wait, which then
            // decides, instead of retrying at full speed.
            if (n == net_recv_nothing || n == -1)
                break;
            // -2 (larger than the buffer, discarded) lands here too:
            // ignored, not counted.
            if (n <= tzsp_min_counted)
                continue;
            if (sent_by_this_tap(from)) {
                if (!own_warned)
                    TAP_LOG(trace_level_warning,
                            "Dropping the tap's own datagrams: the collector is this TZSP port");
                own_warned = true;
                continue;
            }
            ++collected;
            TAP_LOG(trace_level_verbose, "Collected packet %u with len = %u", collected,
                    static_cast<unsigned>(n));
            if (!forward_datagram(n, from)) {
                ended = true;
                break;
            }
        }
    }
    net_close(s);
    TAP_LOG(trace_level_normal, "Collected %u pkts", collected);
}
