// --metrics: the exposition text, the request header's reading and the
// small server that answers GET /metrics from the receive loop.
#include "collector/metrics.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <new>
#include <string_view>

#include "collector/collector_log.h"
#include "collector/collector_run.h"

namespace {

// ---- the exposition ---------------------------------------------------------

// A counter of every source: a field of its counts (unsigned or signed),
// or of the statistics its tap sent (shown only for sources that sent
// some).
struct source_series {
    const char* name;
    const char* help;
    std::uint64_t source_counts::*count;
    std::int64_t source_counts::*signed_count;
    std::uint64_t tap_statistics::*tap;
};

constexpr source_series source_table_series[] = {
    {"datagrams", "Datagrams of the source decoded.", &source_counts::datagrams, nullptr, nullptr},
    {"frames", "Frames of the source written.", &source_counts::frames, nullptr, nullptr},
    {"bytes", "Captured frame bytes of the source written.", &source_counts::bytes, nullptr, nullptr},
    {"not_decoded", "Datagrams from the source's sender that did not decode.",
     &source_counts::undecodable, nullptr, nullptr},
    {"replayed", "Sealed datagrams of the source refused as replayed or too old.",
     &source_counts::replayed, nullptr, nullptr},
    {"lost_datagrams", "Sealed datagrams of the source lost on the way (late ones count back).",
     nullptr, &source_counts::lost, nullptr},
    {"frames_lost", "Frames of the source that never arrived whole.", nullptr,
     &source_counts::frames_lost, nullptr},
    {"tap_received", "Frames the tap captured or received by TZSP, as it last told.", nullptr,
     nullptr, &tap_statistics::received},
    {"tap_capture_drops", "Frames the tap's capture library dropped, as it last told.", nullptr,
     nullptr, &tap_statistics::capture_drops},
    {"tap_interface_drops", "Frames the tap's interface dropped, as it last told.", nullptr,
     nullptr, &tap_statistics::interface_drops},
    {"tap_allow_list_left_out", "Frames the tap's allow-list left out, as it last told.", nullptr,
     nullptr, &tap_statistics::allow_list_out},
    {"tap_rate_cap_left_out", "Frames the tap's rate cap left out, as it last told.", nullptr,
     nullptr, &tap_statistics::rate_cap_out},
    {"tap_frames_sent", "Frames the tap put into datagrams, as it last told.", nullptr, nullptr,
     &tap_statistics::frames_sent},
    {"tap_datagrams_sent", "Datagrams the tap sent, as it last told.", nullptr, nullptr,
     &tap_statistics::datagrams_sent},
    {"tap_datagrams_failed", "Datagrams the tap's system would not send, as it last told.",
     nullptr, nullptr, &tap_statistics::datagrams_failed},
};

// The summary's refusals, under one name with the reason as a label.
struct refusal_series {
    const char* reason;
    unsigned collector_stats::*count;
};

constexpr refusal_series refusals[] = {
    {"bad_magic", &collector_stats::bad_magic},
    {"wrong_length", &collector_stats::bad_length},
    {"bad_records", &collector_stats::bad_record},
    {"not_authentic", &collector_stats::forged},
    {"replayed", &collector_stats::replayed},
    {"older_than_window", &collector_stats::too_old},
    {"past_max_age", &collector_stats::stale},
    {"wrong_mode", &collector_stats::wrong_mode},
};

void append_format(std::string* out, const char* fmt, ...) VANTRY_PRINTF(2, 3);
void append_format(std::string* out, const char* fmt, ...)
{
    char line[512];
    va_list args;
    va_start(args, fmt);
    const int n = std::vsnprintf(line, sizeof line, fmt, args);
    va_end(args);
    if (n > 0)
        out->append(line, static_cast<std::size_t>(n) < sizeof line ? static_cast<std::size_t>(n)
                                                                  : sizeof line - 1);
}

// The HELP and TYPE lines of a family; suffix ends its name ("_total").
void family_head(std::string* out, const char* name, const char* suffix, const char* help,
                 const char* type)
{
    append_format(out, "# HELP vantry_collector_%s%s %s\n# TYPE vantry_collector_%s%s %s\n", name,
                  suffix, help, name, suffix, type);
}

void source_labels(const source& s, std::string* out)
{
    char sender[net_peer_text_max];
    net_peer_text(s.sender, sender, sizeof sender);
    append_format(out, "{tap=\"%u\",sender=\"", static_cast<unsigned>(s.tap_id));
    metrics_escape(sender, out);
    out->append("\",run=\"");
    for (std::uint32_t k = 0; s.sealed && k < sealed_run_id_size; ++k)
        append_format(out, "%02x", s.run_id[k]);
    out->append("\"}");
}

void source_lines(const source_table& t, const source_series& series, std::string* out)
{
    for (std::size_t i = 0; i < t.count; ++i) {
        const source& s = t.entries[i];
        if (series.tap && !s.has_tap_statistics)
            continue;
        append_format(out, "vantry_collector_%s_total", series.name);
        source_labels(s, out);
        if (series.signed_count)
            append_format(out, " %" PRId64 "\n", s.counts.*series.signed_count);
        else
            append_format(out, " %" PRIu64 "\n",
                          series.count ? s.counts.*series.count : s.tap.*series.tap);
    }
}

// ---- the server ---------------------------------------------------------------

constexpr std::uint64_t poll_interval_ms = 10;
constexpr int accepts_per_poll = metrics_connections_max * 2;  // the backlog

}  // namespace

