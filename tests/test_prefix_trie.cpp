// The prefix trie under the allow-list, against a naive reference, every allocation failed in turn.
#include <gtest/gtest.h>
#include <map>
#include "tests/test_support.h"

namespace {
ip_prefix make_prefix(std::uint32_t a, unsigned len)
{
    return {std::uint16_t(len), {std::uint8_t(a >> 24), std::uint8_t(a >> 16), std::uint8_t(a >> 8), std::uint8_t(a)}};
}

// Checks the shape every insertion keeps: parent links, bit indexes growing down each path up to the
// width, prefixes at their own length, glue nodes with two children. Returns every node and prefix.
std::string check_shape(const prefix_trie* t, const trie_node* n, const trie_node* parent = nullptr)
{
    if (!n)
        return "-";
    EXPECT_EQ(n->parent, parent) << n->bit;
    EXPECT_GT(n->bit, parent ? parent->bit : -1);
    EXPECT_LE(n->bit, t->maxbits);
    EXPECT_EQ(n->prefix ? n->prefix->bitlen : n->bit, n->bit) << "a prefix at its own length";
    EXPECT_EQ(n->prefix ? 2 : (n->left != nullptr) + (n->right != nullptr), 2) << "a glue node with two children";
    return "{" + std::to_string(std::uintptr_t(n)) + " " + std::to_string(n->bit) + " " +
           std::to_string(std::uintptr_t(n->prefix)) + " " + check_shape(t, n->left, n) + " " +
           check_shape(t, n->right, n) + "}";
}
}  // namespace

TEST(PrefixTrie, MatchesANaiveReferenceAndSurvivesEveryFailedAllocation)
{
    EXPECT_EQ(trie_new(33), nullptr);
    EXPECT_EQ(trie_insert(nullptr, make_prefix(0, 0)), nullptr);
    EXPECT_EQ(trie_search_best(nullptr, {}), nullptr);
    using probe = trie_allocation_probe;
    const probe counted;
    // Insertions by the way they went: new root, already there, into a glue node, new leaf, above a node, beside
    // one under a new glue node.
    int seen[6] = {};
    std::mt19937 rng(20240611);
    auto pick = [&](std::size_t n) { return static_cast<unsigned>(rng() % n); };
    for (int round = 0; round < 60; ++round) {
        SCOPED_TRACE(round);
        const unsigned width = round % 3 ? 32 : pick(33);  // every third trie is narrower
        prefix_trie* t = nullptr;
        for (long k = 1; !t; ++k) {  // even making the trie may fail, and then holds nothing
            probe::calls = 0;
            probe::fail_at = k;
            t = trie_new(std::uint16_t(width));
            ASSERT_EQ(probe::live, t ? 1 : 0) << "allocation " << k;
        }
        // Stored prefix (bits, length) -> its node and the address it was first given.
        std::map<std::pair<std::uint32_t, unsigned>, std::pair<const trie_node*, std::uint32_t>> stored;
        // Prefixes gather around a few bases to nest and share paths; each keeps random bits beyond its length.
        const std::uint32_t base_seed = static_cast<std::uint32_t>(rng()), bases = 1 + pick(5);
        ip_prefix p;
        for (unsigned i = 0, count = 1 + pick(round < 10 ? 12 : 300); i < count; ++i) {
            if (i == 0 || pick(6))  // else the last prefix again, maybe without its trailing bits
                p = make_prefix(base_seed * (1 + pick(bases)) ^ (pick(4) ? rng() >> pick(32) : 0), pick(33));
            else if (pick(2))
                p = make_prefix(prefix_bits(p, p.bitlen), p.bitlen);
            const std::string before = check_shape(t, t->root);
            const long held = probe::live;
            trie_node* n = nullptr;
            for (long k = 1;; ++k) {  // block k fails, until an insertion needs fewer than k
                probe::calls = 0;
                probe::fail_at = k;
                n = trie_insert(t, p);
                if (probe::calls < k)
                    break;
                ASSERT_EQ(n, nullptr) << "allocation " << k;
                ASSERT_EQ(check_shape(t, t->root), before) << "allocation " << k;
                ASSERT_EQ(probe::live, held) << "allocation " << k;
            }
            ASSERT_EQ(n == nullptr, p.bitlen > width) << p.bitlen;
            if (!n) continue;
            // A stored prefix comes back as its node, with the bits it was first given.
            const auto it = stored.try_emplace({prefix_bits(p, p.bitlen), p.bitlen}, n, prefix_bits(p)).first;
            ASSERT_EQ(it->second.first, n);
            ASSERT_EQ(prefix_bits(*n->prefix), it->second.second);
            ASSERT_EQ(n->bit, p.bitlen);
            const long added = probe::live - held;  // blocks: a prefix copy, its node, a glue node
            ++seen[added == 0 ? 1 : added == 1 ? 2 : added == 3 ? 5 : before == "-" ? 0 : n->left || n->right ? 4 : 3];
        }
        check_shape(t, t->root);
        for (int q = 0; q < 2000; ++q) {
            std::uint32_t addr = rng();
            if (pick(3) && !stored.empty())  // near a stored prefix, so that long ones match too
                addr = std::next(stored.begin(), pick(stored.size()))->first.first ^ (rng() >> pick(32));
            const ip_prefix key = make_prefix(addr, pick(4) ? 32 : pick(41));
            const trie_node* want = nullptr;
            for (const auto& [k, v] : stored)  // ordered by bits, then length: the last match is the longest
                if (k.second <= std::min(unsigned{key.bitlen}, width) && prefix_bits(key, k.second) == k.first)
                    want = v.first;
            ASSERT_EQ(trie_search_best(t, key), want) << std::hex << addr << std::dec << "/" << key.bitlen;
        }
        trie_destroy(t);
        ASSERT_EQ(probe::live, 0) << "destroy left blocks behind";
    }
    EXPECT_EQ(std::find(seen, seen + 6, 0) - seen, 6) << "an insertion way never exercised";
}
