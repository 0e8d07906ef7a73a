// Encrypts and sends one Tap datagram to the collector.
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

}  // namespace

int send_datagram(const std::uint8_t* buf, std::uint32_t len)
{
    if (!settings.has_collector_addr) {
        // No destination was ever resolved: report it like a send that
        // failed, never send to a zero address.
        TAP_LOG(trace_level_warning, "Send error [sent %d instead of %u] %d/%s", -1, len, 0,
                "no collector address");
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
        TAP_LOG(trace_level_verbose, "Sent %d bytes packet [total: %u]", static_cast<int>(sent),
                settings.datagrams_sent);
        return 0;
    }
    const int err = net_last_error();
    TAP_LOG(trace_level_warning, "Send error [sent %d instead of %u] %d/%s", static_cast<int>(sent), len,
            err, os_error_text(err));
    return 2;
}
