// vantry_collector as an external capture program of Wireshark and tshark
// (man 4 extcap). They ask which interfaces it offers, their link types
// and their configuration fields, each question a run of its own, then
// start a capture run that writes pcapng into a FIFO they read and end it
// with a signal. The fields name the collector's own long options
// (--port, --key, --disable-encryption, --bind, --authenticated,
// --key-file, --salt), so that a capture run is an ordinary run whose
// output is the FIFO.
#pragma once

#include <cstdio>

struct collector_options;

enum class extcap_step { none, interfaces, dlts, config, capture };

// The extcap words of a command line, as read; nothing is done with them
// until every word is read, since Wireshark names the interface after the
// question.
struct extcap_request {
    extcap_step step = extcap_step::none;
    const char* interface = nullptr;       // --extcap-interface
    const char* fifo = nullptr;            // --fifo
    const char* capture_filter = nullptr;  // --extcap-capture-filter
};

inline constexpr char extcap_interface_name[] = "vantry";

// Acts on opt->extcap once the command line is read:
//   1: a question was answered on out (interfaces, link types, fields), or
//      an empty capture filter checked; the run ends with status 0.
//   0: the run goes on: no extcap question, or a capture, for which opt
//      now writes to the FIFO and the trace log moves to standard error
//      (where Wireshark shows what a capture run writes), errors only.
//  -1: after an ERROR line: an interface other than ours or none, a
//      capture without --fifo or with a file of its own, a capture filter.
int extcap_apply(collector_options* opt, std::FILE* out);
