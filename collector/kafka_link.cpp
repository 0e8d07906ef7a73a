// librdkafka behind kafka_link.h. Built only where CMake found the library
// (VANTRY_KAFKA); kafka_link_none.cpp stands in elsewhere.
#include "collector/kafka_link.h"
#include "collector/collector_log.h"

#include <librdkafka/rdkafka.h>

#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

// The library logs from its own threads, and a broker that cannot be
// reached is one line per attempt per broker: a few lines per window are
// written, and how many were left out is told with the next one.
constexpr std::uint64_t log_window_ms = 30000;
constexpr unsigned log_lines_per_window = 5;

struct log_limit {
    std::mutex lock;
    std::uint64_t window_start = 0;
    unsigned lines = 0;
    unsigned left_out = 0;
};

void log_limited(log_limit& l, int level, const char* what, const char* text)
{
    const std::lock_guard<std::mutex> hold(l.lock);
    const std::uint64_t now = clock_monotonic_ms();
    if (now - l.window_start >= log_window_ms) {
        if (l.left_out > 0)
            COLLECTOR_LOG(trace_level_warning, "Kafka: %u more library lines in %llu s not shown", l.left_out,
                          static_cast<unsigned long long>(log_window_ms / 1000));
        l.window_start = now;
        l.lines = 0;
        l.left_out = 0;
    }
    if (l.lines >= log_lines_per_window) {
        ++l.left_out;
        return;
    }
    ++l.lines;
    COLLECTOR_LOG(level, "Kafka %s: %s", what, text);
}

// syslog levels: the library's own failures and a broker's are warnings,
// since the collector goes on (the buffer takes what waits); the rest
// is detail.
int trace_level_of(int syslog_level)
{
    return syslog_level <= 2 ? trace_level_error : syslog_level <= 4 ? trace_level_warning : trace_level_verbose;
}

struct conf_guard {
    rd_kafka_conf_t* conf = rd_kafka_conf_new();
    ~conf_guard()
    {
        if (conf)
            rd_kafka_conf_destroy(conf);
    }
    conf_guard() = default;
    conf_guard(const conf_guard&) = delete;
    conf_guard& operator=(const conf_guard&) = delete;
};

// Applies name=value pairs in order. 0; -1 after an ERROR line naming the
// setting the library refused and why.
int apply_settings(rd_kafka_conf_t* conf, const char* const (*settings)[2], std::size_t n)
{
    char why[512];
    for (std::size_t i = 0; i < n; ++i) {
        if (rd_kafka_conf_set(conf, settings[i][0], settings[i][1], why, sizeof why) != RD_KAFKA_CONF_OK) {
            COLLECTOR_LOG(trace_level_error, "Kafka setting %s=%s refused: %s", settings[i][0], settings[i][1],
                          why);
            return -1;
        }
    }
    return 0;
}

}  // namespace

struct kafka_producer {
    rd_kafka_t* rk = nullptr;
    rd_kafka_topic_t* topic = nullptr;
    kafka_producer_counts counts;
    log_limit log;
};

struct kafka_consumer {
    rd_kafka_t* rk = nullptr;
    rd_kafka_message_t* held = nullptr;  // handed over last: its frames point into it
    kafka_consumer_counts counts;
    log_limit log;
};

