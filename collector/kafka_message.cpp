#include "collector/kafka_message.h"
#include "support/byte_order.h"
#include "support/text.h"

#include <cstdio>
#include <cstring>

namespace {

// Digits only, at most 20, no overflow; the format check that follows
// refuses leading zeros.
int read_decimal(std::string_view t, std::uint64_t max, std::uint64_t* out)
{
    if (t.empty() || t.size() > 20)
        return -1;
    std::uint64_t v = 0;
    for (const char c : t) {
        if (c < '0' || c > '9')
            return -1;
        const auto d = static_cast<std::uint64_t>(c - '0');
        if (v > (max - d) / 10)
            return -1;
        v = v * 10 + d;
    }
    *out = v;
    return 0;
}

// "a.b.c.d:port" or "[v6]:port"; the bracket is what tells where an IPv6
// address ends.
int read_sender(std::string_view t, net_peer* out)
{
    const std::size_t colon = t.rfind(':');
    if (colon == std::string_view::npos)
        return -1;
    std::string_view host = t.substr(0, colon);
    std::uint64_t port = 0;
    if (read_decimal(t.substr(colon + 1), 65535, &port) != 0)
        return -1;
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    char text[net_peer_text_max];
    if (host.empty() || host.size() >= sizeof text)
        return -1;
    std::memcpy(text, host.data(), host.size());
    text[host.size()] = '\0';
    return net_address_literal(text, static_cast<std::uint16_t>(port), out);
}

int read_run_id(std::string_view t, std::uint8_t (&out)[sealed_run_id_size])
{
    if (t.size() != 2 * sealed_run_id_size)
        return -1;
    for (std::size_t i = 0; i < sealed_run_id_size; ++i) {
        const int hi = hex_digit(t[2 * i]), lo = hex_digit(t[2 * i + 1]);
        if (hi < 0 || lo < 0)
            return -1;
        out[i] = static_cast<std::uint8_t>(hi << 4 | lo);
    }
    return 0;
}

}  // namespace

void kafka_origin_format(const kafka_origin& o, kafka_origin_text* out)
{
    std::snprintf(out->tap_id, sizeof out->tap_id, "%u", unsigned{o.tap_id});
    net_peer_text(o.sender, out->sender, sizeof out->sender);
    std::snprintf(out->key, sizeof out->key, "%s@%s", out->tap_id, out->sender);
    out->run_id[0] = '\0';
    out->seq[0] = '\0';
    if (!o.sealed)
        return;
    for (std::size_t i = 0; i < sealed_run_id_size; ++i) {
        out->run_id[2 * i] = "0123456789abcdef"[o.run_id[i] >> 4];
        out->run_id[2 * i + 1] = "0123456789abcdef"[o.run_id[i] & 15];
    }
    out->run_id[2 * sealed_run_id_size] = '\0';
    std::snprintf(out->seq, sizeof out->seq, "%llu", static_cast<unsigned long long>(o.seq));
}

int kafka_origin_parse(const kafka_origin_fields& f, kafka_origin* out)
{
    kafka_origin o;
    std::uint64_t tap_id = 0;
    if (read_decimal(f.tap_id, 65535, &tap_id) != 0 || read_sender(f.sender, &o.sender) != 0)
        return -1;
    o.tap_id = static_cast<std::uint16_t>(tap_id);
    o.sealed = f.run_id.data() != nullptr;
    if ((f.seq.data() != nullptr) != o.sealed)
        return -1;
    if (o.sealed && (read_run_id(f.run_id, o.run_id) != 0 || read_decimal(f.seq, ~std::uint64_t{0}, &o.seq) != 0))
        return -1;
    // Only the spelling this program writes is taken: a key that agrees
    // with its headers, and no second way to write a number or address.
    kafka_origin_text t;
    kafka_origin_format(o, &t);
    if (f.key != t.key || f.tap_id != t.tap_id || f.sender != t.sender ||
        (o.sealed && (f.run_id != t.run_id || f.seq != t.seq)))
        return -1;
    *out = o;
    return 0;
}

int kafka_value_add(kafka_value* v, const tap_record_view& r)
{
    const std::size_t block = pcapng_packet_size(r.caplen);
    if (v->record_count >= kafka_max_records || kafka_value_max - v->size < block)
        return -1;
    std::uint8_t* p = v->bytes + v->size;
    std::uint8_t head[pcapng_packet_head_size], tail[pcapng_packet_tail_max];
    pcapng_packet_head(head, 0, r);
    const std::size_t tail_size = pcapng_packet_tail(tail, r.caplen);
    std::memcpy(p, head, sizeof head);
    if (r.caplen)  // an empty frame may have no bytes at all
        std::memcpy(p + sizeof head, r.frame, r.caplen);
    std::memcpy(p + sizeof head + r.caplen, tail, tail_size);
    v->size += block;
    ++v->record_count;
    return 0;
}

kafka_parse_result kafka_value_parse(const std::uint8_t* data, std::size_t len, kafka_records* out)
{
    std::size_t at = 0, n = 0;
    while (at < len) {
        if (n == kafka_max_records)
            return kafka_parse_too_many;
        if (len - at < pcapng_packet_head_size)
            return kafka_parse_truncated;
        const std::uint8_t* b = data + at;
        if (load_le32(b) != pcapng_packet_type || load_le32(b + 8) != 0)
            return kafka_parse_bad_block;
        const std::uint32_t caplen = load_le32(b + 20), wire_len = load_le32(b + 24);
        if (caplen > 65535 || wire_len > 65535 || caplen > wire_len)
            return kafka_parse_bad_record;
        const std::size_t size = pcapng_packet_size(static_cast<std::uint16_t>(caplen));
        if (load_le32(b + 4) != size)
            return kafka_parse_bad_length;
        if (len - at < size)
            return kafka_parse_truncated;
        if (load_le32(b + size - 4) != size)
            return kafka_parse_bad_length;
        for (std::size_t i = pcapng_packet_head_size + caplen; i < size - 4; ++i)
            if (b[i] != 0)
                return kafka_parse_bad_record;
        const std::uint64_t us = std::uint64_t{load_le32(b + 12)} << 32 | load_le32(b + 16);
        if (us / 1000000 > 0xffffffffu)
            return kafka_parse_bad_record;
        tap_record_view& r = out->records[n++];
        r.ts_sec = static_cast<std::uint32_t>(us / 1000000);
        r.ts_usec = static_cast<std::uint32_t>(us % 1000000);
        r.caplen = static_cast<std::uint16_t>(caplen);
        r.len = static_cast<std::uint16_t>(wire_len);
        r.frame = b + pcapng_packet_head_size;
        at += size;
    }
    out->count = n;
    return kafka_parse_ok;
}

const char* kafka_parse_text(kafka_parse_result r)
{
    switch (r) {
    case kafka_parse_ok: return "ok";
    case kafka_parse_truncated: return "a block runs past the end";
    case kafka_parse_bad_block: return "not a packet block of interface 0";
    case kafka_parse_bad_length: return "a block length that does not fit its frame";
    case kafka_parse_bad_record: return "impossible frame lengths, time or padding";
    case kafka_parse_too_many: return "too many frames";
    }
    return "unknown";
}
