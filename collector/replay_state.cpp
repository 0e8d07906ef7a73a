#include "collector/replay_state.h"
#include "support/text.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>

namespace {

void append_run(const run_name& run, std::uint64_t top, std::uint64_t last_sent, std::string* out)
{
    char line[96];
    int n = std::snprintf(line, sizeof line, "%u ", run.tap_id);
    for (std::uint8_t b : run.run_id)
        n += std::snprintf(line + n, sizeof line - static_cast<std::size_t>(n), "%02x", b);
    std::snprintf(line + n, sizeof line - static_cast<std::size_t>(n), " %" PRIu64 " %" PRIu64 "\n",
                  top, last_sent);
    out->append(line);
}

// One run line, as append_run writes it. 0, or -1 when it is not one.
int parse_run(std::string_view line, retired_run* r)
{
    char text[96];
    if (line.size() >= sizeof text)
        return -1;
    line.copy(text, line.size());
    text[line.size()] = '\0';
    char* p = text;
    char* end = nullptr;
    const unsigned long tap_id = std::strtoul(p, &end, 10);
    if (end == p || *end != ' ' || tap_id > 0xffff)
        return -1;
    p = end + 1;
    for (std::uint8_t& b : r->run.run_id) {
        const int hi = hex_digit(p[0]), lo = hi < 0 ? -1 : hex_digit(p[1]);
        if (lo < 0)
            return -1;
        b = static_cast<std::uint8_t>(hi << 4 | lo);
        p += 2;
    }
    if (*p != ' ' || p[1] < '0' || p[1] > '9')
        return -1;
    r->top = std::strtoull(p + 1, &end, 10);
    if (*end != ' ' || end[1] < '0' || end[1] > '9')
        return -1;
    p = end + 1;
    r->last_sent = std::strtoull(p, &end, 10);
    if (*end != '\0')
        return -1;
    r->run.tap_id = static_cast<std::uint16_t>(tap_id);
    return 0;
}

}  // namespace

void replay_state_text(const stream_table& t, std::uint64_t oldest_us, std::string* out)
{
    out->assign(replay_state_first_line);
    out->push_back('\n');
    // Retired runs first: a run both retired and back in the table is read
    // back with the stream's later number.
    for (std::size_t i = 0; i < stream_retired_count(t); ++i)
        if (t.retired[i].last_sent >= oldest_us)
            append_run(t.retired[i].run, t.retired[i].top, t.retired[i].last_sent, out);
    for (std::size_t i = 0; i < t.count; ++i)
        if (t.entries[i].last_sent >= oldest_us)
            append_run(t.entries[i].run, t.entries[i].top, t.entries[i].last_sent, out);
}

long replay_state_read(std::string_view text, stream_table* t, std::uint64_t oldest_us)
{
    long runs = 0, number = 0;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        if (end == std::string_view::npos)
            return -(number + 1);  // cut short: a file not written whole
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(end + 1);
        ++number;
        retired_run r;
        if (number == 1) {
            if (line != replay_state_first_line)
                return -1;
        } else if (parse_run(line, &r) != 0) {
            return -number;
        } else if (r.last_sent >= oldest_us) {
            stream_remember(t, r);
            ++runs;
        }
    }
    return number == 0 ? -1 : runs;
}
