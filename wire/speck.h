// Speck128 in counter mode.
#pragma once

#include <array>
#include <cstdint>

struct speck_key_schedule {
    std::array<std::uint64_t, 34> rk{};
    std::int32_t key_size = 128;  // bits: 128 (32 rounds) or 256 (34 rounds)
};

// The process-wide key schedule; null until a key option has been read.
extern const speck_key_schedule* speck_key;

// Builds the key schedule from a key string of len bytes and installs it
// as speck_key, replacing any earlier one. 1 on success, -1 when the
// record cannot be allocated.
int speck_setup_key(const char* key, std::int32_t len);

// Counter-mode transform of len bytes from in to out (they may be the same
// buffer). counter is read, never written. 0 on success.
int speck_ctr_crypt(std::uint8_t* out, const std::uint8_t* in, std::uint64_t len,
                    const std::uint8_t counter[16], const speck_key_schedule& ks);