struct metrics_connection {
    net_socket s = net_invalid_socket;
    std::uint64_t accepted_ms = 0;  // dropped metrics_idle_ms later, done or not
    std::size_t got = 0;            // header bytes read
    bool answered = false;
    std::string reply;  // status, headers and body, its memory kept
    std::size_t sent = 0;
    char header[metrics_header_max];
};

struct metrics_server {
    net_socket listener = net_invalid_socket;
    metrics_connection connections[metrics_connections_max];
    std::string text;  // the exposition, built per scrape, its memory kept
    std::uint64_t next_poll_ms = 0;
};

void metrics_escape(const char* value, std::string* out)
{
    for (const char* c = value; *c; ++c) {
        if (*c == '\\')
            out->append("\\\\");
        else if (*c == '"')
            out->append("\\\"");
        else if (*c == '\n')
            out->append("\\n");
        else
            out->push_back(*c);
    }
}

namespace {

// A counter family under one label: its head, then a line per value.
struct labelled_value {
    const char* value;
    std::uint64_t n;
};
void labelled_family(std::string* out, const char* family, const char* help, const char* label,
                     std::initializer_list<labelled_value> lines)
{
    family_head(out, family, "", help, "counter");
    for (const labelled_value& l : lines)
        append_format(out, "vantry_collector_%s{%s=\"%s\"} %" PRIu64 "\n", family, label, l.value, l.n);
}

// Each worker's count of what counts points at, under the label worker.
void worker_family(std::string* out, const char* family, const char* help, unsigned count,
                   const std::uint64_t* counts)
{
    family_head(out, family, "", help, "counter");
    for (unsigned k = 0; k < count; ++k)
        append_format(out, "vantry_collector_%s{worker=\"%u\"} %" PRIu64 "\n", family, k, counts[k]);
}

// The workers', PCAP over IP's and Kafka's counters, where the run has them.
void output_lines(const metrics_view& v, std::string* out)
{
    if (v.worker_count > 1) {
        worker_family(out, "worker_datagrams_total", "Datagrams each worker received.", v.worker_count,
                      v.worker_datagrams);
        worker_family(out, "worker_waits_total", "Times a worker waited for the writer to make room.",
                      v.worker_count, v.worker_waits);
    }
    if (const pcap_over_ip_counts* p = v.pcap_over_ip) {
        family_head(out, "pcap_over_ip_clients", "", "PCAP over IP clients connected.", "gauge");
        append_format(out, "vantry_collector_pcap_over_ip_clients %d\n", p->clients);
        labelled_family(out, "pcap_over_ip_total", "PCAP over IP clients and frames, by what became of them.",
                        "what",
                        {{"clients_served", p->clients_served}, {"clients_behind", p->clients_behind},
                         {"clients_refused", p->clients_refused}, {"frames_queued", p->frames_queued},
                         {"frames_dropped", p->frames_dropped}});
    }
    if (const kafka_producer_counts* k = v.kafka)
        labelled_family(out, "kafka_messages_total", "Kafka messages produced, by what became of them.", "state",
                        {{"produced", k->produced}, {"delivered", k->delivered}, {"dropped", k->dropped},
                         {"failed", k->failed}});
    if (const kafka_consumer_counts* k = v.kafka_in) {
        labelled_family(out, "kafka_consumed_total", "Kafka messages consumed, by what became of them.", "state",
                        {{"written", k->messages}, {"malformed", k->malformed}});
        family_head(out, "kafka_partitions", "", "Partitions of the topic this member reads.", "gauge");
        append_format(out, "vantry_collector_kafka_partitions %" PRIu32 "\n", k->partitions);
    }
}

}  // namespace

