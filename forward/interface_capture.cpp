// The interface capture loop: packets from a live capture, through the
// allow-list, into Tap datagrams.
//
// States: opening (handle published in settings.capture_handle), filtering,
// running (wait, then drain everything the library holds), ending
// (statistics, handle withdrawn under capture_lock, close). All moves
// between them are in run_interface_capture.
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "forward/allow_list.h"
#include "forward/forwarding.h"
#include "forward/packet_filter.h"
#include "forward/tap_batch.h"
#include "platform/capture.h"
#include "platform/platform.h"
#include "run/run_settings.h"
#include "run/tap_run.h"
#include "support/trace_log.h"

namespace {

constexpr int capture_timeout_ms = 1000;
constexpr std::uint32_t capture_netmask = 0xFFFFFF00;
// Pause after a failed read, so that an interface that went away is polled
// instead of spun on until the stop.
constexpr unsigned read_error_pause_ms = 100;

// Set by the first packet whose captured and wire lengths differ; the
// warning is given once per process.
bool oversize_warned = false;

enum class packet_outcome { forwarded, dropped, batch_full };

packet_outcome handle_packet(tap_batch& batch, int link_type, const capture_packet& p)
{
    TAP_LOG(trace_level_verbose, "Captured packet with len = %u", p.len);
    link_frame link;
    if (read_link_frame(link_type, p.data, p.caplen, &link) != 0)
        return packet_outcome::dropped;  // shorter than its own link header
    if (settings.allow_list && !packet_allowed(link_type, p.data, p.caplen, host_allowed))
        return packet_outcome::dropped;

    if (p.caplen != p.len && !oversize_warned) {
        TAP_LOG(trace_level_warning, "Frame bigger than max (%u > %u)", p.len, p.caplen);
        TAP_LOG(trace_level_warning,
                "Please disable LRO/GRO on your NIC (ethtool -K <NIC> gro off gso off tso off)");
        oversize_warned = true;
    }

    // The link's own header gives way to an Ethernet header. Batching cuts
    // a frame too large for one datagram to what fits and saturates a wire
    // length that does not fit its 16-bit field.
    std::uint8_t prefix[ethernet_header_size];
    const std::uint8_t* data = p.data;
    std::uint32_t caplen = p.caplen;
    std::uint32_t len = p.len;
    if (link.rewrite) {
        ethernet_prefix(link.ethertype, prefix);
        data += link.header_len;
        caplen -= link.header_len;
        len = len > link.header_len ? len - link.header_len : 0;
    }
    if (tap_batch_add(batch, p.ts_sec, p.ts_usec, caplen, len, link.rewrite ? prefix : nullptr,
                      data) == tap_cannot_fit)
        return packet_outcome::batch_full;
    return packet_outcome::forwarded;
}

void publish_handle(capture_device* h)
{
    std::lock_guard<std::mutex> g(settings.capture_lock);
    settings.capture_handle = h;
}

// 0 when text is set as the capture's filter; otherwise the failure is
// logged and -1 returned.
int set_filter(capture_device* h, const std::string& text)
{
    std::string err;
    switch (capture_set_filter(h, text.c_str(), capture_netmask, &err)) {
    case 0:
        TAP_LOG(trace_level_normal, "Set BPF filter to '%s'", text.c_str());
        return 0;
    case -1:
        TAP_LOG(trace_level_error, "Invalid BPF filter syntax: '%s'", err.c_str());
        return -1;
    default:
        TAP_LOG(trace_level_error, "BPF filter error: '%s'", err.c_str());
        return -1;
    }
}

// A user filter that cannot be applied gives way to the self-exclusion
// filter alone: everything is captured then, but never the tap's own
// datagrams.
void apply_filter(capture_device* h)
{
    if (!settings.bpf_filter || set_filter(h, *settings.bpf_filter) == 0)
        return;
    if (settings.self_filter && *settings.self_filter != *settings.bpf_filter)
        set_filter(h, *settings.self_filter);
}

// Read failures (an interface that went away, a driver that stopped) are
// reported when they start and when they end, never once per read.
void note_read_result(const char* name, capture_device* h, int r, bool* failing)
{
    if (r == -1 && !*failing) {
        TAP_LOG(trace_level_error, "Capture from %s failed: %s", name, capture_last_error(h).c_str());
        *failing = true;
    } else if (r >= 0 && *failing) {
        TAP_LOG(trace_level_normal, "Capture from %s works again", name);
        *failing = false;
    }
}

// Runs until a stop or a record that cannot fit. Every packet the library
// already holds is taken before the next wait, so a burst never waits for
// a wait. What is in hand is sent once a whole idle wait has passed
// without a packet, measured on the clock: a device without a selectable
// descriptor ends its waits early, and a wait that reported input which
// then was not there is no proof of an idle link either.
void capture_loop(capture_device* h, tap_batch& batch, int link_type, const char* name)
{
    capture_packet p;
    bool failing = false;
    std::uint64_t quiet_since = clock_monotonic_ms();
    while (!settings.stop_requested.load()) {
        int w = capture_wait(h, tap_idle_wait_us);
        int r = 0;
        if (w != 0) {
            while ((r = capture_next(h, &p)) == 1) {
                quiet_since = clock_monotonic_ms();
                if (handle_packet(batch, link_type, p) == packet_outcome::batch_full)
                    return;
                if (settings.stop_requested.load())
                    return;
            }
            if (r == -2)
                return;  // broken off by a stop: what is in hand is dropped
            note_read_result(name, h, r, &failing);
            if (r == -1)
                sleep_ms(read_error_pause_ms);
        }
        const std::uint64_t now = clock_monotonic_ms();
        if (w == 0 || idle_wait_passed(quiet_since, now)) {
            tap_batch_idle(batch);
            quiet_since = now;
        }
    }
}

}  // namespace

void run_interface_capture()
{
    if (settings.udp_socket.load() == net_invalid_socket) {
        TAP_LOG(trace_level_error, "Socket error");
        return;
    }
    std::string err;
    if (capture_library_load(&err) != 0) {
        TAP_LOG(trace_level_error,
                "Unable to load the capture library (%s): please install Npcap and try again",
                err.c_str());
        process_exit(-1);
    }

    // One fixed buffer for the whole loop; too large for a thread stack.
    auto batch = std::make_unique<tap_batch>();
    tap_batch_init(*batch, settings.tap_id);

    const char* name = settings.interface_name ? settings.interface_name->c_str() : "";
    capture_device* h = capture_open(name, settings.snaplen, 1, capture_timeout_ms, &err);
    if (!h) {
        TAP_LOG(trace_level_error, "Unable to open interface %s: %s", name, err.c_str());
        return;
    }
    publish_handle(h);
    TAP_LOG(trace_level_normal, "Capturing traffic from %s", name);

    const int link_type = capture_datalink(h);
    if (!link_reads_as_ethernet(link_type))
        TAP_LOG(trace_level_warning,
                "Frames of link type %d are forwarded as they are and will not read as Ethernet",
                link_type);
    apply_filter(h);
    signals_install(tap_shutdown);
    TAP_LOG(trace_level_normal, "Running...");

    capture_loop(h, *batch, link_type, name);

    std::uint32_t drops = 0;
    if (capture_stats(h, &drops) == 0)
        TAP_LOG(trace_level_normal, "Packet stats [%u packets sent][%u capture drops]",
                settings.datagrams_sent, drops);
    // Withdrawn before the close, so that tap_shutdown cannot break a
    // handle that is being freed.
    publish_handle(nullptr);
    capture_close(h);
}
