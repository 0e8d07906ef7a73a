// Internal seam of the Speck128 counter-mode transform: each variant
// implements the same function, and speck.cpp points speck_ctr_crypt at
// the fastest one the CPU can run. Tests and benchmarks reach every variant
// through speck_variants().
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#include "wire/speck.h"

// The AVX2 variant is compiled only into x86-64 builds that are not Windows
// (the build's *_avx2.cpp rule); this mirrors that rule.
#if (defined(__x86_64__) || defined(_M_X64)) && !defined(_WIN32)
#define SPECK_HAVE_AVX2_BUILD 1
#else
#define SPECK_HAVE_AVX2_BUILD 0
#endif

// Transforms len bytes from in to out (they may be the same buffer) with
// counter words c0 (advancing per block) and c1 (fixed).
using speck_ctr_fn = void (*)(std::uint8_t* out, const std::uint8_t* in, std::uint64_t len,
                              std::uint64_t c0, std::uint64_t c1, const speck_key_schedule& ks);

void speck_ctr_portable(std::uint8_t* out, const std::uint8_t* in, std::uint64_t len,
                        std::uint64_t c0, std::uint64_t c1, const speck_key_schedule& ks);
#if SPECK_HAVE_AVX2_BUILD
void speck_ctr_avx2(std::uint8_t* out, const std::uint8_t* in, std::uint64_t len,
                    std::uint64_t c0, std::uint64_t c1, const speck_key_schedule& ks);
#endif

struct speck_variant {
    const char* name;
    speck_ctr_fn fn;
};

// The variants this CPU can run, the portable one first. Returns their
// count; *list points at a static table.
int speck_variants(const speck_variant** list);

// The variant speck_ctr_crypt uses, chosen once at start-up.
const speck_variant& speck_active_variant();

// One block of the published cipher on words (y, x), in place. The
// reference the fast variants are measured against.
void speck_encrypt_block(std::uint64_t& y, std::uint64_t& x, const speck_key_schedule& ks);

// static: each file gets its own copy, compiled for its own instruction set.
static inline std::uint64_t speck_load_le64(const std::uint8_t* p)
{
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    if constexpr (std::endian::native == std::endian::big)
        v = __builtin_bswap64(v);
    return v;
}

static inline void speck_store_le64(std::uint8_t* p, std::uint64_t v)
{
    if constexpr (std::endian::native == std::endian::big)
        v = __builtin_bswap64(v);
    std::memcpy(p, &v, 8);
}

static constexpr int speck_rounds(const speck_key_schedule& ks) { return ks.key_size == 256 ? 34 : 32; }
