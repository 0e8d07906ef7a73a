#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "forward/packet_filter.h"

namespace {

using bytes = std::vector<std::uint8_t>;

// The fake allow-list: one listed address, and a record of every lookup.
std::uint32_t listed_addr = 0;
std::vector<std::uint32_t> lookups;

bool fake_allowed(std::uint32_t addr)
{
    lookups.push_back(addr);
    return addr == listed_addr;
}

std::uint32_t addr_of(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d)
{
    const std::uint8_t raw[4] = {a, b, c, d};
    std::uint32_t v;
    std::memcpy(&v, raw, 4);
    return v;
}

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
        if (++n < types.size()) {
            f.push_back(0x00);
            f.push_back(0x05);
        }
    }
    f.insert(f.end(), payload.begin(), payload.end());
    return f;
}

const std::uint32_t host_a = addr_of(10, 1, 2, 3);
const std::uint32_t host_b = addr_of(192, 0, 2, 7);
const std::uint32_t host_c = addr_of(198, 51, 100, 9);

class PacketFilter : public ::testing::Test {
protected:
    void SetUp() override
    {
        lookups.clear();
        listed_addr = host_a;
    }
    bool allowed(int link, const bytes& f)
    {
        return packet_allowed(link, f.data(), static_cast<std::uint32_t>(f.size()),
                              fake_allowed);
    }
};

}  // namespace

TEST_F(PacketFilter, WalksAnyNumberOf8021QTagsToTheIPv4Header)
{
    bytes f = ethernet({0x0800}, ipv4_header(host_a, host_b));
    EXPECT_EQ(ipv4_header_offset(link_ethernet, f.data(), f.size()), 14);
    f = ethernet({0x8100, 0x8100, 0x0800}, ipv4_header(host_b, host_a));
    EXPECT_EQ(ipv4_header_offset(link_ethernet, f.data(), f.size()), 22);
    EXPECT_TRUE(allowed(link_ethernet, f));
    f = ethernet({0x8100, 0x8100, 0x8100, 0x8100, 0x0800}, ipv4_header(host_a, host_b));
    EXPECT_EQ(ipv4_header_offset(link_ethernet, f.data(), f.size()), 30);
}

TEST_F(PacketFilter, OtherProtocolsAndTagTypesAreDropped)
{
    bytes arp = ethernet({0x0806}, bytes(28, 0));
    bytes ipv6 = ethernet({0x86DD}, bytes(40, 0x60));
    bytes qinq = ethernet({0x88A8, 0x0800}, ipv4_header(host_a, host_a));
    bytes old_qinq = ethernet({0x9100, 0x0800}, ipv4_header(host_a, host_a));
    // EtherType IPv4 over a header that says version 6.
    bytes liar = ethernet({0x0800}, ipv4_header(host_a, host_a));
    liar[14] = 0x60;
    for (const bytes* f : {&arp, &ipv6, &qinq, &old_qinq, &liar})
        EXPECT_FALSE(allowed(link_ethernet, *f));
    EXPECT_TRUE(lookups.empty());
}

TEST_F(PacketFilter, SourceListedPassesWithoutAskingAboutTheDestination)
{
    EXPECT_TRUE(allowed(link_ethernet, ethernet({0x0800}, ipv4_header(host_a, host_b))));
    EXPECT_EQ(lookups, std::vector<std::uint32_t>{host_a});
}

TEST_F(PacketFilter, DestinationOnlyPassesAfterTheSourceLookup)
{
    EXPECT_TRUE(allowed(link_ethernet, ethernet({0x0800}, ipv4_header(host_b, host_a))));
    EXPECT_EQ(lookups, (std::vector<std::uint32_t>{host_b, host_a}));
    lookups.clear();
    EXPECT_FALSE(allowed(link_ethernet, ethernet({0x0800}, ipv4_header(host_b, host_c))));
    EXPECT_EQ(lookups, (std::vector<std::uint32_t>{host_b, host_c}));
}

