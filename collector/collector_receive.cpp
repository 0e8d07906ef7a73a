// Receiving: batches of datagrams, each decrypted, decoded, given its
// source and written; statistics between batches.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "wire/speck.h"
#include "wire/sealed_datagram.h"
#include "wire/tap_datagram.h"
#include "platform/platform.h"
#include "collector/collector_log.h"
#include "collector/collector_run.h"

namespace {

// The source a refused datagram is counted for: without -A the first from
// its sender; with -A only a stream the datagram named (a replay), as a
// sender's address proves nothing there.
long refused_source(const collector_run& run, const net_peer& from, long stream)
{
    return run.opt.authenticated ? stream : source_find_sender(run.sources, from);
}

// Counts a datagram that is not used, in the summary's counter and in the
// field of source i (none when -1). The first of each kind is worth a
// warning; a stream of them (a wrong key) would drown everything else.
void count_refusal(collector_run& run, unsigned* counter, std::uint64_t source_counts::*field,
                   const char* verdict, long n, long i, const net_peer& from, const char* why)
{
    ++*counter;
    if (i >= 0 && static_cast<std::size_t>(i) < run.sources.count)
        ++(run.sources.entries[i].counts.*field);
    int level = *counter == 1 ? trace_level_warning : trace_level_verbose;
    if (level > trace_verbosity)
        return;
    char sender[net_peer_text_max];
    net_peer_text(from, sender, sizeof sender);
    COLLECTOR_LOG(level, "Datagram of %ld bytes from %s %s: %s", n, sender, verdict, why);
}

void count_undecodable(collector_run& run, tap_decode_result r, long n, const net_peer& from)
{
    collector_stats& stats = run.stats;
    unsigned* counter = r == tap_decode_bad_magic    ? &stats.bad_magic
                        : r == tap_decode_bad_length ? &stats.bad_length
                                                     : &stats.bad_record;
    count_refusal(run, counter, &source_counts::undecodable, "not decoded", n,
                  refused_source(run, from, -1), from, tap_decode_text(r));
}

// The window's verdict on a known stream's number, as a refusal; null
// when the number is fresh.
unsigned* window_refusal(collector_stats& st, window_verdict v, const char** why)
{
    *why = v == window_replayed ? "replayed" : "older than the replay window";
    return v == window_replayed ? &st.replayed : v == window_too_old ? &st.too_old : nullptr;
}

// A run the collector does not know is taken only from datagrams sent
// within --max-age of its clock, either way: a recording is refused once
// it is that old, whatever the collector remembers. Null when fresh, else
// why not, in why (cap bytes).
const char* stale_reason(const collector_run& run, std::uint64_t sent_us, char* why, std::size_t cap)
{
    const std::int64_t ahead_us = static_cast<std::int64_t>(sent_us - clock_unix_us());
    const std::int64_t limit_us = static_cast<std::int64_t>(run.opt.max_age_seconds) * 1000000;
    if (ahead_us <= limit_us && ahead_us >= -limit_us)
        return nullptr;
    const std::int64_t off_s = (ahead_us < 0 ? -ahead_us : ahead_us) / 1000000;
    std::snprintf(why, cap,
                  "a run not heard before, sent %lld s %s the collector's clock, past --max-age "
                  "(%lu s): a replay, or clocks apart",
                  static_cast<long long>(off_s), ahead_us < 0 ? "behind" : "ahead of",
                  run.opt.max_age_seconds);
    return why;
}

// What the writer learns of a sealed datagram a worker opened: its header,
// its stream (-1 when not known), and for a stream not known whether its
// run was retired, with the highest number it had.
struct sealed_lookup {
    sealed_header_view header;
    long stream = -1;
    bool retired = false;
    std::uint64_t retired_top = 0;
};

// The worker's verdict on a sealed datagram, counted when it was refused.
// True when it was opened.
bool sealed_opened(collector_run& run, const received_datagram& d)
{
    collector_stats& st = run.stats;
    switch (d.verdict) {
    case open_ok:
        return true;
    case open_header_refused:
        count_refusal(run, d.header_result == sealed_too_short ? &st.bad_length : &st.wrong_mode,
                      &source_counts::undecodable, "refused", d.len, -1, d.from,
                      sealed_text(d.header_result));
        return false;
    case open_forged:
        count_refusal(run, &st.forged, &source_counts::undecodable, "refused", d.len, -1, d.from,
                      sealed_text(sealed_forged));
        return false;
    default:
        COLLECTOR_LOG(trace_level_warning, "Decryption error");
        return false;
    }
}

// Step 1, for a datagram that verified: its stream, or whether its run was
// retired. A known stream's window, a retired run's highest number and,
// for a run not known, --max-age refuse it here. 0 to go on; -1 when it
// was refused (counted).
int look_up_stream(collector_run& run, const received_datagram& d, sealed_lookup* found)
{
    collector_sealing& s = run.sealing;
    collector_stats& st = run.stats;
    sealed_header_view& h = found->header;
    sealed_read_header(d.data, static_cast<std::size_t>(d.len), &h);
    found->stream = stream_find(s.streams, h.tap_id, h.run_id);
    found->retired = found->stream < 0 &&
                     stream_retired(s.streams, h.tap_id, h.run_id, &found->retired_top);
    if (found->stream >= 0 || (found->retired && h.seq <= found->retired_top)) {
        // A forgotten run's datagrams up to its highest number are replays:
        // refused, as the window's are.
        const window_verdict v = found->stream >= 0
                                     ? window_check(s.streams.entries[found->stream], h.seq)
                                     : window_replayed;
        const char* why = nullptr;
        if (unsigned* counter = window_refusal(st, v, &why)) {
            count_refusal(run, counter, &source_counts::replayed, "refused", d.len, found->stream,
                          d.from, why);
            return -1;
        }
        return 0;
    }
    char why[160];
    if (!found->retired && stale_reason(run, h.sent_us, why, sizeof why)) {
        count_refusal(run, &st.stale, &source_counts::replayed, "refused", d.len, -1, d.from, why);
        return -1;
    }
    return 0;
}

// Step 2: its number marked seen, or its stream added (a full table
// forgetting the one heard least recently), and losses counted. The
// stream's index, with *lost the change of the lost count; -1 when the
// table has no room at all or the run key cannot be had.
long record_verified(collector_run& run, const sealed_lookup& found, std::int64_t* lost, bool* newest)
{
    collector_sealing& s = run.sealing;
    collector_stats& st = run.stats;
    const sealed_header_view& h = found.header;
    bool forgot = false;
    long i = found.stream;
    *newest = i < 0 || h.seq > s.streams.entries[i].top;
    if (i >= 0) {
        *lost = window_mark(s.streams.entries[i], h.seq);
    } else {
        std::uint8_t run_key[sealed_key_size];
        i = sealed_run_key(s.master_key, h.run_id, run_key) != 0
                ? -1
                : stream_add(&s.streams, h.tap_id, h.run_id, run_key, h.seq, &forgot,
                             found.retired ? &found.retired_top : nullptr);
        sealed_wipe(run_key, sizeof run_key);
        if (i < 0)
            return -1;
        // A run that came back: the numbers it skipped while forgotten.
        *lost = static_cast<std::int64_t>(s.streams.entries[i].lost);
    }
    stream_heard(&s.streams, i, h.sent_us);
    if (forgot && st.streams_forgotten++ == 0)
        COLLECTOR_LOG(trace_level_warning,
                      "More than %zu tap runs: the least recently heard ones are forgotten",
                      s.streams.capacity);
    st.lost += static_cast<std::uint64_t>(*lost);
    return i;
}

// What an opened sealed datagram tells its source: the stream (the
// source's index), whether the stream is new, its run id.
struct sealed_origin {
    long stream = -1;
    bool added = false;
    bool newest = false;  // numbered above every datagram of the stream before
    sealed_header_view header;
    std::uint8_t run_id[sealed_run_id_size] = {};
};

// -A: a datagram a worker verified and decrypted, held to the replay
// window; a number is marked seen only once its datagram verified. True
// with the change of the lost count and its origin; false when it was
// refused (counted).
bool accept_sealed(collector_run& run, const received_datagram& d, std::int64_t* lost,
                   sealed_origin* origin)
{
    sealed_lookup found;
    if (!sealed_opened(run, d) || look_up_stream(run, d, &found) != 0)
        return false;
    origin->stream = record_verified(run, found, lost, &origin->newest);
    if (origin->stream < 0)
        return false;
    origin->added = found.stream < 0;
    origin->header = found.header;
    std::memcpy(origin->run_id, found.header.run_id, sealed_run_id_size);
    return true;
}

// The source of the datagram just decoded, or -1 when the table is full:
// its frames are then dropped, with one warning for the whole run.
long find_source(collector_run& run, const tap_datagram_view& view, const net_peer& from,
                 std::int64_t now)
{
    source_table& t = run.sources;
    bool added = false;
    const long i = source_find_or_add(&t, from, view.tap_id, now, &added);
    if (i < 0) {
        if (t.refused_datagrams++ == 0)
            COLLECTOR_LOG(trace_level_warning,
                          "More than %zu sources: frames of further sources are dropped",
                          t.capacity);
        t.refused_frames += view.record_count;
        return -1;
    }
    if (added) {
        char name[source_name_max];
        source_name(t.entries[i], name, sizeof name);
        COLLECTOR_LOG(trace_level_normal, "New source %ld: %s", i, name);
    }
    return i;
}

// -A: the source of a tap run is its stream's slot; a new stream puts a new
// source there. A sender that changed is noted, as a tap behind NAT moves:
// once a minute per source at most, so that a path that keeps changing
// cannot flood the log.
long sealed_source(collector_run& run, const sealed_origin& o, std::uint16_t tap_id,
                   const net_peer& from, std::int64_t now)
{
    source_table& t = run.sources;
    const std::size_t i = static_cast<std::size_t>(o.stream);
    char name[source_name_max];
    const source& was = t.entries[i];
    const bool same_run = i < t.count && was.sealed && was.tap_id == tap_id &&
                          std::memcmp(was.run_id, o.run_id, sealed_run_id_size) == 0;
    // A stream is new, or its first datagrams verified but did not decode.
    if (o.added || !same_run) {
        source_place_run(&t, i, from, tap_id, o.run_id, now);
        source_name(t.entries[i], name, sizeof name);
        COLLECTOR_LOG(trace_level_normal, "New source %zu: %s", i, name);
        return o.stream;
    }
    source& s = t.entries[i];
    if (net_peer_same(s.sender, from))
        return o.stream;
    s.sender = from;
    const bool quiet = now - s.moved_logged < 60;
    if (!quiet)
        s.moved_logged = now;
    source_name(s, name, sizeof name);
    COLLECTOR_LOG(quiet ? trace_level_verbose : trace_level_normal, "Source %zu now %s", i, name);
    return o.stream;
}

bool capture_stream_broken(const collector_run& run)
{
    int e = errno;
    // Wireshark may close its FIFO before it sends the signal that ends
    // the capture: the reader gone is then the end, not an error.
    if (e == EPIPE && run.opt.extcap.step == extcap_step::capture)
        COLLECTOR_LOG(trace_level_normal, "The capture's reader has closed the FIFO");
    else
        COLLECTOR_LOG(trace_level_error, "Unable to write the pcap stream %d/%s", e,
                      os_error_text(e));
    return false;
}

// --kafka: the frames of the datagram taken, as one message (none when
// it completed no frame).
void collector_produce(collector_run& run)
{
    if (!run.kafka_out || run.kafka_out->record_count == 0)
        return;
    kafka_produce(run.kafka, run.kafka_from, run.kafka_out->bytes, run.kafka_out->size);
    kafka_value_clear(run.kafka_out);
}

// Writes one frame of source i. False once the run is done (the frame
// count reached, or the capture stream broken).
bool write_frame(collector_run& run, long i, const tap_record_view& rec, std::int64_t now)
{
    source_counts& counts = run.sources.entries[i].counts;
    if (run.file.out &&
        capture_file_write(&run.file, run.sources, static_cast<std::size_t>(i), rec, now) != 0)
        return capture_stream_broken(run);
    if (run.tuntap && tuntap_write(run.tuntap, rec.frame, rec.caplen) != 0)
        ++run.stats.tuntap_write_errors;
    if (run.pcap_ip)
        pcap_over_ip_frame(run.pcap_ip, rec, clock_monotonic_ms());
    if (run.kafka_out && kafka_value_add(run.kafka_out, rec) != 0) {
        // Fuller than one datagram can make it: a second message.
        collector_produce(run);
        kafka_value_add(run.kafka_out, rec);
    }
    ++run.stats.frames;
    ++counts.frames;
    counts.bytes += rec.caplen;
    return !run.opt.frame_limit || run.stats.frames < run.opt.frame_limit;
}

// Writes the frames of one decoded datagram from source i. False once the
// run is done.
bool write_frames(collector_run& run, const tap_datagram_view& view, long i, std::int64_t now)
{
    ++run.sources.entries[i].counts.datagrams;
    for (unsigned k = 0; k < view.record_count; ++k)
        if (!write_frame(run, i, view.records[k], now))
            return false;
    return true;
}

struct frame_writer {
    collector_run* run;
    long source;
    std::int64_t now;
};

bool write_through(void* ctx, const tap_record_view& r)
{
    const frame_writer& w = *static_cast<const frame_writer*>(ctx);
    return write_frame(*w.run, w.source, r, w.now);
}

// -A: the latest statistics of the tap run of source i, sent at sent_us.
void collector_take_statistics(collector_run& run, long i, const tap_statistics& counters,
                               std::uint64_t sent_us)
{
    source& s = run.sources.entries[i];
    s.tap = counters;
    s.tap_sent_us = sent_us;
    s.has_tap_statistics = true;
}

// -A: a datagram opened, its body read, its frames (finished or begun) put
// together and written under its run's source. False once the run is done.
bool take_sealed(collector_run& run, const received_datagram& d)
{
    const std::uint8_t* data = d.data;
    const std::size_t at = d.at, len = d.clear_len;
    const long n = d.len;
    const net_peer& from = d.from;
    std::int64_t lost = 0;
    sealed_origin o;
    if (!accept_sealed(run, d, &lost, &o))
        return true;
    if (o.header.kind == sealed_kind_statistics) {
        tap_statistics counters;
        if (sealed_read_statistics(data + at, len, &counters) != 0) {
            count_undecodable(run, tap_decode_bad_record, n, from);
            return true;
        }
        const std::int64_t now = collector_unix_now();
        const long i = sealed_source(run, o, o.header.tap_id, from, now);
        run.sources.entries[i].counts.lost += lost;
        collector_take_statistics(run, i, counters, o.header.sent_us);
        return true;
    }
    sealed_body& body = run.receiving->body;
    if (o.header.kind != sealed_kind_frames || sealed_read_body(data + at, len, o.header, &body) != 0) {
        count_undecodable(run, tap_decode_bad_record, n, from);
        return true;
    }
    COLLECTOR_LOG(trace_level_verbose, "Datagram of %ld bytes from tap %u with %u pkts", n,
                  o.header.tap_id, body.count);
    const std::int64_t now = collector_unix_now();
    const long i = sealed_source(run, o, o.header.tap_id, from, now);
    source_counts& counts = run.sources.entries[i].counts;
    counts.lost += lost;
    ++counts.datagrams;
    frame_writer w{&run, i, now};
    bool stopped = false;
    kafka_origin& k = run.kafka_from;
    k.tap_id = o.header.tap_id;
    k.sender = from;
    k.sealed = true;
    std::memcpy(k.run_id, o.run_id, sealed_run_id_size);
    k.seq = o.header.seq;
    const std::int64_t frames_lost =
        reassemble(run.sealing.pool, run.sealing.streams.entries[o.stream], o.stream, o.header, body,
                   o.newest, frame_sink{write_through, &w}, &stopped);
    counts.frames_lost += frames_lost;
    run.stats.frames_lost += frames_lost;
    collector_produce(run);
    return !stopped;
}

// A source whose tap sent its statistics, end to end: what the tap
// received and dropped at each stage, what was lost on the way, what was
// written.
void print_tap_source(std::size_t i, const char* name, const source& s)
{
    const tap_statistics& tap = s.tap;
    const source_counts& c = s.counts;
    COLLECTOR_LOG(trace_level_normal,
                  "Source %zu, %s: tap received %llu, dropped %llu capture + %llu interface + %llu "
                  "allow-list + %llu rate cap, %llu datagrams failed; %lld datagrams (%lld frames) lost "
                  "on the way; %llu frames written",
                  i, name, static_cast<unsigned long long>(tap.received),
                  static_cast<unsigned long long>(tap.capture_drops),
                  static_cast<unsigned long long>(tap.interface_drops),
                  static_cast<unsigned long long>(tap.allow_list_out),
                  static_cast<unsigned long long>(tap.rate_cap_out),
                  static_cast<unsigned long long>(tap.datagrams_failed), static_cast<long long>(c.lost),
                  static_cast<long long>(c.frames_lost), static_cast<unsigned long long>(c.frames));
}

// The statistics line of each source; with tap_only, of those whose tap
// sent its statistics alone.
void print_sources(const source_table& t, bool sealed, bool tap_only)
{
    for (std::size_t i = 0; i < t.count; ++i) {
        char name[source_name_max], more[64] = "";
        const source& s = t.entries[i];
        source_name(s, name, sizeof name);
        if (s.has_tap_statistics) {
            print_tap_source(i, name, s);
            continue;
        }
        if (tap_only)
            continue;
        const source_counts& c = s.counts;
        if (sealed)
            std::snprintf(more, sizeof more, ", %llu replayed, %lld lost, %lld frames lost",
                          static_cast<unsigned long long>(c.replayed), static_cast<long long>(c.lost),
                          static_cast<long long>(c.frames_lost));
        COLLECTOR_LOG(trace_level_normal,
                      "Source %zu, %s: %llu datagrams, %llu frames, %llu bytes, %llu not decoded%s",
                      i, name, static_cast<unsigned long long>(c.datagrams),
                      static_cast<unsigned long long>(c.frames),
                      static_cast<unsigned long long>(c.bytes),
                      static_cast<unsigned long long>(c.undecodable), more);
    }
}

// With several workers, what each received and how often it waited for
// the writer.
void print_workers(const worker_pool& p)
{
    for (unsigned k = 0; p.count > 1 && k < p.count; ++k) {
        const worker_counts& c = p.workers[k].counts;
        COLLECTOR_LOG(trace_level_normal, "Worker %u: %llu datagrams, %llu waits for the writer", k,
                      static_cast<unsigned long long>(c.datagrams.load(std::memory_order_relaxed)),
                      static_cast<unsigned long long>(c.ring_full.load(std::memory_order_relaxed)));
    }
}

// Statistics on request and every -S seconds, between batches.
void statistics_when_due(collector_run& run, std::atomic<bool>& stats_requested)
{
    bool due = stats_requested.exchange(false);
    if (run.opt.stats_seconds && clock_monotonic_ms() >= run.next_stats_ms) {
        due = true;
        run.next_stats_ms = clock_monotonic_ms() + run.opt.stats_seconds * 1000;
    }
    if (due) {
        print_sources(run.sources, run.opt.authenticated, false);
        print_workers(run.pool);
    }
}

}  // namespace

