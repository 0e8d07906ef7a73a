// Collectors joined by Kafka: brokers of librdkafka's mock cluster in this process, on loopback; a receiving
// collector produces, two consuming collectors of one group write what it received.
#if defined(VANTRY_KAFKA)
#include "tests/kafka_mock.h"
#include "tests/e2e/e2e_support.h"

namespace {
// A collector consuming "frames" in group "site", pcap on its standard output. 0, or -1.
int consumer_start(child* c, const std::string& brokers)
{
    return start(c, VANTRY_BIN_DIR "/vantry_collector",
                 {"--from-kafka", brokers, "--topic", "frames", "--group", "site", "-F", "pcap", "-w", "-"});
}

// The partitions c's last assignment gave it, -1 before one.
int partitions_of(const child& c)
{
    const std::string err = err_of(c), said = "Kafka: ";
    const std::size_t at = err.rfind(" partitions assigned");
    const std::size_t from = at == std::string::npos ? at : err.rfind(said, at);
    return from == std::string::npos ? -1 : std::atoi(err.c_str() + from + said.size());
}
}  // namespace

// Twelve taps' frames, half of them sent while the broker is down, reach the two consumers of one group whole: each
// tap's frames byte for byte, in order, on one consumer; both consumers take a share; the producer counts every
// message delivered and none dropped.
TEST(KafkaE2E, TwoConsumersShareTheTapsAndABrokerOutageLosesNothing)
{
    constexpr int sources = 12, each = 10;
    mock_cluster k(4, 2);
    // The outage takes the partitions' leader (broker 1), not the group's coordinator (broker 2): the group stays.
    rd_kafka_mock_coordinator_set(k.brokers, "group", "site", 2);
    for (int p = 0; p < 4; ++p) rd_kafka_mock_partition_set_leader(k.brokers, "frames", p, 1);
    child rx, a, b;
    const std::uint16_t port =
        collector_start(&rx, {"-K", "-j", "2", "--kafka", k.bootstraps, "--topic", "frames", "-w", "/dev/null"});
    ASSERT_NE(port, 0) << err_of(rx);
    ASSERT_EQ(consumer_start(&a, k.bootstraps) | consumer_start(&b, k.bootstraps), 0);
    // Frames only once the group is settled: two partitions each (a join that meets a rebalance under way can wait
    // out the mock coordinator's session timeout, 45 s).
    ASSERT_TRUE(poll_until(90000, [&] { return partitions_of(a) == 2 && partitions_of(b) == 2; }))
        << err_of(a) << err_of(b);
    udp_socket from[sources];
    for (udp_socket& u : from) ASSERT_EQ(udp_open(&u), 0);
    const auto frame = [](int src, int i) { return ethernet(0x88b5, {std::uint8_t(src), std::uint8_t(i), 7, 7}); };
    for (int i = 0; i < each; ++i) {
        if (i == each / 2) rd_kafka_mock_broker_set_down(k.brokers, 1);
        for (int src = 0; src < sources; ++src) udp_send(from[src], tap_datagram(7, {frame(src, i)}), port);
    }
    poll_until(1000, [] { return false; });  // the outage goes on for a second
    rd_kafka_mock_broker_set_up(k.brokers, 1);
    const auto written = [&] { return pcap_of(out_of(a)).size() + pcap_of(out_of(b)).size(); };
    EXPECT_TRUE(poll_until(120000, [&] { return written() >= std::size_t(sources * each); })) << written();
    signal_child(rx, SIGTERM);
    EXPECT_EQ(status_within(&rx, 20000), 0);
    EXPECT_TRUE(has(out_of(rx), "Kafka: 120 messages produced, 120 delivered, 0 dropped (buffer full), 0 failed, "
                                "0 lost at the end")) << out_of(rx);
    for (child* c : {&a, &b}) {
        signal_child(*c, SIGTERM);
        EXPECT_EQ(status_within(c, 20000), 0) << err_of(*c);
    }
    int next[sources] = {}, reader[sources] = {}, shares[2] = {};
    for (int r = 0; r < 2; ++r)
        for (const wire_record& w : pcap_of(out_of(r ? b : a))) {
            const int src = w.frame[14];
            EXPECT_EQ(w.frame, frame(src, next[src])) << "tap " << src;
            EXPECT_TRUE(next[src]++ == 0 ? (reader[src] = r, true) : reader[src] == r) << "tap " << src << " read twice";
            ++shares[r];
        }
    for (int src = 0; src < sources; ++src) EXPECT_EQ(next[src], each) << "tap " << src;
    EXPECT_GT(shares[0], 0);
    EXPECT_GT(shares[1], 0);
}
#endif
