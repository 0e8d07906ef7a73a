#include "forward/packet_filter.h"

#include "forward/allow_list.h"
#include "support/byte_order.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr std::uint16_t ethertype_vlan = 0x8100;
// Everything the test reads of the IPv4 header ends with the destination.
constexpr std::uint32_t ipv4_bytes_needed = 20;
constexpr std::uint32_t sll_header_size = 16;
constexpr std::uint32_t sll2_header_size = 20;
constexpr std::uint32_t null_header_size = 4;

// Raw IP carries no type: the version says it.
std::uint16_t ethertype_of_ip(const std::uint8_t* data, std::uint32_t caplen)
{
    return caplen > 0 && (data[0] >> 4) == 6 ? ethertype_ipv6 : ethertype_ipv4;
}

// The loopback header holds the sender's address family, in the byte order
// of the host that captured (DLT_NULL) or in network order (DLT_LOOP).
// IPv6 has a different number on nearly every system: all of them are
// recognised, since a capture file may come from any of them.
std::uint16_t ethertype_of_family(std::uint32_t family, const std::uint8_t* ip,
                                  std::uint32_t ip_len)
{
    switch (family) {
    case 2:
        return ethertype_ipv4;
    case 10: case 23: case 24: case 28: case 30:
        return ethertype_ipv6;
    default:
        return ethertype_of_ip(ip, ip_len);
    }
}

}  // namespace

bool link_reads_as_ethernet(int link_type)
{
    switch (link_type) {
    case link_null: case link_ethernet: case link_raw_ip: case link_raw_ip_file: case link_loop:
    case link_linux_sll: case link_ipv4: case link_ipv6: case link_linux_sll2:
        return true;
    default:
        return false;
    }
}

int read_link_frame(int link_type, const std::uint8_t* data, std::uint32_t caplen,
                    link_frame* out)
{
    *out = link_frame{};
    switch (link_type) {
    case link_ethernet:
        out->header_len = ethernet_header_size;
        if (caplen >= ethernet_header_size)
            out->ethertype = load_be16(data + 12);
        return 0;
    case link_raw_ip: case link_raw_ip_file: case link_ipv4: case link_ipv6:
        out->rewrite = true;
        out->ethertype = ethertype_of_ip(data, caplen);
        return 0;
    case link_linux_sll:
        if (caplen < sll_header_size)
            return -1;
        *out = {true, sll_header_size, load_be16(data + 14)};
        return 0;
    case link_linux_sll2:
        if (caplen < sll2_header_size)
            return -1;
        *out = {true, sll2_header_size, load_be16(data)};
        return 0;
    case link_null: case link_loop: {
        if (caplen < null_header_size)
            return -1;
        std::uint32_t family = load_be32(data);
        // Families are small numbers: whichever half holds it gives the
        // byte order, whoever captured.
        if ((family & 0xffff) == 0)
            family = ((family >> 24) & 0xff) | ((family >> 8) & 0xff00);
        *out = {true, null_header_size,
                ethertype_of_family(family, data + null_header_size, caplen - null_header_size)};
        return 0;
    }
    default:
        return 0;
    }
}

void ethernet_prefix(std::uint16_t ethertype, std::uint8_t out[ethernet_header_size])
{
    std::memset(out, 0, 12);
    out[12] = static_cast<std::uint8_t>(ethertype >> 8);
    out[13] = static_cast<std::uint8_t>(ethertype);
}

long ipv4_header_offset(int link_type, const std::uint8_t* data, std::uint32_t caplen)
{
    if (!link_reads_as_ethernet(link_type))
        return -1;
    link_frame f;
    if (read_link_frame(link_type, data, caplen, &f) != 0 || caplen < f.header_len)
        return -1;
    std::uint16_t type = f.ethertype;
    std::uint32_t offset = f.header_len;
    // Each tag is four bytes whose last two are the next EtherType; only
    // 802.1Q tags are walked, stacked as deep as they come.
    while (type == ethertype_vlan) {
        if (caplen - offset < 4)
            return -1;
        type = load_be16(data + offset + 2);
        offset += 4;
    }
    if (type != ethertype_ipv4)
        return -1;
    if (caplen - offset < ipv4_bytes_needed)
        return -1;
    if ((data[offset] >> 4) != 4)
        return -1;
    return static_cast<long>(offset);
}

bool packet_allowed(int link_type, const std::uint8_t* data, std::uint32_t caplen,
                    const prefix_trie* list)
{
    long offset = ipv4_header_offset(link_type, data, caplen);
    if (offset < 0)
        return false;
    std::uint32_t source;
    std::uint32_t destination;
    // Copied byte for byte: the addresses are unaligned and stay in
    // network order.
    std::memcpy(&source, data + offset + 12, 4);
    if (host_allowed(list, source))
        return true;
    std::memcpy(&destination, data + offset + 16, 4);
    return host_allowed(list, destination);
}

std::string self_exclusion_filter(const net_peer& collector)
{
    char host[net_peer_text_max];
    net_peer_host_text(collector, host, sizeof host);
    const unsigned port = net_order16(collector.port);
    // Fragments after the first carry no UDP port, so the tap's own
    // datagrams that exceed the MTU are kept out by the fragment offset.
    // The unreachable errors that a collector host without a listener
    // returns would otherwise be forwarded, each one answered by another: a
    // feedback loop. IPv6 says both in its next-header byte: a fragment
    // header (44), every fragment the first included, and ICMPv6 (58) of
    // type 1, unreachable, right behind the fixed header.
    char text[200];
    if (collector.family == net_family_ipv6)
        std::snprintf(text, sizeof text,
                      "not (host %s and (port %u or ip6[6] == 44 or "
                      "(ip6[6] == 58 and ip6[40] == 1)))",
                      host, port);
    else
        std::snprintf(text, sizeof text,
                      "not (host %s and (port %u or ip[6:2] & 0x1fff != 0 or "
                      "icmp[icmptype] == icmp-unreach))",
                      host, port);
    return text;
}

std::string capture_filter_text(std::string_view user, std::string_view self_exclusion)
{
    if (user.find_first_not_of(" \t\r\n") == std::string_view::npos)
        return std::string(self_exclusion);
    std::string text = "(";
    text += user;
    text += ") and ";
    text += self_exclusion;
    return text;
}
