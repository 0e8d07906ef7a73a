#include "forward/allow_list.h"
#include "support/text.h"

#include <cstdio>
#include <cstring>

#include "forward/prefix_trie.h"
#include "support/trace_log.h"

namespace {

constexpr std::uint16_t host_bits = 32;

bool is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

int parse_ipv4_text(const char* text, std::uint32_t* addr_be)
{
    // The last part fills all the bits the parts before it leave.
    static constexpr std::uint32_t last_part_max[4] = {0xffffffff, 0xffffff, 0xffff, 0xff};
    std::uint32_t leading[3];
    int count = 0;
    std::uint64_t value = 0;
    const char* p = text;
    for (;;) {
        if (*p < '0' || *p > '9')
            return -1;
        int base = 10;
        if (*p == '0') {
            ++p;
            base = 8;
            if (*p == 'x' || *p == 'X') {
                base = 16;
                ++p;
                if (hex_digit(*p) < 0)
                    return -1;
            }
        }
        value = 0;
        for (int d; (d = hex_digit(*p)) >= 0 && d < base; ++p) {
            value = value * base + d;
            if (value > 0xffffffff)
                return -1;
        }
        if (*p != '.')
            break;
        if (count == 3 || value > 0xff)
            return -1;
        leading[count++] = static_cast<std::uint32_t>(value);
        ++p;
    }
    if ((*p != '\0' && !is_space(*p)) || value > last_part_max[count])
        return -1;

    std::uint32_t host = static_cast<std::uint32_t>(value);
    for (int i = 0; i < count; ++i)
        host |= leading[i] << (24 - 8 * i);
    const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(host >> 24),
                                   static_cast<std::uint8_t>(host >> 16),
                                   static_cast<std::uint8_t>(host >> 8),
                                   static_cast<std::uint8_t>(host)};
    std::memcpy(addr_be, bytes, sizeof bytes);
    return 0;
}

int parse_hosts_line(const char* line, std::uint32_t* addr_be)
{
    if (line[0] == '\0' || line[0] == '#')
        return 0;
    return parse_ipv4_text(line, addr_be) == 0 ? 1 : -1;
}

namespace {

constexpr std::size_t hosts_line_max = 255;

enum line_state { line_ok, line_too_long, line_has_nul };

// Reads the next line into line without its LF or CR LF. False at end of
// file. Read a byte at a time rather than with fgets, which cannot tell
// a NUL byte in a line from the end of what it read.
bool next_line(std::FILE* f, char (&line)[hosts_line_max + 2], line_state* state)
{
    int c = std::fgetc(f);
    if (c == EOF)
        return false;
    std::size_t n = 0;
    std::size_t total = 0;
    bool nul = false;
    for (; c != '\n' && c != EOF; c = std::fgetc(f), ++total) {
        nul |= c == '\0';
        if (n < hosts_line_max + 1)
            line[n++] = static_cast<char>(c);
    }
    if (total > 0 && total == n && line[n - 1] == '\r')
        --n, --total;
    line[n] = '\0';
    *state = total > hosts_line_max ? line_too_long : nul ? line_has_nul : line_ok;
    return true;
}

}  // namespace

void load_hosts_file(const char* path, prefix_trie** list)
{
    // Binary mode, with the CR of a CR LF removed below: both line ends give
    // the same list whichever platform wrote the file or reads it.
    std::FILE* f = std::fopen(path, "rb");
    if (!f) {
        TAP_LOG(trace_level_error, "Unable to open file %s", path);
        return;
    }
    release_allow_list(list);
    *list = trie_new(host_bits);
    if (!*list) {
        TAP_LOG(trace_level_warning, "Error while reading hosts");
        std::fclose(f);
        return;
    }

    // A line longer than 255 characters is skipped whole: handled piece by
    // piece, the tail of a long comment could enter an address nobody
    // listed.
    char line[hosts_line_max + 2];
    unsigned line_number = 0;
    line_state state = line_ok;
    while (next_line(f, line, &state)) {
        ++line_number;
        if (state == line_too_long) {
            TAP_LOG(trace_level_warning, "Skipping line %u of %s: longer than %u characters",
                    line_number, path, static_cast<unsigned>(hosts_line_max));
            continue;
        }
        if (state == line_has_nul) {
            TAP_LOG(trace_level_warning, "Skipping line %u of %s: it holds a NUL byte",
                    line_number, path);
            continue;
        }

        std::uint32_t addr = 0;
        const int kind = parse_hosts_line(line, &addr);
        if (kind == 0)
            continue;
        if (kind < 0) {
            TAP_LOG(trace_level_warning, "Skipping line %u of %s: '%s' is not an IPv4 address",
                    line_number, path, line);
            continue;
        }
        TAP_LOG(trace_level_verbose, "Adding %s", line);
        ip_prefix host;
        host.bitlen = host_bits;
        std::memcpy(host.addr, &addr, sizeof host.addr);
        // A duplicate gives back the node already there. Out of memory the
        // host is left out; the list itself stays intact.
        trie_insert(*list, host);
    }
    if (std::ferror(f))
        TAP_LOG(trace_level_warning, "Error while reading hosts");
    std::fclose(f);
}

bool host_allowed(const prefix_trie* list, std::uint32_t addr)
{
    if (!list)
        return false;
    ip_prefix key;
    key.bitlen = host_bits;
    std::memcpy(key.addr, &addr, sizeof key.addr);
    return trie_search_best(list, key) != nullptr;
}

void release_allow_list(prefix_trie** list)
{
    trie_destroy(*list);
    *list = nullptr;
}
