// The -S line and the sealed statistics datagram of a forwarding loop.
#include "forward/loop_report.h"

#include <cstdio>

#include "forward/forwarding.h"
#include "forward/sender.h"
#include "forward/tap_batch.h"
#include "support/trace_log.h"

namespace {

constexpr std::uint64_t never = ~std::uint64_t{0};

// The time after `due` for a pace of every_ms, looked at at now_ms.
std::uint64_t next_after(std::uint64_t due, std::uint64_t every_ms, std::uint64_t now_ms)
{
    const std::uint64_t next = due + every_ms;
    return next > now_ms ? next : now_ms + every_ms;
}

void set_next(loop_report& r)
{
    const std::uint64_t line = r.line_every_ms ? r.next_line_ms : never;
    const std::uint64_t datagram = r.sends ? r.next_datagram_ms : never;
    r.next_ms = line < datagram ? line : datagram;
}

void log_line(const forward_context& ctx)
{
    char line[statistics_line_size];
    statistics_line(forward_statistics(ctx), line, sizeof line);
    TAP_LOG(trace_level_normal, "%s", line);
}

// Seals and sends the counters as they stand; counted as every datagram.
void send_statistics(loop_report& r, forward_context& ctx, const tap_batch& b)
{
    const std::uint32_t len = write_statistics_datagram(r.datagram, b.tap_id, b.next_frame, forward_statistics(ctx));
    send_datagram(ctx.sender, r.datagram, len);
}

}  // namespace

void loop_report_start(loop_report& r, const forward_context& ctx, std::uint64_t now_ms)
{
    r.line_every_ms = std::uint64_t{ctx.stats_seconds} * 1000;
    r.sends = ctx.sender.encrypt && ctx.sender.sealed;
    r.next_line_ms = now_ms + r.line_every_ms;
    r.next_datagram_ms = now_ms + statistics_datagram_interval_ms;
    set_next(r);
}

int loop_report_take(loop_report& r, std::uint64_t now_ms)
{
    int due = report_nothing;
    if (r.line_every_ms && now_ms >= r.next_line_ms) {
        due |= report_line;
        r.next_line_ms = next_after(r.next_line_ms, r.line_every_ms, now_ms);
    }
    if (r.sends && now_ms >= r.next_datagram_ms) {
        due |= report_datagram;
        r.next_datagram_ms = next_after(r.next_datagram_ms, statistics_datagram_interval_ms, now_ms);
    }
    set_next(r);
    return due;
}

constexpr char statistics_format[] =
    "Stats: %llu frames received, %llu capture drops, %llu interface drops, %llu left out by the allow-list, %llu "
    "left out by the rate cap, %llu frames sent in %llu datagrams, %llu datagrams failed";
// Each of the eight numbers takes at most 20 digits where its "%llu" stood.
static_assert(sizeof statistics_format + 8 * (20 - 4) <= statistics_line_size);

void statistics_line(const tap_statistics& s, char* out, std::size_t size)
{
    using ull = unsigned long long;
    std::snprintf(out, size, statistics_format, ull{s.received}, ull{s.capture_drops}, ull{s.interface_drops}, ull{s.allow_list_out},
                  ull{s.rate_cap_out}, ull{s.frames_sent}, ull{s.datagrams_sent}, ull{s.datagrams_failed});
}

std::uint32_t write_statistics_datagram(std::uint8_t* p, std::uint16_t tap_id, std::uint32_t next_frame,
                                        const tap_statistics& s)
{
    sealed_write_header(p, tap_id);
    p[sealed_kind_offset] = sealed_kind_statistics;
    // No record starts here: the first would start past the body's end.
    sealed_write_pieces(p, next_frame, static_cast<std::uint16_t>(sealed_statistics_size));
    sealed_write_statistics(p + sealed_header_size, s);
    return statistics_datagram_size;
}

void loop_report_run(loop_report& r, forward_context& ctx, tap_batch& b, int due)
{
    if (due & report_line)
        log_line(ctx);
    if (due & report_datagram) {
        tap_batch_idle(b);
        send_statistics(r, ctx, b);
    }
}

void loop_report_end(loop_report& r, forward_context& ctx, tap_batch& b)
{
    log_line(ctx);
    if (r.sends) {
        tap_batch_send(b);
        send_statistics(r, ctx, b);
    }
}
