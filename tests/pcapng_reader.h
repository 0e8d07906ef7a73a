// A pcapng reader for the tests and the fuzzer, written from the format rather than from our writer so that it checks
// the writer: one little-endian section, interface descriptions with their options, enhanced packet blocks, interface
// statistics blocks. Plain
// functions over a byte buffer; a fault is a result, never an abort.
#pragma once
#include <cstdint>
#include <string>
#include <vector>
struct pcapng_interface {
    std::uint16_t link = 0;
    std::uint32_t snaplen = 0;
    std::string name, description;  // options 2 and 3, "" when absent
};

struct pcapng_packet {
    std::uint32_t interface = 0, caplen = 0, len = 0, block_len = 0;
    std::uint64_t timestamp = 0;  // microseconds, the default resolution
    std::vector<std::uint8_t> frame;
};

struct pcapng_isb {  // the options of 8 bytes by code: 2, 3 times (microseconds), 4 to 8 counts
    std::uint32_t interface = 0;
    std::uint64_t option[9] = {};
};

struct pcapng_file {
    std::vector<pcapng_interface> interfaces;
    std::vector<pcapng_packet> packets;
    std::vector<pcapng_isb> statistics;
    std::size_t bad_at = 0;  // the start of the block that ended the read
};

enum pcapng_read_result {
    pcapng_read_ok = 0,
    pcapng_read_bad_block = -1,      // lengths that disagree, leave the buffer or are no multiple of 4
    pcapng_read_bad_section = -2,    // no section header first, another later, or not little-endian
    pcapng_read_bad_interface = -3,  // options that leave the block
    pcapng_read_bad_packet = -4,     // an interface not described before it, a frame or options that leave the block
    pcapng_read_bad_statistics = -5,  // an interface not described before it, options that leave the block
};

inline std::uint32_t pcapng_le32(const std::uint8_t* p)
{
    return p[0] | p[1] << 8 | p[2] << 16 | std::uint32_t{p[3]} << 24;
}

inline std::uint32_t pcapng_padded(std::uint32_t n) { return (n + 3u) & ~3u; }
// The options from p to end, names and descriptions into *i, those of 8 bytes into *s when given: 0, or -1 when one
// leaves the block.
inline int pcapng_read_options(const std::uint8_t* p, const std::uint8_t* end, pcapng_interface* i, pcapng_isb* s = {})
{
    for (std::uint32_t code, len; end - p >= 4 && (code = p[0] | p[1] << 8) != 0; p += 4 + pcapng_padded(len)) {
        if (std::size_t(end - p - 4) < pcapng_padded(len = p[2] | p[3] << 8)) return -1;
        if (i && (code == 2 || code == 3))
            (code == 2 ? i->name : i->description).assign(reinterpret_cast<const char*>(p) + 4, len);
        if (s && code <= 8 && len == 8) {  // a time stamp's high half first, a count's last
            const std::uint64_t first = pcapng_le32(p + 4), second = pcapng_le32(p + 8);
            s->option[code] = code <= 3 ? first << 32 | second : second << 32 | first;
        }
    }
    return end - p >= 4 || end == p ? 0 : -1;
}

// Reads the section in d[0, size) into *out: pcapng_read_ok, or the first fault (out->bad_at says where), with what
// came before it in *out.
inline pcapng_read_result pcapng_read(const std::uint8_t* d, std::size_t size, pcapng_file* out)
{
    for (std::size_t at = 0, n; at < size; at += n) {
        const std::uint8_t* b = d + (out->bad_at = at);
        if (size - at < 12 || (n = pcapng_le32(b + 4)) < 12 || n % 4 || n > size - at || pcapng_le32(b + n - 4) != n)
            return pcapng_read_bad_block;
        const std::uint32_t type = pcapng_le32(b);
        if ((at == 0) != (type == 0x0a0d0d0a) || (at == 0 && (n < 28 || pcapng_le32(b + 8) != 0x1a2b3c4d)))
            return pcapng_read_bad_section;
        if (type == 1) {
            pcapng_interface i{std::uint16_t(b[8] | b[9] << 8), n < 20 ? 0 : pcapng_le32(b + 12), "", ""};
            if (n < 20 || pcapng_read_options(b + 16, b + n - 4, &i)) return pcapng_read_bad_interface;
            out->interfaces.push_back(i);
        } else if (type == 6) {
            if (n < 32) return pcapng_read_bad_packet;
            pcapng_packet p{pcapng_le32(b + 8), pcapng_le32(b + 20), pcapng_le32(b + 24), std::uint32_t(n),
                            std::uint64_t{pcapng_le32(b + 12)} << 32 | pcapng_le32(b + 16), {}};
            if (p.interface >= out->interfaces.size() || p.caplen > n - 32 ||
                pcapng_read_options(b + 28 + pcapng_padded(p.caplen), b + n - 4, nullptr))
                return pcapng_read_bad_packet;
            p.frame.assign(b + 28, b + 28 + p.caplen);
            out->packets.push_back(std::move(p));
        } else if (type == 5) {
            pcapng_isb s{n < 24 ? 0 : pcapng_le32(b + 8), {}};
            if (n < 24 || s.interface >= out->interfaces.size() || pcapng_read_options(b + 20, b + n - 4, nullptr, &s))
                return pcapng_read_bad_statistics;
            out->statistics.push_back(s);
        }
    }
    return pcapng_read_ok;
}
