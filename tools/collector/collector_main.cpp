// vantry_collector: receives Tap datagrams, undoes the cipher, and writes
// the frames as a capture stream (pcapng with one interface per source, or
// pcap; one file or a rotated run of files) and, on Linux, into a TAP
// interface.
//
// States: options -> bound -> receiving (until a signal or the frame
// count) -> summary. Datagrams that do not decode are counted and
// reported; they never stop the collector.
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "forward/speck.h"
#include "forward/tap_wire.h"
#include "platform/net_batch_collector.h"
#include "platform/platform.h"
#include "platform/tap_device.h"
#include "tools/collector/capture_file.h"
#include "tools/collector/collector_log.h"
#include "tools/collector/collector_options.h"
#include "tools/collector/sources.h"

namespace {

struct collector_stats {
    unsigned datagrams = 0;
    unsigned frames = 0;
    unsigned bad_magic = 0;
    unsigned bad_length = 0;
    unsigned bad_record = 0;
    unsigned tap_write_errors = 0;
};

std::atomic<bool> stop_requested{false};
std::atomic<bool> stats_requested{false};

// What one collector run holds open, and its counts.
struct collector_run {
    collector_options opt;
    capture_file file;            // open when file.f is set
    tap_device* tap = nullptr;    // the TAP interface, if any
    net_socket s = net_invalid_socket;
    net_waker waker;              // woken by a stop signal
    source_table sources;
    collector_stats stats;
    std::uint64_t next_stats_ms = 0;  // with -S
};

// Fixed buffers: a batch of datagrams, and the decoded view of one.
constexpr int batch_size = 16;
constexpr std::size_t datagram_cap = 65552;
std::uint8_t datagrams[batch_size][datagram_cap];
net_recv_slot batch[batch_size];
tap_datagram_view view;

std::int64_t unix_now()
{
    return static_cast<std::int64_t>(clock_utc_filetime() / 10000000) - 11644473600LL;
}

int fail(const char* what, const char* name)
{
    int e = errno ? errno : net_last_error();
    COLLECTOR_LOG(trace_level_error, "%s '%s' %d/%s", what, name, e, os_error_text(e));
    return -1;
}

// First, so that with "-w -" no log line reaches the capture stream.
int open_output(collector_run& run)
{
    if (source_table_init(&run.sources, source_table_default_capacity) != 0) {
        COLLECTOR_LOG(trace_level_error, "Unable to allocate the table of sources");
        return -1;
    }
    if (!run.opt.write_path)
        return 0;
    run.file.format = run.opt.format;
    run.file.pattern = run.opt.write_path;
    run.file.rotation = run.opt.rotation;
    errno = 0;
    return capture_file_open(&run.file, run.sources, unix_now()) == 0
               ? 0
               : fail("Unable to write", run.file.name[0] ? run.file.name : run.opt.write_path);
}

int set_up_key(const collector_options& opt)
{
    if (opt.clear) {
        COLLECTOR_LOG(trace_level_warning, "Datagrams are expected in clear (-K specified)");
        return 0;
    }
    if (speck_setup_key(opt.key, static_cast<std::int32_t>(std::strlen(opt.key))) == 1)
        return 0;
    COLLECTOR_LOG(trace_level_error, "Unable to initialize encryption");
    return -1;
}

int open_socket(collector_run& run)
{
    if (net_startup() != 0) {
        COLLECTOR_LOG(trace_level_error, "Unable to start the socket library");
        return -1;
    }
    run.s = net_udp_socket();
    if (run.s == net_invalid_socket || net_waker_open(&run.waker) != 0) {
        int e = net_last_error();
        COLLECTOR_LOG(trace_level_error, "Unable to create socket %d/%s", e, os_error_text(e));
        return -1;
    }
    const char* address = run.opt.bind_address;
    std::uint32_t addr = 0;
    if (address && net_resolve_ipv4(address, &addr) != 0) {
        COLLECTOR_LOG(trace_level_error, "Invalid bind address '%s': not an IPv4 address or host",
                      address);
        return -1;
    }
    const auto port = static_cast<std::uint16_t>(run.opt.port);
    if ((address ? net_bind(run.s, addr, port) : net_bind_any(run.s, port)) != 0) {
        int e = net_last_error();
        COLLECTOR_LOG(trace_level_error, "Unable to bind port %ld %d/%s", run.opt.port, e,
                      os_error_text(e));
        return -1;
    }
    return 0;
}

// A buffer smaller than asked for is worth one warning: bursts beyond it
// are lost before the collector sees them.
void set_receive_buffer(const collector_run& run)
{
    const unsigned long want = run.opt.receive_buffer;
    int granted = 0;
    if (!want)
        return;
    if (net_set_receive_buffer(run.s, static_cast<int>(want), &granted) != 0) {
        int e = net_last_error();
        COLLECTOR_LOG(trace_level_warning, "Unable to set a receive buffer of %lu bytes %d/%s",
                      want, e, os_error_text(e));
    } else if (static_cast<unsigned long>(granted) < want) {
        COLLECTOR_LOG(trace_level_warning,
                      "The system grants a receive buffer of %d bytes, not the %lu asked for "
                      "(on Linux net.core.rmem_max sets the limit)",
                      granted, want);
    }
}

int open_tap(collector_run& run)
{
    const char* name = run.opt.tap_name;
    if (!name)
        return 0;
    const char* failed = nullptr;
    int r = tap_device_open(name, &run.tap, &failed);
    if (r == -2) {
        COLLECTOR_LOG(trace_level_error, "TAP interfaces are not available on this system (-i %s)",
                      name);
        return -1;
    }
    // An interface the monitored traffic could configure (an address and a
    // default route from one router advertisement) is worse than none: no
    // run with it.
    if (r != 0 && failed) {
        int e = net_last_error();
        COLLECTOR_LOG(trace_level_error, "Unable to make TAP interface '%s' passive: %s failed %d/%s",
                      name, failed, e, os_error_text(e));
        return -1;
    }
    if (r != 0)
        return fail("Unable to create TAP interface", name);
    // The host's own policy decides this one; it is reported, not changed.
    if (tap_device_source_check(run.tap) != 1)
        COLLECTOR_LOG(trace_level_warning,
                      "IPv4 source check on TAP interface '%s' is not strict (the host-wide "
                      "net.ipv4.conf.all.rp_filter overrides it): packets written into it "
                      "from a source routed elsewhere can reach this host's own addresses",
                      name);
    COLLECTOR_LOG(trace_level_normal,
                  "Writing frames into TAP interface '%s' (for capture only: no address, no "
                  "ARP, no IPv6)",
                  name);
    return 0;
}

void note_bad(collector_run& run, tap_decode_result r, long n, const net_addr4& from)
{
    collector_stats& stats = run.stats;
    unsigned* counter = r == tap_decode_bad_magic    ? &stats.bad_magic
                        : r == tap_decode_bad_length ? &stats.bad_length
                                                     : &stats.bad_record;
    ++*counter;
    const long i = source_find_sender(run.sources, from.addr, from.port);
    if (i >= 0)
        ++run.sources.entries[i].counts.undecodable;
    // The first of each kind is worth a warning; a stream of them (a wrong
    // key) would drown everything else.
    int level = *counter == 1 ? trace_level_warning : trace_level_verbose;
    const auto* a = reinterpret_cast<const std::uint8_t*>(&from.addr);
    COLLECTOR_LOG(level, "Datagram of %ld bytes from %u.%u.%u.%u:%u not decoded: %s", n, a[0],
                  a[1], a[2], a[3], net_order16(from.port), tap_decode_text(r));
}

// The source of the datagram just decoded, or -1 when the table is full:
// its frames are then dropped, with one warning for the whole run.
long find_source(collector_run& run, const net_addr4& from, std::int64_t now)
{
    source_table& t = run.sources;
    bool added = false;
    const long i = source_find_or_add(&t, from.addr, from.port, view.tap_id, now, &added);
    if (i < 0) {
        if (t.refused_datagrams++ == 0)
            COLLECTOR_LOG(trace_level_warning,
                          "More than %zu sources: frames of further sources are dropped",
                          t.capacity);
        t.refused_frames += view.num_pkts;
        return -1;
    }
    if (added) {
        char name[48];
        source_name(t.entries[i], name, sizeof name);
        COLLECTOR_LOG(trace_level_normal, "New source %ld: %s", i, name);
    }
    return i;
}

bool stream_broken()
{
    int e = errno;
    COLLECTOR_LOG(trace_level_error, "Unable to write the pcap stream %d/%s", e, os_error_text(e));
    return false;
}

// Writes the frames of one decoded datagram from source i. False once the
// run is done (the frame count reached, or the capture stream broken).
bool write_frames(collector_run& run, long i, std::int64_t now)
{
    source_counts& counts = run.sources.entries[i].counts;
    ++counts.datagrams;
    for (unsigned k = 0; k < view.num_pkts; ++k) {
        const tap_record_view& rec = view.records[k];
        if (run.file.f &&
            capture_file_write(&run.file, run.sources, static_cast<std::size_t>(i), rec, now) != 0)
            return stream_broken();
        if (run.tap && tap_device_write(run.tap, rec.frame, rec.caplen) != 0)
            ++run.stats.tap_write_errors;
        ++run.stats.frames;
        ++counts.frames;
        counts.bytes += rec.caplen;
        if (run.opt.frame_limit && run.stats.frames >= run.opt.frame_limit)
            return false;
    }
    return true;
}

// One received datagram of n bytes (or a receive result below 0).
bool take_datagram(collector_run& run, std::uint8_t* datagram, long n, const net_addr4& from)
{
    ++run.stats.datagrams;
    if (n == -2) {
        note_bad(run, tap_decode_bad_length, n, from);
        return true;
    }
    const auto len = static_cast<std::size_t>(n);
    if (!run.opt.clear && tap_crypt(datagram, datagram, len, *speck_key) != 0) {
        COLLECTOR_LOG(trace_level_warning, "Decryption error");
        return true;
    }
    tap_decode_result r = tap_decode(datagram, len, &view);
    if (r != tap_decode_ok) {
        note_bad(run, r, n, from);
        return true;
    }
    COLLECTOR_LOG(trace_level_verbose, "Datagram of %ld bytes from tap %u with %u pkts", n,
                  view.tap_id, view.num_pkts);
    const std::int64_t now = unix_now();
    const long i = find_source(run, from, now);
    return i < 0 || write_frames(run, i, now);
}

void print_sources(const source_table& t)
{
    for (std::size_t i = 0; i < t.count; ++i) {
        char name[48];
        source_name(t.entries[i], name, sizeof name);
        const source_counts& c = t.entries[i].counts;
        COLLECTOR_LOG(trace_level_normal,
                      "Source %zu, %s: %llu datagrams, %llu frames, %llu bytes, %llu not decoded",
                      i, name, static_cast<unsigned long long>(c.datagrams),
                      static_cast<unsigned long long>(c.frames),
                      static_cast<unsigned long long>(c.bytes),
                      static_cast<unsigned long long>(c.undecodable));
    }
}

// Statistics on SIGUSR1 and every -S seconds, between datagrams.
void statistics_when_due(collector_run& run)
{
    bool due = stats_requested.exchange(false);
    if (run.opt.stats_seconds && clock_monotonic_ms() >= run.next_stats_ms) {
        due = true;
        run.next_stats_ms = clock_monotonic_ms() + run.opt.stats_seconds * 1000;
    }
    if (due)
        print_sources(run.sources);
}

void receive_until_done(collector_run& run)
{
    run.next_stats_ms = clock_monotonic_ms() + run.opt.stats_seconds * 1000;
    for (int i = 0; i < batch_size; ++i) {
        batch[i].buf = datagrams[i];
        batch[i].cap = datagram_cap;
    }
    bool more = true;
    while (more && !stop_requested) {
        statistics_when_due(run);
        // A wait broken by the signal itself must not lead into a blocking
        // receive: the stop decides first.
        if (net_wait_readable_or_woken(run.s, run.waker, 1000000) != 1 || stop_requested)
            continue;
        const int got = net_recv_batch(run.s, batch, batch_size);
        for (int i = 0; i < got && more; ++i)
            more = take_datagram(run, batch[i].buf, batch[i].len, batch[i].from);
        // Readers such as a live capture viewer see each batch at once.
        if (more && got > 0 && capture_file_flush(&run.file) != 0)
            more = stream_broken();
    }
}

void print_summary(const collector_run& run)
{
    const collector_stats& stats = run.stats;
    COLLECTOR_LOG(trace_level_normal,
                  "Received %u datagrams, %u frames; not decoded: %u bad magic, %u wrong length, "
                  "%u bad records",
                  stats.datagrams, stats.frames, stats.bad_magic, stats.bad_length,
                  stats.bad_record);
    if (stats.tap_write_errors)
        COLLECTOR_LOG(trace_level_warning, "%u frames could not be written to the TAP interface",
                      stats.tap_write_errors);
    if (run.sources.refused_datagrams)
        COLLECTOR_LOG(trace_level_warning,
                      "%llu datagrams (%llu frames) from sources past the first %zu dropped",
                      static_cast<unsigned long long>(run.sources.refused_datagrams),
                      static_cast<unsigned long long>(run.sources.refused_frames),
                      run.sources.capacity);
}

collector_run* running = nullptr;

void on_stop_signal(int)
{
    stop_requested = true;
    net_waker_wake(running->waker);
}

#if defined(SIGUSR1)
// Signal context: a lock-free flag only. The loop looks at it at least
// once a second.
void on_stats_signal(int) { stats_requested = true; }
#endif

}  // namespace

int main(int argc, char** argv)
{
    static collector_run run;
    int rc = read_options(argc, argv, &run.opt);
    if (rc != 0) {
        if (rc < 0)
            std::fprintf(stderr, "Try 'vantry_collector -h' for more information.\n");
        return rc > 0 ? 0 : 2;
    }
#if defined(SIGPIPE)
    // A reader that goes away must end the collector with a message.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    if (open_output(run) != 0 || set_up_key(run.opt) != 0 || open_socket(run) != 0 ||
        open_tap(run) != 0)
        return 1;
    running = &run;
    signals_install(on_stop_signal);
    set_receive_buffer(run);
#if defined(SIGUSR1)
    std::signal(SIGUSR1, on_stats_signal);
#endif
    if (run.opt.bind_address)
        COLLECTOR_LOG(trace_level_normal, "Listening on UDP port %u of %s", net_local_port(run.s),
                      run.opt.bind_address);
    else
        COLLECTOR_LOG(trace_level_normal, "Listening on UDP port %u", net_local_port(run.s));

    receive_until_done(run);

    print_summary(run);
    capture_file_close(&run.file);
    tap_device_close(run.tap);
    net_waker_close(&run.waker);
    net_close(run.s);
    source_table_release(&run.sources);
    return 0;
}
