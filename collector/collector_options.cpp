#include "collector/collector_options.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/getopt.h"
#include "support/version.h"
#include "collector/collector_log.h"
#include "collector/metrics.h"
#include "wire/sealed_datagram.h"

namespace {

// What the reader yields for long names without a letter.
enum : int {
    extcap_interfaces_word = 256,
    extcap_dlts_word,
    extcap_config_word,
    extcap_capture_word,
    extcap_interface_word,
    extcap_fifo_word,
    extcap_filter_word,
    extcap_ignored_word,
    max_age_word,
    key_file_word,
    salt_word,
    generate_key_word,
    utc_word,
    metrics_word,
    pcap_over_ip_word,
    kafka_word,
    from_kafka_word,
    topic_word,
    group_word,
    kafka_buffer_word,
};

const char short_options[] = "p:k:Kw:i:c:F:G:C:W:S:b:r:s:j:vVhA";
const long_option long_options[] = {
    {"port", arg_required, 'p'},         {"key", arg_required, 'k'},
    {"disable-encryption", arg_none, 'K'}, {"write", arg_required, 'w'},
    {"interface", arg_required, 'i'},    {"count", arg_required, 'c'},
    {"format", arg_required, 'F'},       {"rotate-seconds", arg_required, 'G'},
    {"file-size", arg_required, 'C'},    {"file-count", arg_required, 'W'},
    {"stats-seconds", arg_required, 'S'}, {"bind", arg_required, 'b'},
    {"receive-buffer", arg_required, 'r'}, {"verbose", arg_none, 'v'},
    {"help", arg_none, 'h'},             {"version", arg_none, 'V'},
    {"authenticated", arg_none, 'A'},
    {"state", arg_required, 's'},        {"max-age", arg_required, max_age_word},
    {"key-file", arg_required, key_file_word},
    {"salt", arg_required, salt_word},
    {"generate-key", arg_none, generate_key_word},
    {"utc", arg_none, utc_word},
    {"metrics", arg_required, metrics_word},
    {"workers", arg_required, 'j'},
    {"pcap-over-ip", arg_required, pcap_over_ip_word},
    {"kafka", arg_required, kafka_word},
    {"from-kafka", arg_required, from_kafka_word},
    {"topic", arg_required, topic_word},
    {"group", arg_required, group_word},
    {"kafka-buffer", arg_required, kafka_buffer_word},
    // Wireshark's words for an external capture program: long names only.
    {"extcap-interfaces", arg_none, extcap_interfaces_word},
    {"extcap-dlts", arg_none, extcap_dlts_word},
    {"extcap-config", arg_none, extcap_config_word},
    {"capture", arg_none, extcap_capture_word},
    {"extcap-interface", arg_required, extcap_interface_word},
    {"fifo", arg_required, extcap_fifo_word},
    {"extcap-capture-filter", arg_required, extcap_filter_word},
    {"extcap-key", arg_required, 'k'},
    // Asked for by Wireshark, of no use here: the collector takes no
    // controls while it runs.
    {"extcap-version", arg_required, extcap_ignored_word},
    {"extcap-control-in", arg_required, extcap_ignored_word},
    {"extcap-control-out", arg_required, extcap_ignored_word},
    {nullptr, arg_none, 0},
};

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

// A number in [1, max]; otherwise a message naming what it was for.
int positive(const char* text, unsigned long max, const char* what, unsigned long* out)
{
    if (parse_number(text, max, out) == 0 && *out > 0)
        return 0;
    COLLECTOR_LOG(trace_level_error, "Invalid %s '%s'", what, text);
    return -1;
}

// What only makes sense together with something else.
int check_together(const collector_options& opt)
{
    const rotation_settings& r = opt.rotation;
    const bool rotating = r.seconds > 0 || r.max_bytes > 0;
    if (r.max_files > 0 && !rotating) {
        COLLECTOR_LOG(trace_level_error, "-W keeps files of a rotation: give -G or -C as well");
        return -1;
    }
    if (rotating && (!opt.write_path || std::strcmp(opt.write_path, "-") == 0)) {
        COLLECTOR_LOG(trace_level_error, "Rotation (-G, -C) needs a file name: give -w FILE");
        return -1;
    }
    // A file is never written over: a period's file whose name is taken
    // gets a number.
    if (r.seconds > 0 && !std::strchr(opt.write_path, '%'))
        COLLECTOR_LOG(trace_level_warning,
                      "-G with a file name without %%-formats: each period's file takes the "
                      "name with a number added (give a name such as "
                      "'tap-%%Y%%m%%d-%%H%%M%%S.pcapng')");
    return 0;
}

// The Kafka options, which name one way or the other: producing what
// this collector receives, or consuming instead of receiving.
int check_kafka(const collector_options& opt)
{
    const char* why = nullptr;
    if (opt.kafka_brokers && opt.from_kafka_brokers)
        why = "--kafka and --from-kafka exclude each other: a collector either receives from taps "
              "and produces to Kafka, or consumes from Kafka";
    else if ((opt.kafka_brokers || opt.from_kafka_brokers) && !opt.kafka_topic)
        why = "Missing --topic NAME: the Kafka topic of --kafka or --from-kafka";
    else if (opt.kafka_topic && !opt.kafka_brokers && !opt.from_kafka_brokers)
        why = "--topic names the topic of --kafka or --from-kafka: give one of them";
    else if (opt.from_kafka_brokers && !opt.kafka_group)
        why = "Missing --group NAME: the consumer group of --from-kafka (collectors of one group "
              "share the topic's partitions)";
    else if (opt.kafka_group && !opt.from_kafka_brokers)
        why = "--group names the consumer group of --from-kafka: give --from-kafka BROKERS";
    else if (opt.kafka_buffer_given && !opt.kafka_brokers)
        why = "--kafka-buffer bounds what --kafka holds back: give --kafka BROKERS";
    else if (opt.from_kafka_brokers &&
             (opt.port >= 0 || opt.key || opt.key_file || opt.clear || opt.authenticated ||
              opt.bind_address || opt.receive_buffer || opt.state_dir || opt.workers || opt.salt))
        why = "--from-kafka consumes frames the receiving collectors decoded already: the options "
              "for receiving Tap datagrams (-p, -b, -r, -j, -k, --key-file, --salt, -K, -A, -s) "
              "do not apply";
    if (!why)
        return 0;
    COLLECTOR_LOG(trace_level_error, "%s", why);
    return -1;
}

// Somewhere for the frames to go, and no port taken twice.
int check_outputs(const collector_options& opt)
{
    if (!opt.write_path && !opt.tuntap_name && !opt.pcap_over_ip && !opt.kafka_brokers) {
        COLLECTOR_LOG(trace_level_error,
                      "Nothing to write to: give -w FILE, -w - , -i NAME, --pcap-over-ip PORT or --kafka");
        return -1;
    }
    if (opt.pcap_over_ip && opt.metrics && net_peer_same(opt.pcap_over_ip_at, opt.metrics_at)) {
        COLLECTOR_LOG(trace_level_error, "--pcap-over-ip and --metrics name the same address and port: "
                                         "give each a port of its own");
        return -1;
    }
    return 0;
}

// The key of -k or --key-file, held to the key policy. 0, or -1 after the
// message.
int take_key(collector_options* opt)
{
    if (opt->key && opt->key_file) {
        COLLECTOR_LOG(trace_level_error, "Options -k and --key-file exclude each other: give the key one way");
        return -1;
    }
    if (opt->key_file) {
        char message[1024];
        std::size_t len = 0;
        if (sealed_read_key_file(opt->key_file, opt->key_line, sizeof opt->key_line, &len, message,
                                 sizeof message) != 0) {
            COLLECTOR_LOG(trace_level_error, "%s", message);
            return -1;
        }
        opt->key = opt->key_line;
    }
    if (const char* why = sealed_key_refusal(opt->key, std::strlen(opt->key), opt->authenticated,
                                             opt->salt && *opt->salt)) {
        COLLECTOR_LOG(trace_level_error, "%s", why);
        return -1;
    }
    return 0;
}

// --generate-key: the key alone on standard output. 1, or -1 after the
// message when the library cannot start.
int print_new_key()
{
    char key[sealed_key_digits + 1];
    if (sealed_generate_key(key) != 0) {
        COLLECTOR_LOG(trace_level_error, "Unable to make a key: libgcrypt cannot be started");
        return -1;
    }
    std::printf("%s\n", key);
    std::fflush(stdout);
    sealed_wipe(key, sizeof key);
    return 1;
}

}  // namespace

