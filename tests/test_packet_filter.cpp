// What the capture loop makes of a captured frame: its Ethernet form, its
// IPv4 header for the allow-list, and the filter that keeps the tap's own
// datagrams out.
#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>

#include "forward/allow_list.h"
#include "forward/packet_filter.h"
#include "tests/test_support.h"

namespace {

bytes ipv4_header(std::uint32_t src, std::uint32_t dst)
{
    bytes h(20, 0);
    h[0] = 0x45;
    h[9] = 17;
    std::memcpy(&h[12], &src, 4);
    std::memcpy(&h[16], &dst, 4);
    return h;
}

// Ethernet header with the given EtherTypes: every type but the last is
// followed by the two bytes of a tag's control information.
bytes ethernet(std::initializer_list<std::uint16_t> types, const bytes& payload)
{
    bytes f(12, 0xAA);
    std::size_t n = 0;
    for (std::uint16_t t : types) {
        f.push_back(static_cast<std::uint8_t>(t >> 8));
        f.push_back(static_cast<std::uint8_t>(t));
        if (++n < types.size())
            f.insert(f.end(), {0x00, 0x05});
    }
    f.insert(f.end(), payload.begin(), payload.end());
    return f;
}

bytes cat(bytes a, const bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const std::uint32_t listed = ipv4_of(10, 1, 2, 3);
const std::uint32_t other = ipv4_of(192, 0, 2, 7);

// A list holding one host, from a real hosts file.
struct list_of_one {
    prefix_trie* list = nullptr;
    list_of_one()
    {
        temp_file f("# one host\n10.1.2.3\n");
        load_hosts_file(f.path.c_str(), &list);
    }
    ~list_of_one() { release_allow_list(&list); }
};

}  // namespace

// Every link type that can be read reaches the collector as Ethernet: the
// link header gives way to one that names what follows.
TEST(PacketFilter, LinkHeadersGiveWayToAnEthernetHeader)
{
    bytes sll(16, 0x77);
    sll[14] = 0x86;
    sll[15] = 0xDD;
    bytes sll2(20, 0x77);
    sll2[0] = 0x08;
    sll2[1] = 0x06;
    bytes v6(40, 0);
    v6[0] = 0x60;
    struct row {
        int link;
        bytes frame;
        int result;
        bool rewrite;
        std::uint32_t header;
        std::uint16_t type;
    };
    const row rows[] = {
        {link_ethernet, ethernet({0x0806}, bytes(28, 0)), 0, false, 14, 0x0806},
        {link_ethernet, bytes(5, 0), 0, false, 14, 0},
        {105, bytes(30, 0x45), 0, false, 0, 0},
        {link_raw_ip, ipv4_header(listed, other), 0, true, 0, 0x0800},
        {link_raw_ip_file, v6, 0, true, 0, 0x86DD},
        {link_ipv6, v6, 0, true, 0, 0x86DD},
        {link_linux_sll, sll, 0, true, 16, 0x86DD},
        {link_linux_sll, bytes(15, 0), -1, false, 0, 0},
        {link_linux_sll2, sll2, 0, true, 20, 0x0806},
        {link_linux_sll2, bytes(19, 0), -1, false, 0, 0},
        // The loopback header's family in either byte order, IPv6 by the
        // number of whichever system captured; an unknown one by the version.
        {link_null, {2, 0, 0, 0}, 0, true, 4, 0x0800},
        {link_null, {23, 0, 0, 0}, 0, true, 4, 0x86DD},
        {link_loop, {0, 0, 0, 30}, 0, true, 4, 0x86DD},
        {link_null, {0, 0, 0, 10, 0x60}, 0, true, 4, 0x86DD},
        {link_null, {99, 0, 0, 0, 0x45}, 0, true, 4, 0x0800},
        {link_null, {2, 0, 0}, -1, false, 0, 0},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(testing::Message() << "link " << r.link << ", " << r.frame.size() << " bytes");
        link_frame f;
        ASSERT_EQ(read_link_frame(r.link, r.frame.data(), static_cast<std::uint32_t>(r.frame.size()), &f),
                  r.result);
        if (r.result == 0) {
            EXPECT_EQ(f.rewrite, r.rewrite);
            EXPECT_EQ(f.header_len, r.header);
            EXPECT_EQ(f.ethertype, r.type);
        }
    }
    std::uint8_t prefix[ethernet_header_size];
    ethernet_prefix(0x86DD, prefix);
    EXPECT_EQ(bytes(prefix, prefix + 14), (bytes{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x86, 0xDD}));
}

// The allow-list reads the frame the collector gets: behind any number of
// 802.1Q tags (no other tag type), behind cooked and loopback headers;
// source or destination listed; never past the captured bytes.
TEST(PacketFilter, AllowListReadsTheIPv4HeaderWhereverTheLinkPutsIt)
{
    list_of_one l;
    ASSERT_NE(l.list, nullptr);
    const bytes ip = ipv4_header(other, listed);
    bytes v6 = ip;
    v6[0] = 0x60;
    struct row {
        int link;
        bytes frame;
        long offset;  // -1: not IPv4, dropped
    };
    const row rows[] = {
        {link_ethernet, ethernet({0x0800}, ipv4_header(listed, other)), 14},
        {link_ethernet, ethernet({0x0800}, ip), 14},
        {link_ethernet, ethernet({0x8100, 0x8100, 0x0800}, ip), 22},
        {link_ethernet, ethernet({0x8100, 0x8100, 0x8100, 0x8100, 0x0800}, ip), 30},
        {link_ethernet, ethernet({0x88A8, 0x0800}, ip), -1},
        {link_ethernet, ethernet({0x9100, 0x0800}, ip), -1},
        {link_ethernet, ethernet({0x0806}, bytes(28, 0)), -1},
        {link_ethernet, ethernet({0x0800}, v6), -1},  // EtherType IPv4, version 6
        {link_raw_ip, ip, 0},
        {link_raw_ip, v6, -1},
        {link_linux_sll, cat(bytes(14, 0), cat({0x81, 0x00, 0x00, 0x07, 0x08, 0x00}, ip)), 20},
        {link_null, cat({2, 0, 0, 0}, ip), 4},
        {link_null, cat({24, 0, 0, 0}, ip), -1},
        {105, ip, -1},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(testing::Message() << "link " << r.link << ": " << testing::PrintToString(r.frame));
        const auto n = static_cast<std::uint32_t>(r.frame.size());
        EXPECT_EQ(ipv4_header_offset(r.link, r.frame.data(), n), r.offset);
        EXPECT_EQ(packet_allowed(r.link, r.frame.data(), n, l.list), r.offset >= 0);
        // Cut anywhere before the end of the addresses: dropped, and an
        // exact copy lets a sanitizer build catch a read past the cut.
        for (std::uint32_t cut = 0; r.offset >= 0 && cut < r.offset + 20u; ++cut) {
            auto exact = std::make_unique<std::uint8_t[]>(cut);
            std::copy_n(r.frame.begin(), cut, exact.get());
            ASSERT_FALSE(packet_allowed(r.link, exact.get(), cut, l.list)) << cut;
        }
    }
    const bytes neither = ethernet({0x0800}, ipv4_header(other, other));
    EXPECT_FALSE(packet_allowed(link_ethernet, neither.data(), 34, l.list));
}

TEST(PacketFilter, SelfExclusionNamesTheResolvedAddressAndNarrowsTheUsersFilter)
{
    const std::string self = self_exclusion_filter(ipv4_of(10, 0, 0, 1), 5000);
    EXPECT_EQ(self, "not (host 10.0.0.1 and (port 5000 or ip[6:2] & 0x1fff != 0 or "
                    "icmp[icmptype] == icmp-unreach))");
    EXPECT_EQ(capture_filter_text("udp or arp", self), "(udp or arp) and " + self);
    EXPECT_EQ(capture_filter_text("", self), self);
    EXPECT_EQ(capture_filter_text(" \t", self), self);
}
