// A moved collector as the forwarding loops take it from the resolver's hand-over.
#include <gtest/gtest.h>
#include "forward/collector_resolver.h"
#include "forward/sender.h"
#include "tests/test_support.h"
// Taken once, with a socket of its family and the old address kept (for the filter); failed sends ask for a lookup.
TEST(CollectorResolver, AMoveIsTakenOnceWithASocketOfItsFamilyAndFailedSendsAskForALookup)
{
    loopback_collector c;
    collector_resolver r;
    c.sender.resolver = &r;
    const net_peer before = c.sender.to;
    const std::uint8_t loopback6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    const net_peer moved = net_peer_ipv6(loopback6, before.port, 0);
    EXPECT_EQ(collector_follow(c.sender), 0) << "nothing handed over yet";
    collector_mailbox_put(r.mailbox, moved);
    EXPECT_EQ(collector_follow(c.sender), 1);
    EXPECT_EQ(collector_follow(c.sender), 0) << "taken once";
    EXPECT_TRUE(net_peer_same(c.sender.to, moved));
    EXPECT_TRUE(net_peer_same(c.sender.previous, before));
    EXPECT_EQ(net_send_to_peer(c.sender.socket, "x", 1, c.sender.to), 1) << "no socket of the new family";
    c.sender.failure_log.in_run = collector_failures_before_resolve;
    collector_follow(c.sender);
    EXPECT_TRUE(r.sends_failing.load());
}
