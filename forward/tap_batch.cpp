// Packs frames into Tap datagrams and hands full ones to the sender.
#include "forward/tap_batch.h"

#include <cstring>

#include "forward/sender.h"
#include "support/trace_log.h"

namespace {

// The records budget is what one IPv4 UDP datagram can carry (65,507
// bytes) less the header. A larger datagram would be refused by the
// network stack and its records lost, so nothing larger is ever built.
constexpr std::uint32_t max_datagram = 65507;
constexpr std::uint32_t data_budget = max_datagram - tap_header_size;
static_assert(sizeof(tap_batch::buf) >= tap_header_size + data_budget);

constexpr std::uint32_t num_pkts_offset = 6;

void put_be32(std::uint8_t* p, std::uint32_t v)
{
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}

void put_be16(std::uint8_t* p, std::uint32_t v)
{
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}

void reset(tap_batch& b)
{
    b.buf[num_pkts_offset] = 0;
    b.data_len = 0;
    b.data_pkt_avail = data_budget;
}

}  // namespace

void tap_batch_init(tap_batch& b, std::int32_t tap_id)
{
    b.buf[0] = static_cast<std::uint8_t>(TAP_MAGIC);
    b.buf[1] = static_cast<std::uint8_t>(TAP_MAGIC >> 8);
    b.buf[2] = static_cast<std::uint8_t>(TAP_MAGIC >> 16);
    b.buf[3] = static_cast<std::uint8_t>(TAP_MAGIC >> 24);
    put_be16(b.buf + 4, static_cast<std::uint32_t>(tap_id) & 0xffff);
    b.buf[7] = 0;
    reset(b);
}

tap_add_result tap_batch_add(tap_batch& b, std::uint32_t ts_sec, std::uint32_t ts_usec,
                             std::uint32_t caplen, std::uint32_t len, const std::uint8_t* prefix,
                             const std::uint8_t* frame)
{
    const std::uint32_t prefix_len = prefix ? 14 : 0;
    const std::uint32_t fixed = tap_record_header_size + prefix_len;
    // A frame too large for even an empty datagram is carried cut to what
    // fits rather than ending the loop; its len still tells its true size.
    // 64-bit sum: caplen comes from the capture and may be anything.
    std::uint32_t carried = caplen;
    if (static_cast<std::uint64_t>(fixed) + caplen > data_budget) {
        carried = data_budget - fixed;
        TAP_LOG(trace_level_verbose, "Frame of %u bytes cut to %u to fit one datagram", caplen, carried);
    }
    const std::uint32_t record = fixed + carried;

    if ((b.data_pkt_avail < record || b.data_len > tap_batch_threshold) && b.data_len > 0)
        tap_batch_flush(b);

    std::uint8_t* p = b.buf + tap_header_size + b.data_len;
    put_be32(p, ts_sec);
    put_be32(p + 4, ts_usec);
    put_be16(p + 8, carried + prefix_len);
    // The field has 16 bits; a longer frame reads as the largest length
    // rather than as its length modulo 65536.
    const std::uint64_t wire_len = static_cast<std::uint64_t>(len) + prefix_len;
    put_be16(p + 10, wire_len > 0xffff ? 0xffff : static_cast<std::uint32_t>(wire_len));
    p += tap_record_header_size;
    if (prefix) {
        std::memcpy(p, prefix, prefix_len);
        p += prefix_len;
    }
    if (carried)
        std::memcpy(p, frame, carried);

    ++b.buf[num_pkts_offset];
    b.data_len += record;
    b.data_pkt_avail -= record;
    return tap_added;
}

void tap_batch_flush(tap_batch& b)
{
    // An empty datagram carries nothing for the collector.
    if (b.data_len > 0) {
        const std::uint32_t total = tap_header_size + b.data_len;
        TAP_LOG(trace_level_verbose, "Sending %u pkts [len: %u]", static_cast<unsigned>(b.buf[num_pkts_offset]), total);
        send_datagram(b.buf, total);
    }
    reset(b);
}

void tap_batch_idle(tap_batch& b)
{
    if (b.buf[num_pkts_offset] != 0)
        tap_batch_flush(b);
}
