// Reading the options of a run into a tap_options record, and what each
// option does.
#include "run/settings.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "forward/allow_list.h"
#include "forward/sender.h"
#include "forward/rate_cap.h"
#include "wire/sealed_datagram.h"
#include "wire/speck.h"
#include "platform/platform.h"
#include "run/options.h"
#include "support/interface_discovery.h"
#include "support/interface_source.h"
#include "support/trace_log.h"

namespace {

int apply_option(int letter, const char* value, void* ctx)
{
    return handle_option(*static_cast<tap_options*>(ctx), letter, value);
}

// Options that mean nothing without a value. The command line always gives
// them one; a configuration line may not.
bool needs_value(int letter)
{
    if (letter == tap_key_file_option || letter == tap_salt_option)
        return true;
    return letter > 0 && letter < 256 && std::strchr("knstHMRS", letter);
}

// An option as the user wrote it: "-k", or the long name of those that
// have no letter.
std::string option_name(int letter)
{
    if (letter < 256)
        return std::string("-") + static_cast<char>(letter);
    const long_option* opt = tap_long_options;
    while (opt->name && opt->letter != letter)
        ++opt;
    return std::string("--") + (opt->name ? opt->name : "?");
}

// How long wait mode sleeps between two looks at the interface list.
constexpr unsigned wait_poll_ms = 3000;

// The code (0, 1, -1) that o.stopped_by means.
int reading_code(const tap_options& o)
{
    if (o.stopped_by == run_end::none)
        return 0;
    return o.stopped_by == run_end::help || o.stopped_by == run_end::version ? 1 : -1;
}

int stop_reading(tap_options& o, run_end why)
{
    o.stopped_by = why;
    return reading_code(o);
}

// --generate-key: a key on standard output alone, then the end that -V
// has. 1, or -1 (refused) when the library cannot start.
int print_new_key(tap_options& o)
{
    char key[sealed_key_digits + 1];
    if (sealed_generate_key(key) != 0) {
        TAP_LOG(trace_level_error, "Unable to make a key: libgcrypt cannot be started");
        return stop_reading(o, run_end::refused);
    }
    std::printf("%s\n", key);
    std::fflush(stdout);
    sealed_wipe(key, sizeof key);
    return stop_reading(o, run_end::version);
}

// The key text of --key-file into o.key_text. 0, or -1 after the message.
int read_key_file(tap_options& o)
{
    char line[key_file_line_max + 1];
    char message[1024];
    std::size_t len = 0;
    const int r = sealed_read_key_file(o.key_file->c_str(), line, sizeof line, &len, message,
                                       sizeof message);
    if (r == 0)
        o.key_text.emplace(line, len);
    else
        TAP_LOG(trace_level_error, "%s", message);
    sealed_wipe(line, sizeof line);
    return r;
}

// The key, once every option is read: from -k or the key file, held to
// the key policy. Without -A the Speck key schedule is built from it and
// the text is wiped; under -A the run derives its keys from the text
// (tap_run.cpp), and no Speck schedule exists. 0, or -1 after the message
// (the caller wipes the text).
int take_key(tap_options& o)
{
    if (o.key_text && o.key_file) {
        TAP_LOG(trace_level_error, "Options -k and --key-file exclude each other: give the key one way");
        return -1;
    }
    if (o.key_file && read_key_file(o) != 0)
        return -1;
    const std::string& text = *o.key_text;
    if (const char* why = sealed_key_refusal(text.data(), text.size(), o.authenticated,
                                             o.salt && !o.salt->empty())) {
        TAP_LOG(trace_level_error, "%s", why);
        return -1;
    }
    if (o.authenticated)
        return 0;
    const int built = speck_setup_key(text.data(), static_cast<std::int32_t>(text.size()));
    forget_key_text(o);
    if (built == -1) {
        TAP_LOG(trace_level_error, "Unable to initialize encryption");
        return -1;
    }
    return 0;
}

}  // namespace

int refuse_with_usage(tap_options& o)
{
    return stop_reading(o, print_usage() == 0 ? run_end::refused : run_end::no_interface);
}