bool collector_take_opened(collector_run& run, received_datagram& d)
{
    ++run.stats.datagrams;
    const long n = d.len;
    const net_peer& from = d.from;
    if (d.verdict == open_too_long) {
        count_undecodable(run, tap_decode_bad_length, n, from);
        return true;
    }
    if (run.opt.authenticated)
        return take_sealed(run, d);
    if (d.verdict != open_ok) {
        COLLECTOR_LOG(trace_level_warning, "Decryption error");
        return true;
    }
    tap_datagram_view& view = run.receiving->view;
    tap_decode_result r = tap_decode(d.data, d.clear_len, &view);
    if (r != tap_decode_ok && d.sealed_magic) {
        count_refusal(run, &run.stats.wrong_mode, &source_counts::undecodable, "refused", n,
                      refused_source(run, from, -1), from,
                      "sealed by a tap started with -A: start the collector with -A to read it");
        return true;
    }
    if (r != tap_decode_ok) {
        count_undecodable(run, r, n, from);
        return true;
    }
    COLLECTOR_LOG(trace_level_verbose, "Datagram of %ld bytes from tap %u with %u pkts", n,
                  view.tap_id, view.record_count);
    const std::int64_t now = collector_unix_now();
    const long i = find_source(run, view, from, now);
    if (i < 0)
        return true;
    run.kafka_from.tap_id = view.tap_id;
    run.kafka_from.sender = from;
    run.kafka_from.sealed = false;
    const bool more = write_frames(run, view, i, now);
    collector_produce(run);
    return more;
}

