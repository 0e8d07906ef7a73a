#include "wire/tap_datagram.h"

#include "wire/speck.h"
#include "support/byte_order.h"

void tap_write_header(std::uint8_t* p, std::uint16_t tap_id)
{
    store_le32(p, tap_magic);
    store_be16(p + 4, tap_id);
    p[tap_count_offset] = 0;
    p[7] = 0;
}

void tap_write_record_header(std::uint8_t* p, std::uint32_t ts_sec, std::uint32_t ts_usec,
                             std::uint16_t caplen, std::uint16_t len)
{
    store_be32(p, ts_sec);
    store_be32(p + 4, ts_usec);
    store_be16(p + 8, caplen);
    store_be16(p + 10, len);
}

tap_decode_result tap_decode(const std::uint8_t* data, std::size_t len, tap_datagram_view* out)
{
    // The magic is tested first: a datagram under the wrong key is noise
    // of any length, and "wrong key" is the message that helps then.
    if (len >= 4 && load_le32(data) != tap_magic)
        return tap_decode_bad_magic;
    if (len < tap_header_size)
        return tap_decode_bad_length;

    out->tap_id = load_be16(data + 4);
    out->record_count = data[tap_count_offset];
    std::size_t pos = tap_header_size;
    for (std::size_t i = 0; i < out->record_count; ++i) {
        if (len - pos < tap_record_header_size)
            return tap_decode_bad_record;
        const std::uint8_t* h = data + pos;
        tap_record_view& r = out->records[i];
        r.ts_sec = load_be32(h);
        r.ts_usec = load_be32(h + 4);
        r.caplen = load_be16(h + 8);
        r.len = load_be16(h + 10);
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
    store_le64(counter, len);
    store_le64(counter + 8, len);
    return speck_ctr_crypt(out, in, len, counter, ks);
}
