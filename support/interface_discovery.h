// Capture interface discovery: which interface an -i text names (by index,
// description piece, name or wait text), and the numbered listing.
//
// Everything here is free of process state but standard output: the caller
// fetches the library's list (interface_source.h), asks choose_interface
// and decides what a failure does to the run.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/capture.h"

// What the library says about its default device: status 0 and its name,
// or -1 and the library's reason for having none.
struct default_device {
    int status = 0;
    std::string text;
};

// How one interface of the library's list is shown. Skipped interfaces
// (dial-up and WAN pseudo-devices) are announced and never chosen; of the
// others, the first interface_table_capacity get an index, the rest can
// only be chosen by their exact name.
struct interface_row {
    const capture_iface* iface;
    bool skipped;
    int index;  // -1 when skipped or beyond the table
};

inline constexpr int interface_table_capacity = 32;

// One row per interface, in the library's order.
std::vector<interface_row> interface_rows(const std::vector<capture_iface>& list);

enum interface_choice_kind : int {
    interface_chosen,   // name: the system name to capture from
    interface_listing,  // the text reads as -1: list the interfaces, choose none
    interface_wait,     // name: the text to wait for (after the '*')
    interface_failed,   // message: why no interface can be chosen
};

struct interface_choice {
    interface_choice_kind kind = interface_failed;
    std::string name;
    std::string message;
    // A failure known before anything is listed, and told only at the
    // verbose level: the library has no default device.
    bool before_listing = false;
};

// The interface an -i text names (null text: the first usable one, the
// loopback interface only when nothing else is usable). Rules, first match
// wins: "*text" waits; a text that reads as -1 lists; the exact system
// name; a case-insensitive piece of one of the indexed descriptions; the
// index the text reads as.
interface_choice choose_interface(const std::vector<capture_iface>& list,
                                  const default_device& default_dev, const char* text);

// Wait mode: the first interface whose description or name holds wanted
// (case-sensitive, skip rules and table ignored), or nothing yet.
std::optional<std::string> find_waited_interface(const std::vector<capture_iface>& list,
                                                 const char* wanted);

// Prints what discovery shows of list: the skipped interfaces and, when
// listing, the heading, the indexed rows and the closing blank line (or a
// warning that nothing is available); a warning when the table overflows.
void print_interface_listing(const std::vector<capture_iface>& list, bool listing);
