#include "forward/packet_filter.h"

#include <cstring>

namespace {

constexpr std::uint16_t ethertype_vlan = 0x8100;
constexpr std::uint16_t ethertype_ipv4 = 0x0800;
// Everything the test reads of the IPv4 header ends with the destination.
constexpr std::uint32_t ipv4_bytes_needed = 20;

std::uint16_t read_be16(const std::uint8_t* p)
{
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

}  // namespace

long ipv4_header_offset(int link_type, const std::uint8_t* data, std::uint32_t caplen)
{
    std::uint32_t offset = 0;
    if (link_type == link_ethernet) {
        if (caplen < 14)
            return -1;
        std::uint16_t type = read_be16(data + 12);
        offset = 14;
        // Each tag is four bytes whose last two are the next EtherType;
        // only 802.1Q tags are walked, stacked as deep as they come.
        while (type == ethertype_vlan) {
            if (caplen - offset < 4)
                return -1;
            type = read_be16(data + offset + 2);
            offset += 4;
        }
        if (type != ethertype_ipv4)
            return -1;
    } else if (!link_is_raw_ip(link_type)) {
        return -1;
    }
    if (caplen < offset || caplen - offset < ipv4_bytes_needed)
        return -1;
    if ((data[offset] >> 4) != 4)
        return -1;
    return static_cast<long>(offset);
}

bool packet_allowed(int link_type, const std::uint8_t* data, std::uint32_t caplen,
                    bool (*allowed)(std::uint32_t addr))
{
    long offset = ipv4_header_offset(link_type, data, caplen);
    if (offset < 0)
        return false;
    std::uint32_t source;
    std::uint32_t destination;
    // Copied byte for byte: the addresses are unaligned and stay in
    // network order.
    std::memcpy(&source, data + offset + 12, 4);
    if (allowed(source))
        return true;
    std::memcpy(&destination, data + offset + 16, 4);
    return allowed(destination);
}
