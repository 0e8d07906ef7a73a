// The Speck cipher: key schedules from key texts, and counter mode in every variant the machine runs.
#include <gtest/gtest.h>
#include <numeric>
#include "tests/test_support.h"

namespace {
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
}  // namespace

TEST(SpeckKey, ShortKeysArePaddedWithPositionsAndOnly256CharactersMakeTheLongKey)
{
    const std::string k16 = counting_key(16, 16), k256 = counting_key(32, 256);
    const struct { std::string a, b; bool same; } pairs[] = {  // two keys: the same schedule?
        {.a = "", .b = k16, .same = true}, {.a = "a", .b = "", .same = false},
        {.a = "abc", .b = "abc" + k16.substr(3), .same = true}, {.a = counting_key(32, 255), .b = k16, .same = true},
        {.a = counting_key(32, 257), .b = k16, .same = true}, {.a = k256, .b = k16, .same = false},
        {.a = "0123456789abcdeX", .b = "0123456789abcdeY", .same = false},
        {.a = k256.substr(0, 32) + "Q" + k256.substr(33), .b = k256, .same = true},  // characters past the key's size
        {.a = "0123456789abcdefXYZ", .b = "0123456789abcdef-", .same = true}};
    for (const auto& p : pairs) {
        SCOPED_TRACE(testing::Message() << p.a.size() << " and " << p.b.size() << " characters");
        EXPECT_EQ(schedule_of(p.a).rk == schedule_of(p.b).rk, p.same);
        EXPECT_EQ(schedule_of(p.a).key_size, p.a.size() == 256 ? 256 : 128);
    }
    key_guard g;
    ASSERT_EQ(speck_setup_key(nullptr, 16), 1);
    EXPECT_EQ(speck_key->rk, schedule_of("").rk) << "no key string: empty";
    ASSERT_EQ(speck_setup_key("2nd", 3), 1);
    EXPECT_EQ(speck_key->rk, schedule_of("2nd").rk) << "a later key replaces";
}

TEST(SpeckCtr, EveryVariantMeetsThePublishedVectorsAndTheReferenceOnEveryLengthTo300)
{
    const speck_variant* variants = nullptr;
    const int count = speck_variants(&variants);
    ASSERT_GE(count, 1);
    ASSERT_STREQ(variants[0].name, "portable");
    EXPECT_STREQ(speck_active_variant().name, variants[count - 1].name) << "the fastest is used";
#if SPECK_HAVE_AVX2_BUILD
    EXPECT_EQ(count, __builtin_cpu_supports("avx2") ? 2 : 1) << "AVX2 goes unused";
#endif
    // The published keys, plaintexts and ciphertexts (y, x): the plaintext as counter turns zeros into the latter.
    const speck_key_schedule keys[] = {schedule_of(counting_key(16, 16)), schedule_of(counting_key(32, 256))};
    const std::uint64_t published[2][4] = {
        {0x7469206564616d20, 0x6c61766975716520, 0x7860fedf5c570d18, 0xa65d985179783265},
        {0x202e72656e6f6f70, 0x65736f6874206e49, 0x4eeeb48d9c188f43, 0x4109010405c0f53e}};
    // Every length to 300, then around the wide groups of the fast variant, and datagram sizes.
    std::vector<std::size_t> lengths = {367, 368, 369, 383, 384, 385, 560, 735, 736, 737, 1000, 1534, 4111, 65544};
    for (std::size_t n = 0; n <= 300; ++n) lengths.push_back(n);
    std::mt19937_64 rng(20260430);
    for (const speck_variant* var = variants; var < variants + count; ++var)
        for (int k = 0; k < 2; ++k) {
            SCOPED_TRACE(std::string(var->name) + (k ? " long key" : " short key"));
            const std::uint64_t* v = published[k];
            bytes block(16);
            var->fn(block.data(), block.data(), 16, v[0], v[1], keys[k]);
            EXPECT_EQ(speck_load_le64(block.data()), v[2]);
            EXPECT_EQ(speck_load_le64(block.data() + 8), v[3]);
            for (const std::size_t len : lengths) {
                // Every third starts near the top of word 0, which wraps without carrying into word 1.
                const std::uint64_t c0 = len % 3 == 0 ? ~std::uint64_t{0} - (rng() % 8) : rng(), c1 = rng();
                bytes in(len), out(len + 64, 0xa5);  // guard bytes catch writes past len
                std::generate(in.begin(), in.end(), [&] { return static_cast<std::uint8_t>(rng()); });
                const bytes want = reference_ctr(in, c0, c1, keys[k]);
                var->fn(out.data(), in.data(), len, c0, c1, keys[k]);
                ASSERT_EQ(out, cat({want, bytes(64, 0xa5)})) << len;
                var->fn(in.data(), in.data(), len, c0, c1, keys[k]);
                ASSERT_EQ(in, want) << len << " in place";
            }
        }
    // The public call reads its counter little-endian and does every length, one byte included.
    const std::uint8_t counter[16] = {1, 0, 0, 0, 0, 0, 0, 0, 2};
    EXPECT_EQ(speck_ctr_crypt(nullptr, nullptr, 0, counter, keys[0]), 0) << "nothing to do is no failure";
    for (const std::size_t len : {1, 2, 17}) {
        const bytes in = pattern(len, 9);
        bytes out(len);
        ASSERT_EQ(speck_ctr_crypt(out.data(), in.data(), len, counter, keys[0]), 0);
        EXPECT_EQ(out, reference_ctr(in, 1, 2, keys[0])) << len;
    }
}
