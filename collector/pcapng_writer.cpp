#include "collector/pcapng_writer.h"
#include "support/byte_order.h"

#include <cstring>

namespace {

constexpr std::size_t padded_to_4(std::size_t n) { return (n + 3) & ~std::size_t{3}; }

// One option: code, length, value, zero padding. Text longer than an
// option can hold is cut, never written past its length field.
std::size_t write_text_option(std::uint8_t* p, std::uint16_t code, const char* text)
{
    const std::size_t n = std::strlen(text) < 0xffff ? std::strlen(text) : 0xffff;
    store_le16(p, code);
    store_le16(p + 2, static_cast<std::uint16_t>(n));
    std::memcpy(p + 4, text, n);
    std::memset(p + 4 + n, 0, padded_to_4(n) - n);
    return 4 + padded_to_4(n);
}

std::size_t option_size(const char* text)
{
    const std::size_t n = std::strlen(text);
    return 4 + padded_to_4(n < 0xffff ? n : 0xffff);
}

// A time stamp as packet blocks hold it: the high 32 bits first.
void store_time(std::uint8_t* p, std::uint64_t us)
{
    store_le32(p, static_cast<std::uint32_t>(us >> 32));
    store_le32(p + 4, static_cast<std::uint32_t>(us));
}

// An option of 8 bytes: a time stamp when time is set, else a count.
std::size_t write_u64_option(std::uint8_t* p, std::uint16_t code, std::uint64_t value, bool time)
{
    store_le16(p, code);
    store_le16(p + 2, 8);
    if (time)
        store_time(p + 4, value);
    else
        store_le64(p + 4, value);
    return 12;
}

// Type and length in front, the length again at the end, as every block
// has them; body_size bytes between were written by the caller.
std::size_t frame_block(std::uint8_t* out, std::uint32_t type, std::size_t body_size)
{
    const auto total = static_cast<std::uint32_t>(8 + body_size + 4);
    store_le32(out, type);
    store_le32(out + 4, total);
    store_le32(out + 8 + body_size, total);
    return total;
}

}  // namespace

std::size_t pcapng_section_header(std::uint8_t* out, std::size_t cap, const char* application)
{
    const std::size_t body = 16 + option_size(application) + 4;
    if (cap < 8 + body + 4)
        return 0;
    std::uint8_t* p = out + 8;
    store_le32(p, pcapng_byte_order_magic);
    store_le16(p + 4, 1);  // version 1.0
    store_le16(p + 6, 0);
    std::memset(p + 8, 0xff, 8);  // section length unknown
    p += 16;
    p += write_text_option(p, 4, application);  // shb_userappl
    std::memset(p, 0, 4);                 // end of options
    return frame_block(out, pcapng_section_type, body);
}

std::size_t pcapng_interface_description(std::uint8_t* out, std::size_t cap, const char* name,
                                         const char* description)
{
    const std::size_t body = 8 + option_size(name) + option_size(description) + 4;
    if (cap < 8 + body + 4)
        return 0;
    std::uint8_t* p = out + 8;
    store_le16(p, 1);  // Ethernet
    store_le16(p + 2, 0);
    store_le32(p + 4, 65535);
    p += 8;
    p += write_text_option(p, 2, name);         // if_name
    p += write_text_option(p, 3, description);  // if_description
    std::memset(p, 0, 4);
    return frame_block(out, pcapng_interface_type, body);
}

void pcapng_packet_head(std::uint8_t (&out)[pcapng_packet_head_size], std::uint32_t interface_id,
                        const tap_record_view& r)
{
    const std::uint64_t us = std::uint64_t{r.ts_sec} * 1000000 + r.ts_usec;
    store_le32(out, pcapng_packet_type);
    store_le32(out + 4, static_cast<std::uint32_t>(pcapng_packet_size(r.caplen)));
    store_le32(out + 8, interface_id);
    store_le32(out + 12, static_cast<std::uint32_t>(us >> 32));
    store_le32(out + 16, static_cast<std::uint32_t>(us));
    store_le32(out + 20, r.caplen);
    store_le32(out + 24, r.len);
}

std::size_t pcapng_packet_tail(std::uint8_t (&out)[pcapng_packet_tail_max], std::uint16_t caplen)
{
    const std::size_t pad = padded_to_4(caplen) - caplen;
    std::memset(out, 0, pad);
    store_le32(out + pad, static_cast<std::uint32_t>(pcapng_packet_size(caplen)));
    return pad + 4;
}

std::size_t pcapng_interface_statistics(std::uint8_t* out, std::size_t cap, std::uint32_t interface_id,
                                        const pcapng_statistics& s)
{
    if (cap < pcapng_statistics_size)
        return 0;
    std::uint8_t* p = out + 8;
    store_le32(p, interface_id);
    store_time(p + 4, s.taken_us);
    p += 12;
    p += write_u64_option(p, 2, s.start_us, true);  // isb_starttime
    p += write_u64_option(p, 3, s.end_us, true);    // isb_endtime
    p += write_u64_option(p, 4, s.ifrecv, false);
    p += write_u64_option(p, 5, s.ifdrop, false);
    p += write_u64_option(p, 6, s.filteraccept, false);
    p += write_u64_option(p, 7, s.osdrop, false);
    p += write_u64_option(p, 8, s.usrdeliv, false);
    std::memset(p, 0, 4);
    return frame_block(out, pcapng_statistics_type, pcapng_statistics_size - 12);
}
