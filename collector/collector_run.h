// One collector run: what it holds open, its counts, and its steps, which
// main() takes in order: set-up, receiving, summary, release.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/platform.h"
#include "platform/tuntap.h"
#include "wire/tap_datagram.h"
#include "collector/capture_file.h"
#include "collector/collector_options.h"
#include "collector/kafka_link.h"
#include "collector/pcap_over_ip.h"
#include "collector/metrics.h"
#include "collector/sources.h"
#include "collector/reassembly.h"
#include "collector/streams.h"
#include "collector/workers.h"

struct collector_stats {
    unsigned datagrams = 0;
    unsigned frames = 0;
    unsigned bad_magic = 0;
    unsigned bad_length = 0;
    unsigned bad_record = 0;
    unsigned tuntap_write_errors = 0;
    // Sealed datagrams (-A): not authentic (altered, cut, another key),
    // replayed (a forgotten run's included), too old for the window;
    // streams forgotten to make room; datagrams lost on the way.
    unsigned forged = 0;
    unsigned replayed = 0;
    unsigned too_old = 0;
    unsigned streams_forgotten = 0;
    unsigned stale = 0;  // runs not known, sent past --max-age
    std::int64_t frames_lost = 0;  // frames of sealed runs that never arrived whole
    std::uint64_t lost = 0;
    // Datagrams of the other mode: Speck or clear ones under -A, sealed
    // ones without it.
    unsigned wrong_mode = 0;
};

// What -A adds to a run: the master key (the workers derive the run keys
// from it; the writer, for the streams it adds), and the streams.
struct collector_sealing {
    std::uint8_t* master_key = nullptr;  // sealed_key_alloc: in secure memory
    stream_table streams;
    reassembly_pool pool;  // frames in pieces, put together
    // -s DIR: the file the runs heard are kept in, written once a second
    // when a datagram verified since, and at the end.
    std::string state_path;
    std::string state_text;  // built for each write, its memory kept
    std::uint64_t state_verified = 0;  // streams.verified when last written
    std::uint64_t next_state_ms = 0;
    unsigned state_failures = 0;
};

// The writer's views of the datagram it takes, allocated once at set-up.
struct receive_buffers {
    tap_datagram_view view;
    sealed_body body;
};

// With -A a source's index is its stream's: the two tables hold as many.
static_assert(source_table_default_capacity == stream_table_default_capacity);

// What one collector run holds open, and its counts.
struct collector_run {
    collector_options opt;
    capture_file file;            // open when file.out is set
    tuntap_interface* tuntap = nullptr;  // the TAP interface, if any
    net_socket socket = net_invalid_socket;  // the first worker's
    net_waker waker;              // woken by a stop signal
    worker_pool pool;             // receiving and opening (-j)
    source_table sources;
    receive_buffers* receiving = nullptr;
    collector_stats stats;
    collector_sealing sealing;  // with -A
    std::uint64_t next_stats_ms = 0;  // with -S
    metrics_server* metrics = nullptr;  // with --metrics
    pcap_over_ip* pcap_ip = nullptr;    // with --pcap-over-ip
    // --kafka: the producer, the message being built (allocated once) and
    // where its frames come from; the counts once it is closed.
    kafka_producer* kafka = nullptr;
    kafka_value* kafka_out = nullptr;
    kafka_origin kafka_from;
    kafka_producer_counts kafka_final;
    // --from-kafka: the consumer and the message in hand (allocated once).
    kafka_consumer* consumer = nullptr;
    kafka_message_in* incoming = nullptr;
};

// Now in Unix seconds (UTC), as sources and file names take it.
inline std::int64_t collector_unix_now()
{
    return static_cast<std::int64_t>(clock_unix_us() / 1000000);
}

// Opens what the options ask for, in this order: the capture file (first,
// so that with "-w -" no log line reaches the stream), the key, the socket
// and its receive buffer, the TAP interface. 0; -1 after an ERROR line.
int collector_set_up(collector_run& run);

// Receives until stop is set or the frame count is reached (or the capture
// stream breaks), printing the per-source statistics when stats_requested
// is set and every -S seconds; then ends the capture file with the taps'
// statistics (capture_file_write_statistics).
void collector_receive(collector_run& run, const std::atomic<bool>& stop,
                       std::atomic<bool>& stats_requested);

// One received datagram of n bytes (or a receive result below 0, counted
// as a wrong length), opened by the first worker (so after
// collector_set_up) and taken: collector_take_opened.
bool collector_take_datagram(collector_run& run, const std::uint8_t* datagram, long n,
                             const net_peer& from);

// The writer's part of one datagram a worker opened: decoded (into
// run.receiving), checked against the replay window under -A, given its
// source and written. False once the run is done (the frame count
// reached, or the capture stream broken).
bool collector_take_opened(collector_run& run, received_datagram& d);

// -A with -s: writes the runs heard to the state file when a datagram
// verified since the last time, or whatever the case with force. 0; -1
// after a warning (the first failure) or a verbose line.
int collector_save_state(collector_run& run, bool force);

// With -A: the frames that never arrived whole, those still unfinished
// included.
std::int64_t collector_frames_lost(const collector_run& run);

// The closing summary.
void collector_summary(const collector_run& run);

// Closes whatever collector_set_up opened; safe after a failed set-up.
void collector_release(collector_run& run);
