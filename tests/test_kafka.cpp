// Kafka: the message layout built and read back, malformed values and origins refused; with librdkafka, a cluster
// in this process (brokers on loopback): a round trip, kcat's reading, an outage, a group of two.
#include <gtest/gtest.h>
#include "collector/kafka_message.h"
#include "tests/pcapng_reader.h"
#include "tests/test_support.h"

namespace {
kafka_value value;  // large: kept off the stack
kafka_records parsed;

tap_record_view record_of(const bytes& f, std::uint32_t i) { return {1700000000 + i, i * 1000, std::uint16_t(f.size()), 65535, f.data()}; }

const std::uint8_t v6[16] = {0x20, 1, 0xd, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 5};
const kafka_origin plain = {.tap_id = 7, .sender = net_peer_ipv4(ipv4_of(192, 0, 2, 1), net_order16(40000))};
const kafka_origin sealed = {.tap_id = 65535, .sender = net_peer_ipv6(v6, net_order16(40000), 0), .sealed = true,
                             .run_id = {0xab, 1}, .seq = ~std::uint64_t{0}};
}  // namespace

// Every padding and the largest frame, read back by us and by a pcapng reader of its own; past either bound the
// record is refused and nothing written.
TEST(KafkaMessage, FramesComeBackByteForByteAndTheBoundsRefuseTheNextOne)
{
    std::vector<bytes> frames;
    kafka_value_clear(&value);
    for (const std::size_t len : {0, 1, 2, 3, 4, 5, 65535, 65535}) {
        frames.push_back(pattern(len, std::uint8_t(len)));
        ASSERT_EQ(kafka_value_add(&value, record_of(frames.back(), std::uint32_t(frames.size()))), 0);
    }
    ASSERT_EQ(kafka_value_parse(value.bytes, value.size, &parsed), kafka_parse_ok);
    ASSERT_EQ(parsed.count, frames.size());
    std::uint8_t head[64];
    bytes file(head, head + pcapng_section_header(head, sizeof head, "t"));
    file.insert(file.end(), head, head + pcapng_interface_description(head, sizeof head, "n", "d"));
    file.insert(file.end(), value.bytes, value.bytes + value.size);
    pcapng_file read;
    ASSERT_EQ(pcapng_read(file.data(), file.size(), &read), pcapng_read_ok);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const tap_record_view& r = parsed.records[i];
        EXPECT_EQ(bytes(r.frame, r.frame + r.caplen), frames[i]) << i;
        EXPECT_EQ(read.packets[i].frame, frames[i]) << i;
        EXPECT_EQ(read.packets[i].timestamp, (1700000001ull + i) * 1000000 + (i + 1) * 1000) << i;
        EXPECT_EQ(r.ts_sec, 1700000001 + i);
        EXPECT_EQ(r.ts_usec, (i + 1) * 1000);
        EXPECT_EQ(r.len, 65535);
    }
    const std::size_t full = value.size;
    EXPECT_EQ(kafka_value_add(&value, record_of(frames.back(), 0)), -1) << "bytes";
    EXPECT_EQ(value.size, full);
    kafka_value_clear(&value);
    for (std::size_t i = 0; i < kafka_max_records; ++i) ASSERT_EQ(kafka_value_add(&value, record_of(frames[0], 0)), 0);
    EXPECT_EQ(kafka_value_add(&value, record_of(frames[0], 0)), -1) << "records";
    bytes many(value.bytes, value.bytes + value.size);  // one more empty block than a value holds
    many.insert(many.end(), value.bytes, value.bytes + 32);
    EXPECT_EQ(kafka_value_parse(many.data(), many.size(), &parsed), kafka_parse_too_many);
}

