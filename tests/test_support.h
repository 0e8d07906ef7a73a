// Small helpers shared by the unit tests.
#pragma once

#include <cstdint>
#include <cstring>

#include "forward/speck.h"

// Keys installed while it lives are released and the earlier schedule is
// put back. It hides that schedule meanwhile, so that installing a key
// does not release it.
struct key_guard {
    const speck_key_schedule* saved = speck_key;
    key_guard() { speck_key = nullptr; }
    ~key_guard()
    {
        delete speck_key;
        speck_key = saved;
    }
    key_guard(const key_guard&) = delete;
    key_guard& operator=(const key_guard&) = delete;
};

// a.b.c.d as host_allowed, socket addresses and packet headers hold it.
inline std::uint32_t ipv4_of(int a, int b, int c, int d)
{
    const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(b),
                                   static_cast<std::uint8_t>(c), static_cast<std::uint8_t>(d)};
    std::uint32_t v;
    std::memcpy(&v, bytes, 4);
    return v;
}
