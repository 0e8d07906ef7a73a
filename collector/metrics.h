// --metrics: the collector's counters in Prometheus' text exposition, at
// GET /metrics, by a small HTTP server of its own. The receive loop polls
// it between batches: every socket is non-blocking, at most
// metrics_connections_max clients are served at once (any more are closed
// at once), a request's header is bounded, and a client that says nothing
// is dropped after metrics_idle_ms. Everything it holds is allocated when
// it opens, but for the text of an answer, built once per scrape.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/platform.h"
#include "collector/kafka_link.h"
#include "collector/pcap_over_ip.h"
#include "collector/sources.h"

struct collector_stats;
struct collector_run;

inline constexpr int metrics_connections_max = 8;
inline constexpr std::size_t metrics_header_max = 8192;
inline constexpr std::uint64_t metrics_idle_ms = 10000;
inline constexpr std::uint16_t metrics_default_port = 9500;

// What the exposition shows: the source table and the collector's totals.
struct metrics_view {
    const source_table* sources = nullptr;
    const collector_stats* stats = nullptr;
    std::uint64_t files_written = 0;
    bool has_receive_drops = false;  // the system tells them (Linux)
    std::uint64_t receive_drops = 0;
    // With several workers, what each received and how often it waited
    // for the writer (worker_count entries each).
    unsigned worker_count = 0;
    const std::uint64_t* worker_datagrams = nullptr;
    const std::uint64_t* worker_waits = nullptr;
    const pcap_over_ip_counts* pcap_over_ip = nullptr;  // with --pcap-over-ip
    const kafka_producer_counts* kafka = nullptr;       // with --kafka
    const kafka_consumer_counts* kafka_in = nullptr;    // with --from-kafka
};

// The exposition of v into *out (replaced; its memory kept for the next).
void metrics_text(const metrics_view& v, std::string* out);

// A label value as the exposition writes it between quotes: backslash,
// quote and newline escaped. Appended to *out.
void metrics_escape(const char* value, std::string* out);

// What the header of a request (len bytes read so far, of at most
// metrics_header_max) asks for.
enum metrics_request : int {
    metrics_incomplete = 0,  // the header has not ended yet: read on
    metrics_get = 1,         // GET /metrics (a query string allowed)
    metrics_not_found = 2,   // GET of another path: 404
    metrics_bad_method = 3,  // any other method: 405
    metrics_too_long = 4,    // no end within metrics_header_max bytes: 431
    metrics_bad_request = 5, // no request line to read: 400
};
metrics_request metrics_parse_request(const char* data, std::size_t len);

// --metrics [ADDRESS:]PORT: "9500" (127.0.0.1), "0.0.0.0:9500",
// "[::1]:9500". 0 with *out filled; -1 when text is none of these (an
// address is written as one, never a name).
int metrics_parse_address(const char* text, net_peer* out);

struct metrics_server;

// Listens at `at`. 0 with *out the server, which metrics_close releases;
// -1 after an ERROR line.
int metrics_open(const net_peer& at, metrics_server** out);

// Accepts, reads, answers and writes what can be without waiting, and
// closes connections done, idle or in excess. Cheap when called more
// often than every few milliseconds: it then returns at once.
void metrics_serve(metrics_server* m, const collector_run& run);

// Safe with null.
void metrics_close(metrics_server* m);