TEST(KafkaMessage, MalformedValuesAreRefusedWithTheirReason)
{
    struct row { const char* what; std::size_t at; std::uint8_t set; std::size_t keep; kafka_parse_result result; };
    const row rows[] = {  // two blocks: a frame of 3 bytes (36), one of 5 (40), whole (len = caplen)
        {"cut in a head", 0, 6, 36 + 27, kafka_parse_truncated}, {"cut in a tail", 0, 6, 75, kafka_parse_truncated},
        {"another block type", 0, 5, 76, kafka_parse_bad_block}, {"interface 1", 8, 1, 76, kafka_parse_bad_block},
        {"a longer block", 4, 40, 76, kafka_parse_bad_length}, {"lengths differ", 32, 40, 76, kafka_parse_bad_length},
        {"caplen above len", 24, 2, 76, kafka_parse_bad_record}, {"padding", 31, 1, 76, kafka_parse_bad_record},
        {"after 2106", 15, 0xff, 76, kafka_parse_bad_record}, {"caplen above 65535", 22, 1, 76, kafka_parse_bad_record},
    };
    const bytes three = pattern(3, 1), five = pattern(5, 2);
    for (const row& r : rows) {
        kafka_value_clear(&value);
        for (const bytes* f : {&three, &five}) {
            tap_record_view whole = record_of(*f, 0);
            whole.len = whole.caplen;
            kafka_value_add(&value, whole);
        }
        value.bytes[r.at] = r.set;
        EXPECT_EQ(kafka_value_parse(value.bytes, r.keep, &parsed), r.result) << r.what;
    }
}

// The key and headers as documented, read back; every other spelling of a field refused.
TEST(KafkaMessage, OriginsAreSpelledAsDocumentedAndReadBackOnlySo)
{
    kafka_origin_text plain_text, sealed_text;
    kafka_origin_format(plain, &plain_text);
    kafka_origin_format(sealed, &sealed_text);
    EXPECT_STREQ(plain_text.key, "7@192.0.2.1:40000");
    EXPECT_STREQ(plain_text.run_id, "");
    EXPECT_STREQ(sealed_text.key, "65535@[2001:db8::5]:40000");
    EXPECT_STREQ(sealed_text.run_id, "ab010000000000000000000000000000");
    EXPECT_STREQ(sealed_text.seq, "18446744073709551615");
    const kafka_origin_fields good{sealed_text.key, sealed_text.tap_id, sealed_text.sender, sealed_text.run_id, sealed_text.seq};
    kafka_origin o;
    ASSERT_EQ(kafka_origin_parse(good, &o), 0);
    EXPECT_EQ(o.tap_id, 65535);
    EXPECT_TRUE(net_peer_same(o.sender, sealed.sender));
    EXPECT_EQ(bytes(o.run_id, o.run_id + 16), bytes(sealed.run_id, sealed.run_id + 16));
    EXPECT_EQ(o.seq, ~std::uint64_t{0});
    struct row { std::string_view kafka_origin_fields::*field; const char* text; };
    const row bad[] = {{&kafka_origin_fields::key, "65534@[2001:db8::5]:40000"},
        {&kafka_origin_fields::tap_id, nullptr},
        {&kafka_origin_fields::tap_id, "065535"}, {&kafka_origin_fields::tap_id, "65536"},
        {&kafka_origin_fields::sender, "2001:db8::5:40000"}, {&kafka_origin_fields::sender, "[2001:db8::5]"},
        {&kafka_origin_fields::sender, "[2001:db8::5]:65536"}, {&kafka_origin_fields::sender, "[2001:db8:0::5]:40000"},
        {&kafka_origin_fields::run_id, "ab01000000000000000000000000000"}, {&kafka_origin_fields::run_id, nullptr},
        {&kafka_origin_fields::run_id, "AB010000000000000000000000000000"}, {&kafka_origin_fields::seq, "-1"},
        {&kafka_origin_fields::seq, "18446744073709551616"}};
    for (const row& r : bad) {
        kafka_origin_fields f = good;
        f.*r.field = r.text ? std::string_view(r.text) : std::string_view();
        EXPECT_EQ(kafka_origin_parse(f, &o), -1) << (r.text ? r.text : "absent");
    }
}

#if defined(VANTRY_KAFKA)
#include <librdkafka/rdkafka.h>
#include "tests/kafka_mock.h"
#include "collector/kafka_link.h"

namespace {
// Calls step until it says done or ms have passed: whether it was done.
template <typename F> bool within(std::uint64_t ms, F step)
{
    for (const std::uint64_t end = clock_monotonic_ms() + ms; clock_monotonic_ms() < end;)
        if (step()) return true;
    return step();
}

kafka_message_in in;  // large: kept off the stack
}  // namespace

