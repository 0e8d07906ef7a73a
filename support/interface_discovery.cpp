// Capture interface discovery: turns the -i text into the system name of a
// capture interface, and prints the numbered interface list.
//
// The table of entered interfaces is rebuilt on every call, in the
// library's order; an entry's position is the index the user sees and
// types. Only the first table_capacity entries get an index; the rest can
// still be chosen by their exact name.
#include "support/interface_discovery.h"

#include <climits>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "support/interface_source.h"
#include "support/trace_log.h"

namespace {

constexpr std::size_t table_capacity = 32;
constexpr const char* loopback_description = "Adapter for loopback traffic capture";
constexpr unsigned wait_poll_ms = 3000;

void real_sleep(unsigned ms) { sleep_ms(ms); }

int lower_ascii(char c)
{
    unsigned char u = static_cast<unsigned char>(c);
    return u >= 'A' && u <= 'Z' ? u - 'A' + 'a' : u;
}

// atoi without its undefined overflow: leading white space, a sign, then
// digits; no digits reads as 0; values beyond int saturate.
int read_int(const char* text)
{
    const char* p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        ++p;
    bool negative = *p == '-';
    if (*p == '-' || *p == '+')
        ++p;
    long long v = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        v = v * 10 + (*p - '0');
        if (v > static_cast<long long>(INT_MAX) + 1)
            v = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative)
        v = -v;
    if (v > INT_MAX)
        v = INT_MAX;
    return static_cast<int>(v);
}

bool is_skipped(const std::string& description)
{
    const char* d = description.c_str();
    return std::strstr(d, "WAN Miniport") || std::strstr(d, "NdisWan") ||
           find_nocase(d, "dialup") >= 0;
}

[[noreturn]] void library_missing(const std::string& err)
{
    UTIL_LOG(trace_level_error,
             "Unable to load the capture library (%s): please install Npcap and try again",
             err.c_str());
    process_exit(-1);
}

std::string wait_for_interface(const interface_source& src, const char* wanted)
{
    UTIL_LOG(trace_level_normal, "Searching for interface '%s' until the interface is up",
             wanted);
    std::vector<capture_iface> list;
    std::string err;
    for (;;) {
        if (src.find_all(&list, &err) == 0) {
            for (const capture_iface& i : list) {
                if (std::strstr(i.description.c_str(), wanted) ||
                    std::strstr(i.name.c_str(), wanted)) {
                    UTIL_LOG(trace_level_normal, "Found interface '%s'", i.name.c_str());
                    return i.name;
                }
            }
        }
        src.sleep(wait_poll_ms);
    }
}

}  // namespace

interface_source capture_interface_source()
{
    return {capture_library_load, capture_find_all, capture_lookup_default, real_sleep};
}

interface_source discovery_source = capture_interface_source();

long find_nocase(const char* haystack, const char* needle)
{
    if (!haystack || !needle || !*haystack || !*needle)
        return -1;
    // The needle's second character is compared with whatever follows the
    // first match, the haystack's terminator included: so a one-character
    // needle matches only the haystack's last character, which is what
    // lets a one-digit index pick the interface whose description ends in
    // that digit.
    for (long p = 0; haystack[p]; ++p) {
        if (lower_ascii(haystack[p]) != lower_ascii(needle[0]) ||
            lower_ascii(haystack[p + 1]) != lower_ascii(needle[1]))
            continue;
        if (!needle[1])
            return p;
        long k = 2;
        while (needle[k] && lower_ascii(haystack[p + k]) == lower_ascii(needle[k]))
            ++k;
        if (!needle[k])
            return p;
    }
    return -1;
}

std::optional<std::string> find_capture_interface(const char* text)
{
    const interface_source& src = discovery_source;
    std::string err;
    if (src.library_load(&err) != 0)
        library_missing(err);

    const bool listing = text && read_int(text) == -1;
    if (!listing && text && text[0] == '*')
        return wait_for_interface(src, text + 1);

    std::string default_name;
    if (src.lookup_default(&default_name, &err) != 0) {
        UTIL_LOG(trace_level_verbose, "Unable to locate default interface (%s)", err.c_str());
        process_exit(-1);
    }

    if (listing)
        std::printf("\n\nAvailable interfaces:\n");

    std::vector<capture_iface> list;
    if (src.find_all(&list, &err) != 0)
        list.clear();

    // Entered interfaces; the first table_capacity of them are the table.
    std::vector<const capture_iface*> entered;
    int loopback_index = -1;
    int first_usable = -1;
    for (const capture_iface& i : list) {
        bool loopback = i.description == loopback_description;
        if (!loopback && is_skipped(i.description)) {
            std::printf("\tSkipping interface %s\n", i.description.c_str());
            continue;
        }
        entered.push_back(&i);
        if (entered.size() > table_capacity)
            continue;
        int index = static_cast<int>(entered.size()) - 1;
        if (loopback)
            loopback_index = index;
        else if (first_usable < 0)
            first_usable = index;
        if (listing)
            std::printf("\t[index=%d] [%s] '%s'\n", index, i.name.c_str(),
                        i.description.c_str());
    }
    std::fflush(stdout);
    const std::size_t table_size = entered.size() < table_capacity ? entered.size()
                                                                    : table_capacity;
    if (entered.size() > table_capacity)
        UTIL_LOG(trace_level_warning,
                 "%zu interfaces found: only the first %zu have an index; choose the others "
                 "by their exact name",
                 entered.size(), table_capacity);
    if (first_usable < 0)
        first_usable = loopback_index;

    if (listing) {
        if (table_size > 0) {
            std::printf("\n");
            std::fflush(stdout);
        } else {
            UTIL_LOG(trace_level_warning, "No interfaces available! This application cannot");
            UTIL_LOG(trace_level_warning, "work make sure that winpcap is installed properly");
            UTIL_LOG(trace_level_warning, "and that you have network interfaces installed.");
        }
        return std::nullopt;
    }

    if (!text) {
        if (first_usable < 0) {
            UTIL_LOG(trace_level_error, "No usable capture interface found");
            process_exit(-1);
        }
        return entered[static_cast<std::size_t>(first_usable)]->name;
    }

    // A full system name is never ambiguous, so it wins over the looser
    // description and index rules (a name may well contain a digit or a
    // piece of another interface's description).
    for (const capture_iface* i : entered)
        if (i->name == text)
            return i->name;
    for (std::size_t k = 0; k < table_size; ++k)
        if (find_nocase(entered[k]->description.c_str(), text) >= 0)
            return entered[k]->name;
    int index = read_int(text);
    if (index >= 0 && static_cast<std::size_t>(index) < table_size)
        return entered[static_cast<std::size_t>(index)]->name;
    UTIL_LOG(trace_level_error, "Interface index %d out of range\n", index);
    process_exit(-1);
}