bool collector_take_datagram(collector_run& run, const std::uint8_t* datagram, long n,
                             const net_peer& from)
{
    worker& w = run.pool.workers[0];
    received_datagram& d = w.slots[w.head.load() % worker_ring_slots];
    d.len = n;
    d.from = from;
    if (n > 0)
        std::memcpy(d.data, datagram, static_cast<std::size_t>(n) < receive_datagram_cap
                                          ? static_cast<std::size_t>(n)
                                          : receive_datagram_cap);
    open_datagram(w.opener, d);
    return collector_take_opened(run, d);
}

namespace {

// Between batches, on the writer's thread: statistics, the watchdog, the
// state file, the metrics clients.
void periodic_work(collector_run& run, std::atomic<bool>& stats_requested)
{
    statistics_when_due(run, stats_requested);
    notify_watchdog_when_due(clock_monotonic_ms());
    if (clock_monotonic_ms() >= run.sealing.next_state_ms) {
        run.sealing.next_state_ms = clock_monotonic_ms() + 1000;
        collector_save_state(run, false);
    }
    metrics_serve(run.metrics, run);
    if (run.kafka)
        kafka_producer_serve(run.kafka);
    if (run.pcap_ip)
        pcap_over_ip_serve(run.pcap_ip, clock_monotonic_ms());
}

// Readers such as a live capture viewer see each batch at once.
bool flush_batch(collector_run& run)
{
    return capture_file_flush(&run.file) == 0 || capture_stream_broken(run);
}

// -j 1: the run's own thread receives, opens and writes each batch.
void receive_alone(collector_run& run, const std::atomic<bool>& stop, std::atomic<bool>& stats_requested)
{
    worker& w = run.pool.workers[0];
    // With --metrics the wait is short, so that a scrape is answered
    // within its poll interval when no datagram comes.
    const long wait_us = run.metrics || run.pcap_ip || run.kafka ? 20000 : 1000000;
    bool more = true;
    while (more && !stop) {
        periodic_work(run, stats_requested);
        // A wait broken by the signal itself must not lead into a blocking
        // receive: the stop decides first.
        const int got = worker_receive(run.pool, w, wait_us);
        if (got <= 0 || stop)
            continue;
        const std::uint64_t head = w.head.load(std::memory_order_relaxed);
        for (int i = 0; i < got && more; ++i)
            more = collector_take_opened(run, w.slots[(head + static_cast<unsigned>(i)) % worker_ring_slots]);
        w.head.store(head + static_cast<unsigned>(got), std::memory_order_relaxed);
        w.tail.store(head + static_cast<unsigned>(got), std::memory_order_relaxed);
        more = more && flush_batch(run);
    }
}

// The datagrams worker w published, in its ring's order. The count taken;
// *more false once the run is done.
unsigned take_ring(collector_run& run, worker& w, bool* more)
{
    std::uint64_t tail = w.tail.load(std::memory_order_relaxed);
    const std::uint64_t head = w.head.load(std::memory_order_seq_cst);
    unsigned took = 0;
    for (; tail < head && *more; ++tail, ++took)
        *more = collector_take_opened(run, w.slots[tail % worker_ring_slots]);
    w.tail.store(tail, std::memory_order_release);
    return took;
}

// With a shared socket: the datagrams in the order it gave them, one
// ticket after the other, whichever ring holds each.
unsigned take_by_ticket(collector_run& run, bool* more)
{
    worker_pool& p = run.pool;
    unsigned took = 0;
    for (bool found = true; found && *more;) {
        found = false;
        for (unsigned k = 0; k < p.count && !found; ++k) {
            worker& w = p.workers[k];
            const std::uint64_t tail = w.tail.load(std::memory_order_relaxed);
            received_datagram& d = w.slots[tail % worker_ring_slots];
            if (tail == w.head.load(std::memory_order_seq_cst) || d.ticket != p.expected_ticket)
                continue;
            *more = collector_take_opened(run, d);
            w.tail.store(tail + 1, std::memory_order_release);
            ++p.expected_ticket;
            ++took;
            found = true;
        }
    }
    return took;
}

bool rings_empty(worker_pool& p)
{
    for (unsigned k = 0; k < p.count; ++k)
        if (p.workers[k].head.load(std::memory_order_seq_cst) != p.workers[k].tail.load(std::memory_order_relaxed))
            return false;
    return true;
}

// -j N: the workers receive and open; this thread is the one writer.
void write_from_workers(collector_run& run, const std::atomic<bool>& stop, std::atomic<bool>& stats_requested)
{
    worker_pool& p = run.pool;
    bool more = true;
    while (more && !stop) {
        periodic_work(run, stats_requested);
        unsigned took = 0;
        if (p.shared_socket)
            took = take_by_ticket(run, &more);
        else
            for (unsigned k = 0; k < p.count && more; ++k)
                took += take_ring(run, p.workers[k], &more);
        if (took > 0)
            continue;
        // Nothing to take: what was written goes out to live readers (a
        // busy writer's buffer goes out as it fills), then asleep until a
        // worker publishes, or for the periodic work (and a stop) at the
        // latest.
        if (!flush_batch(run)) {
            more = false;
            break;
        }
        std::unique_lock<std::mutex> hold(p.wake_lock);
        p.writer_sleeping.store(true, std::memory_order_seq_cst);
        if (rings_empty(p) && !stop)
            p.wake.wait_for(hold, std::chrono::milliseconds(20));
        p.writer_sleeping.store(false, std::memory_order_relaxed);
    }
    worker_pool_stop(&p);
    // What the workers had opened when the run ended is written, unless
    // the run is done.
    if (more) {
        if (p.shared_socket)
            take_by_ticket(run, &more);
        else
            for (unsigned k = 0; k < p.count && more; ++k)
                take_ring(run, p.workers[k], &more);
        if (more)
            flush_batch(run);
    }
}

// --from-kafka: the messages of the group's partitions, each written as
// the datagram it came from was, under the source its key names.
void consume_from_kafka(collector_run& run, const std::atomic<bool>& stop, std::atomic<bool>& stats_requested)
{
    kafka_message_in& m = *run.incoming;
    bool more = true;
    while (more && !stop) {
        periodic_work(run, stats_requested);
        const int r = kafka_consumer_next(run.consumer, 20, &m);
        if (r < 0)
            break;
        if (r == 0) {
            more = flush_batch(run);
            continue;
        }
        ++run.stats.datagrams;
        const std::int64_t now = collector_unix_now();
        bool added = false;
        source_table& t = run.sources;
        const long i = source_find_or_add(&t, m.origin.sender, m.origin.tap_id, now, &added);
        if (i < 0) {
            if (t.refused_datagrams++ == 0)
                COLLECTOR_LOG(trace_level_warning, "More than %zu sources: frames of further sources are dropped",
                              t.capacity);
            t.refused_frames += m.frames.count;
            continue;
        }
        if (added) {
            char name[source_name_max];
            source_name(t.entries[i], name, sizeof name);
            COLLECTOR_LOG(trace_level_normal, "New source %ld: %s", i, name);
        }
        ++t.entries[i].counts.datagrams;
        for (std::size_t k = 0; k < m.frames.count && more; ++k)
            more = write_frame(run, i, m.frames.records[k], now);
    }
    if (more)
        flush_batch(run);
}

}  // namespace

