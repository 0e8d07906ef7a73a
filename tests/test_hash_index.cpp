// The collector's hash index against a plain scan: random inserts, finds and removals up to a full index and back,
// with keys spread or sharing three homes, so that probe runs meet, wrap around the end and close up after removals.
#include <gtest/gtest.h>
#include <algorithm>
#include <random>
#include <vector>
#include "collector/hash_index.h"

namespace {
struct hash_case { const char* name; std::uint64_t (*hash)(std::uint32_t key); };
const hash_case hash_cases[] = {{"spread", [](std::uint32_t key) { return std::uint64_t{key * 0x9e3779b1u}; }},
                                {"three homes", [](std::uint32_t key) { return std::uint64_t{key % 3}; }}};
constexpr std::uint32_t unused = ~0u;
}  // namespace

TEST(HashIndex, MatchesAPlainScanUnderRandomInsertsFindsAndRemovals)
{
    constexpr std::size_t capacity = 16;
    for (const hash_case& c : hash_cases) {
        SCOPED_TRACE(c.name);
        hash_index x;
        ASSERT_EQ(hash_index_init(&x, capacity), 0);
        EXPECT_EQ(x.slot_mask + 1, 2 * capacity) << "a power of two, at least twice the capacity";
        std::vector<std::uint32_t> key_of(capacity, unused);  // the caller's entries; scanned, the reference
        const auto hash_of_entry = [&key_of, &c](std::size_t entry) { return c.hash(key_of[entry]); };
        int refused_as_full = 0;
        std::mt19937 rng(11);
        for (int step = 0; step < 20000; ++step) {
            const std::uint32_t key = rng() % 40;
            const long want = std::find(key_of.begin(), key_of.end(), key) - key_of.begin();
            const long found = hash_index_find(x, c.hash(key), [&key_of, key](std::size_t entry) { return key_of[entry] == key; });
            ASSERT_EQ(found, want < long(capacity) ? want : -1) << "step " << step << " key " << key;
            const std::size_t free_entry = std::size_t(std::find(key_of.begin(), key_of.end(), unused) - key_of.begin());
            if (found >= 0) {
                ASSERT_EQ(hash_index_remove(&x, c.hash(key), std::size_t(found), hash_of_entry), 0) << "step " << step;
                key_of[std::size_t(found)] = unused;
            } else if (rng() % 4 != 0 && free_entry == capacity) {
                ASSERT_EQ(hash_index_insert(&x, c.hash(key), 0), -1) << "step " << step << ": full";
                ++refused_as_full;
            } else if (free_entry < capacity) {
                ASSERT_EQ(hash_index_insert(&x, c.hash(key), free_entry), 0) << "step " << step;
                key_of[free_entry] = key;
            }
            ASSERT_EQ(x.entry_count, capacity - std::size_t(std::count(key_of.begin(), key_of.end(), unused)));
        }
        EXPECT_GT(refused_as_full, 0) << "the index was never full";
        EXPECT_EQ(hash_index_remove(&x, c.hash(0), capacity, hash_of_entry), -1) << "an entry not indexed";
        hash_index_release(&x);
        EXPECT_EQ(hash_index_find(x, 0, [](std::size_t) { return true; }), -1) << "released";
    }
}
