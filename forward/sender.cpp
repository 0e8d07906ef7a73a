// Encrypts and sends Tap datagrams to the collector, one at a time or in
// batches.
#include "forward/sender.h"

#include "wire/sealed_datagram.h"
#include "wire/tap_datagram.h"
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

// 0 when the datagram can go, *len then its length on the wire; 2
// counted as failed (no destination); -1 encryption failed.
int prepare(tap_sender& s, std::uint8_t* buf, std::uint32_t* len)
{
    // Read before the cipher runs: the Speck mode enciphers the count too.
    s.frames_sent += buf[tap_count_offset];
    if (!s.has_destination) {
        // No destination was ever resolved: report it like a send that
        // failed, never send to a zero address.
        report_failure(s, -1, *len, 0, "no collector address");
        return 2;
    }
    if (s.encrypt && s.sealed) {
        *len = sealed_seal(*s.sealed, buf, *len);
        if (*len != 0)
            return 0;
    } else if (!s.encrypt || (s.key && tap_crypt(buf, buf, *len, *s.key) == 0)) {
        return 0;
    }
    TAP_LOG(trace_level_warning, "Encryption error");
    return -1;
}

// Sealed: a datagram the path refused as too large (Don't Fragment is
// set). The limit comes down to the path MTU the system now reports, with
// one line for each step down; the datagrams built larger are lost and
// counted. True when it came down.
bool shrink_to_path(tap_sender& s, int err)
{
    if (!s.path_mtu || !net_error_too_big(err))
        return false;
    const std::uint32_t mtu = net_path_mtu(s.to);
    if (mtu < path_mtu_min || mtu >= s.path_mtu)
        return false;
    TAP_LOG(trace_level_warning,
            "The path to the collector takes packets of %u bytes, less than --mtu: sealed datagrams now "
            "fit it",
            mtu);
    s.path_mtu = mtu;
    return true;
}

void note_sent(tap_sender& s, std::uint32_t len)
{
    ++s.datagrams_sent;
    if (const std::uint32_t failed = send_success_note(s.failure_log))
        TAP_LOG(trace_level_normal, "Sending works again after %u failed datagrams", failed);
    TAP_LOG(trace_level_verbose, "Sent %d bytes packet [total: %llu]", static_cast<int>(len),
            static_cast<unsigned long long>(s.datagrams_sent));
}

void fall_back(send_queue& q, int err)
{
    if (q.mode == net_send_gso) {
        TAP_LOG(trace_level_normal, "Segmented sends refused (%d/%s): sending batches without segmentation",
                err, os_error_text(err));
        q.mode = net_send_mmsg;
    } else {
        TAP_LOG(trace_level_normal, "Batched sends refused (%d/%s): sending one datagram per call",
                err, os_error_text(err));
        q.mode = net_send_single;
    }
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
    if (const int r = prepare(s, buf, &len))
        return r;
    const long sent = net_send_to_peer(s.socket, buf, len, s.to);
    if (sent == static_cast<long>(len)) {
        note_sent(s, len);
        return 0;
    }
    const int err = net_last_error();
    shrink_to_path(s, err);
    report_failure(s, sent, len, err, os_error_text(err));
    return 2;
}

void send_queue_init(send_queue& q, const tap_sender& s)
{
    q.count = 0;
    q.next = 0;
    q.mode = net_send_mode_initial(s.socket);
    // The socket keeps the system's send buffer: it is what makes a send
    // wait while the device's queue is full. A larger one lets a batch
    // overrun that queue, where datagrams are dropped without a word.
}

int send_queue_push(tap_sender& s, send_queue& q, std::uint32_t len)
{
    if (const int r = prepare(s, q.ring[q.next], &len))
        return r;
    q.waiting[q.count++] = {q.ring[q.next], len};
    q.next = (q.next + 1) % net_batch_max;
    if (q.count == net_batch_max)
        send_queue_flush(s, q);
    return 0;
}

void send_queue_flush(tap_sender& s, send_queue& q)
{
    int i = 0;
    while (i < q.count) {
        int lost = 1;
        const long r = net_send_batch(s.socket, s.to, q.waiting + i, q.count - i, q.mode, &lost);
        const int refusal = r == -2 ? net_last_error() : 0;
        // A path that shrank refuses the size, not the mode.
        if (r == -2 && q.mode != net_send_single && !shrink_to_path(s, refusal)) {
            fall_back(q, refusal);
            continue;
        }
        if (r > 0) {
            for (long k = 0; k < r; ++k)
                note_sent(s, q.waiting[i + k].len);
            i += static_cast<int>(r);
            continue;
        }
        // Every datagram of the failed message is lost; the rest go on.
        const int err = r == -2 ? refusal : net_last_error();
        if (r != -2)
            shrink_to_path(s, err);
        const char* text = os_error_text(err);
        for (int k = 0; k < lost && i < q.count; ++k, ++i)
            report_failure(s, -1, q.waiting[i].len, err, text);
    }
    q.count = 0;
}