// Both origins and three frames whole; a malformed value counted and skipped; kcat prints the documented key and
// headers.
TEST(KafkaLink, MessagesComeBackWholeAndAnotherClientReadsTheKeysAndHeaders)
{
    mock_cluster k(1);
    kafka_producer* p = nullptr;
    ASSERT_EQ(kafka_producer_open(k.bootstraps.c_str(), "frames", 1 << 20, &p), 0);
    const std::vector<bytes> frames = {pattern(60, 1), pattern(1514, 2), {}};
    kafka_value_clear(&value);
    for (const bytes& f : frames) kafka_value_add(&value, record_of(f, 1));
    const kafka_origin origins[] = {plain, sealed};
    for (const kafka_origin& o : origins) EXPECT_EQ(kafka_produce(p, o, value.bytes, value.size), 0);
    EXPECT_EQ(kafka_produce(p, plain, value.bytes, 3), 0);
    kafka_producer_counts sent;
    EXPECT_EQ(kafka_producer_close(p, 20000, &sent), 0);
    EXPECT_EQ(sent.delivered, 3u);
    kafka_consumer* c = nullptr;
    ASSERT_EQ(kafka_consumer_open(k.bootstraps.c_str(), "frames", "readers", &c), 0);
    for (const kafka_origin& o : origins) {
        ASSERT_TRUE(within(30000, [&] { return kafka_consumer_next(c, 100, &in) == 1; }));
        EXPECT_EQ(in.origin.tap_id, o.tap_id);
        EXPECT_TRUE(net_peer_same(in.origin.sender, o.sender));
        EXPECT_EQ(in.origin.sealed, o.sealed);
        EXPECT_EQ(in.origin.seq, o.seq);
        EXPECT_EQ(bytes(in.origin.run_id, in.origin.run_id + 16), bytes(o.run_id, o.run_id + 16));
        ASSERT_EQ(in.frames.count, frames.size());
        for (std::size_t i = 0; i < frames.size(); ++i)
            EXPECT_EQ(bytes(in.frames.records[i].frame, in.frames.records[i].frame + frames[i].size()), frames[i]);
    }
    EXPECT_TRUE(within(5000, [&] { return kafka_consumer_next(c, 100, &in) == 0 && kafka_consumer_counts_of(c).malformed; }))
        << "the malformed value is skipped and counted";
    EXPECT_EQ(kafka_consumer_counts_of(c).messages, 2u);
    kafka_consumer_close(c);
    // The group committed what it used, the malformed message too: a new member starts after them.
    rd_kafka_conf_t* conf = rd_kafka_conf_new();
    rd_kafka_conf_set(conf, "bootstrap.servers", k.bootstraps.c_str(), nullptr, 0);
    rd_kafka_conf_set(conf, "group.id", "readers", nullptr, 0);
    rd_kafka_t* group = rd_kafka_new(RD_KAFKA_CONSUMER, conf, nullptr, 0);
    rd_kafka_topic_partition_list_t* committed = rd_kafka_topic_partition_list_new(1);
    rd_kafka_topic_partition_list_add(committed, "frames", 0);
    EXPECT_EQ(rd_kafka_committed(group, committed, 20000), RD_KAFKA_RESP_ERR_NO_ERROR);
    EXPECT_EQ(committed->elems[0].offset, 3);
    rd_kafka_topic_partition_list_destroy(committed);
    rd_kafka_destroy(group);
    if (std::system("command -v kcat >/dev/null") != 0)
        GTEST_SKIP() << "kcat is not installed: its reading of the topic is not checked";
    const std::string kcat = "timeout 30 kcat -C -q -e -b " + k.bootstraps + " -t frames -f '%k %h\\n'";
    std::FILE* out = popen(kcat.c_str(), "r");
    ASSERT_NE(out, nullptr);
    char lines[1024] = {};
    std::fread(lines, 1, sizeof lines - 1, out);
    EXPECT_EQ(pclose(out), 0);
    EXPECT_EQ(std::string(lines), "7@192.0.2.1:40000 tap_id=7,sender=192.0.2.1:40000\n"
                                  "65535@[2001:db8::5]:40000 tap_id=65535,sender=[2001:db8::5]:40000,"
                                  "run_id=ab010000000000000000000000000000,seq=18446744073709551615\n"
                                  "7@192.0.2.1:40000 tap_id=7,sender=192.0.2.1:40000\n");
}

