// The rate cap's token bucket and its reports.
#include "forward/rate_cap.h"

#include <algorithm>
#include <cstdio>

#include "support/trace_log.h"

namespace {

constexpr std::uint64_t units_per_byte = 8 * 1000000;
constexpr std::uint64_t report_interval_us = 1000000;

// "50", "0.5": the shortest text that gives the cap back.
void write_mbits(char* out, std::size_t size, std::uint64_t bits)
{
    const unsigned long long whole = bits / 1000000;
    const unsigned long long part = bits % 1000000;
    if (part == 0) {
        std::snprintf(out, size, "%llu", whole);
        return;
    }
    int n = std::snprintf(out, size, "%llu.%06llu", whole, part);
    while (n > 0 && out[n - 1] == '0')
        out[--n] = '\0';
}

}  // namespace

int rate_cap_parse_mbits(const char* text, std::uint64_t* bits_per_s)
{
    std::uint64_t bits = 0;
    int digits = 0;
    int decimals = -1;  // -1 until the point
    for (const char* p = text; *p; ++p) {
        if (*p == '.' && decimals < 0) {
            decimals = 0;
            continue;
        }
        if (*p < '0' || *p > '9')
            return -1;
        ++digits;
        if (decimals >= 0 && ++decimals > 6)
            continue;
        bits = bits * 10 + static_cast<std::uint64_t>(*p - '0');
        // Checked at every digit, so that no number of digits overflows.
        if (bits > rate_cap_max_bits)
            return -1;
    }
    for (int d = std::max(decimals, 0); d < 6; ++d)
        bits *= 10;
    if (digits == 0 || bits == 0 || bits > rate_cap_max_bits)
        return -1;
    *bits_per_s = bits;
    return 0;
}

void rate_cap_init(rate_cap& c, std::uint64_t bits_per_s, std::uint32_t datagram_overhead)
{
    c = rate_cap{};
    c.bits_per_s = std::min(bits_per_s, rate_cap_max_bits);
    c.datagram_overhead = datagram_overhead;
    c.depth = std::min(std::max(rate_cap_burst_bytes * units_per_byte, c.bits_per_s * rate_cap_burst_us),
                       c.bits_per_s * rate_cap_burst_most_us);
    c.ceiling = c.depth;
    write_mbits(c.text, sizeof c.text, c.bits_per_s);
}

void rate_cap_advance(rate_cap& c, std::uint64_t now_us)
{
    if (!c.started) {
        c.started = true;
        c.tokens = c.ceiling;
        c.now_us = now_us;
        return;
    }
    const std::uint64_t passed = now_us > c.now_us ? now_us - c.now_us : 0;
    c.now_us = std::max(now_us, c.now_us);
    if (c.bits_per_s == 0)
        return;
    // The time that fills the bucket from where it is: beyond it the
    // product could overflow and would be cut to the depth anyway.
    const std::uint64_t missing = c.ceiling > c.tokens ? c.ceiling - c.tokens : 0;
    if (passed > missing / c.bits_per_s)
        c.tokens = c.ceiling;
    else
        c.tokens += passed * c.bits_per_s;
}

bool rate_cap_take(rate_cap& c, std::uint64_t bytes)
{
    const std::uint64_t cost = bytes * units_per_byte;
    if (c.tokens >= cost) {
        c.tokens -= cost;
        if (cost > c.depth) {
            c.ceiling = c.depth;
            c.tokens = std::min(c.tokens, c.depth);
        }
        return true;
    }
    // Room for the frame and a bucket beside it: filled only to the cost,
    // the bucket would spill until the next such frame came.
    if (cost > c.depth)
        c.ceiling = std::max(c.ceiling, c.depth + cost);
    ++c.left_out;
    if (c.unreported++ == 0)
        c.unreported_since_us = c.now_us;
    return false;
}

std::uint64_t rate_cap_report_due(rate_cap& c, std::uint64_t* span_us)
{
    if (c.unreported == 0 || c.now_us - c.unreported_since_us < report_interval_us)
        return 0;
    *span_us = c.now_us - c.unreported_since_us;
    const std::uint64_t n = c.unreported;
    c.unreported = 0;
    return n;
}

void rate_cap_log_due(rate_cap& c)
{
    std::uint64_t span = 0;
    const std::uint64_t n = rate_cap_report_due(c, &span);
    if (n == 0)
        return;
    // Under a steady excess the count covers a second; after a lull in the
    // input, the longer time since the first frame it counts.
    const unsigned long long seconds = span / report_interval_us;
    if (seconds < 2)
        TAP_LOG(trace_level_normal, "Rate cap %s Mbit/s: %llu frames left out in the last second",
                c.text, static_cast<unsigned long long>(n));
    else
        TAP_LOG(trace_level_normal, "Rate cap %s Mbit/s: %llu frames left out in the last %llu seconds",
                c.text, static_cast<unsigned long long>(n), seconds);
}

void rate_cap_log_total(const rate_cap& c)
{
    if (c.bits_per_s)
        TAP_LOG(trace_level_normal, "Rate cap %s Mbit/s: %llu frames left out in all", c.text,
                static_cast<unsigned long long>(c.left_out));
}
