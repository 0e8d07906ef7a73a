// --metrics: the exposition of a source table, label values escaped, the request header's reading, the address.
#include <gtest/gtest.h>
#include "collector/collector_run.h"
#include "collector/metrics.h"
#include "tests/test_support.h"

namespace {
struct exposition_row {
    std::string line;
    bool shown;
};

// Tap 7 in clear and tap 9's sealed run, which told its own statistics; every counter a value of its own.
std::string fleet_text()
{
    source_table t;
    EXPECT_EQ(source_table_init(&t, 4), 0);
    bool added = false;
    source_find_or_add(&t, net_peer_ipv4(ipv4_of(127, 0, 0, 1), net_order16(5000)), 7, 0, &added);
    const std::uint8_t run[sealed_run_id_size] = {0xab, 0x01};
    source_place_run(&t, 1, net_peer_ipv4(ipv4_of(10, 0, 0, 5), net_order16(6000)), 9, run, 0);
    t.entries[0].counts = {1, 2, 3, 4, 0, 0, 0};
    t.entries[1].counts = {11, 12, 13, 14, 15, -16, 17};
    t.entries[1].tap = {0, 21, 22, 23, 24, 25, 26, 27, 28};
    t.entries[1].has_tap_statistics = true;
    t.refused_datagrams = 31;
    const collector_stats stats{.datagrams = 41, .forged = 42};
    const std::uint64_t datagrams[] = {51, 52}, waits[] = {53, 54};
    const pcap_over_ip_counts pcap{.clients = 1, .clients_served = 2, .frames_queued = 3, .frames_dropped = 55,
                                   .clients_behind = 4, .clients_refused = 5};
    const kafka_producer_counts kafka{.produced = 61, .delivered = 62, .dropped = 63, .failed = 64};
    const metrics_view v{.sources = &t, .stats = &stats, .files_written = 43, .worker_count = 2,
                         .worker_datagrams = datagrams, .worker_waits = waits, .pcap_over_ip = &pcap, .kafka = &kafka};
    std::string text;
    metrics_text(v, &text);
    source_table_release(&t);
    return text;
}
}  // namespace

TEST(Metrics, EveryCounterOfEverySourceIsALineUnderItsTapSenderAndRun)
{
    const std::string tap7 = "{tap=\"7\",sender=\"127.0.0.1:5000\",run=\"\"} ";
    const std::string tap9 = "{tap=\"9\",sender=\"10.0.0.5:6000\",run=\"ab010000000000000000000000000000\"} ";
    const exposition_row rows[] = {
        {"# TYPE vantry_collector_frames_total counter\n", true},
        {"\nvantry_collector_datagrams_total" + tap7 + "1\n", true}, {"\nvantry_collector_frames_total" + tap7 + "2\n", true},
        {"\nvantry_collector_bytes_total" + tap7 + "3\n", true}, {"\nvantry_collector_not_decoded_total" + tap7 + "4\n", true},
        {"\nvantry_collector_tap_received_total" + tap7, false}, {"\nvantry_collector_datagrams_total" + tap9 + "11\n", true},
        {"\nvantry_collector_replayed_total" + tap9 + "15\n", true}, {"\nvantry_collector_lost_datagrams_total" + tap9 + "-16\n", true},
        {"\nvantry_collector_frames_lost_total" + tap9 + "17\n", true}, {"\nvantry_collector_tap_received_total" + tap9 + "21\n", true},
        {"\nvantry_collector_tap_capture_drops_total" + tap9 + "22\n", true},
        {"\nvantry_collector_tap_interface_drops_total" + tap9 + "23\n", true},
        {"\nvantry_collector_tap_allow_list_left_out_total" + tap9 + "24\n", true},
        {"\nvantry_collector_tap_rate_cap_left_out_total" + tap9 + "25\n", true},
        {"\nvantry_collector_tap_frames_sent_total" + tap9 + "26\n", true},
        {"\nvantry_collector_tap_datagrams_sent_total" + tap9 + "27\n", true},
        {"\nvantry_collector_tap_datagrams_failed_total" + tap9 + "28\n", true},
        {"\nvantry_collector_sources 2\n", true}, {"\nvantry_collector_datagrams_received_total 41\n", true},
        {"\nvantry_collector_files_written_total 43\n", true}, {"vantry_collector_receive_drops_total", false},
        {"\nvantry_collector_refused_total{reason=\"not_authentic\"} 42\n", true},
        {"\nvantry_collector_refused_total{reason=\"table_full\"} 31\n", true},
        {"\nvantry_collector_worker_datagrams_total{worker=\"1\"} 52\n", true},
        {"\nvantry_collector_worker_waits_total{worker=\"0\"} 53\n", true},
        {"\nvantry_collector_pcap_over_ip_total{what=\"frames_dropped\"} 55\n", true},
        {"\nvantry_collector_kafka_messages_total{state=\"dropped\"} 63\n", true},
        {"vantry_collector_kafka_consumed_total", false},
    };
    const std::string text = fleet_text();
    for (const exposition_row& r : rows) EXPECT_EQ(text.find(r.line) != std::string::npos, r.shown) << r.line;
}

