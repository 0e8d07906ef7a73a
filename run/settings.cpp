// Reading the options of a run into settings, and what each option does.
#include "run/settings.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "forward/allow_list.h"
#include "wire/speck.h"
#include "platform/platform.h"
#include "run/options.h"
#include "run/run_settings.h"
#include "run/tap_run.h"
#include "support/interface_discovery.h"
#include "support/interface_source.h"
#include "support/trace_log.h"

namespace {

void apply_option(int letter, const char* value, void*) { handle_option(letter, value); }

// Options that mean nothing without a value. The command line always gives
// them one; a configuration line may not.
bool needs_value(int letter) { return letter && std::strchr("knstH", letter); }

// How long wait mode sleeps between two looks at the interface list.
constexpr unsigned wait_poll_ms = 3000;

}  // namespace

void parse_settings(std::vector<std::string>& args)
{
    // One word after the program path that is not an option names a
    // configuration file; anything else is a command line.
    if (args.size() == 2 && args[1][0] != '-') {
        read_config_file(args[1].c_str());
    } else if (!args.empty()) {
        std::vector<const char*> argv;
        for (const std::string& a : args)
            argv.push_back(a.c_str());
        argv.push_back(nullptr);
        bool posixly_correct = std::getenv("POSIXLY_CORRECT") != nullptr;
        read_command_line(static_cast<int>(args.size()), argv.data(), posixly_correct, stderr,
                          apply_option, nullptr);
    }
    check_settings();
}

void handle_option(int letter, const char* arg)
{
    if (!arg && needs_value(letter)) {
        TAP_LOG(trace_level_error, "Option -%c needs a value", letter);
        return;
    }
    switch (letter) {
    case 'c':
        settings.collector = arg ? std::optional<std::string>(arg) : std::nullopt;
        break;
    case 'f':
        settings.bpf_filter = arg ? std::optional<std::string>(arg) : std::nullopt;
        break;
    case 'i':
        if (settings.tzsp_port != 0) {
            TAP_LOG(trace_level_error, "Ignored -i as -t has already been specified");
            break;
        }
        settings.interface_name = must_choose_interface(arg);
        break;
    case 't':
        if (settings.interface_name) {
            TAP_LOG(trace_level_error, "Ignored -t as -i has already been specified");
            break;
        }
        settings.tzsp_port = static_cast<std::uint16_t>(read_int(arg));
        break;
    case 'n':
        settings.tap_id = read_int(arg);
        break;
    case 's':
        settings.snaplen = read_int(arg);
        break;
    case 'k':
        settings.key_text = arg;
        if (speck_setup_key(arg, static_cast<std::int32_t>(std::strlen(arg))) == -1) {
            TAP_LOG(trace_level_error, "Unable to initialize encryption");
            print_usage();
        }
        break;
    case 'K':
        settings.disable_encryption = true;
        TAP_LOG(trace_level_warning, "Data will not be encrypted (-K specified)");
        break;
    case 'A':
        settings.authenticated = true;
        break;
    case 'H':
        load_hosts_file(arg, &settings.allow_list);
        break;
    case 'v':
        trace_verbosity = 6;
        break;
    case 'h':
        print_usage();
    case 'V':
        print_version();
    default:
        TAP_LOG(trace_level_error, "Bad option %c", letter);
        break;
    }
}

std::optional<std::string> must_choose_interface(const char* text)
{
    const interface_source& src = discovery_source;
    std::string err;
    if (src.library_load(&err) != 0) {
        UTIL_LOG(trace_level_error,
                 "Unable to load the capture library (%s): please install Npcap and try again",
                 err.c_str());
        process_exit(-1);
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
                return found;
            }
            src.sleep(wait_poll_ms);
            if (src.find_all(&list, &err) != 0)
                list.clear();
        }
    }
    if (choice.kind == interface_failed && choice.before_listing) {
        UTIL_LOG(trace_level_verbose, "%s", choice.message.c_str());
        process_exit(-1);
    }
    print_interface_listing(list, choice.kind == interface_listing);
    if (choice.kind == interface_failed) {
        UTIL_LOG(trace_level_error, "%s", choice.message.c_str());
        process_exit(-1);
    }
    if (choice.kind == interface_listing)
        return std::nullopt;
    return choice.name;
}

void read_config_file(const char* path) { read_config_lines(path, apply_option, nullptr); }

void check_settings()
{
    const char* missing =
        missing_option_message(settings.disable_encryption, speck_key != nullptr,
                               settings.interface_name.has_value(), settings.tzsp_port,
                               settings.collector.has_value(), settings.authenticated);
    if (missing) {
        TAP_LOG(trace_level_error, "%s", missing);
        print_usage();
    }
}

void print_usage()
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
    TAP_LOG(trace_level_normal, "    -k <key>|-K [-f <BPF filter>] [-s <len>] [-H <hosts>]");
    TAP_LOG(trace_level_normal, "    [-h] [-v] [-V]");
    TAP_LOG(trace_level_normal, "%s", "");
    TAP_LOG(trace_level_normal, "Options:");
    TAP_LOG(trace_level_normal, "   [--interface|-i] <interface>      | Interface id from which packets are captured");
    TAP_LOG(trace_level_normal, "   [--tzsp|-t] <port>                | TZSP collection port");
    TAP_LOG(trace_level_normal, "   [--collector|-c] <address>:<port> | Vantry collector IP:port");
    TAP_LOG(trace_level_normal, "   [--key|-k] <key>                  | Encryption key");
    TAP_LOG(trace_level_normal, "   [--disable-encryption|-K]         | Disable data encryption (faster but unsafe)");
    TAP_LOG(trace_level_normal, "   [--tap-id|-n] <num>               | Tap id used by the vantry_collector");
    TAP_LOG(trace_level_normal, "                                     | to identify the remote tap");
    TAP_LOG(trace_level_normal, "   [--filter|-f] <BPF>               | Capture filter");
    TAP_LOG(trace_level_normal, "   [--snaplen|-s] <len>              | Max packet capture lenght");
    TAP_LOG(trace_level_normal, "   [--hosts|-H]                      | File containing IPv4 addresses to forward traffic");
    TAP_LOG(trace_level_normal, "                                     | to the collector. One IPv4 per line");
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
    TAP_LOG(trace_level_normal, "   [--authenticated|-A]              | Seal datagrams: authenticated encryption,");
    TAP_LOG(trace_level_normal, "                                     | replay protection (needs -k; the collector");
    TAP_LOG(trace_level_normal, "                                     | needs -A as well; docs/wire.md)");

    must_choose_interface("-1");
    tap_shutdown(15);
    process_exit(0);
}

void print_version()
{
    std::printf("\nWelcome to %s v.%s\n\nVersion:       %s\n", tap_title, vantry_version, vantry_version);
    std::fflush(stdout);
    process_exit(0);
}