TEST_F(PacketFilter, RawIPHeaderStartsAtZeroOnBothRawNumbers)
{
    bytes p = ipv4_header(host_c, host_a);
    for (int link : {link_raw_ip, link_raw_ip_file}) {
        EXPECT_EQ(ipv4_header_offset(link, p.data(), p.size()), 0);
        EXPECT_TRUE(allowed(link, p));
    }
    bytes v6(40, 0);
    v6[0] = 0x60;
    EXPECT_FALSE(allowed(link_raw_ip, v6));
    // Any other link type is never allowed through a list.
    EXPECT_FALSE(allowed(113, p));
    EXPECT_FALSE(allowed(0, p));
}

TEST_F(PacketFilter, ShortPacketsAreDroppedWithoutReadingPastCaplen)
{
    bytes full = ethernet({0x8100, 0x8100, 0x0800}, ipv4_header(host_a, host_a));
    ASSERT_EQ(full.size(), 42u);
    // Every cut below the end of the destination address is dropped. The
    // bytes are copied to a buffer of exactly that size, so that a sanitizer
    // build catches a read past caplen.
    for (std::size_t cut = 0; cut < full.size(); ++cut) {
        std::vector<std::uint8_t> exact(full.begin(), full.begin() + static_cast<long>(cut));
        EXPECT_EQ(ipv4_header_offset(link_ethernet, exact.data(), static_cast<std::uint32_t>(cut)),
                  -1)
            << cut;
        EXPECT_FALSE(packet_allowed(link_ethernet, exact.data(), static_cast<std::uint32_t>(cut),
                                    fake_allowed))
            << cut;
    }
    EXPECT_TRUE(lookups.empty());
    EXPECT_TRUE(allowed(link_ethernet, full));

    bytes raw = ipv4_header(host_a, host_a);
    for (std::size_t cut = 0; cut < raw.size(); ++cut) {
        std::vector<std::uint8_t> exact(raw.begin(), raw.begin() + static_cast<long>(cut));
        EXPECT_FALSE(packet_allowed(link_raw_ip, exact.data(), static_cast<std::uint32_t>(cut),
                                    fake_allowed));
    }
}

// Every link type that can be read reaches the collector as Ethernet: the
// link header gives way to one that names what follows.
TEST_F(PacketFilter, LinkHeadersGiveWayToAnEthernetHeader)
{
    bytes sll(16, 0x77);
    sll[14] = 0x86;
    sll[15] = 0xDD;
    bytes sll2(20, 0x77);
    sll2[0] = 0x08;
    sll2[1] = 0x06;
    const bytes v4 = ipv4_header(host_a, host_b);
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
        {link_raw_ip, v4, 0, true, 0, 0x0800},
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

// The allow-list looks at the frame the collector gets: behind a cooked or
// loopback header, tags included.
TEST_F(PacketFilter, AllowListReadsBehindEveryLinkHeader)
{
    bytes sll(14, 0);
    sll.insert(sll.end(), {0x81, 0x00, 0x00, 0x07, 0x08, 0x00});
    bytes ip = ipv4_header(host_b, host_a);
    sll.insert(sll.end(), ip.begin(), ip.end());
    EXPECT_EQ(ipv4_header_offset(link_linux_sll, sll.data(), sll.size()), 20);
    EXPECT_TRUE(allowed(link_linux_sll, sll));
    bytes null = {2, 0, 0, 0};
    null.insert(null.end(), ip.begin(), ip.end());
    EXPECT_EQ(ipv4_header_offset(link_null, null.data(), null.size()), 4);
    null[0] = 24;
    EXPECT_FALSE(allowed(link_null, null));
    EXPECT_FALSE(allowed(105, ip));
}

TEST(CaptureFilter, SelfExclusionNamesTheResolvedAddressAndNarrowsTheUsersFilter)
{
    const std::string self = self_exclusion_filter(addr_of(10, 0, 0, 1), 5000);
    EXPECT_EQ(self, "not (host 10.0.0.1 and (port 5000 or ip[6:2] & 0x1fff != 0 or "
                    "icmp[icmptype] == icmp-unreach))");
    EXPECT_EQ(capture_filter_text("udp or arp", self), "(udp or arp) and " + self);
    EXPECT_EQ(capture_filter_text("", self), self);
    EXPECT_EQ(capture_filter_text(" \t", self), self);
}
