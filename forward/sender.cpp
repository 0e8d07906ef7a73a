// Encrypts and sends one Tap datagram to the collector.
#include "forward/sender.h"

#include "forward/tap_wire.h"
#include "support/trace_log.h"

namespace {

void report_failure(tap_sender& s, long sent, std::uint32_t len, int err, const char* text)
{
    ++s.failures;
    const std::uint32_t n = send_failure_note(s.failure_log, clock_monotonic_ms());
    if (n == 0)
        return;
    if (n == 1)
        TAP_LOG(trace_level_warning, "Send error [sent %d instead of %u] %d/%s", static_cast<int>(sent),
                len, err, text);
    else
        TAP_LOG(trace_level_warning,
                "Send error [sent %d instead of %u] %d/%s (%u datagrams failed since the last report)",
                static_cast<int>(sent), len, err, text, n);
}

}  // namespace

std::uint32_t send_failure_note(send_failure_log& log, std::uint64_t now_ms)
{
    ++log.unreported;
    ++log.in_run;
    if (log.failing && now_ms - log.last_report_ms < send_failure_report_interval_ms)
        return 0;
    log.failing = true;
    log.last_report_ms = now_ms;
    const std::uint32_t n = log.unreported;
    log.unreported = 0;
    return n;
}

std::uint32_t send_success_note(send_failure_log& log)
{
    if (!log.failing)
        return 0;
    const std::uint32_t n = log.in_run;
    log = send_failure_log{};
    return n;
}

int send_datagram(tap_sender& s, std::uint8_t* buf, std::uint32_t len)
{
    if (!s.has_destination) {
        // No destination was ever resolved: report it like a send that
        // failed, never send to a zero address.
        report_failure(s, -1, len, 0, "no collector address");
        return 2;
    }
    if (s.encrypt && (!s.key || tap_crypt(buf, buf, len, *s.key) != 0)) {
        TAP_LOG(trace_level_warning, "Encryption error");
        return -1;
    }

    const long sent = net_send_to(s.socket, buf, len, s.to);
    if (sent == static_cast<long>(len)) {
        ++s.datagrams_sent;
        if (const std::uint32_t failed = send_success_note(s.failure_log))
            TAP_LOG(trace_level_normal, "Sending works again after %u failed datagrams", failed);
        TAP_LOG(trace_level_verbose, "Sent %d bytes packet [total: %u]", static_cast<int>(sent),
                s.datagrams_sent);
        return 0;
    }
    const int err = net_last_error();
    report_failure(s, sent, len, err, os_error_text(err));
    return 2;
}