void collector_receive(collector_run& run, const std::atomic<bool>& stop,
                       std::atomic<bool>& stats_requested)
{
    run.next_stats_ms = clock_monotonic_ms() + run.opt.stats_seconds * 1000;
    if (run.consumer)
        consume_from_kafka(run, stop, stats_requested);
    else if (run.pool.count > 1)
        write_from_workers(run, stop, stats_requested);
    else
        receive_alone(run, stop, stats_requested);
    // What the producer still holds gets a bounded time to go, before the
    // summary tells what became of it.
    if (run.kafka)
        kafka_producer_close(run.kafka, 10000, &run.kafka_final);
    run.kafka = nullptr;
    collector_save_state(run, false);
    // The file's last blocks, while it is open: the taps' statistics.
    if (capture_file_write_statistics(&run.file, run.sources, clock_unix_us()) != 0)
        capture_stream_broken(run);
}

std::int64_t collector_frames_lost(const collector_run& run)
{
    // Frames still unfinished at the end, and those that gave their place,
    // never arrived whole either.
    const reassembly_pool& pool = run.sealing.pool;
    std::int64_t unfinished = static_cast<std::int64_t>(pool.taken_over);
    for (std::size_t k = 0; k < pool.count; ++k)
        unfinished += pool.slots[k].stream >= 0 ? 1 : 0;
    return run.stats.frames_lost + unfinished;
}

