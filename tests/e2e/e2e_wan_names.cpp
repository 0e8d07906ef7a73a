// The collector by IPv6 address or by name, and a name that moves: the tap follows it.
#include "tests/e2e/e2e_support.h"
static const std::string datagram = "Datagram of ";  // one line per datagram a verbose collector takes

// Frames reach an IPv6 collector by address, or by a name with an IPv6 address only (::1 is also 127.0.0.1 to glibc).
TEST(NamesE2E, FramesReachACollectorOverIpv6ByAddressOrByName)
{
    const netns ns("vn6" + id, "fd00::5 v6only\n");
    if (ns.made || run_command("ip -n " + ns.name + " addr add fd00::5/128 dev lo nodad"))
        GTEST_SKIP() << "needs root, ip netns and IPv6";
    udp_socket u;
    ASSERT_EQ(udp_open(&u, "127.0.0.1", ns.name), 0);
    for (const auto& [bind, collector] : {std::pair{"::1", "[::1]:"}, {"fd00::5", "v6only:"}}) {
        SCOPED_TRACE(collector);
        child col, tap;
        const std::string port = std::to_string(collector_start(&col, {"-K", "-b", bind, "-v", "-w", "-"}, ns.name));
        ASSERT_TRUE(tap_start(&tap, {"-t", "37008", "-K", "-c", collector + port}, ns.name)) << out_of(tap);
        udp_send(u, tzsp(pattern(60, 1)), 37008);
        EXPECT_TRUE(wait_output(&col, datagram, 5000)) << out_of(tap) << err_of(col);
        tap_stop(&tap);
    }
}

#if defined(VANTRY_TEST_HOOKS)
// A name that moves (its namespace's hosts file rewritten in place): the datagrams follow within the shortened
// interval, the move is logged once, and a capture keeps out the tap's own datagrams to the new address too.
TEST(NamesE2E, DatagramsFollowANameThatMoves)
{
    const netns ns("vnm" + id, "127.0.0.2 collector-host\n");
    if (ns.made) GTEST_SKIP() << "needs root and ip netns";
    child col[2];
    const std::string port =
        std::to_string(collector_start(&col[0], {"-K", "-b", "127.0.0.2", "-v", "-w", "-"}, ns.name));
    ASSERT_EQ(std::to_string(collector_start(&col[1], {"-K", "-p", port, "-b", "127.0.0.3", "-v", "-w", "-"}, ns.name)),
              port);
    const auto name_at = [&](const std::string& a) {
        return run_command("printf '" + a + " collector-host\\n' >/etc/netns/" + ns.name + "/hosts");
    };
    udp_socket u;
    ASSERT_EQ(udp_open(&u, "127.0.0.1", ns.name), 0);
    for (const std::string input : {"-t", "-i"}) {
        SCOPED_TRACE(input);
        ASSERT_EQ(name_at("127.0.0.2"), 0);
        const int seen[2] = {count_of(err_of(col[0]), datagram), count_of(err_of(col[1]), datagram)};
        child tap;
        const std::vector<std::string> args = {"/c", input, input == "-t" ? "37008" : "lo", "-K", "-c",
                                               "collector-host:" + port};
        ASSERT_TRUE(!start(&tap, remote_path(), args, ns.name, {"VANTRY_RESOLVE_INTERVAL_MS=200"}) &&
                    wait_output(&tap, "Running...", 10000)) << out_of(tap);
        udp_send(u, tzsp(pattern(60, 1)), 37008);
        EXPECT_TRUE(wait_output(&col[0], datagram, 5000, seen[0] + 1)) << out_of(tap);
        ASSERT_EQ(name_at("127.0.0.3"), 0);
        EXPECT_TRUE(wait_output(&tap, "Collector collector-host now at 127.0.0.3:" + port + "\n", 5000)) << out_of(tap);
        udp_send(u, tzsp(pattern(60, 2)), 37008);
        EXPECT_TRUE(wait_output(&col[1], datagram, 5000, seen[1] + 1)) << out_of(tap);
        // Meanwhile a datagram of its own, captured, would come back.
        EXPECT_FALSE(wait_output(&tap, "now at", 3000, 2)) << "the move logged again";
        tap_stop(&tap);
        for (const wire_record& r : pcap_of(out_of(col[1])))  // only the tap sends to 127.0.0.3
            EXPECT_FALSE(r.frame.size() >= 34 && bytes(&r.frame[30], &r.frame[34]) == (bytes{127, 0, 0, 3}));
    }
}
#endif