int parse_settings(tap_options& o, std::vector<std::string>& args)
{
    // One word after the program path that is not an option names a
    // configuration file; anything else is a command line.
    if (args.size() == 2 && args[1][0] != '-') {
        read_config_file(o, args[1].c_str());
    } else if (!args.empty()) {
        std::vector<const char*> argv;
        for (const std::string& a : args)
            argv.push_back(a.c_str());
        argv.push_back(nullptr);
        bool posixly_correct = std::getenv("POSIXLY_CORRECT") != nullptr;
        read_command_line(static_cast<int>(args.size()), argv.data(), posixly_correct, stderr,
                          apply_option, &o);
    }
    if (o.stopped_by != run_end::none)
        return reading_code(o);
    return check_settings(o);
}

int handle_option(tap_options& o, int letter, const char* arg)
{
    if (!arg && needs_value(letter)) {
        TAP_LOG(trace_level_error, "Option %s needs a value", option_name(letter).c_str());
        return 0;
    }
    switch (letter) {
    case 'c':
        o.collector = arg ? std::optional<std::string>(arg) : std::nullopt;
        break;
    case 'f':
        o.bpf_filter = arg ? std::optional<std::string>(arg) : std::nullopt;
        break;
    case 'i':
        if (o.tzsp_port != 0) {
            TAP_LOG(trace_level_error, "Ignored -i as -t has already been specified");
            break;
        }
        if (may_choose_interface(arg, &o.interface_name) != 0)
            return stop_reading(o, run_end::no_interface);
        break;
    case 't':
        if (o.interface_name) {
            TAP_LOG(trace_level_error, "Ignored -t as -i has already been specified");
            break;
        }
        o.tzsp_port = static_cast<std::uint16_t>(read_int(arg));
        break;
    case 'n':
        o.tap_id = read_int(arg);
        break;
    case 's':
        o.snaplen = read_int(arg);
        break;
    case 'M':
        o.mtu = read_int(arg);
        if (o.mtu < static_cast<std::int32_t>(path_mtu_min) || o.mtu > tap_mtu_max) {
            TAP_LOG(trace_level_error, "Invalid MTU '%s': give %u to %d bytes", arg, path_mtu_min,
                    tap_mtu_max);
            return refuse_with_usage(o);
        }
        break;
    case 'k':
        // At once: "-k -A" must not read on as if -A had been given.
        if (arg[0] == '-') {
            TAP_LOG(trace_level_error, "%s", sealed_key_refusal(arg, std::strlen(arg), false, false));
            return refuse_with_usage(o);
        }
        forget_key_text(o);
        o.key_text = arg;
        break;
    case tap_key_file_option:
        o.key_file = arg;
        break;
    case tap_salt_option:
        o.salt = arg;
        break;
    case tap_generate_key_option:
        return print_new_key(o);
    case 'K':
        o.disable_encryption = true;
        TAP_LOG(trace_level_warning, "Data will not be encrypted (-K specified)");
        break;
    case 'A':
        o.authenticated = true;
        break;
    case 'R':
        // A cap that is not the one meant must not leave the uplink open.
        if (rate_cap_parse_mbits(arg, &o.max_rate_bits) != 0) {
            TAP_LOG(trace_level_error,
                    "Invalid -R rate '%s': give megabits a second, more than 0 and at most 1000000, "
                    "as in -R 50 or -R 0.5", arg);
            return refuse_with_usage(o);
        }
        break;
    case 'S':
    {
        // Digits alone: "-S 1m" must not read as one second.
        const int seconds = read_int(arg);
        if (arg[std::strspn(arg, "0123456789")] != '\0' || seconds < 1 || seconds > tap_stats_seconds_max) {
            TAP_LOG(trace_level_error,
                    "Invalid -S interval '%s': give whole seconds from 1 to %d, as in -S 60", arg,
                    tap_stats_seconds_max);
            return refuse_with_usage(o);
        }
        o.stats_seconds = static_cast<std::uint32_t>(seconds);
        break;
    }
    case 'H':
    {
        prefix_trie* list = o.allow_list.release();
        load_hosts_file(arg, &list);
        o.allow_list.reset(list);
        break;
    }
    case 'v':
        trace_verbosity = 6;
        break;
    case 'h':
        return stop_reading(o, print_usage() == 0 ? run_end::help : run_end::no_interface);
    case 'V':
        print_version();
        return stop_reading(o, run_end::version);
    default:
        TAP_LOG(trace_level_error, "Bad option %c", letter);
        break;
    }
    return 0;
}

