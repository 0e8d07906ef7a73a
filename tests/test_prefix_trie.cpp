#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>

#include "forward/prefix_trie.h"

namespace {

ip_prefix make_prefix(std::uint32_t a, unsigned bitlen)
{
    using b = std::uint8_t;
    return {.bitlen = static_cast<std::uint16_t>(bitlen), .addr = {b(a >> 24), b(a >> 16), b(a >> 8), b(a)}};
}

// The first len bits of p's address (all of them by default), the others cleared.
std::uint32_t bits_of(const ip_prefix& p, unsigned len = 32)
{
    const std::uint32_t v = std::uint32_t{p.addr[0]} << 24 | p.addr[1] << 16 | p.addr[2] << 8 | p.addr[3];
    return len ? v & ~std::uint32_t{0} << (32 - len) : 0;
}

// Checks the shape every insertion keeps: parent links, bit indexes growing down each path up to the
// width, prefixes at their own length, glue nodes with two children. Returns every node and prefix.
std::string check_shape(const prefix_trie* t, const trie_node* n, const trie_node* parent = nullptr)
{
    if (!n)
        return "-";
    EXPECT_TRUE(n->parent == parent && (!parent || n->bit > parent->bit) && n->bit <= t->maxbits) << n->bit;
    EXPECT_TRUE(n->prefix ? n->prefix->bitlen == n->bit : n->left && n->right) << n->bit;
    char line[80];
    std::snprintf(line, sizeof line, "{%p %u %p %08x/%u ", static_cast<const void*>(n), n->bit,
                  static_cast<const void*>(n->prefix), n->prefix ? bits_of(*n->prefix) : 0,
                  n->prefix ? n->prefix->bitlen : 0);
    return line + check_shape(t, n->left, n) + " " + check_shape(t, n->right, n) + "}";
}

// Blocks held by the tries; allocation number fail_at fails.
long calls = 0, fail_at = 0, live = 0;
void* probe_allocate(std::size_t size) { return ++calls == fail_at ? nullptr : (++live, std::malloc(size)); }
void probe_release(void* block) { live -= block != nullptr, std::free(block); }

}  // namespace

TEST(PrefixTrie, MatchesANaiveReferenceAndSurvivesEveryFailedAllocation)
{
    EXPECT_TRUE(!trie_new(33) && !trie_insert(nullptr, make_prefix(0, 0)) && !trie_search_best(nullptr, {}));
    trie_allocate = probe_allocate, trie_release = probe_release;
    // Insertions by the way they went: new root, already there, into a glue
    // node, new leaf, above a node, beside one under a new glue node.
    int seen[6] = {};
    std::mt19937 rng(20240611);
    auto pick = [&](std::size_t n) { return static_cast<unsigned>(rng() % n); };
    for (int round = 0; round < 60; ++round) {
        SCOPED_TRACE(round);
        const unsigned width = round % 3 ? 32 : pick(33);  // every third trie is narrower
        prefix_trie* t = nullptr;
        for (long k = 1; !t; ++k) {  // even making the trie may fail
            calls = 0, fail_at = k;
            t = trie_new(static_cast<std::uint16_t>(width));
            ASSERT_EQ(live, t ? 1 : 0);
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
                p = make_prefix(bits_of(p, p.bitlen), p.bitlen);
            const std::string before = check_shape(t, t->root);
            const long held = live;
            trie_node* n = nullptr;
            for (long k = 1;; ++k) {
                calls = 0, fail_at = k;
                if ((n = trie_insert(t, p)), calls < k)
                    break;  // no k-th block needed: this one went through
                ASSERT_EQ(n, nullptr) << "allocation " << k << " failing";
                ASSERT_EQ(check_shape(t, t->root), before) << "allocation " << k << " failing";
                ASSERT_EQ(live, held) << "a half-made node was kept, allocation " << k << " failing";
            }
            fail_at = 0;
            ASSERT_EQ(n == nullptr, p.bitlen > width) << p.bitlen;
            if (!n)
                continue;
            // A stored prefix comes back as its node, with the bits it was first given.
            const auto it = stored.try_emplace({bits_of(p, p.bitlen), p.bitlen}, n, bits_of(p)).first;
            ASSERT_TRUE(it->second.first == n && bits_of(*n->prefix) == it->second.second && n->bit == p.bitlen);
            const long added = live - held;  // blocks: a prefix copy, its node, a glue node
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
                if (k.second <= std::min(unsigned{key.bitlen}, width) && bits_of(key, k.second) == k.first)
                    want = v.first;
            ASSERT_EQ(trie_search_best(t, key), want) << std::hex << addr << std::dec << "/" << key.bitlen;
        }
        trie_destroy(t);
        ASSERT_EQ(live, 0) << "destroy left blocks behind";
    }
    trie_allocate = std::malloc, trie_release = std::free;
    EXPECT_EQ(std::find(seen, seen + 6, 0) - seen, 6) << "an insertion way never exercised";
}
