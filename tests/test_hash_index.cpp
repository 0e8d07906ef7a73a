// The collector's hash index against a plain list: random inserts, finds and removals up to a full index and back,
// with keys spread or sharing three homes, so that probe runs meet, wrap around the end and close up after removals.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "collector/hash_index.h"

namespace {
struct indexed { std::uint32_t key; std::size_t entry; };
struct hash_case { const char* name; std::uint64_t (*hash)(std::uint32_t key); };
const hash_case hash_cases[] = {{"spread", [](std::uint32_t key) { return std::uint64_t{key * 0x9e3779b1u}; }},
                                {"three homes", [](std::uint32_t key) { return std::uint64_t{key % 3}; }}};
}  // namespace

TEST(HashIndex, MatchesANaiveListUnderRandomInsertsFindsAndRemovals)
{
    constexpr std::size_t capacity = 16;
    for (const hash_case& c : hash_cases) {
        SCOPED_TRACE(c.name);
        hash_index x;
        ASSERT_EQ(hash_index_init(&x, capacity), 0);
        EXPECT_EQ(x.slot_mask + 1, 2 * capacity) << "a power of two, at least twice the capacity";
        std::uint32_t key_of[capacity] = {};  // the caller's entries, and those free
        std::vector<std::size_t> free_entries;
        for (std::size_t entry = capacity; entry-- > 0;) free_entries.push_back(entry);
        const auto hash_of_entry = [&key_of, &c](std::size_t entry) { return c.hash(key_of[entry]); };
        std::vector<indexed> naive;
        int refused_as_full = 0;
        std::mt19937 rng(11);
        for (int step = 0; step < 20000; ++step) {
            const std::uint32_t key = rng() % 40;
            const auto at = std::find_if(naive.begin(), naive.end(), [key](const indexed& i) { return i.key == key; });
            const long want = at != naive.end() ? long(at->entry) : -1;
            const long found = hash_index_find(x, c.hash(key), [&key_of, key](std::size_t entry) { return key_of[entry] == key; });
            ASSERT_EQ(found, want) << "step " << step << " key " << key;
            if (found >= 0) {
                ASSERT_EQ(hash_index_remove(&x, c.hash(key), std::size_t(found), hash_of_entry), 0) << "step " << step;
                free_entries.push_back(std::size_t(found));
                naive.erase(at);
            } else if (rng() % 4 == 0) {
                continue;  // a find only
            } else if (free_entries.empty()) {
                ASSERT_EQ(hash_index_insert(&x, c.hash(key), 0), -1) << "step " << step << ": full";
                ++refused_as_full;
            } else {
                ASSERT_EQ(hash_index_insert(&x, c.hash(key), free_entries.back()), 0) << "step " << step;
                key_of[free_entries.back()] = key;
                naive.push_back({key, free_entries.back()});
                free_entries.pop_back();
            }
            ASSERT_EQ(x.entry_count, naive.size()) << "step " << step;
        }
        EXPECT_GT(refused_as_full, 0) << "the index was never full";
        EXPECT_EQ(hash_index_remove(&x, c.hash(40), 0, hash_of_entry), -1) << "an entry not indexed";
        hash_index_release(&x);
        EXPECT_EQ(hash_index_find(x, 0, [](std::size_t) { return true; }), -1) << "released";
    }
}