void metrics_text(const metrics_view& v, std::string* out)
{
    out->clear();
    for (const source_series& series : source_table_series) {
        family_head(out, series.name, "_total", series.help, "counter");
        source_lines(*v.sources, series, out);
    }
    family_head(out, "sources", "", "Sources in the table.", "gauge");
    append_format(out, "vantry_collector_sources %zu\n", v.sources->count);
    family_head(out, "datagrams_received_total", "", "Datagrams received, used or not.", "counter");
    append_format(out, "vantry_collector_datagrams_received_total %u\n", v.stats->datagrams);
    family_head(out, "files_written_total", "", "Capture files opened, standard output included.",
                "counter");
    append_format(out, "vantry_collector_files_written_total %" PRIu64 "\n", v.files_written);
    if (v.has_receive_drops) {
        family_head(out, "receive_drops_total", "",
                    "Datagrams the system dropped as the receive buffer was full.", "counter");
        append_format(out, "vantry_collector_receive_drops_total %" PRIu64 "\n", v.receive_drops);
    }
    family_head(out, "refused_total", "", "Datagrams refused or not decoded, by reason.", "counter");
    for (const refusal_series& r : refusals)
        append_format(out, "vantry_collector_refused_total{reason=\"%s\"} %u\n", r.reason,
                      v.stats->*r.count);
    append_format(out, "vantry_collector_refused_total{reason=\"table_full\"} %" PRIu64 "\n",
                  v.sources->refused_datagrams);
    output_lines(v, out);
}

metrics_request metrics_parse_request(const char* data, std::size_t len)
{
    const std::string_view head(data, len);
    if (head.find("\r\n\r\n") == std::string_view::npos && head.find("\n\n") == std::string_view::npos)
        return len >= metrics_header_max ? metrics_too_long : metrics_incomplete;
    const std::string_view line = head.substr(0, head.find_first_of("\r\n"));
    const std::size_t sp1 = line.find(' ');
    const std::size_t sp2 = sp1 == std::string_view::npos ? sp1 : line.find(' ', sp1 + 1);
    if (sp2 == std::string_view::npos || line.substr(sp2 + 1).substr(0, 5) != "HTTP/")
        return metrics_bad_request;
    if (line.substr(0, sp1) != "GET")
        return metrics_bad_method;
    const std::string_view target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    return target.substr(0, target.find('?')) == "/metrics" ? metrics_get : metrics_not_found;
}

int metrics_parse_address(const char* text, net_peer* out)
{
    std::string host = "127.0.0.1";
    const char* port_text = text;
    if (const char* colon = std::strrchr(text, ':')) {
        host.assign(text, static_cast<std::size_t>(colon - text));
        port_text = colon + 1;
        if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
            host = host.substr(1, host.size() - 2);
        else if (host.find(':') != std::string::npos)
            return -1;  // IPv6 without brackets: where its port starts is a guess
    }
    char* end = nullptr;
    const unsigned long port = std::strtoul(port_text, &end, 10);
    if (*port_text < '0' || *port_text > '9' || *end || port > 65535)
        return -1;
    return net_address_literal(host.c_str(), static_cast<std::uint16_t>(port), out);
}