void print_help()
{
    std::printf(
        "Usage: vantry_collector -p PORT (-k KEY | --key-file FILE | -K) [-A [--salt TEXT]]\n"
        "                        [-w FILE] [-i NAME] [-c COUNT] [-v]\n"
        "                        [-F FORMAT] [-G SECONDS] [-C MEGABYTES] [-W COUNT] [-S SECONDS]\n"
        "                        [-b ADDRESS] [-r BYTES] [-s DIR] [--max-age SECONDS] [--utc]\n"
        "                        [--metrics [ADDRESS:]PORT] [-j N] [--pcap-over-ip [ADDRESS:]PORT]\n"
        "                        [--kafka BROKERS --topic NAME [--kafka-buffer MEGABYTES]]\n"
        "       vantry_collector --from-kafka BROKERS --topic NAME --group NAME [-w FILE] [-i NAME]...\n"
        "  -p, --port PORT            UDP port to receive Tap datagrams on (0: any free port)\n"
        "  -b, --bind ADDRESS         receive on this IPv4 or IPv6 address only (default: all\n"
        "                             IPv4 addresses; '::' for all of both)\n"
        "  -r, --receive-buffer BYTES socket receive buffer to ask the system for\n"
        "  -k, --key KEY              key string the tap was given\n"
        "  --key-file FILE            the key: the first line of FILE, which other users may\n"
        "                             not read (instead of -k)\n"
        "  --salt TEXT                with -A and a passphrase key: this site's salt, the same\n"
        "                             as the taps'\n"
        "  --generate-key             print a new random key for -A (64 hexadecimal digits):\n"
        "                             vantry_collector --generate-key > key; chmod 640 key\n"
        "  -K, --disable-encryption   datagrams arrive in clear\n"
        "  -w, --write FILE           write a pcap stream to a new FILE ('-' for standard output;\n"
        "                             a FILE that exists is kept: 'NAME.1.EXT' is written)\n"
        "  -F, --format FORMAT        pcapng (default; one interface per tap) or pcap\n"
        "  -G, --rotate-seconds SECS  a new file every SECS seconds, FILE formatted by strftime\n"
        "      --utc                  -G names in UTC, not local time (where clocks change, a\n"
        "                             local hour repeats and its second file takes 'NAME.1.EXT')\n"
        "  -C, --file-size MEGABYTES  a new file (FILE1, FILE2...) before one passes MEGABYTES\n"
        "                             million bytes\n"
        "  -W, --file-count COUNT     keep at most COUNT files of a rotation, removing the oldest\n"
        "  -i, --interface NAME       write frames into the TAP interface NAME (Linux)\n"
        "  -c, --count COUNT          end after COUNT frames\n"
        "  -S, --stats-seconds SECS   a statistics line per source every SECS seconds (and on\n"
        "                             SIGUSR1 on Linux)\n"
        "  -v, --verbose              one line per datagram\n"
        "  -h, --help                 this text\n"
        "  -V, --version              the version\n"
        "  --extcap-interfaces, --extcap-config, --capture --fifo PATH...\n"
        "                             as Wireshark's capture interface 'vantry' (docs/collector.md)\n"
        "  -A, --authenticated        datagrams sealed by taps started with -A: verified, replays\n"
        "                             refused, losses counted (needs a key: 64 hexadecimal\n"
        "                             digits, or a passphrase and --salt; docs/wire.md)\n"
        "  -s, --state DIR            with -A: remember the tap runs heard in DIR, so that a\n"
        "                             restarted collector still refuses their replays\n"
        "      --max-age SECONDS      with -A: take a run not heard before only from datagrams\n"
        "                             sent within SECONDS of this clock (default 300)\n"
        "  --metrics [ADDRESS:]PORT   serve Prometheus metrics at http://ADDRESS:PORT/metrics\n"
        "                             (ADDRESS default 127.0.0.1; [::1]:PORT for IPv6)\n"
        "  -j, --workers N            threads receiving and opening datagrams, each on a socket\n"
        "                             of its own (default: one per processor, at most 16)\n"
        "  --pcap-over-ip [ADDRESS:]PORT\n"
        "                             stream the frames as classic pcap to every TCP client\n"
        "                             (ADDRESS default 127.0.0.1; the usual PORT is 57012)\n"
        "  --kafka BROKERS            produce each datagram's frames as one message to --topic\n"
        "  --topic NAME               the Kafka topic\n"
        "  --kafka-buffer MEGABYTES   what --kafka holds back while brokers are away (default\n"
        "                             256); past it, messages are dropped and counted\n"
        "  --from-kafka BROKERS       consume --topic in consumer group --group instead of\n"
        "                             receiving UDP, and write the frames as above\n"
        "  --group NAME               the consumer group of --from-kafka\n");
}

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
            // The reader points into argv's own words, which are ours to
            // wipe; a key given twice, the first at once.
            if (opt->key_word)
                sealed_wipe(opt->key_word, std::strlen(opt->key_word));
            opt->key = st.optarg;
            opt->key_word = const_cast<char*>(st.optarg);
            break;
        case key_file_word:
            opt->key_file = st.optarg;
            break;
        case salt_word:
            opt->salt = st.optarg;
            break;
        case generate_key_word:
            return print_new_key();
        case 'K':
            opt->clear = true;
            break;
        case 'A':
            opt->authenticated = true;
            break;
        case 'w':
            opt->write_path = st.optarg;
            break;
        case 'i':
            opt->tuntap_name = st.optarg;
            break;
        case 'c':
            if (parse_number(st.optarg, 0xffffffffUL, &v) != 0 || v == 0) {
                COLLECTOR_LOG(trace_level_error, "Invalid frame count '%s'", st.optarg);
                return -1;
            }
            opt->frame_limit = v;
            break;
        case 'F':
            if (std::strcmp(st.optarg, "pcapng") == 0) {
                opt->format = capture_format::pcapng;
            } else if (std::strcmp(st.optarg, "pcap") == 0) {
                opt->format = capture_format::pcap;
            } else {
                COLLECTOR_LOG(trace_level_error, "Invalid file format '%s' (pcapng or pcap)",
                              st.optarg);
                return -1;
            }
            break;
        case 'G':
            if (positive(st.optarg, 0x7fffffffUL, "rotation time", &v) != 0)
                return -1;
            opt->rotation.seconds = static_cast<long>(v);
            break;
        case 'C':
            if (positive(st.optarg, 1000000UL, "file size", &v) != 0)
                return -1;
            opt->rotation.max_bytes = std::uint64_t{v} * 1000000;
            break;
        case 'W':
            if (positive(st.optarg, rotation_max_files, "file count", &v) != 0)
                return -1;
            opt->rotation.max_files = static_cast<unsigned>(v);
            break;
        case 'S':
            if (positive(st.optarg, 0x7fffffffUL, "statistics interval", &v) != 0)
                return -1;
            opt->stats_seconds = v;
            break;
        case 'b':
            opt->bind_address = st.optarg;
            break;
        case 'r':
            if (positive(st.optarg, 0x7fffffffUL, "receive buffer size", &v) != 0)
                return -1;
            opt->receive_buffer = v;
            break;
        case 's':
            opt->state_dir = st.optarg;
            break;
        case max_age_word:
            if (positive(st.optarg, 366UL * 86400, "--max-age", &v) != 0)
                return -1;
            opt->max_age_seconds = v;
            break;
        case 'v':
            trace_verbosity = trace_level_verbose;
            break;
        case 'h':
            print_help();
            return 1;
        case 'V':
            std::printf("vantry_collector %s\n", vantry_version);
            return 1;
        case utc_word:
            opt->rotation.utc = true;
            break;
        case metrics_word:
            if (metrics_parse_address(st.optarg, &opt->metrics_at) != 0) {
                COLLECTOR_LOG(trace_level_error,
                              "Invalid --metrics '%s': give PORT, ADDRESS:PORT or [IPv6]:PORT, the "
                              "address written as one (such as 127.0.0.1:9500)",
                              st.optarg);
                return -1;
            }
            opt->metrics = true;
            break;
        case 'j':
            if (positive(st.optarg, collector_workers_max, "worker count (-j, 1 to 64)", &v) != 0)
                return -1;
            opt->workers = static_cast<unsigned>(v);
            break;
        case pcap_over_ip_word:
            if (metrics_parse_address(st.optarg, &opt->pcap_over_ip_at) != 0) {
                COLLECTOR_LOG(trace_level_error,
                              "Invalid --pcap-over-ip '%s': give PORT, ADDRESS:PORT or [IPv6]:PORT, "
                              "the address written as one (such as 127.0.0.1:57012)",
                              st.optarg);
                return -1;
            }
            opt->pcap_over_ip = true;
            break;
        case kafka_word:
            opt->kafka_brokers = st.optarg;
            break;
        case from_kafka_word:
            opt->from_kafka_brokers = st.optarg;
            break;
        case topic_word:
            opt->kafka_topic = st.optarg;
            break;
        case group_word:
            opt->kafka_group = st.optarg;
            break;
        case kafka_buffer_word:
            if (positive(st.optarg, 1048576UL, "--kafka-buffer (megabytes)", &v) != 0)
                return -1;
            opt->kafka_buffer_mb = v;
            opt->kafka_buffer_given = true;
            break;
        case extcap_interfaces_word:
            opt->extcap.step = extcap_step::interfaces;
            break;
        case extcap_dlts_word:
            opt->extcap.step = extcap_step::dlts;
            break;
        case extcap_config_word:
            opt->extcap.step = extcap_step::config;
            break;
        case extcap_capture_word:
            opt->extcap.step = extcap_step::capture;
            break;
        case extcap_interface_word:
            opt->extcap.interface = st.optarg;
            break;
        case extcap_fifo_word:
            opt->extcap.fifo = st.optarg;
            break;
        case extcap_filter_word:
            opt->extcap.capture_filter = st.optarg;
            break;
        case extcap_ignored_word:
            break;
        default:
            return -1;
        }
    }
    if (st.optind < argc) {
        COLLECTOR_LOG(trace_level_error, "Unexpected argument '%s'", argv[st.optind]);
        return -1;
    }
    if (const int answered = extcap_apply(opt, stdout); answered != 0)
        return answered;
    if (check_kafka(*opt) != 0)
        return -1;
    if (opt->from_kafka_brokers)
        return check_outputs(*opt) != 0 ? -1 : check_together(*opt);
    if (opt->port < 0) {
        COLLECTOR_LOG(trace_level_error, "Missing UDP port -p");
        return -1;
    }
    if (opt->authenticated && opt->clear) {
        COLLECTOR_LOG(trace_level_error,
                      "Options -A and -K exclude each other: -A reads sealed datagrams with the key of -k");
        return -1;
    }
    const bool have_key = opt->key || opt->key_file;
    if (opt->authenticated && !have_key) {
        COLLECTOR_LOG(trace_level_error, "Missing encryption key -k (-A reads sealed datagrams with it): "
                                         "give -k KEY or --key-file FILE");
        return -1;
    }
    if (!have_key && !opt->clear) {
        COLLECTOR_LOG(trace_level_error, "Missing encryption key -k (or -K for clear datagrams): give -k KEY "
                                         "or --key-file FILE");
        return -1;
    }
    if (have_key && take_key(opt) != 0)
        return -1;
    return check_outputs(*opt) != 0 ? -1 : check_together(*opt);
}