void collector_summary(const collector_run& run)
{
    const collector_stats& stats = run.stats;
    COLLECTOR_LOG(trace_level_normal,
                  "Received %u datagrams, %u frames; not decoded: %u bad magic, %u wrong length, "
                  "%u bad records",
                  stats.datagrams, stats.frames, stats.bad_magic, stats.bad_length,
                  stats.bad_record);
    if (run.opt.authenticated)
        COLLECTOR_LOG(trace_level_normal,
                      "Sealed: %llu datagrams lost on the way, %lld frames lost; refused: %u not "
                      "authentic, %u replayed, %u older than the window, %u past --max-age, %u not "
                      "sealed; %u tap runs forgotten (the table holds %zu)",
                      static_cast<unsigned long long>(stats.lost),
                      static_cast<long long>(collector_frames_lost(run)), stats.forged, stats.replayed,
                      stats.too_old, stats.stale, stats.wrong_mode, stats.streams_forgotten,
                      run.sealing.streams.capacity);
    else if (stats.wrong_mode)
        COLLECTOR_LOG(trace_level_warning, "%u sealed datagrams (from taps started with -A) refused",
                      stats.wrong_mode);
    print_sources(run.sources, run.opt.authenticated, true);
    print_workers(run.pool);
    if (run.opt.kafka_brokers) {
        const kafka_producer_counts& k = run.kafka_final;
        COLLECTOR_LOG(k.dropped || k.failed || k.lost_at_close ? trace_level_warning : trace_level_normal,
                      "Kafka: %llu messages produced, %llu delivered, %llu dropped (buffer full), %llu "
                      "failed, %llu lost at the end",
                      static_cast<unsigned long long>(k.produced), static_cast<unsigned long long>(k.delivered),
                      static_cast<unsigned long long>(k.dropped), static_cast<unsigned long long>(k.failed),
                      static_cast<unsigned long long>(k.lost_at_close));
    }
    if (run.pcap_ip) {
        const pcap_over_ip_counts p = pcap_over_ip_totals(run.pcap_ip);
        COLLECTOR_LOG(p.frames_dropped || p.clients_behind ? trace_level_warning : trace_level_normal,
                      "PCAP over IP: %llu clients served, %llu frames dropped for clients that lagged, %llu "
                      "clients disconnected for staying behind, %llu refused (all %d places taken)",
                      static_cast<unsigned long long>(p.clients_served),
                      static_cast<unsigned long long>(p.frames_dropped),
                      static_cast<unsigned long long>(p.clients_behind),
                      static_cast<unsigned long long>(p.clients_refused), pcap_over_ip_clients_max);
    }
    if (run.consumer) {
        const kafka_consumer_counts k = kafka_consumer_counts_of(run.consumer);
        COLLECTOR_LOG(trace_level_normal, "Kafka: %llu messages consumed, %llu malformed skipped",
                      static_cast<unsigned long long>(k.messages), static_cast<unsigned long long>(k.malformed));
    }
    if (stats.tuntap_write_errors)
        COLLECTOR_LOG(trace_level_warning, "%u frames could not be written to the TAP interface",
                      stats.tuntap_write_errors);
    if (run.sources.refused_datagrams)
        COLLECTOR_LOG(trace_level_warning,
                      "%llu datagrams (%llu frames) from sources past the first %zu dropped",
                      static_cast<unsigned long long>(run.sources.refused_datagrams),
                      static_cast<unsigned long long>(run.sources.refused_frames),
                      run.sources.capacity);
}
