#include "support/text.h"

#include <climits>

namespace {

int lower_ascii(char c)
{
    unsigned char u = static_cast<unsigned char>(c);
    return u >= 'A' && u <= 'Z' ? u - 'A' + 'a' : u;
}

}  // namespace

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
        // Saturating one beyond INT_MAX keeps the loop free of overflow and
        // still lets the negation reach INT_MIN.
        if (v > static_cast<long long>(INT_MAX) + 1)
            v = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative)
        v = -v;
    if (v > INT_MAX)
        v = INT_MAX;
    return static_cast<int>(v);
}

bool equals_nocase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lower_ascii(a[i]) != lower_ascii(b[i]))
            return false;
    return true;
}

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

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}
