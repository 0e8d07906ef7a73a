// The packet filter: where the link puts the IPv4 header the allow-list reads, and the capture filter texts.
#include <gtest/gtest.h>
#include "forward/packet_filter.h"
#include "tests/test_support.h"
#if !defined(_WIN32)
#include <pcap/pcap.h>
#endif
// A link header gives way to an Ethernet one that names what follows. The allow-list reads the IPv4 header behind
// any number of 802.1Q tags (no other tag type), cooked or loopback headers; source or destination; never past the end.
TEST(PacketFilter, AllowListReadsTheIPv4HeaderWhereverTheLinkPutsIt)
{
    const bytes host = {10, 1, 2, 3}, other = {192, 0, 2, 7}, eth(12, 0xAA), q = {0x81, 0, 0, 5};
    const bytes ip = cat({{0x45}, bytes(11), other, host}), v6 = cat({{0x60}, bytes(11), other, host});
    hosts_file hosts;
    prefix_trie* list = nullptr;
    hosts.load(&list, "# one host\n10.1.2.3\n");
    // Link, frame, the link header's length (-1: the frame is shorter) and the EtherType behind it, the offset of
    // the IPv4 header (-1: none, dropped by a list). All but Ethernet and unknown links are rewritten.
    struct row { int link; bytes frame; long header; std::uint16_t type; long offset; };
    const row rows[] = {
        {link_ethernet, cat({eth, {8, 0}, {0x45}, bytes(11), host, other}), 14, 0x0800, 14},  // the source listed
        {link_ethernet, cat({eth, {8, 0}, ip}), 14, 0x0800, 14}, {link_ethernet, bytes(5), 14, 0, -1},
        {link_ethernet, cat({eth, q, q, {8, 0}, ip}), 14, 0x8100, 22}, {105, ip, 0, 0, -1},
        {link_ethernet, cat({eth, q, q, q, q, {8, 0}, ip}), 14, 0x8100, 30},
        {link_ethernet, cat({eth, {0x88, 0xA8, 0, 5, 8, 0}, ip}), 14, 0x88A8, -1},
        {link_ethernet, cat({eth, {8, 6}, bytes(28)}), 14, 0x0806, -1},
        {link_ethernet, cat({eth, {8, 0}, v6}), 14, 0x0800, -1},  // IPv4 by its type, 6 by its version
        {link_raw_ip, ip, 0, 0x0800, 0}, {link_raw_ip, v6, 0, 0x86DD, -1}, {link_raw_ip_file, v6, 0, 0x86DD, -1},
        {link_ipv6, v6, 0, 0x86DD, -1}, {link_linux_sll, bytes(15), -1, 0, -1}, {link_linux_sll2, bytes(19), -1, 0, -1},
        {link_linux_sll, cat({bytes(14, 0x77), {0x86, 0xDD}}), 16, 0x86DD, -1},
        {link_linux_sll, cat({bytes(14), q, {8, 0}, ip}), 16, 0x8100, 20},
        {link_linux_sll2, cat({{8, 6}, bytes(18)}), 20, 0x0806, -1},
        // Loopback: the family in either byte order, IPv6 by any system's number, an unknown one by the version.
        {link_null, cat({{2, 0, 0, 0}, ip}), 4, 0x0800, 4}, {link_null, cat({{24, 0, 0, 0}, ip}), 4, 0x86DD, -1},
        {link_null, cat({{99, 0, 0, 0}, ip}), 4, 0x0800, 4}, {link_null, {99, 0, 0, 0, 0x60}, 4, 0x86DD, -1},
        {link_null, {23, 0, 0, 0}, 4, 0x86DD, -1}, {link_null, {28, 0, 0, 0}, 4, 0x86DD, -1},
        {link_loop, {0, 0, 0, 30}, 4, 0x86DD, -1}, {link_null, {0, 0, 0, 10}, 4, 0x86DD, -1},
        {link_null, {2, 0, 0}, -1, 0, -1}};
    for (const row& r : rows) {
        SCOPED_TRACE(testing::Message() << "link " << r.link << ": " << testing::PrintToString(r.frame));
        const auto n = static_cast<std::uint32_t>(r.frame.size());
        link_frame f;
        ASSERT_EQ(read_link_frame(r.link, r.frame.data(), n, &f), r.header < 0 ? -1 : 0);
        if (r.header >= 0) {
            EXPECT_EQ(f.rewrite, r.link != link_ethernet && r.link != 105);
            EXPECT_EQ(long(f.header_len), r.header);
            EXPECT_EQ(f.ethertype, r.type) << std::hex << f.ethertype;
        }
        EXPECT_EQ(ipv4_header_offset(r.link, r.frame.data(), n), r.offset);
        EXPECT_EQ(packet_allowed(r.link, r.frame.data(), n, list), r.offset >= 0);
        // Cut anywhere before the end of the addresses: dropped, and copied to a block of exactly that size so that
        // a sanitizer build catches a read past the cut.
        for (std::uint32_t cut = 0; r.offset >= 0 && cut < r.offset + 20u; ++cut)
            ASSERT_FALSE(packet_allowed(r.link, bytes(r.frame.begin(), r.frame.begin() + cut).data(), cut, list));
    }
    // An unknown family with no byte behind the header: IPv4, never a version read past the frame's end.
    const bytes family_only = {99, 0, 0, 0, 0x60};
    link_frame f;
    ASSERT_EQ(read_link_frame(link_null, family_only.data(), 4, &f), 0);
    EXPECT_EQ(f.ethertype, 0x0800);
    const bytes neither = cat({eth, {8, 0}, {0x45}, bytes(11), other, other});
    EXPECT_FALSE(packet_allowed(link_ethernet, neither.data(), 34, list));
    release_allow_list(&list);
    std::uint8_t prefix[ethernet_header_size];
    ethernet_prefix(0x86DD, prefix);
    EXPECT_EQ(bytes(prefix, prefix + 14), cat({bytes(12, 0), {0x86, 0xDD}}));
}