// Every broker down: what the buffer holds waits and is delivered when they are back; past it, counted as dropped.
TEST(KafkaLink, AnOutageLosesNothingTheBufferHoldsAndCountsWhatItCouldNot)
{
    mock_cluster k(1, 2);
    kafka_producer* p = nullptr;
    ASSERT_EQ(kafka_producer_open(k.bootstraps.c_str(), "frames", 1 << 20, &p), 0);
    kafka_value_clear(&value);
    kafka_value_add(&value, record_of(pattern(10000, 3), 0));  // the buffer of 1 MiB holds about 100
    ASSERT_EQ(kafka_produce(p, plain, value.bytes, value.size), 0);
    const auto delivered = [&] { kafka_producer_serve(p); return kafka_producer_counts_of(p).delivered; };
    ASSERT_TRUE(within(20000, [&] { return delivered() == 1; }));
    k.set_all(2, false);
    std::uint64_t queued = 1;
    for (int i = 0; i < 200; ++i) queued += kafka_produce(p, plain, value.bytes, value.size) == 0;
    EXPECT_FALSE(within(1000, [&] { return delivered() > 1; })) << "while every broker is down";
    k.set_all(2, true);
    kafka_producer_counts n;
    EXPECT_EQ(kafka_producer_close(p, 30000, &n), 0);
    EXPECT_GT(queued, 50u) << "what the buffer holds";
    EXPECT_LT(queued, 201u) << "past the buffer, messages are dropped";
    EXPECT_EQ(n.delivered, queued);
    EXPECT_EQ(n.dropped, 201 - queued);
    EXPECT_EQ(n.failed + n.lost_at_close, 0u);
}

// Eight sources over four partitions: each message once, each source on one consumer, in order, on both consumers.
TEST(KafkaLink, TwoConsumersOfOneGroupSplitTheSourcesAndKeepEachInOrder)
{
    mock_cluster k(4);
    kafka_consumer* c[2] = {};
    for (kafka_consumer*& one : c) ASSERT_EQ(kafka_consumer_open(k.bootstraps.c_str(), "frames", "pair", &one), 0);
    // The group is joined while polling; a join that meets a rebalance under way can wait out the mock
    // coordinator's session timeout (45 s).
    const auto assigned = [&](int i) { return kafka_consumer_next(c[i], 50, &in) >= 0 ? kafka_consumer_counts_of(c[i]).partitions : 0; };
    EXPECT_TRUE(within(90000, [&] { return assigned(0) + assigned(1) == 4 && assigned(0) && assigned(1); }));
    kafka_producer* p = nullptr;
    ASSERT_EQ(kafka_producer_open(k.bootstraps.c_str(), "frames", 1 << 20, &p), 0);
    for (std::uint8_t n = 0; n < 5; ++n)
        for (std::uint16_t tap = 0; tap < 8; ++tap) {
            kafka_value_clear(&value);
            kafka_value_add(&value, record_of({std::uint8_t(tap), n}, 0));
            kafka_origin o = plain;
            o.tap_id = tap;
            kafka_produce(p, o, value.bytes, value.size);
        }
    EXPECT_EQ(kafka_producer_close(p, 20000), 0);
    std::vector<int> reader(8, -1), next(8, 0), got(2, 0);
    EXPECT_TRUE(within(30000, [&] {
        for (int i : {0, 1})
            if (kafka_consumer_next(c[i], 50, &in) == 1) {
                const int tap = in.frames.records[0].frame[0];
                EXPECT_EQ(reader[tap] == -1 ? reader[tap] = i : reader[tap], i) << "tap " << tap;
                EXPECT_EQ(in.frames.records[0].frame[1], next[tap]++) << "tap " << tap;
                ++got[i];
            }
        return got[0] + got[1] == 40;
    }));
    EXPECT_FALSE(within(500, [&] { return kafka_consumer_next(c[0], 50, &in) + kafka_consumer_next(c[1], 50, &in); }))
        << "no message a second time";
    EXPECT_GT(got[0], 0);
    EXPECT_GT(got[1], 0);
    for (kafka_consumer* one : c) kafka_consumer_close(one);
}
#endif