namespace {

template <typename T>
void log_cb(const rd_kafka_t* rk, int level, const char* facility, const char* text)
{
    if (auto* owner = static_cast<T*>(rd_kafka_opaque(rk)))
        log_limited(owner->log, trace_level_of(level), facility, text);
}

template <typename T>
void error_cb(rd_kafka_t*, int err, const char* reason, void* opaque)
{
    if (err == RD_KAFKA_RESP_ERR__TRANSPORT)
        return;  // the library's own log line told it already
    const bool fatal = err == RD_KAFKA_RESP_ERR__FATAL;
    log_limited(static_cast<T*>(opaque)->log, fatal ? trace_level_error : trace_level_warning,
                fatal ? "fatal error" : "error", reason);
}

// A handle of type for owner: settings applied, the library's log and
// errors routed to owner's, and extra(conf) for what the type adds. Null
// after an ERROR line.
template <typename T>
rd_kafka_t* new_handle(T* owner, rd_kafka_type_t type, const char* const (*settings)[2], std::size_t n,
                       void (*extra)(rd_kafka_conf_t*), const char* brokers)
{
    conf_guard c;
    if (apply_settings(c.conf, settings, n) != 0)
        return nullptr;
    rd_kafka_conf_set_opaque(c.conf, owner);
    rd_kafka_conf_set_log_cb(c.conf, log_cb<T>);
    rd_kafka_conf_set_error_cb(c.conf, error_cb<T>);
    extra(c.conf);
    char why[512];
    rd_kafka_t* rk = rd_kafka_new(type, c.conf, why, sizeof why);
    if (!rk) {
        COLLECTOR_LOG(trace_level_error, "Kafka %s for %s not started: %s",
                      type == RD_KAFKA_PRODUCER ? "producer" : "consumer", brokers, why);
        return nullptr;
    }
    c.conf = nullptr;  // the handle owns it now
    return rk;
}

void delivered_cb(rd_kafka_t*, const rd_kafka_message_t* m, void* opaque)
{
    auto* p = static_cast<kafka_producer*>(opaque);
    if (m->err == RD_KAFKA_RESP_ERR_NO_ERROR) {
        ++p->counts.delivered;
        return;
    }
    // Purged at the close: already told, and counted, as lost there.
    if (m->err == RD_KAFKA_RESP_ERR__PURGE_QUEUE || m->err == RD_KAFKA_RESP_ERR__PURGE_INFLIGHT)
        return;
    ++p->counts.failed;
    log_limited(p->log, trace_level_warning, "delivery failed", rd_kafka_err2str(m->err));
}

}  // namespace

int kafka_producer_open(const char* brokers, const char* topic, std::size_t buffer_bytes,
                        kafka_producer** out)
{
    char kbytes[24], timeout[24];
    std::snprintf(kbytes, sizeof kbytes, "%zu", buffer_bytes / 1024 ? buffer_bytes / 1024 : 1);
    std::snprintf(timeout, sizeof timeout, "%d", kafka_message_timeout_ms);
    // The byte bound is the one that counts: the message count bound is
    // put at its highest.
    const char* const settings[][2] = {
        {"bootstrap.servers", brokers},      {"enable.idempotence", "true"},
        {"acks", "all"},                     {"compression.type", "lz4"},
        {"queue.buffering.max.kbytes", kbytes}, {"queue.buffering.max.messages", "2147483647"},
        {"message.timeout.ms", timeout},     {"log.connection.close", "false"},
    };
    auto* p = new kafka_producer;
    p->rk = new_handle(p, RD_KAFKA_PRODUCER, settings, std::size(settings),
                       [](rd_kafka_conf_t* conf) { rd_kafka_conf_set_dr_msg_cb(conf, delivered_cb); }, brokers);
    if (!p->rk) {
        delete p;
        return -1;
    }
    p->topic = rd_kafka_topic_new(p->rk, topic, nullptr);
    if (!p->topic) {
        COLLECTOR_LOG(trace_level_error, "Kafka topic '%s' refused: %s", topic,
                      rd_kafka_err2str(rd_kafka_last_error()));
        rd_kafka_destroy(p->rk);
        delete p;
        return -1;
    }
    *out = p;
    return 0;
}

int kafka_produce(kafka_producer* p, const kafka_origin& o, const std::uint8_t* value, std::size_t len)
{
    kafka_origin_text t;
    kafka_origin_format(o, &t);
    // The headers differ in number: the two of every message, then a
    // sealed run's two, through the same call.
    const char* run_id = o.sealed ? kafka_header_run_id : nullptr;
    const char* seq = o.sealed ? kafka_header_seq : nullptr;
    rd_kafka_headers_t* h = rd_kafka_headers_new(4);
    rd_kafka_header_add(h, kafka_header_tap_id, -1, t.tap_id, -1);
    rd_kafka_header_add(h, kafka_header_sender, -1, t.sender, -1);
    if (run_id) {
        rd_kafka_header_add(h, run_id, -1, t.run_id, -1);
        rd_kafka_header_add(h, seq, -1, t.seq, -1);
    }
    const rd_kafka_resp_err_t err = rd_kafka_producev(
        p->rk, RD_KAFKA_V_RKT(p->topic), RD_KAFKA_V_MSGFLAGS(RD_KAFKA_MSG_F_COPY),
        RD_KAFKA_V_KEY(t.key, std::strlen(t.key)), RD_KAFKA_V_VALUE(const_cast<std::uint8_t*>(value), len),
        RD_KAFKA_V_HEADERS(h), RD_KAFKA_V_END);
    if (err == RD_KAFKA_RESP_ERR_NO_ERROR) {
        ++p->counts.produced;
        return 0;
    }
    rd_kafka_headers_destroy(h);  // still ours when the call failed
    if (err == RD_KAFKA_RESP_ERR__QUEUE_FULL) {
        ++p->counts.dropped;
        return -1;
    }
    ++p->counts.failed;
    log_limited(p->log, trace_level_warning, "message refused", rd_kafka_err2str(err));
    return -1;
}