TEST(Metrics, LabelValuesEscapeBackslashQuoteAndNewline)
{
    struct row {
        const char* value;
        const char* escaped;
    } const rows[] = {{"plain [::1]:9", "plain [::1]:9"}, {"a\\b", "a\\\\b"}, {"say \"hi\"", "say \\\"hi\\\""},
                      {"two\nlines", "two\\nlines"}, {"\\\"\n", "\\\\\\\"\\n"}};
    for (const row& r : rows) {
        std::string out = "x";
        metrics_escape(r.value, &out);
        EXPECT_EQ(out, std::string("x") + r.escaped) << r.value;
    }
}

TEST(Metrics, TheRequestHeaderIsReadWhenWholeAndBounded)
{
    struct row {
        std::string header;
        metrics_request want;
    } const rows[] = {
        {"GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n", metrics_get},
        {"GET /metrics?name[]=x HTTP/1.0\n\n", metrics_get},
        {"GET /metrics HTTP/1.1\r\nHost: x\r\n", metrics_incomplete},
        {"GET / HTTP/1.1\r\n\r\n", metrics_not_found},
        {"GET /metricsx HTTP/1.1\r\n\r\n", metrics_not_found},
        {"POST /metrics HTTP/1.1\r\n\r\n", metrics_bad_method},
        {"HEAD /metrics HTTP/1.1\r\n\r\n", metrics_bad_method},
        {"GET /metrics\r\n\r\n", metrics_bad_request},
        {"\r\n\r\n", metrics_bad_request},
        {std::string(metrics_header_max - 1, 'a'), metrics_incomplete},
        {std::string(metrics_header_max, 'a'), metrics_too_long},
    };
    for (const row& r : rows)
        EXPECT_EQ(metrics_parse_request(r.header.data(), r.header.size()), r.want) << r.header.substr(0, 40);
    // Read in pieces: nothing is answered before the header's end.
    const std::string whole = rows[0].header;
    for (std::size_t n = 0; n < whole.size(); ++n)
        EXPECT_EQ(metrics_parse_request(whole.data(), n), metrics_incomplete) << n;
}

TEST(Metrics, TheAddressIsAPortAlonePutOnLoopbackOrAnAddressWrittenAsOne)
{
    struct row {
        const char* option;
        const char* served_at;  // null: refused
    } const rows[] = {
        {"9500", "127.0.0.1:9500"}, {"0.0.0.0:80", "0.0.0.0:80"}, {"[::1]:9500", "[::1]:9500"},
        {"[::]:0", "[::]:0"},       {"::1:9500", nullptr},        {"localhost:9500", nullptr},
        {"70000", nullptr},         {"", nullptr},                {"127.0.0.1:", nullptr},
        {"-1", nullptr},            {"[::1]9500", nullptr},       {" 80", nullptr},
    };
    for (const row& r : rows) {
        net_peer at;
        char text[net_peer_text_max] = "refused";
        if (metrics_parse_address(r.option, &at) == 0) net_peer_text(at, text, sizeof text);
        EXPECT_STREQ(text, r.served_at ? r.served_at : "refused") << r.option;
    }
}
