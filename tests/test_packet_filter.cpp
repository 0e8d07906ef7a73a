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