void kafka_producer_serve(kafka_producer* p)
{
    rd_kafka_poll(p->rk, 0);
}

kafka_producer_counts kafka_producer_counts_of(const kafka_producer* p)
{
    return p->counts;
}

int kafka_producer_close(kafka_producer* p, unsigned flush_ms, kafka_producer_counts* final)
{
    if (!p)
        return 0;
    rd_kafka_flush(p->rk, static_cast<int>(flush_ms));
    kafka_producer_counts& n = p->counts;
    n.lost_at_close = n.produced - n.delivered - n.failed;
    if (n.lost_at_close > 0) {
        COLLECTOR_LOG(trace_level_warning,
                      "Kafka: %llu messages not delivered within %u ms of the end: they are lost",
                      static_cast<unsigned long long>(n.lost_at_close), flush_ms);
        // Given up now, and their reports taken, so that the handle goes
        // without waiting for them.
        rd_kafka_purge(p->rk, RD_KAFKA_PURGE_F_QUEUE | RD_KAFKA_PURGE_F_INFLIGHT);
        rd_kafka_poll(p->rk, 0);
    }
    const int result = n.lost_at_close > 0 ? -1 : 0;
    if (final)
        *final = n;
    rd_kafka_topic_destroy(p->topic);
    rd_kafka_destroy(p->rk);
    delete p;
    return result;
}

namespace {

// The message's origin and frames into *m. 0; -1 when any of it is not as
// kafka_message.h lays it out.
int read_message(const rd_kafka_message_t* msg, kafka_message_in* m)
{
    rd_kafka_headers_t* h = nullptr;
    if (rd_kafka_message_headers(msg, &h) != RD_KAFKA_RESP_ERR_NO_ERROR)
        return -1;
    const auto header = [h](const char* name) {
        const void* v = nullptr;
        std::size_t n = 0;
        if (rd_kafka_header_get_last(h, name, &v, &n) != RD_KAFKA_RESP_ERR_NO_ERROR || !v)
            return std::string_view();
        return std::string_view(static_cast<const char*>(v), n);
    };
    kafka_origin_fields f;
    f.key = msg->key ? std::string_view(static_cast<const char*>(msg->key), msg->key_len) : std::string_view();
    f.tap_id = header(kafka_header_tap_id);
    f.sender = header(kafka_header_sender);
    f.run_id = header(kafka_header_run_id);
    f.seq = header(kafka_header_seq);
    if (kafka_origin_parse(f, &m->origin) != 0)
        return -1;
    const auto* value = static_cast<const std::uint8_t*>(msg->payload);
    if (kafka_value_parse(value, value ? msg->len : 0, &m->frames) != kafka_parse_ok)
        return -1;
    m->partition = msg->partition;
    m->offset = msg->offset;
    return 0;
}

// The message is used: its offset goes with the next commit.
void release(rd_kafka_message_t* msg)
{
    rd_kafka_offset_store(msg->rkt, msg->partition, msg->offset);
    rd_kafka_message_destroy(msg);
}

// The group's decisions, logged: which share of the topic this member
// reads. Under auto commit the library commits what was stored before a
// share is taken away, so that the next member goes on from there.
void rebalance_cb(rd_kafka_t* rk, rd_kafka_resp_err_t err, rd_kafka_topic_partition_list_t* parts, void*)
{
    if (err == RD_KAFKA_RESP_ERR__ASSIGN_PARTITIONS) {
        COLLECTOR_LOG(trace_level_normal, "Kafka: %d partitions assigned", parts->cnt);
        rd_kafka_assign(rk, parts);
    } else {
        COLLECTOR_LOG(trace_level_normal, "Kafka: %d partitions revoked", parts->cnt);
        rd_kafka_assign(rk, nullptr);
    }
}

}  // namespace

