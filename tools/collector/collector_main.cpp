// vantry_collector: receives Tap datagrams, undoes the cipher, and writes
// the frames as a pcap stream (and, on Linux, into a TAP interface).
//
// States: options -> bound -> receiving (until a signal or the frame
// count) -> summary. Datagrams that do not decode are counted and
// reported; they never stop the collector.
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#else
#include <unistd.h>
#endif

#include "forward/speck.h"
#include "platform/platform.h"
#include "platform/tap_device.h"
#include "run/getopt.h"
#include "support/trace_log.h"
#include "tools/collector/pcap_stream.h"
#include "forward/tap_wire.h"

#define COLLECTOR_LOG(level, ...)                                              \
    do {                                                                       \
        if ((level) <= trace_verbosity)                                        \
            trace_log((level), "vantry_collector", __LINE__, __VA_ARGS__);     \
    } while (0)

namespace {

struct collector_options {
    long port = -1;
    const char* key = nullptr;
    bool clear = false;
    const char* write_path = nullptr;
    const char* tap_name = nullptr;
    unsigned long frame_limit = 0;  // 0: no limit
};

struct collector_stats {
    unsigned datagrams = 0;
    unsigned frames = 0;
    unsigned bad_magic = 0;
    unsigned bad_length = 0;
    unsigned bad_record = 0;
    unsigned tap_write_errors = 0;
};

std::atomic<bool> stop_requested{false};

const char short_options[] = "p:k:Kw:i:c:vh";
const long_option long_options[] = {
    {"port", arg_required, 'p'},         {"key", arg_required, 'k'},
    {"disable-encryption", arg_none, 'K'}, {"write", arg_required, 'w'},
    {"interface", arg_required, 'i'},    {"count", arg_required, 'c'},
    {"verbose", arg_none, 'v'},          {"help", arg_none, 'h'},
    {nullptr, arg_none, 0},
};

void print_help()
{
    std::printf(
        "Usage: vantry_collector -p PORT (-k KEY | -K) [-w FILE] [-i NAME] [-c COUNT] [-v]\n"
        "  -p, --port PORT            UDP port to receive Tap datagrams on (0: any free port)\n"
        "  -k, --key KEY              key string the tap was given\n"
        "  -K, --disable-encryption   datagrams arrive in clear\n"
        "  -w, --write FILE           write a pcap stream to FILE ('-' for standard output)\n"
        "  -i, --interface NAME       write frames into the TAP interface NAME (Linux)\n"
        "  -c, --count COUNT          end after COUNT frames\n"
        "  -v, --verbose              one line per datagram\n"
        "  -h, --help                 this text\n");
}

// Whole decimal number in [0, max]. 0 on success, -1 otherwise.
int parse_number(const char* text, unsigned long max, unsigned long* out)
{
    if (!text || !*text)
        return -1;
    char* end = nullptr;
    errno = 0;
    unsigned long v = std::strtoul(text, &end, 10);
    if (errno != 0 || *end != '\0' || v > max || text[0] == '-')
        return -1;
    *out = v;
    return 0;
}

// 0: options read; 1: help printed; -1: a message was printed.
int read_options(int argc, char** argv, collector_options* opt)
{
    getopt_state st;
    st.posixly_correct = std::getenv("POSIXLY_CORRECT") != nullptr;
    const char** args = const_cast<const char**>(argv);
    for (;;) {
        int c = getopt_long_next(st, argc, args, short_options, long_options, stderr);
        if (c == -1)
            break;
        unsigned long v = 0;
        switch (c) {
        case 'p':
            if (parse_number(st.optarg, 65535, &v) != 0) {
                COLLECTOR_LOG(trace_level_error, "Invalid port '%s'", st.optarg);
                return -1;
            }
            opt->port = static_cast<long>(v);
            break;
        case 'k':
            opt->key = st.optarg;
            break;
        case 'K':
            opt->clear = true;
            break;
        case 'w':
            opt->write_path = st.optarg;
            break;
        case 'i':
            opt->tap_name = st.optarg;
            break;
        case 'c':
            if (parse_number(st.optarg, 0xffffffffUL, &v) != 0 || v == 0) {
                COLLECTOR_LOG(trace_level_error, "Invalid frame count '%s'", st.optarg);
                return -1;
            }
            opt->frame_limit = v;
            break;
        case 'v':
            trace_verbosity = trace_level_verbose;
            break;
        case 'h':
            print_help();
            return 1;
        default:
            return -1;
        }
    }
    if (st.optind < argc) {
        COLLECTOR_LOG(trace_level_error, "Unexpected argument '%s'", argv[st.optind]);
        return -1;
    }
    if (opt->port < 0) {
        COLLECTOR_LOG(trace_level_error, "Missing UDP port -p");
        return -1;
    }
    if (!opt->key && !opt->clear) {
        COLLECTOR_LOG(trace_level_error, "Missing encryption key -k (or -K for clear datagrams)");
        return -1;
    }
    if (!opt->write_path && !opt->tap_name) {
        COLLECTOR_LOG(trace_level_error, "Nothing to write to: give -w FILE, -w - or -i NAME");
        return -1;
    }
    return 0;
}

// The trace log writes to standard output. When the pcap stream takes it,
// the log moves to standard error and the stream gets the original
// descriptor, in binary mode.
std::FILE* take_stdout_for_pcap()
{
    std::fflush(stdout);
#if defined(_WIN32)
    int fd = _dup(_fileno(stdout));
    if (fd < 0 || _dup2(_fileno(stderr), _fileno(stdout)) != 0)
        return nullptr;
    _setmode(fd, _O_BINARY);
    return _fdopen(fd, "wb");
#else
    int fd = ::dup(fileno(stdout));
    if (fd < 0 || ::dup2(fileno(stderr), fileno(stdout)) < 0)
        return nullptr;
    return ::fdopen(fd, "wb");
#endif
}

std::FILE* open_pcap_output(const char* path)
{
    std::FILE* f = std::strcmp(path, "-") == 0 ? take_stdout_for_pcap() : std::fopen(path, "wb");
    if (!f)
        return nullptr;
    std::uint8_t header[pcap_file_header_size];
    pcap_fill_file_header(header);
    if (std::fwrite(header, 1, sizeof header, f) != sizeof header || std::fflush(f) != 0) {
        std::fclose(f);
        return nullptr;
    }
    return f;
}

void note_bad(collector_stats& stats, tap_decode_result r, long n, const net_addr4& from)
{
    unsigned* counter = r == tap_decode_bad_magic    ? &stats.bad_magic
                        : r == tap_decode_bad_length ? &stats.bad_length
                                                     : &stats.bad_record;
    ++*counter;
    // The first of each kind is worth a warning; a stream of them (a wrong
    // key) would drown everything else.
    int level = *counter == 1 ? trace_level_warning : trace_level_verbose;
    const auto* a = reinterpret_cast<const std::uint8_t*>(&from.addr);
    COLLECTOR_LOG(level, "Datagram of %ld bytes from %u.%u.%u.%u:%u not decoded: %s", n, a[0],
                  a[1], a[2], a[3], net_order16(from.port), tap_decode_text(r));
}

// What one collector run holds open, and its counts.
struct collector_run {
    collector_options opt;
    std::FILE* out = nullptr;     // the pcap stream, if any
    tap_device* tap = nullptr;    // the TAP interface, if any
    net_socket s = net_invalid_socket;
    net_waker waker;              // woken by a stop signal
    collector_stats stats;
};

// Fixed buffers: one datagram and its decoded view at a time.
std::uint8_t datagram[65552];
tap_datagram_view view;

int fail(const char* what, const char* name)
{
    int e = errno ? errno : net_last_error();
    COLLECTOR_LOG(trace_level_error, "%s '%s' %d/%s", what, name, e, os_error_text(e));
    return -1;
}

// First, so that with "-w -" no log line reaches the pcap stream.
int open_output(collector_run& run)
{
    if (!run.opt.write_path)
        return 0;
    errno = 0;
    run.out = open_pcap_output(run.opt.write_path);
    return run.out ? 0 : fail("Unable to write", run.opt.write_path);
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
    if (net_bind_any(run.s, static_cast<std::uint16_t>(run.opt.port)) != 0) {
        int e = net_last_error();
        COLLECTOR_LOG(trace_level_error, "Unable to bind port %ld %d/%s", run.opt.port, e,
                      os_error_text(e));
        return -1;
    }
    return 0;
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

bool stream_broken()
{
    int e = errno;
    COLLECTOR_LOG(trace_level_error, "Unable to write the pcap stream %d/%s", e, os_error_text(e));
    return false;
}

// Writes the frames of one decoded datagram. False once the run is done
// (the frame count reached, or the pcap stream broken).
bool write_frames(collector_run& run)
{
    for (unsigned i = 0; i < view.num_pkts; ++i) {
        const tap_record_view& rec = view.records[i];
        if (run.out) {
            std::uint8_t h[pcap_record_header_size];
            pcap_fill_record_header(h, rec);
            if (std::fwrite(h, 1, sizeof h, run.out) != sizeof h ||
                std::fwrite(rec.frame, 1, rec.caplen, run.out) != rec.caplen) {
                return stream_broken();
            }
        }
        if (run.tap && tap_device_write(run.tap, rec.frame, rec.caplen) != 0)
            ++run.stats.tap_write_errors;
        ++run.stats.frames;
        if (run.opt.frame_limit && run.stats.frames >= run.opt.frame_limit)
            return false;
    }
    // Readers such as a live capture viewer see each datagram at once.
    if (run.out && std::fflush(run.out) != 0)
        return stream_broken();
    return true;
}

void receive_until_done(collector_run& run)
{
    bool more = true;
    while (more && !stop_requested) {
        // A wait broken by the signal itself must not lead into a blocking
        // receive: the stop decides first.
        if (net_wait_readable_or_woken(run.s, run.waker, 1000000) != 1 || stop_requested)
            continue;
        net_addr4 from;
        long n = net_recv_from(run.s, datagram, sizeof datagram, &from);
        if (n == -1)
            continue;
        ++run.stats.datagrams;
        if (n == -2) {
            note_bad(run.stats, tap_decode_bad_length, n, from);
            continue;
        }
        const auto len = static_cast<std::size_t>(n);
        if (!run.opt.clear && tap_crypt(datagram, datagram, len, *speck_key) != 0) {
            COLLECTOR_LOG(trace_level_warning, "Decryption error");
            continue;
        }
        tap_decode_result r = tap_decode(datagram, len, &view);
        if (r != tap_decode_ok) {
            note_bad(run.stats, r, n, from);
            continue;
        }
        COLLECTOR_LOG(trace_level_verbose, "Datagram of %ld bytes from tap %u with %u pkts", n,
                      view.tap_id, view.num_pkts);
        more = write_frames(run);
    }
}

void print_summary(const collector_stats& stats)
{
    COLLECTOR_LOG(trace_level_normal,
                  "Received %u datagrams, %u frames; not decoded: %u bad magic, %u wrong length, "
                  "%u bad records",
                  stats.datagrams, stats.frames, stats.bad_magic, stats.bad_length,
                  stats.bad_record);
    if (stats.tap_write_errors)
        COLLECTOR_LOG(trace_level_warning, "%u frames could not be written to the TAP interface",
                      stats.tap_write_errors);
}

collector_run* running = nullptr;

void on_stop_signal(int)
{
    stop_requested = true;
    net_waker_wake(running->waker);
}

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
    COLLECTOR_LOG(trace_level_normal, "Listening on UDP port %u", net_local_port(run.s));

    receive_until_done(run);

    print_summary(run.stats);
    if (run.out)
        std::fclose(run.out);
    tap_device_close(run.tap);
    net_waker_close(&run.waker);
    net_close(run.s);
    return 0;
}