int may_choose_interface(const char* text, std::optional<std::string>* chosen)
{
    const interface_source& src = discovery_source;
    std::string err;
    if (src.library_load(&err) != 0) {
        UTIL_LOG(trace_level_error,
                 "Unable to load the capture library (%s): please install Npcap and try again",
                 err.c_str());
        return -1;
    }
    default_device default_dev;
    std::string default_err;
    default_dev.status = src.lookup_default(&default_dev.text, &default_err);
    if (default_dev.status != 0)
        default_dev.text = default_err;
    // A list that cannot be had reads as empty: the listing then says that
    // nothing is available, and wait mode looks again later.
    std::vector<capture_iface> list;
    if (src.find_all(&list, &err) != 0)
        list.clear();

    const interface_choice choice = choose_interface(list, default_dev, text);
    if (choice.kind == interface_wait) {
        UTIL_LOG(trace_level_normal, "Searching for interface '%s' until the interface is up",
                 choice.name.c_str());
        for (;;) {
            if (std::optional<std::string> found = find_waited_interface(list, choice.name.c_str())) {
                UTIL_LOG(trace_level_normal, "Found interface '%s'", found->c_str());
                *chosen = std::move(found);
                return 0;
            }
            src.sleep(wait_poll_ms);
            if (src.find_all(&list, &err) != 0)
                list.clear();
        }
    }
    if (choice.kind == interface_failed && choice.before_listing) {
        UTIL_LOG(trace_level_verbose, "%s", choice.message.c_str());
        return -1;
    }
    print_interface_listing(list, choice.kind == interface_listing);
    if (choice.kind == interface_failed) {
        UTIL_LOG(trace_level_error, "%s", choice.message.c_str());
        return -1;
    }
    if (choice.kind == interface_listing)
        chosen->reset();
    else
        *chosen = choice.name;
    return 0;
}

int read_config_file(tap_options& o, const char* path)
{
    // A file that cannot be opened is not reported: the check of the
    // mandatory options that follows says what is missing.
    read_config_lines(path, apply_option, &o);
    return reading_code(o);
}

int check_settings(tap_options& o)
{
    const char* missing = missing_option_message(
        o.disable_encryption, o.key_text.has_value() || o.key_file.has_value(),
        o.interface_name.has_value(), o.tzsp_port, o.collector.has_value(), o.authenticated);
    if (missing) {
        TAP_LOG(trace_level_error, "%s", missing);
        forget_key_text(o);
        return refuse_with_usage(o);
    }
    // -K: a key given as well is of no use.
    if (o.disable_encryption) {
        forget_key_text(o);
        return 0;
    }
    if (take_key(o) != 0) {
        forget_key_text(o);
        return refuse_with_usage(o);
    }
    return 0;
}

