#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "forward/speck.h"
#include "forward/speck_internal.h"
#include "forward/tap_wire.h"
#include "tests/test_support.h"

namespace {

using bytes = std::vector<std::uint8_t>;

speck_key_schedule schedule_of(const std::string& key)
{
    key_guard g;
    EXPECT_EQ(speck_setup_key(key.data(), static_cast<std::int32_t>(key.size())), 1);
    return *speck_key;
}

std::string counting_key(int n, std::size_t total)  // bytes 0, 1, ... n-1, then 'z' up to total
{
    std::string s(total, 'z');
    std::iota(s.begin(), s.begin() + n, '\0');
    return s;
}

// Counter mode spelled out: block j of the keystream is the cipher of the
// words (c0 + j, c1), written out little-endian.
bytes reference_ctr(const bytes& in, std::uint64_t c0, std::uint64_t c1, const speck_key_schedule& ks)
{
    bytes out = in;
    for (std::size_t i = 0; i < in.size(); i += 16) {
        std::uint64_t words[2] = {c0 + i / 16, c1};
        speck_encrypt_block(words[0], words[1], ks);
        for (std::size_t j = 0; j < 16 && i + j < in.size(); ++j)
            out[i + j] ^= static_cast<std::uint8_t>(words[j / 8] >> 8 * (j % 8));
    }
    return out;
}

}  // namespace

TEST(SpeckKey, ShortKeysArePaddedWithPositionsAndOnly256CharactersMakeTheLongKey)
{
    const std::string k16 = counting_key(16, 16), k256 = counting_key(32, 256);
    const std::tuple<std::string, std::string, bool> pairs[] = {  // two keys: the same schedule?
        {"", k16, true}, {"a", "", false}, {"abc", "abc" + k16.substr(3), true}, {counting_key(32, 255), k16, true},
        {counting_key(32, 257), k16, true}, {k256, k16, false}, {"0123456789abcdeX", "0123456789abcdeY", false},
        {k256.substr(0, 32) + "Q" + k256.substr(33), k256, true},  // characters past the key's size
        {"0123456789abcdefXYZ", "0123456789abcdef-", true}};
    for (const auto& [a, b, same] : pairs)
        EXPECT_TRUE((schedule_of(a).rk == schedule_of(b).rk) == same &&
                    schedule_of(a).key_size == (a.size() == 256 ? 256 : 128))
            << a.size() << " and " << b.size() << " characters";
    key_guard g;
    ASSERT_EQ(speck_setup_key(nullptr, 16), 1);
    EXPECT_EQ(speck_key->rk, schedule_of("").rk) << "no key string is an empty one";
    ASSERT_EQ(speck_setup_key("second", 6), 1);
    EXPECT_EQ(speck_key->rk, schedule_of("second").rk) << "a later key replaces the earlier";
}

TEST(SpeckCtr, EveryVariantMeetsThePublishedVectorsAndTheReferenceOnEveryLengthTo300)
{
    const speck_variant* variants = nullptr;
    const int variant_count = speck_variants(&variants);
    ASSERT_TRUE(variant_count >= 1 && std::string(variants[0].name) == "portable");
    EXPECT_STREQ(speck_active_variant().name, variants[variant_count - 1].name) << "the fastest is used";
#if SPECK_HAVE_AVX2_BUILD
    EXPECT_EQ(variant_count, __builtin_cpu_supports("avx2") ? 2 : 1) << "AVX2 goes unused";
#endif
    // The published keys, plaintexts and ciphertexts (y, x): the plaintext as counter turns zeros into the latter.
    const speck_key_schedule keys[] = {schedule_of(counting_key(16, 16)), schedule_of(counting_key(32, 256))};
    const std::uint64_t published[2][4] = {
        {0x7469206564616d20, 0x6c61766975716520, 0x7860fedf5c570d18, 0xa65d985179783265},
        {0x202e72656e6f6f70, 0x65736f6874206e49, 0x4eeeb48d9c188f43, 0x4109010405c0f53e}};
    std::vector<std::size_t> lengths(301);
    std::iota(lengths.begin(), lengths.end(), 0);
    // Around the wide groups of the fast variant, and datagram sizes.
    lengths.insert(lengths.end(), {367, 368, 369, 383, 384, 385, 560, 735, 736, 737, 1000, 1534, 4111, 65544});
    std::mt19937_64 rng(20260430);
    for (const speck_variant* var = variants; var < variants + variant_count; ++var)
        for (int k = 0; k < 2; ++k) {
            SCOPED_TRACE(std::string(var->name) + (k ? " long key" : " short key"));
            const std::uint64_t* v = published[k];
            bytes block(16);
            var->fn(block.data(), block.data(), 16, v[0], v[1], keys[k]);
            EXPECT_TRUE(speck_load_le64(block.data()) == v[2] && speck_load_le64(block.data() + 8) == v[3]);
            for (const std::size_t len : lengths) {
                SCOPED_TRACE(len);
                // Every third starts near the top of word 0, which wraps
                // without carrying into word 1.
                const std::uint64_t c0 = len % 3 == 0 ? ~std::uint64_t{0} - (rng() % 8) : rng(), c1 = rng();
                bytes in(len), out(len + 64, 0xa5);  // guard bytes catch writes past len
                std::generate(in.begin(), in.end(), [&] { return static_cast<std::uint8_t>(rng()); });
                const bytes want = reference_ctr(in, c0, c1, keys[k]);
                var->fn(out.data(), in.data(), len, c0, c1, keys[k]);
                ASSERT_EQ(bytes(out.begin(), out.begin() + static_cast<long>(len)), want);
                ASSERT_EQ(bytes(out.begin() + static_cast<long>(len), out.end()), bytes(64, 0xa5));
                var->fn(in.data(), in.data(), len, c0, c1, keys[k]);
                ASSERT_EQ(in, want) << "in place";
            }
        }
}

TEST(SpeckCtr, TheCounterIsTheDatagramLengthInBothWords)
{
    const speck_key_schedule ks = schedule_of("a key of some length");
    for (const std::size_t n : {0, 1, 15, 16, 33, 1534, 65507}) {
        SCOPED_TRACE(n);
        bytes d(n), once(n);
        std::iota(d.begin(), d.end(), std::uint8_t{7});
        EXPECT_EQ(tap_crypt(once.data(), d.data(), n, ks), 0);
        EXPECT_EQ(once, reference_ctr(d, n, n, ks));
        EXPECT_EQ(tap_crypt(d.data(), d.data(), n, ks), 0);
        EXPECT_EQ(d, once) << "in place";
    }
}