namespace {

void close_connection(metrics_connection& c)
{
    net_close(c.s);
    c.s = net_invalid_socket;
}

void set_reply(metrics_connection& c, const char* status, const char* extra, const std::string& body)
{
    c.reply.clear();
    append_format(&c.reply,
                  "HTTP/1.1 %s\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\n"
                  "Content-Length: %zu\r\n%sConnection: close\r\n\r\n",
                  status, body.size(), extra);
    c.reply += body;
    c.answered = true;
}

void answer(metrics_server* m, metrics_connection& c, metrics_request r, const collector_run& run)
{
    switch (r) {
    case metrics_get: {
        metrics_view v;
        v.sources = &run.sources;
        v.stats = &run.stats;
        v.files_written = run.file.files_opened;
        v.has_receive_drops = net_receive_drops(run.socket, &v.receive_drops) == 0;
        // Workers with sockets of their own: every socket's drops.
        for (unsigned k = 1; v.has_receive_drops && k < run.pool.count; ++k) {
            std::uint64_t more = 0;
            if (run.pool.workers[k].own_socket && net_receive_drops(run.pool.workers[k].socket, &more) == 0)
                v.receive_drops += more;
        }
        std::uint64_t datagrams[collector_workers_max], waits[collector_workers_max];
        v.worker_count = run.pool.count;
        for (unsigned k = 0; k < run.pool.count; ++k) {
            datagrams[k] = run.pool.workers[k].counts.datagrams.load(std::memory_order_relaxed);
            waits[k] = run.pool.workers[k].counts.ring_full.load(std::memory_order_relaxed);
        }
        v.worker_datagrams = datagrams;
        v.worker_waits = waits;
        pcap_over_ip_counts pcap;
        if (run.pcap_ip)
            v.pcap_over_ip = &(pcap = pcap_over_ip_totals(run.pcap_ip));
        kafka_producer_counts out_counts;
        if (run.kafka)
            v.kafka = &(out_counts = kafka_producer_counts_of(run.kafka));
        kafka_consumer_counts in_counts;
        if (run.consumer)
            v.kafka_in = &(in_counts = kafka_consumer_counts_of(run.consumer));
        metrics_text(v, &m->text);
        set_reply(c, "200 OK", "", m->text);
        break;
    }
    case metrics_not_found:
        set_reply(c, "404 Not Found", "", "Not found: the metrics are at /metrics\n");
        break;
    case metrics_bad_method:
        set_reply(c, "405 Method Not Allowed", "Allow: GET\r\n", "Only GET /metrics is answered\n");
        break;
    case metrics_too_long:
        set_reply(c, "431 Request Header Fields Too Large", "",
                  "The request header is longer than 8192 bytes\n");
        break;
    default:
        set_reply(c, "400 Bad Request", "", "Not an HTTP request: GET /metrics HTTP/1.1\n");
        break;
    }
}

// Reads what the client sent, then writes what the answer still owes.
void step(metrics_server* m, metrics_connection& c, const collector_run& run, std::uint64_t now)
{
    if (now - c.accepted_ms >= metrics_idle_ms) {
        close_connection(c);
        return;
    }
    if (!c.answered) {
        const long r = net_tcp_read(c.s, c.header + c.got, sizeof c.header - c.got);
        if (r == 0 || r == -1) {
            close_connection(c);
            return;
        }
        if (r == net_recv_nothing)
            return;
        c.got += static_cast<std::size_t>(r);
        const metrics_request req = metrics_parse_request(c.header, c.got);
        if (req == metrics_incomplete)
            return;
        answer(m, c, req, run);
    }
    const long w = net_tcp_write(c.s, c.reply.data() + c.sent, c.reply.size() - c.sent);
    if (w >= 0)
        c.sent += static_cast<std::size_t>(w);
    if (w >= 0 && c.sent == c.reply.size()) {
        // What the client sent past the header (a 431's rest) is read
        // first, a bounded amount: a socket closed with bytes unread
        // resets the connection, and the client may lose the answer.
        char rest[1024];
        for (int k = 0; k < 16 && net_tcp_read(c.s, rest, sizeof rest) > 0; ++k) {
        }
    }
    if (w < 0 || c.sent == c.reply.size())
        close_connection(c);
}

}  // namespace

int metrics_open(const net_peer& at, metrics_server** out)
{
    *out = nullptr;
    char where[net_peer_text_max];
    net_peer_text(at, where, sizeof where);
    metrics_server* m = new (std::nothrow) metrics_server;
    if (!m) {
        COLLECTOR_LOG(trace_level_error, "Unable to serve metrics at %s: out of memory", where);
        return -1;
    }
    m->listener = net_tcp_listen(at, accepts_per_poll);
    if (m->listener == net_invalid_socket) {
        const int e = net_last_error();
        COLLECTOR_LOG(trace_level_error,
                      "Unable to serve metrics at %s %d/%s: give --metrics a free port on an "
                      "address of this host",
                      where, e, os_error_text(e));
        delete m;
        return -1;
    }
    net_peer bound = at;
    bound.port = net_order16(net_local_port(m->listener));
    net_peer_text(bound, where, sizeof where);
    COLLECTOR_LOG(trace_level_normal, "Metrics at http://%s/metrics", where);
    *out = m;
    return 0;
}

void metrics_serve(metrics_server* m, const collector_run& run)
{
    const std::uint64_t now = clock_monotonic_ms();
    if (!m || now < m->next_poll_ms)
        return;
    m->next_poll_ms = now + poll_interval_ms;
    // The waiting connections are taken (as many as the backlog holds, so
    // that a flood of them cannot keep the loop here): the ones past the
    // bound are closed at once, not left in the backlog to wait.
    for (int k = 0; k < accepts_per_poll; ++k) {
        const net_socket s = net_tcp_accept(m->listener);
        if (s == net_invalid_socket)
            break;
        metrics_connection* free_slot = nullptr;
        for (metrics_connection& c : m->connections)
            if (c.s == net_invalid_socket && !free_slot)
                free_slot = &c;
        if (!free_slot) {
            net_close(s);
            continue;
        }
        free_slot->s = s;
        free_slot->accepted_ms = now;
        free_slot->got = 0;
        free_slot->answered = false;
        free_slot->sent = 0;
    }
    for (metrics_connection& c : m->connections)
        if (c.s != net_invalid_socket)
            step(m, c, run, now);
}

void metrics_close(metrics_server* m)
{
    if (!m)
        return;
    for (metrics_connection& c : m->connections)
        close_connection(c);
    net_close(m->listener);
    delete m;
}
