// What the process calls look like on every system.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/net_system.h"

void process_exit(int status)
{
    if (process_exit_hook)
        process_exit_hook(status);
    std::fflush(nullptr);
    std::_Exit(status);
}

int key_file_read(const char* path, char* out, std::size_t cap, std::size_t* len, int* error)
{
    std::size_t got = 0;
    int r = key_file_read_bytes(path, out, cap, &got, error);
    std::size_t n = 0;
    if (r == key_file_ok) {
        const void* lf = std::memchr(out, '\n', got);
        // No line end among cap bytes: the line does not fit with its null.
        if (!lf && got == cap)
            r = key_file_line_too_long;
        n = lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - out) : got;
        while (n > 0 && out[n - 1] == '\r')
            --n;
        if (r == key_file_ok && std::memchr(out, '\0', n))
            r = key_file_not_text;
    }
    if (r != key_file_ok)
        n = 0;
    // The later lines and a refused line go: nothing but the key stays.
    volatile char* rest = out + n;
    for (std::size_t i = 0; i < cap - n; ++i)
        rest[i] = 0;
    *len = n;
    return r;
}

std::uint64_t watchdog_interval_ms(const char* text)
{
    if (!text || *text < '0' || *text > '9')
        return 0;
    char* end = nullptr;
    const unsigned long long us = std::strtoull(text, &end, 10);
    if (*end || us == 0)
        return 0;
    const std::uint64_t ms = us / 2000;
    return ms ? ms : 1;
}

bool journal_stream_names(const char* text, std::uint64_t dev, std::uint64_t inode)
{
    if (!text || *text < '0' || *text > '9')
        return false;
    char* end = nullptr;
    const unsigned long long d = std::strtoull(text, &end, 10);
    if (*end != ':' || end[1] < '0' || end[1] > '9')
        return false;
    const unsigned long long i = std::strtoull(end + 1, &end, 10);
    return !*end && d == dev && i == inode;
}
