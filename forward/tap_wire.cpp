#include "forward/tap_wire.h"

#include "forward/speck.h"

namespace {

std::uint32_t read_be32(const std::uint8_t* p)
{
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}

std::uint16_t read_be16(const std::uint8_t* p)
{
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

std::uint32_t read_le32(const std::uint8_t* p)
{
    return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
           (std::uint32_t{p[3]} << 24);
}

void write_le64(std::uint8_t* p, std::uint64_t v)
{
    for (int i = 0; i < 8; ++i)
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

void write_be32(std::uint8_t* p, std::uint32_t v)
{
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}

void write_be16(std::uint8_t* p, std::uint16_t v)
{
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}

}  // namespace

void tap_write_header(std::uint8_t* p, std::uint16_t tap_id)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<std::uint8_t>(tap_magic >> (8 * i));
    write_be16(p + 4, tap_id);
    p[tap_count_offset] = 0;
    p[7] = 0;
}

void tap_write_record_header(std::uint8_t* p, std::uint32_t ts_sec, std::uint32_t ts_usec,
                             std::uint16_t caplen, std::uint16_t len)
{
    write_be32(p, ts_sec);
    write_be32(p + 4, ts_usec);
    write_be16(p + 8, caplen);
    write_be16(p + 10, len);
}

tap_decode_result tap_decode(const std::uint8_t* data, std::size_t len, tap_datagram_view* out)
{
    // The magic is tested first: a datagram under the wrong key is noise
    // of any length, and "wrong key" is the message that helps then.
    if (len >= 4 && read_le32(data) != tap_magic)
        return tap_decode_bad_magic;
    if (len < tap_header_size)
        return tap_decode_bad_length;

    out->tap_id = read_be16(data + 4);
    out->num_pkts = data[tap_count_offset];
    std::size_t pos = tap_header_size;
    for (std::size_t i = 0; i < out->num_pkts; ++i) {
        if (len - pos < tap_record_header_size)
            return tap_decode_bad_record;
        const std::uint8_t* h = data + pos;
        tap_record_view& r = out->records[i];
        r.ts_sec = read_be32(h);
        r.ts_usec = read_be32(h + 4);
        r.caplen = read_be16(h + 8);
        r.len = read_be16(h + 10);
        pos += tap_record_header_size;
        if (len - pos < r.caplen || r.ts_usec >= 1000000 || r.caplen > r.len)
            return tap_decode_bad_record;
        r.frame = data + pos;
        pos += r.caplen;
    }
    return pos == len ? tap_decode_ok : tap_decode_bad_length;
}

const char* tap_decode_text(tap_decode_result r)
{
    switch (r) {
    case tap_decode_ok:
        return "ok";
    case tap_decode_bad_magic:
        return "bad magic (wrong key, or not a Tap datagram)";
    case tap_decode_bad_length:
        return "wrong length";
    case tap_decode_bad_record:
        return "bad record";
    }
    return "unknown";
}

int tap_crypt(std::uint8_t* out, const std::uint8_t* in, std::size_t len,
              const speck_key_schedule& ks)
{
    // The collector knows no more than the length of what it received.
    std::uint8_t counter[16];
    write_le64(counter, len);
    write_le64(counter + 8, len);
    return speck_ctr_crypt(out, in, len, counter, ks);
}
