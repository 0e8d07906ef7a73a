// Key derivation, key schedule and the dispatch of the counter-mode
// transform to the fastest variant this CPU runs.
#include <bit>
#include <cstring>
#include <new>

#include "wire/speck.h"
#include "wire/speck_internal.h"

const speck_key_schedule* speck_key = nullptr;

namespace {

// The collectors derive the same key with the same padding, so this is
// part of the wire contract: short strings are completed with bytes equal
// to their own positions, and only a string of exactly 256 characters
// selects the 256-bit key.
void derive_key_schedule(speck_key_schedule& ks, const char* key, std::int32_t len)
{
    std::uint8_t material[32];
    const std::int32_t have = (len > 0 && key) ? len : 0;
    for (std::int32_t p = 0; p < 32; ++p)
        material[p] = p < have ? static_cast<std::uint8_t>(key[p]) : static_cast<std::uint8_t>(p);

    ks.key_size = len == 256 ? 256 : 128;
    std::uint64_t k = speck_load_le64(material);
    std::uint64_t l[3] = {speck_load_le64(material + 8), speck_load_le64(material + 16),
                          speck_load_le64(material + 24)};
    const int l_words = ks.key_size == 256 ? 3 : 1;
    for (std::uint64_t i = 0; i < 33; ++i) {
        ks.rk[i] = k;
        std::uint64_t& li = l[i % l_words];
        li = (std::rotr(li, 8) + k) ^ i;
        k = std::rotl(k, 3) ^ li;
    }
    ks.rk[33] = k;
}

#if SPECK_HAVE_AVX2_BUILD
bool cpu_has_avx2() { return __builtin_cpu_supports("avx2"); }
#endif

const speck_variant portable_variant{"portable", speck_ctr_portable};

struct variant_table {
    speck_variant list[2];
    int count = 0;
};

variant_table probe_variants()
{
    variant_table t;
    t.list[t.count++] = portable_variant;
#if SPECK_HAVE_AVX2_BUILD
    if (cpu_has_avx2())
        t.list[t.count++] = speck_variant{"avx2", speck_ctr_avx2};
#endif
    return t;
}

const variant_table& variants()
{
    static const variant_table table = probe_variants();
    return table;
}

// Starts at the portable variant and is moved once, before main runs, to
// the last (fastest) one the CPU supports.
speck_ctr_fn active_fn = speck_ctr_portable;
const speck_variant* active_variant = &portable_variant;

const bool dispatch_chosen = [] {
    const variant_table& t = variants();
    active_variant = &t.list[t.count - 1];
    active_fn = active_variant->fn;
    return true;
}();

}  // namespace

int speck_variants(const speck_variant** list)
{
    const variant_table& t = variants();
    *list = t.list;
    return t.count;
}

const speck_variant& speck_active_variant()
{
    (void)dispatch_chosen;
    return *active_variant;
}

void speck_encrypt_block(std::uint64_t& y, std::uint64_t& x, const speck_key_schedule& ks)
{
    const int rounds = speck_rounds(ks);
    for (int r = 0; r < rounds; ++r) {
        x = (std::rotr(x, 8) + y) ^ ks.rk[r];
        y = std::rotl(y, 3) ^ x;
    }
}

int speck_setup_key(const char* key, std::int32_t len)
{
    auto* ks = new (std::nothrow) speck_key_schedule;
    if (!ks)
        return -1;
    derive_key_schedule(*ks, key, len);
    // Keys are read while options are parsed, before any loop runs, so
    // nothing can still be using the schedule this one replaces.
    delete speck_key;
    speck_key = ks;
    return 1;
}

int speck_ctr_crypt(std::uint8_t* out, const std::uint8_t* in, std::uint64_t len,
                    const std::uint8_t counter[16], const speck_key_schedule& ks)
{
    if (len == 0)
        return 0;
    active_fn(out, in, len, speck_load_le64(counter), speck_load_le64(counter + 8), ks);
    return 0;
}