int kafka_consumer_open(const char* brokers, const char* topic, const char* group, kafka_consumer** out)
{
    // Offsets are stored by hand, once a message is used, and committed
    // with the next automatic commit.
    const char* const settings[][2] = {
        {"bootstrap.servers", brokers},      {"group.id", group},
        {"enable.auto.commit", "true"},      {"enable.auto.offset.store", "false"},
        {"auto.offset.reset", "earliest"},   {"log.connection.close", "false"},
        // What is fetched ahead of the writer: the library's default, named.
        {"queued.max.messages.kbytes", "65536"},
    };
    auto* k = new kafka_consumer;
    k->rk = new_handle(k, RD_KAFKA_CONSUMER, settings, std::size(settings),
                       [](rd_kafka_conf_t* conf) { rd_kafka_conf_set_rebalance_cb(conf, rebalance_cb); }, brokers);
    if (!k->rk) {
        delete k;
        return -1;
    }
    rd_kafka_poll_set_consumer(k->rk);
    rd_kafka_topic_partition_list_t* topics = rd_kafka_topic_partition_list_new(1);
    rd_kafka_topic_partition_list_add(topics, topic, RD_KAFKA_PARTITION_UA);
    const rd_kafka_resp_err_t err = rd_kafka_subscribe(k->rk, topics);
    rd_kafka_topic_partition_list_destroy(topics);
    if (err != RD_KAFKA_RESP_ERR_NO_ERROR) {
        COLLECTOR_LOG(trace_level_error, "Kafka topic '%s' cannot be subscribed to: %s", topic,
                      rd_kafka_err2str(err));
        rd_kafka_destroy(k->rk);
        delete k;
        return -1;
    }
    *out = k;
    return 0;
}

int kafka_consumer_next(kafka_consumer* c, long timeout_ms, kafka_message_in* m)
{
    if (c->held) {
        release(c->held);
        c->held = nullptr;
    }
    const std::uint64_t end = clock_monotonic_ms() + static_cast<std::uint64_t>(timeout_ms > 0 ? timeout_ms : 0);
    for (;;) {
        const std::uint64_t now = clock_monotonic_ms();
        rd_kafka_message_t* msg = rd_kafka_consumer_poll(c->rk, now < end ? static_cast<int>(end - now) : 0);
        if (!msg)
            return 0;
        if (msg->err == RD_KAFKA_RESP_ERR_NO_ERROR && read_message(msg, m) == 0) {
            ++c->counts.messages;
            c->held = msg;
            return 1;
        }
        if (msg->err == RD_KAFKA_RESP_ERR_NO_ERROR) {
            ++c->counts.malformed;
            release(msg);  // skipped for good: never read again
        } else {
            log_limited(c->log, trace_level_warning, "consumer", rd_kafka_message_errstr(msg));
            rd_kafka_message_destroy(msg);
            char why[512];
            if (rd_kafka_fatal_error(c->rk, why, sizeof why) != RD_KAFKA_RESP_ERR_NO_ERROR) {
                COLLECTOR_LOG(trace_level_error, "Kafka consumer cannot go on: %s", why);
                return -1;
            }
        }
        if (clock_monotonic_ms() >= end)
            return 0;
    }
}

kafka_consumer_counts kafka_consumer_counts_of(const kafka_consumer* c)
{
    kafka_consumer_counts n = c->counts;
    rd_kafka_topic_partition_list_t* assigned = nullptr;
    if (rd_kafka_assignment(c->rk, &assigned) == RD_KAFKA_RESP_ERR_NO_ERROR) {
        n.partitions = static_cast<std::uint32_t>(assigned->cnt);
        rd_kafka_topic_partition_list_destroy(assigned);
    }
    return n;
}

void kafka_consumer_close(kafka_consumer* c)
{
    if (!c)
        return;
    if (c->held)
        release(c->held);
    rd_kafka_consumer_close(c->rk);
    rd_kafka_destroy(c->rk);
    delete c;
}
