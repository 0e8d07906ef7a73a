// Reading and writing multi-byte fields of wire formats and files, whatever
// the host's own order: the Tap datagrams are big-endian but for the magic,
// pcap and pcapng files are written little-endian.
#pragma once

#include <cstddef>
#include <cstdint>

inline std::uint16_t load_be16(const std::uint8_t* p)
{
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

inline std::uint32_t load_be32(const std::uint8_t* p)
{
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}

inline std::uint64_t load_be64(const std::uint8_t* p)
{
    return (std::uint64_t{load_be32(p)} << 32) | load_be32(p + 4);
}

inline std::uint32_t load_le32(const std::uint8_t* p)
{
    return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
           (std::uint32_t{p[3]} << 24);
}

inline void store_be(std::uint8_t* p, std::uint64_t v, std::size_t bytes)
{
    for (std::size_t i = 0; i < bytes; ++i)
        p[i] = static_cast<std::uint8_t>(v >> (8 * (bytes - 1 - i)));
}

inline void store_le(std::uint8_t* p, std::uint64_t v, std::size_t bytes)
{
    for (std::size_t i = 0; i < bytes; ++i)
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

inline void store_be16(std::uint8_t* p, std::uint16_t v) { store_be(p, v, 2); }
inline void store_be32(std::uint8_t* p, std::uint32_t v) { store_be(p, v, 4); }
inline void store_be64(std::uint8_t* p, std::uint64_t v) { store_be(p, v, 8); }
inline void store_le16(std::uint8_t* p, std::uint16_t v) { store_le(p, v, 2); }
inline void store_le32(std::uint8_t* p, std::uint32_t v) { store_le(p, v, 4); }
inline void store_le64(std::uint8_t* p, std::uint64_t v) { store_le(p, v, 8); }
