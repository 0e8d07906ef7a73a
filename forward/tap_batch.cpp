// Packs frames into Tap datagrams and hands full ones to the sender.
#include "forward/tap_batch.h"

#include <cstring>

#include "forward/rate_cap.h"
#include "forward/sender.h"
#include "wire/sealed_datagram.h"
#include "support/trace_log.h"

namespace {

constexpr std::uint32_t prefix_size = 14;

// A larger datagram would be refused by the network stack and its records
// lost, so the records budget is what one UDP datagram carries.
std::uint32_t data_budget(const tap_batch& b) { return tap_max_datagram - b.header_size - b.tag_size; }

void reset(tap_batch& b)
{
    if (b.queue)
        b.buf = send_queue_slot(*b.queue);
    // The sender encrypts in place: the header is written anew each time.
    if (b.tag_size)
        sealed_write_header(b.buf, b.tap_id);
    else
        tap_write_header(b.buf, b.tap_id);
    b.data_len = 0;
    b.room_left = data_budget(b);
}

}  // namespace

void tap_batch_init(tap_batch& b, std::int32_t tap_id, tap_sender* sender, send_queue* queue)
{
    b.tap_id = static_cast<std::uint16_t>(static_cast<std::uint32_t>(tap_id) & 0xffff);
    b.sender = sender;
    b.queue = queue;
    const bool sealed = sender && sender->encrypt && sender->sealed;
    b.header_size = sealed ? sealed_header_size : tap_header_size;
    b.tag_size = sealed ? sealed_tag_size : 0;
    b.buf = b.own;
    reset(b);
}

bool tap_batch_add(tap_batch& b, std::uint32_t ts_sec, std::uint32_t ts_usec,
                   std::uint32_t caplen, std::uint32_t len, const std::uint8_t* prefix,
                   const std::uint8_t* frame)
{
    const std::uint32_t prefix_len = prefix ? prefix_size : 0;
    const std::uint32_t fixed = tap_record_header_size + prefix_len;
    // 64-bit sum: caplen comes from the capture and may be anything.
    std::uint32_t carried = caplen;
    if (static_cast<std::uint64_t>(fixed) + caplen > data_budget(b)) {
        carried = data_budget(b) - fixed;
        TAP_LOG(trace_level_verbose, "Frame of %u bytes cut to %u to fit one datagram", caplen, carried);
    }
    const std::uint32_t record = fixed + carried;

    // At most 1480 bytes of records before the threshold is passed, so the
    // one-byte record count (at most 124 records of empty frames) never
    // overflows.
    const bool full = b.room_left < record || b.data_len > tap_batch_threshold;
    // Charged before the flush, so that a frame left out changes nothing; a
    // frame that starts a datagram pays for its headers and tag as well.
    if (b.cap) {
        const bool starts = full || b.data_len == 0;
        const std::uint32_t headers = b.cap->datagram_overhead + b.header_size + b.tag_size;
        if (!rate_cap_take(*b.cap, record + (starts ? headers : 0)))
            return false;
    }
    if (full && b.data_len > 0)
        tap_batch_flush(b);

    std::uint8_t* p = b.buf + b.header_size + b.data_len;
    const std::uint64_t wire_len = static_cast<std::uint64_t>(len) + prefix_len;
    tap_write_record_header(p, ts_sec, ts_usec, static_cast<std::uint16_t>(carried + prefix_len),
                            wire_len > 0xffff ? 0xffff : static_cast<std::uint16_t>(wire_len));
    p += tap_record_header_size;
    if (prefix) {
        std::memcpy(p, prefix, prefix_len);
        p += prefix_len;
    }
    if (carried)
        std::memcpy(p, frame, carried);

    ++b.buf[tap_count_offset];
    b.data_len += record;
    b.room_left -= record;
    return true;
}

void tap_batch_flush(tap_batch& b)
{
    // An empty datagram carries nothing for the collector.
    if (b.data_len > 0) {
        const std::uint32_t total = b.header_size + b.data_len;
        TAP_LOG(trace_level_verbose, "Sending %u pkts [len: %u]",
                static_cast<unsigned>(b.buf[tap_count_offset]), total);
        if (b.queue)
            send_queue_push(*b.sender, *b.queue, total);
        else
            send_datagram(*b.sender, b.buf, total);
    }
    reset(b);
}

void tap_batch_send(tap_batch& b)
{
    if (b.queue)
        send_queue_flush(*b.sender, *b.queue);
}

void tap_batch_idle(tap_batch& b)
{
    if (b.buf[tap_count_offset] != 0)
        tap_batch_flush(b);
    tap_batch_send(b);
}
