// Capture interface discovery: turns the -i text into the system name of a
// capture interface, and prints the numbered interface list.
//
// The rows are rebuilt from the library's list on every call, in the
// library's order; a row's index is the number the user sees and types.
#include "support/interface_discovery.h"

#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "support/interface_source.h"
#include "support/text.h"
#include "support/trace_log.h"

namespace {

constexpr const char* loopback_description = "Adapter for loopback traffic capture";

void real_sleep(unsigned ms) { sleep_ms(ms); }

bool is_skipped(const std::string& description)
{
    const char* d = description.c_str();
    return std::strstr(d, "WAN Miniport") || std::strstr(d, "NdisWan") ||
           find_nocase(d, "dialup") >= 0;
}

interface_choice chosen(const std::string& name)
{
    interface_choice c;
    c.kind = interface_chosen;
    c.name = name;
    return c;
}

interface_choice failed(std::string message)
{
    interface_choice c;
    c.message = std::move(message);
    return c;
}

}  // namespace

interface_source capture_interface_source()
{
    return {capture_library_load, capture_find_all, capture_lookup_default, real_sleep};
}

interface_source discovery_source = capture_interface_source();

std::vector<interface_row> interface_rows(const std::vector<capture_iface>& list)
{
    std::vector<interface_row> rows;
    rows.reserve(list.size());
    int entered = 0;
    for (const capture_iface& i : list) {
        if (is_skipped(i.description)) {
            rows.push_back({&i, true, -1});
            continue;
        }
        rows.push_back({&i, false, entered < interface_table_capacity ? entered : -1});
        ++entered;
    }
    return rows;
}

interface_choice choose_interface(const std::vector<capture_iface>& list,
                                  const default_device& default_dev, const char* text)
{
    const bool listing = text && read_int(text) == -1;
    if (!listing && text && text[0] == '*') {
        interface_choice c;
        c.kind = interface_wait;
        c.name = text + 1;
        return c;
    }
    if (default_dev.status != 0) {
        interface_choice c = failed("Unable to locate default interface (" + default_dev.text + ")");
        c.before_listing = true;
        return c;
    }
    if (listing) {
        interface_choice c;
        c.kind = interface_listing;
        return c;
    }

    const std::vector<interface_row> rows = interface_rows(list);
    if (!text) {
        const interface_row* loopback = nullptr;
        for (const interface_row& r : rows) {
            if (r.index < 0)
                continue;
            if (r.iface->description != loopback_description)
                return chosen(r.iface->name);
            loopback = &r;  // the last one, should there be several
        }
        if (loopback)
            return chosen(loopback->iface->name);
        return failed("No usable capture interface found");
    }

    // A full system name is never ambiguous, so it wins over the looser
    // description and index rules (a name may well contain a digit or a
    // piece of another interface's description).
    for (const interface_row& r : rows)
        if (!r.skipped && r.iface->name == text)
            return chosen(r.iface->name);
    for (const interface_row& r : rows)
        if (r.index >= 0 && find_nocase(r.iface->description.c_str(), text) >= 0)
            return chosen(r.iface->name);
    const int index = read_int(text);
    for (const interface_row& r : rows)
        if (r.index >= 0 && r.index == index)
            return chosen(r.iface->name);
    return failed("Interface index " + std::to_string(index) + " out of range");
}

std::optional<std::string> find_waited_interface(const std::vector<capture_iface>& list,
                                                 const char* wanted)
{
    for (const capture_iface& i : list)
        if (std::strstr(i.description.c_str(), wanted) || std::strstr(i.name.c_str(), wanted))
            return i.name;
    return std::nullopt;
}

void print_interface_listing(const std::vector<capture_iface>& list, bool listing)
{
    if (listing)
        std::printf("\n\nAvailable interfaces:\n");
    std::size_t entered = 0;
    std::size_t indexed = 0;
    for (const interface_row& r : interface_rows(list)) {
        if (r.skipped) {
            std::printf("\tSkipping interface %s\n", r.iface->description.c_str());
            continue;
        }
        ++entered;
        if (r.index < 0)
            continue;
        ++indexed;
        if (listing)
            std::printf("\t[index=%d] [%s] '%s'\n", r.index, r.iface->name.c_str(),
                        r.iface->description.c_str());
    }
    std::fflush(stdout);
    if (entered > indexed)
        UTIL_LOG(trace_level_warning,
                 "%zu interfaces found: only the first %zu have an index; choose the others "
                 "by their exact name",
                 entered, indexed);
    if (!listing)
        return;
    if (indexed > 0) {
        std::printf("\n");
        std::fflush(stdout);
    } else {
        UTIL_LOG(trace_level_warning, "No interfaces available! This application cannot");
        UTIL_LOG(trace_level_warning, "work make sure that winpcap is installed properly");
        UTIL_LOG(trace_level_warning, "and that you have network interfaces installed.");
    }
}
