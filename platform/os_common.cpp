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
