// Encrypts and sends one Tap datagram to the collector.
#include "forward/sender.h"

#include "forward/speck.h"
#include "platform/platform.h"
#include "run/run_settings.h"
#include "support/trace_log.h"

namespace {

// The encrypted copy: the caller's datagram is never changed. Large enough
// for the largest datagram a batch can build; only the forwarding thread
// sends, so one buffer serves the whole run.
constexpr std::uint32_t out_capacity = 65552;
alignas(64) std::uint8_t out_buf[out_capacity];

// The counter is the datagram's length in both words: the collector
// recomputes it from the size of the payload it receives.
void length_counter(std::uint8_t counter[16], std::uint32_t len)
{
    for (int i = 0; i < 8; ++i) {
        counter[i] = static_cast<std::uint8_t>(static_cast<std::uint64_t>(len) >> (8 * i));
        counter[8 + i] = counter[i];
    }
}

// Only the forwarding thread sends.
send_failure_log failure_log;
std::uint32_t failures_total = 0;

void report_failure(long sent, std::uint32_t len, int err, const char* text)
{
    ++failures_total;
    const std::uint32_t n = send_failure_note(failure_log, clock_monotonic_ms());
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

std::uint32_t send_failures_total() { return failures_total; }

int send_datagram(const std::uint8_t* buf, std::uint32_t len)
{
    if (!settings.has_collector_addr) {
        // No destination was ever resolved: report it like a send that
        // failed, never send to a zero address.
        report_failure(-1, len, 0, "no collector address");
        return 2;
    }

    const std::uint8_t* wire = buf;
    if (!settings.disable_encryption) {
        std::uint8_t counter[16];
        length_counter(counter, len);
        if (!speck_key || len > out_capacity || speck_ctr_crypt(out_buf, buf, len, counter, *speck_key) != 0) {
            TAP_LOG(trace_level_warning, "Encryption error");
            return -1;
        }
        wire = out_buf;
    }

    const long sent = net_send_to(settings.udp_socket.load(), wire, len, settings.collector_addr);
    if (sent == static_cast<long>(len)) {
        ++settings.datagrams_sent;
        if (const std::uint32_t failed = send_success_note(failure_log))
            TAP_LOG(trace_level_normal, "Sending works again after %u failed datagrams", failed);
        TAP_LOG(trace_level_verbose, "Sent %d bytes packet [total: %u]", static_cast<int>(sent),
                settings.datagrams_sent);
        return 0;
    }
    const int err = net_last_error();
    report_failure(sent, len, err, os_error_text(err));
    return 2;
}
