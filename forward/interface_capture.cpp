// The interface capture loop: packets from a live capture, through the
// allow-list, into Tap datagrams.
//
// States: opening (the capture's break published as the loop's wake),
// filtering, running (wait, then drain everything the library holds and
// send the datagrams it completed; the counters told between frames when
// due), ending (statistics, wake withdrawn, close). All moves between them
// are in run_interface_capture.
#include <cstdint>
#include <memory>
#include <string>

#include "forward/collector_resolver.h"
#include "forward/forwarding.h"
#include "forward/loop_report.h"
#include "forward/packet_filter.h"
#include "forward/sender.h"
#include "forward/tap_batch.h"
#include "platform/capture.h"
#include "platform/platform.h"
#include "support/trace_log.h"

namespace {

constexpr int capture_timeout_ms = 1000;
constexpr std::uint32_t capture_netmask = 0xFFFFFF00;
// Pause after a failed read, so that an interface that went away is polled
// instead of spun on until the stop.
constexpr unsigned read_error_pause_ms = 100;

struct capture_loop_state {
    forward_context& ctx;
    capture_device* h;
    const char* name;
    int link_type;
    tap_batch batch;
    send_queue queue;
    loop_report report;
    bool oversize_warned = false;  // the warning is given once per run
    bool failing = false;          // reads are failing
    std::string user_filter;       // of capture_config
};

void handle_packet(capture_loop_state& st, const capture_packet& p)
{
    TAP_LOG(trace_level_verbose, "Captured packet with len = %u", p.len);
    ++st.ctx.counts.received;
    link_frame link;
    if (read_link_frame(st.link_type, p.data, p.caplen, &link) != 0)
        return;  // shorter than its own link header
    if (st.ctx.allow_list && !packet_allowed(st.link_type, p.data, p.caplen, st.ctx.allow_list)) {
        ++st.ctx.counts.allow_list_out;
        return;
    }

    if (p.caplen != p.len && !st.oversize_warned) {
        TAP_LOG(trace_level_warning, "Frame bigger than max (%u > %u)", p.len, p.caplen);
        TAP_LOG(trace_level_warning,
                "Please disable LRO/GRO on your NIC (ethtool -K <NIC> gro off gso off tso off)");
        st.oversize_warned = true;
    }

    // The link's own header gives way to an Ethernet header.
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
    if (st.batch.cap)
        rate_cap_advance(*st.batch.cap, clock_monotonic_us());
    if (!tap_batch_add(st.batch, p.ts_sec, p.ts_usec, caplen, len, link.rewrite ? prefix : nullptr, data))
        rate_cap_log_due(*st.batch.cap);
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
// datagrams. 0 when one of them is set (or there is none), else -1.
int apply_filter(capture_device* h, const capture_config& cfg)
{
    if (!cfg.filter || set_filter(h, *cfg.filter) == 0)
        return 0;
    if (cfg.fallback_filter && *cfg.fallback_filter != *cfg.filter)
        return set_filter(h, *cfg.fallback_filter);
    return -1;
}

// The collector moved: its new address is kept out of the capture before
// the first datagram goes there, and the old one still, for datagrams sent
// there that the capture has yet to see. Where no filter can be set the
// tap stops sending rather than capture its own datagrams and send them
// again.
void follow_collector(capture_loop_state& st)
{
    tap_sender& s = st.ctx.sender;
    if (collector_follow(s) == 0)
        return;
    std::string self = self_exclusion_filter(s.to);
    if (s.previous.family != 0 && !net_peer_same(s.previous, s.to))
        self += " and " + self_exclusion_filter(s.previous);
    capture_config cfg;
    cfg.filter = capture_filter_text(st.user_filter, self);
    cfg.fallback_filter = std::move(self);
    s.has_destination = apply_filter(st.h, cfg) == 0;
    if (!s.has_destination)
        TAP_LOG(trace_level_error,
                "Not sending to the collector's new address: no capture filter keeps the tap's "
                "own datagrams out");
}

// The library's drop counts into the run's counters. 0, or -1 when the
// capture gives none (they keep their last values then).
int take_capture_drops(capture_loop_state& st)
{
    std::uint32_t drops = 0;
    std::uint32_t interface_drops = 0;
    if (capture_stats(st.h, &drops, &interface_drops) != 0)
        return -1;
    st.ctx.counts.capture_drops = drops;
    st.ctx.counts.interface_drops = interface_drops;
    return 0;
}

// Between frames, at now_ms: the counters told where due.
void report_when_due(capture_loop_state& st, std::uint64_t now_ms)
{
    if (!loop_report_due(st.report, now_ms))
        return;
    const int due = loop_report_take(st.report, now_ms);
    take_capture_drops(st);
    loop_report_run(st.report, st.ctx, st.batch, due);
}

// Read failures (an interface that went away, a driver that stopped) are
// reported when they start and when they end, never once per read.
void note_read_result(capture_loop_state& st, int r)
{
    if (r == -1 && !st.failing) {
        TAP_LOG(trace_level_error, "Capture from %s failed: %s", st.name,
                capture_last_error(st.h).c_str());
        st.failing = true;
    } else if (r >= 0 && st.failing) {
        TAP_LOG(trace_level_normal, "Capture from %s works again", st.name);
        st.failing = false;
    }
}

// Runs until a stop. Every packet the library already holds is taken
// before the next wait, so a burst never waits for a wait, and the
// datagrams it completed are sent together before the wait. What is in hand
// is sent once a whole idle wait has passed without a packet, measured on
// the clock: a device without a selectable descriptor ends its waits
// early, and a wait that reported input which then was not there is no
// proof of an idle link either.
void capture_loop(capture_loop_state& st)
{
    capture_packet p;
    std::uint64_t quiet_since = clock_monotonic_ms();
    while (!st.ctx.stop.load()) {
        follow_collector(st);
        const int w = capture_wait(st.h, tap_idle_wait_us);
        if (w != 0) {
            int r;
            while ((r = capture_next(st.h, &p)) == 1) {
                quiet_since = clock_monotonic_ms();
                handle_packet(st, p);
                if (st.ctx.stop.load())
                    return;
                report_when_due(st, quiet_since);
                follow_collector(st);
            }
            if (r == -2)
                return;  // broken off by a stop: what is in hand is dropped
            tap_batch_send(st.batch);
            note_read_result(st, r);
            if (r == -1)
                sleep_ms(read_error_pause_ms);
        }
        const std::uint64_t now = clock_monotonic_ms();
        notify_watchdog_when_due(now);
        if (w == 0 || idle_wait_passed(quiet_since, now)) {
            tap_batch_idle(st.batch);
            quiet_since = now;
        }
        report_when_due(st, now);
    }
}

void break_capture(void* h) { capture_breakloop(static_cast<capture_device*>(h)); }

}  // namespace

void run_interface_capture(forward_context& ctx, const capture_config& cfg)
{
    if (ctx.sender.socket == net_invalid_socket) {
        TAP_LOG(trace_level_error, "Socket error");
        return;
    }
    std::string err;
    if (capture_library_load(&err) != 0) {
        TAP_LOG(trace_level_error,
                "Unable to load the capture library (%s): please install Npcap and try again",
                err.c_str());
        return;
    }
    const char* name = cfg.interface_name.c_str();
    capture_device* h = capture_open(name, cfg.snaplen, 1, capture_timeout_ms, &err);
    if (!h) {
        TAP_LOG(trace_level_error, "Unable to open interface %s: %s", name, err.c_str());
        return;
    }
    forward_set_wake(ctx, break_capture, h);
    TAP_LOG(trace_level_normal, "Capturing traffic from %s", name);

    const int link_type = capture_datalink(h);
    if (!link_reads_as_ethernet(link_type))
        TAP_LOG(trace_level_warning,
                "Frames of link type %d are forwarded as they are and will not read as Ethernet",
                link_type);
    apply_filter(h, cfg);
    TAP_LOG(trace_level_normal, "Running...");
    notify_service_manager("READY=1");

    // Fixed buffers for the whole loop; too large for a thread stack.
    auto st = std::unique_ptr<capture_loop_state>(
        new capture_loop_state{ctx, h, name, link_type, {}, {}, {}, false, false, cfg.user_filter});
    ctx.counts.run_start_us = clock_unix_us();
    loop_report_start(st->report, ctx, clock_monotonic_ms());
    send_queue_init(st->queue, ctx.sender);
    tap_batch_init(st->batch, ctx.tap_id, &ctx.sender, &st->queue);
    if (ctx.cap.bits_per_s)
        st->batch.cap = &ctx.cap;
    capture_loop(*st);
    // Completed before the stop: they go, as each would have gone alone.
    tap_batch_send(st->batch);

    if (take_capture_drops(*st) == 0)
        TAP_LOG(trace_level_normal, "Packet stats [%llu packets sent][%llu capture drops]",
                static_cast<unsigned long long>(ctx.sender.datagrams_sent),
                static_cast<unsigned long long>(ctx.counts.capture_drops));
    rate_cap_log_total(ctx.cap);
    loop_report_end(st->report, ctx, st->batch);
    // Withdrawn before the close, so that a stop cannot break a handle that
    // is being freed.
    forward_set_wake(ctx, nullptr, nullptr);
    capture_close(h);
}
