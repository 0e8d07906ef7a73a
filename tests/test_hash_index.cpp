// The collector's hash index against a plain list: random inserts, finds and removals, keys that share a few homes
// so that probe runs meet, wrap around the end and close up after removals; the capacity; a full index.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "collector/hash_index.h"

namespace {
struct indexed { std::uint32_t key; std::size_t entry; };
struct hash_case { const char* name; std::uint64_t (*hash)(std::uint32_t key); };
const hash_case hash_cases[] = {
    {"spread", [](std::uint32_t key) { return std::uint64_t{key * 0x9e3779b1u}; }},
    {"three homes", [](std::uint32_t key) { return std::uint64_t{key % 3}; }},
};
}  // namespace

TEST(HashIndex, MatchesANaiveListUnderRandomInsertsFindsAndRemovals)
{
    constexpr std::size_t capacity = 16;
    for (const hash_case& c : hash_cases) {
        SCOPED_TRACE(c.name);
        hash_index x;
        ASSERT_EQ(hash_index_init(&x, capacity), 0);
        std::uint32_t key_of[capacity] = {};  // the caller's entries
        std::vector<indexed> naive;
        std::vector<std::size_t> free_entries;
        for (std::size_t e = capacity; e-- > 0;) free_entries.push_back(e);
        const auto key_is = [&key_of](std::uint32_t key) { return [&key_of, key](std::size_t e) { return key_of[e] == key; }; };
        const auto hash_of_entry = [&](std::size_t e) { return c.hash(key_of[e]); };
        std::mt19937 rng(11);
        for (int step = 0; step < 20000; ++step) {
            const std::uint32_t key = rng() % 40;
            std::size_t at = 0;
            while (at < naive.size() && naive[at].key != key) ++at;
            const long want = at < naive.size() ? long(naive[at].entry) : -1;
            ASSERT_EQ(hash_index_find(x, c.hash(key), key_is(key)), want) << "step " << step << " key " << key;
            if (rng() % 2 == 0 && want < 0) {
                const int inserted = hash_index_insert(&x, c.hash(key), free_entries.empty() ? 0 : free_entries.back());
                ASSERT_EQ(inserted, free_entries.empty() ? -1 : 0) << "step " << step;
                if (inserted != 0) continue;
                key_of[free_entries.back()] = key;
                naive.push_back({key, free_entries.back()});
                free_entries.pop_back();
            } else if (want >= 0) {
                ASSERT_EQ(hash_index_remove(&x, c.hash(key), std::size_t(want), hash_of_entry), 0) << "step " << step;
                free_entries.push_back(std::size_t(want));
                naive.erase(naive.begin() + std::ptrdiff_t(at));
            }
            ASSERT_EQ(x.entry_count, naive.size()) << "step " << step;
        }
        EXPECT_EQ(hash_index_remove(&x, c.hash(40), 0, hash_of_entry), -1) << "an entry not indexed";
        hash_index_release(&x);
    }
}

// Filled to its capacity with keys that all share one home: each still found, in the order indexed; one more refused.
TEST(HashIndex, AFullIndexFindsEveryEntryAndRefusesOneMore)
{
    hash_index x;
    ASSERT_EQ(hash_index_init(&x, 5), 0);
    EXPECT_EQ(x.slot_mask + 1, 16u) << "at least twice the capacity, a power of two";
    for (std::size_t e = 0; e < 5; ++e) ASSERT_EQ(hash_index_insert(&x, 7, e), 0) << e;
    EXPECT_EQ(hash_index_insert(&x, 7, 5), -1);
    for (std::size_t e = 0; e < 5; ++e)
        EXPECT_EQ(hash_index_find(x, 7, [e](std::size_t k) { return k == e; }), long(e));
    EXPECT_EQ(hash_index_find(x, 7, [](std::size_t k) { return k >= 2; }), 2) << "the first indexed is met first";
    hash_index_release(&x);
    EXPECT_EQ(hash_index_find(x, 7, [](std::size_t) { return true; }), -1) << "released";
}
