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
// lost, so the records budget is what one UDP datagram carries; sealed,
// what the path carries (the sender's datagram limit).
std::uint32_t data_budget(const tap_batch& b)
{
    std::uint32_t limit = tap_max_datagram;
    const std::uint32_t path = b.pieces && b.sender ? sender_datagram_limit(*b.sender) : 0;
    if (path && path < limit)
        limit = path;
    return limit - b.header_size - b.tag_size;
}

// Sealed: whether the datagram in hand can take no further record: not a
// record header and a byte, or the one-byte count is full.
bool no_room_for_record(const tap_batch& b)
{
    return b.room_left < tap_record_header_size + 1 || b.buf[tap_count_offset] == tap_max_records;
}

// Sealed: the body so far tells the collector where the first record
// starts; with none yet, that it holds only the rest of a frame, and which
// frame starts next.
void mark_first_record(tap_batch& b)
{
    sealed_write_pieces(b.buf, b.next_frame, static_cast<std::uint16_t>(b.data_len));
}

// The bytes of a record's frame: the prefix, then the frame.
struct frame_source {
    const std::uint8_t* prefix;
    std::uint32_t prefix_len;
    const std::uint8_t* frame;
    std::uint32_t done = 0;  // bytes copied so far

    void copy_to(std::uint8_t* out, std::uint32_t n)
    {
        if (done < prefix_len) {
            const std::uint32_t k = n < prefix_len - done ? n : prefix_len - done;
            std::memcpy(out, prefix + done, k);
            out += k;
            n -= k;
            done += k;
        }
        if (n) {
            std::memcpy(out, frame + (done - prefix_len), n);
            done += n;
        }
    }
};

// Sealed, with a cap: what a record of `record` bytes puts on the wire,
// with the headers and tag of every datagram it starts.
std::uint64_t cost_in_pieces(const tap_batch& b, std::uint32_t record)
{
    const std::uint32_t budget = data_budget(b);
    const bool starts = no_room_for_record(b) || b.data_len == 0;
    const std::uint32_t in_hand = no_room_for_record(b) ? budget : b.room_left;
    const std::uint32_t beyond = record > in_hand ? record - in_hand : 0;
    const std::uint64_t datagrams = (starts ? 1 : 0) + (beyond + budget - 1) / budget;
    return record + datagrams * (b.cap->datagram_overhead + b.header_size + b.tag_size);
}

// Sealed: one record of carried bytes (after the prefix), filling the
// datagram in hand and as many after it as the frame needs.
void add_in_pieces(tap_batch& b, std::uint32_t ts_sec, std::uint32_t ts_usec, std::uint32_t carried,
                   std::uint16_t wire_len, frame_source src)
{
    if (no_room_for_record(b))
        tap_batch_flush(b);
    if (b.buf[tap_count_offset] == 0)
        mark_first_record(b);
    const std::uint32_t total = src.prefix_len + carried;
    std::uint8_t* p = b.buf + b.header_size + b.data_len;
    tap_write_record_header(p, ts_sec, ts_usec, static_cast<std::uint16_t>(total), wire_len);
    ++b.buf[tap_count_offset];
    ++b.next_frame;
    b.data_len += tap_record_header_size;
    b.room_left -= tap_record_header_size;
    for (;;) {
        const std::uint32_t left = total - src.done;
        const std::uint32_t n = left < b.room_left ? left : b.room_left;
        src.copy_to(b.buf + b.header_size + b.data_len, n);
        b.data_len += n;
        b.room_left -= n;
        if (src.done == total)
            return;
        tap_batch_flush(b);
    }
}

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
    if (b.pieces)
        mark_first_record(b);
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
    b.pieces = sealed;
    b.next_frame = 0;
    b.buf = b.own;
    reset(b);
}

bool tap_batch_add(tap_batch& b, std::uint32_t ts_sec, std::uint32_t ts_usec,
                   std::uint32_t caplen, std::uint32_t len, const std::uint8_t* prefix,
                   const std::uint8_t* frame)
{
    const std::uint32_t prefix_len = prefix ? prefix_size : 0;
    const std::uint64_t wire_len = static_cast<std::uint64_t>(len) + prefix_len;
    const std::uint16_t wire_field = wire_len > 0xffff ? 0xffff : static_cast<std::uint16_t>(wire_len);
    if (b.pieces) {
        // The record's length field holds 65,535 bytes: beyond, the frame is cut.
        const std::uint32_t most = 0xffff - prefix_len;
        const std::uint32_t carried = caplen < most ? caplen : most;
        if (b.cap && !rate_cap_take(*b.cap, cost_in_pieces(b, tap_record_header_size + prefix_len + carried)))
            return false;
        add_in_pieces(b, ts_sec, ts_usec, carried, wire_field, frame_source{prefix, prefix_len, frame});
        return true;
    }
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
    tap_write_record_header(p, ts_sec, ts_usec, static_cast<std::uint16_t>(carried + prefix_len),
                            wire_field);
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
        if (b.pieces && b.buf[tap_count_offset] == 0)
            mark_first_record(b);
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
    // Sealed, a datagram may hold only the end of a frame, and no record.
    if (b.data_len != 0)
        tap_batch_flush(b);
    tap_batch_send(b);
}
