#include "collector/extcap.h"

#include <cstring>

#include "support/version.h"
#include "collector/collector_log.h"
#include "collector/collector_options.h"
#include "collector/pcap_stream.h"

namespace {

constexpr char display_name[] = "Vantry remote tap collector";

// tshark passes no password field given with -o, so the key comes a
// second time as a plain string field. No default port: the taps' port is
// the site's choice, and Wireshark asks for a required field.
constexpr char config_fields[] =
    "arg {number=0}{call=--port}{display=UDP port}{type=unsigned}{range=0,65535}{required=true}"
    "{tooltip=The port the taps send to (vantry_remote -c ADDRESS:PORT)}\n"
    "arg {number=1}{call=--key}{display=Key}{type=password}"
    "{tooltip=The key the taps were given (vantry_remote -k)}\n"
    "arg {number=2}{call=--extcap-key}{display=Key as plain text}{type=string}"
    "{tooltip=The same key in a field tshark -o can fill: extcap.vantry.extcapkey}\n"
    "arg {number=3}{call=--disable-encryption}{display=Datagrams in clear}{type=boolflag}"
    "{default=false}{tooltip=The taps send in clear (vantry_remote -K)}\n"
    "arg {number=4}{call=--bind}{display=Bind address}{type=string}"
    "{tooltip=Receive on this IPv4 or IPv6 address only (default: every IPv4 address; :: for both)}\n"
    "arg {number=5}{call=--authenticated}{display=Sealed datagrams (-A)}{type=boolflag}{default=false}"
    "{tooltip=The taps seal their datagrams (vantry_remote -A): each one verified, replays refused}\n"
    "arg {number=6}{call=--key-file}{display=Key file}{type=fileselect}{mustexist=true}"
    "{tooltip=The key as the first line of a file that other users may not read, in place of the Key field}\n"
    "arg {number=7}{call=--salt}{display=Salt}{type=string}"
    "{tooltip=With sealed datagrams and a passphrase as the key: the taps' --salt}\n";

// What a question names must be our one interface.
int check_interface(const char* name)
{
    if (!name) {
        COLLECTOR_LOG(trace_level_error, "Missing --extcap-interface %s", extcap_interface_name);
        return -1;
    }
    if (std::strcmp(name, extcap_interface_name) == 0)
        return 0;
    COLLECTOR_LOG(trace_level_error, "Unknown extcap interface '%s' (the collector offers '%s')",
                  name, extcap_interface_name);
    return -1;
}

}  // namespace

int extcap_apply(collector_options* opt, std::FILE* out)
{
    const extcap_request& x = opt->extcap;
    if (x.step == extcap_step::interfaces) {
        std::fprintf(out, "extcap {version=%s}\ninterface {value=%s}{display=%s}\n", vantry_version,
                     extcap_interface_name, display_name);
        return 1;
    }
    // Wireshark checks a capture filter by asking with the filter alone.
    if (x.step == extcap_step::none && !x.capture_filter)
        return 0;
    if (check_interface(x.interface) != 0)
        return -1;
    if (x.step == extcap_step::dlts) {
        std::fprintf(out, "dlt {number=%u}{name=EN10MB}{display=Ethernet}\n", pcap_linktype_ethernet);
        return 1;
    }
    if (x.step == extcap_step::config) {
        std::fputs(config_fields, out);
        return 1;
    }
    // Before the checks that follow and those of the options: Wireshark
    // shows what a capture run writes to standard error, and reads
    // nothing else of it. Lines that are not errors would show as errors.
    if (x.step == extcap_step::capture) {
        collector_log_to_stderr();
        trace_verbosity = trace_level_error;
    }
    if (x.capture_filter && *x.capture_filter) {
        COLLECTOR_LOG(trace_level_error,
                      "The collector applies no capture filter ('%s'): give it to the taps "
                      "(vantry_remote -f) or use a display filter",
                      x.capture_filter);
        return -1;
    }
    if (x.step == extcap_step::none)
        return 1;
    if (!x.fifo) {
        COLLECTOR_LOG(trace_level_error, "Missing --fifo PATH to write the capture to");
        return -1;
    }
    const rotation_settings& r = opt->rotation;
    if (opt->write_path || r.seconds || r.max_bytes || r.max_files) {
        COLLECTOR_LOG(trace_level_error,
                      "A capture for Wireshark writes to its FIFO only: no -w, -G, -C or -W");
        return -1;
    }
    opt->write_path = x.fifo;
    return 0;
}