TEST(PacketFilter, SelfExclusionNamesTheResolvedAddressAndNarrowsTheUsersFilter)
{
    const std::string self = self_exclusion_filter(net_peer_ipv4(ipv4_of(10, 0, 0, 1), net_order16(5000)));
    EXPECT_EQ(self, "not (host 10.0.0.1 and (port 5000 or ip[6:2] & 0x1fff != 0 or icmp[icmptype] == icmp-unreach))");
    EXPECT_EQ(capture_filter_text("udp or arp", self), "(udp or arp) and " + self);
    EXPECT_EQ(capture_filter_text("", self), self);
    EXPECT_EQ(capture_filter_text(" \t", self), self);
}

#if !defined(_WIN32)  // the Windows build loads the capture library at run time only
// The self-exclusion filter, compiled by the capture library, drops the tap's own datagrams to the collector, their
// fragments and the collector host's unreachable errors, for a collector of either family; nothing else.
TEST(PacketFilter, SelfExclusionCompiledDropsTheTapsOwnTrafficOfEitherFamilyAndNothingElse)
{
    const bytes tap4 = {10, 0, 0, 9}, col4 = {10, 0, 0, 1};
    const bytes doc6 = {0x20, 1, 0x0d, 0xb8}, tap6 = cat({doc6, bytes(11), {9}}), col6 = cat({doc6, bytes(11), {1}});
    const bytes other6 = cat({doc6, bytes(11), {2}});
    const auto be16 = [](unsigned v) { return bytes{std::uint8_t(v >> 8), std::uint8_t(v)}; };
    const auto udp = [&](unsigned port) { return cat({{0x30, 0x39}, be16(port), be16(8), {0, 0}}); };
    const auto ip4 = [&](std::uint8_t proto, const bytes& src, const bytes& dst, const bytes& body, unsigned frag) {
        return cat({{0x45, 0}, be16(20 + body.size()), {0, 0}, be16(frag), {64, proto, 0, 0}, src, dst, body});
    };
    const auto ip6 = [&](std::uint8_t next, const bytes& src, const bytes& dst, const bytes& body) {
        return cat({{0x60, 0, 0, 0}, be16(body.size()), {next, 64}, src, dst, body});
    };
    const net_peer c4 = net_peer_ipv4(ipv4_of(10, 0, 0, 1), net_order16(5000));
    const net_peer c6 = net_peer_ipv6(col6.data(), net_order16(5000), 0);
    struct row { const char* what; net_peer collector; bytes packet; bool kept; };
    const row rows[] = {
        {"own datagram", c4, ip4(17, tap4, col4, udp(5000), 0), false},
        {"later fragment", c4, ip4(17, tap4, col4, bytes(8), 1), false},
        {"unreachable", c4, ip4(1, col4, tap4, {3, 3, 0, 0, 0, 0, 0, 0}, 0), false},
        {"own datagram", c6, ip6(17, tap6, col6, udp(5000)), false},
        {"first fragment", c6, ip6(44, tap6, col6, cat({{17, 0, 0, 1, 0, 0, 0, 7}, udp(5000)})), false},
        {"unreachable", c6, ip6(58, col6, tap6, {1, 4, 0, 0, 0, 0, 0, 0}), false},
        {"another port", c6, ip6(17, tap6, col6, udp(5001)), true},
        {"another host", c6, ip6(17, tap6, other6, udp(5000)), true},
        {"IPv4", c6, ip4(17, tap4, col4, udp(5000), 0), true},
    };
    pcap_t* dead = pcap_open_dead(DLT_RAW, 65535);
    ASSERT_NE(dead, nullptr);
    for (const row& r : rows) {
        const std::string text = self_exclusion_filter(r.collector);
        SCOPED_TRACE(std::string(r.what) + " under " + text);
        bpf_program prog{};
        ASSERT_EQ(pcap_compile(dead, &prog, text.c_str(), 1, PCAP_NETMASK_UNKNOWN), 0) << pcap_geterr(dead);
        const auto len = static_cast<bpf_u_int32>(r.packet.size());
        const pcap_pkthdr header{{0, 0}, len, len};
        EXPECT_EQ(pcap_offline_filter(&prog, &header, r.packet.data()) != 0, r.kept);
        pcap_freecode(&prog);
    }
    pcap_close(dead);
}
#endif