int print_usage()
{
    static constexpr const char* usage_format =
        "vantry_remote %s-i <interface>|-t <TZSP port> -c <vantry_collector ip>:<vantry_collector port>";
    static constexpr const char* example_format = "- vantry_remote %s -c 127.0.0.1:1234 -k mango";

    TAP_LOG(trace_level_normal, "%s", "");
    TAP_LOG(trace_level_normal, "%s %s", tap_title, vantry_version);
    TAP_LOG(trace_level_normal, "%s", "");
    TAP_LOG(trace_level_normal, "Usage:");
    TAP_LOG(trace_level_normal, "vantry_remote <config filename>");
    TAP_LOG(trace_level_normal, "or");
    TAP_LOG(trace_level_normal, usage_format, "/c|/i ");
    TAP_LOG(trace_level_normal, "    -k <key>|--key-file <file>|-K [-A [--salt <text>]] [-f <BPF filter>] [-s <len>] [-H <hosts>]");
    TAP_LOG(trace_level_normal, "    [-R <Mbit/s>] [-S <seconds>] [-h] [-v] [-V]");
    TAP_LOG(trace_level_normal, "%s", "");
    TAP_LOG(trace_level_normal, "Options:");
    TAP_LOG(trace_level_normal, "   [--interface|-i] <interface>      | Interface id from which packets are captured");
    TAP_LOG(trace_level_normal, "   [--tzsp|-t] <port>                | TZSP collection port");
    TAP_LOG(trace_level_normal, "   [--collector|-c] <address>:<port> | Vantry collector IPv4:port, [IPv6]:port or");
    TAP_LOG(trace_level_normal, "                                     | name:port (a name is looked up again every 30 s)");
    TAP_LOG(trace_level_normal, "   [--key|-k] <key>                  | Encryption key");
    TAP_LOG(trace_level_normal, "   [--disable-encryption|-K]         | Disable data encryption (faster but unsafe)");
    TAP_LOG(trace_level_normal, "   [--tap-id|-n] <num>               | Tap id used by the vantry_collector");
    TAP_LOG(trace_level_normal, "                                     | to identify the remote tap");
    TAP_LOG(trace_level_normal, "   [--filter|-f] <BPF>               | Capture filter");
    TAP_LOG(trace_level_normal, "   [--snaplen|-s] <len>              | Max packet capture lenght");
    TAP_LOG(trace_level_normal, "   [--hosts|-H]                      | File containing IPv4 addresses to forward traffic");
    TAP_LOG(trace_level_normal, "                                     | to the collector. One IPv4 per line");
    TAP_LOG(trace_level_normal, "   [--max-rate|-R] <Mbit/s>          | Send at most this many megabits a second,");
    TAP_LOG(trace_level_normal, "                                     | IP and UDP headers included (e.g. 50, 0.5):");
    TAP_LOG(trace_level_normal, "                                     | frames beyond it are left out and counted");
    TAP_LOG(trace_level_normal, "   [--stats|-S] <seconds>            | Log a line of the counters this often: frames");
    TAP_LOG(trace_level_normal, "                                     | received, dropped, left out, sent, failed");
    TAP_LOG(trace_level_normal, "   [--help|-h]                       | Print the help");
    TAP_LOG(trace_level_normal, "   [--verbose|-v]                    | Verbose");
    TAP_LOG(trace_level_normal, "   [--version|-V]                    | Print version information");
    TAP_LOG(trace_level_normal, "%s", "");
    TAP_LOG(trace_level_normal, "Example:");
    TAP_LOG(trace_level_normal, example_format, "/c -i 1 ");
    TAP_LOG(trace_level_normal, example_format, "/c -t 37008 ");
    TAP_LOG(trace_level_normal, "- vantry_collector -p 1234 -k mango -w capture.pcap");
    TAP_LOG(trace_level_normal, "- vantry_collector -p 1234 -k mango -w -");
    TAP_LOG(trace_level_normal, "- vantry_collector -p 1234 -k mango -i vantry0");
    TAP_LOG(trace_level_normal, "%s", "");
    TAP_LOG(trace_level_normal, "Please use vantry_remote /i <options> to install this tool as Windows service");
    TAP_LOG(trace_level_normal, "and vantry_remote /r to remove the above service");
    TAP_LOG(trace_level_normal, "%s", "");
    TAP_LOG(trace_level_normal, "   [--mtu|-M] <bytes>                | With -A: every datagram, IP and UDP headers");
    TAP_LOG(trace_level_normal, "                                     | included, fits this size (default 1500)");
    TAP_LOG(trace_level_normal, "   [--authenticated|-A]              | Seal datagrams: authenticated encryption,");
    TAP_LOG(trace_level_normal, "                                     | replay protection (needs a key; the collector");
    TAP_LOG(trace_level_normal, "                                     | needs -A as well; docs/wire.md)");
    TAP_LOG(trace_level_normal, "   --key-file <file>                 | The key: the first line of file, which other");
    TAP_LOG(trace_level_normal, "                                     | users may not read (instead of -k)");
    TAP_LOG(trace_level_normal, "   --salt <text>                     | -A with a passphrase key: this site's salt,");
    TAP_LOG(trace_level_normal, "                                     | the same at the collector");
    TAP_LOG(trace_level_normal, "   --generate-key                    | Print a new random key for -A and exit:");
    TAP_LOG(trace_level_normal, "                                     | 64 hexadecimal digits, used as they are");

    std::optional<std::string> none;
    return may_choose_interface("-1", &none);
}

void print_version()
{
    std::printf("\nWelcome to %s v.%s\n\nVersion:       %s\n", tap_title, vantry_version, vantry_version);
    std::fflush(stdout);
}
