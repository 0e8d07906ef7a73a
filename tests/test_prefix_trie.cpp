#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "forward/prefix_trie.h"

namespace {

ip_prefix make_prefix(std::uint32_t host_order, std::uint16_t bitlen)
{
    ip_prefix p;
    p.bitlen = bitlen;
    p.addr[0] = static_cast<std::uint8_t>(host_order >> 24);
    p.addr[1] = static_cast<std::uint8_t>(host_order >> 16);
    p.addr[2] = static_cast<std::uint8_t>(host_order >> 8);
    p.addr[3] = static_cast<std::uint8_t>(host_order);
    return p;
}

ip_prefix dotted(int a, int b, int c, int d, int bitlen)
{
    return make_prefix(static_cast<std::uint32_t>(a) << 24 | static_cast<std::uint32_t>(b) << 16 |
                           static_cast<std::uint32_t>(c) << 8 | static_cast<std::uint32_t>(d),
                       static_cast<std::uint16_t>(bitlen));
}

std::uint32_t host_value(const std::uint8_t* a)
{
    return std::uint32_t{a[0]} << 24 | std::uint32_t{a[1]} << 16 | std::uint32_t{a[2]} << 8 | a[3];
}

std::uint32_t masked(std::uint32_t v, unsigned len)
{
    return len == 0 ? 0 : v & (~std::uint32_t{0} << (32 - len));
}

// A stored prefix as the naive reference sees it: its bits and length.
using ref_key = std::pair<std::uint32_t, unsigned>;
constexpr ref_key no_match{0, 99};

ref_key key_of(const trie_node* n)
{
    if (!n)
        return no_match;
    return {masked(host_value(n->prefix->addr), n->prefix->bitlen), n->prefix->bitlen};
}

// Longest stored prefix covering (addr, len), by trying every one.
ref_key reference_best(const std::vector<ref_key>& stored, std::uint32_t addr, unsigned len)
{
    ref_key best = no_match;
    for (const ref_key& s : stored)
        if (s.second <= len && masked(addr, s.second) == s.first && (best == no_match || s.second > best.second))
            best = s;
    return best;
}

// Checks the shape every insertion must keep; returns the number of nodes.
int check_node(const prefix_trie* t, const trie_node* n, const trie_node* parent)
{
    if (!n)
        return 0;
    EXPECT_EQ(n->parent, parent);
    if (parent) {
        EXPECT_GT(n->bit, parent->bit);
    }
    EXPECT_LE(n->bit, t->maxbits);
    if (n->prefix) {
        EXPECT_EQ(n->bit, n->prefix->bitlen);
    } else {
        EXPECT_TRUE(n->left && n->right) << "glue node at bit " << n->bit << " lacks a child";
    }
    for (const trie_node* c : {n->left, n->right}) {
        // Every prefix below lies on the side its own bit at n says.
        std::vector<const trie_node*> todo{c};
        while (!todo.empty()) {
            const trie_node* d = todo.back();
            todo.pop_back();
            if (!d)
                continue;
            if (d->prefix) {
                bool one = n->bit < t->maxbits && (d->prefix->addr[n->bit / 8] & (0x80 >> (n->bit % 8)));
                EXPECT_EQ(one, c == n->right) << "misplaced prefix under bit " << n->bit;
            }
            todo.push_back(d->left);
            todo.push_back(d->right);
        }
    }
    return 1 + check_node(t, n->left, n) + check_node(t, n->right, n);
}

int check_trie(const prefix_trie* t)
{
    return check_node(t, t->root, nullptr);
}

// Every node, link and prefix, so that two dumps are equal only when
// nothing in the trie moved or changed.
std::string dump(const prefix_trie* t)
{
    std::string out;
    std::vector<const trie_node*> todo{t->root};
    while (!todo.empty()) {
        const trie_node* n = todo.back();
        todo.pop_back();
        char line[160];
        if (!n) {
            out += "-|";
            continue;
        }
        std::snprintf(line, sizeof line, "%p b%u p%p %p %p|", static_cast<const void*>(n), n->bit,
                      static_cast<const void*>(n->parent), static_cast<const void*>(n->prefix),
                      static_cast<const void*>(n->left));
        out += line;
        if (n->prefix) {
            std::snprintf(line, sizeof line, "%08x/%u|", host_value(n->prefix->addr), n->prefix->bitlen);
            out += line;
        }
        todo.push_back(n->right);
        todo.push_back(n->left);
    }
    return out;
}

// Counts what the trie holds and fails the k-th allocation on request.
struct alloc_probe {
    static inline long calls = 0;
    static inline long fail_at = 0;
    static inline long live = 0;

    static void* allocate(std::size_t size)
    {
        if (++calls == fail_at)
            return nullptr;
        ++live;
        return std::malloc(size);
    }
    static void release(void* block)
    {
        if (block)
            --live;
        std::free(block);
    }

    alloc_probe()
    {
        calls = fail_at = live = 0;
        trie_allocate = allocate;
        trie_release = release;
    }
    ~alloc_probe()
    {
        trie_allocate = std::malloc;
        trie_release = std::free;
    }
};

struct trie_holder {
    prefix_trie* t;
    explicit trie_holder(std::uint16_t maxbits = 32) : t(trie_new(maxbits)) {}
    ~trie_holder() { trie_destroy(t); }
};

}  // namespace

TEST(PrefixTrie, AbsentOrEmptyTrieIsHarmless)
{
    EXPECT_EQ(trie_insert(nullptr, dotted(10, 0, 0, 1, 32)), nullptr);
    EXPECT_EQ(trie_search_best(nullptr, dotted(10, 0, 0, 1, 32)), nullptr);
    trie_destroy(nullptr);

    trie_holder h;
    ASSERT_NE(h.t, nullptr);
    EXPECT_EQ(h.t->maxbits, 32);
    EXPECT_EQ(trie_search_best(h.t, dotted(10, 0, 0, 1, 32)), nullptr);
    EXPECT_EQ(trie_new(33), nullptr) << "keys are only 32 bits wide";
}

TEST(PrefixTrie, FirstInsertBecomesRootAtItsLength)
{
    trie_holder h;
    trie_node* n = trie_insert(h.t, dotted(192, 168, 1, 0, 24));
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(h.t->root, n);
    EXPECT_EQ(n->bit, 24);
    EXPECT_EQ(n->parent, nullptr);
    EXPECT_EQ(n->left, nullptr);
    EXPECT_EQ(n->right, nullptr);
}

TEST(PrefixTrie, PrefixLongerThanTrieIsRefused)
{
    trie_holder h(16);
    EXPECT_EQ(trie_insert(h.t, dotted(10, 1, 2, 0, 24)), nullptr);
    EXPECT_EQ(h.t->root, nullptr);
    ASSERT_NE(trie_insert(h.t, dotted(10, 1, 0, 0, 16)), nullptr);
    // A longer key is searched as a 16-bit one.
    EXPECT_NE(trie_search_best(h.t, dotted(10, 1, 2, 3, 32)), nullptr);
}

TEST(PrefixTrie, DuplicateReturnsStoredNodeAndKeepsItsPrefix)
{
    trie_holder h;
    trie_node* first = trie_insert(h.t, dotted(10, 9, 9, 9, 8));  // bits past /8 are kept as given
    trie_insert(h.t, dotted(11, 0, 0, 0, 8));
    trie_node* again = trie_insert(h.t, dotted(10, 0, 0, 0, 8));
    EXPECT_EQ(again, first);
    EXPECT_EQ(host_value(first->prefix->addr), 0x0a090909u);
    EXPECT_EQ(check_trie(h.t), 3);
}

TEST(PrefixTrie, KeysDifferingInLastBitMeetUnderGlueAtBit31)
{
    trie_holder h;
    trie_node* even = trie_insert(h.t, dotted(10, 0, 0, 0, 32));
    trie_node* odd = trie_insert(h.t, dotted(10, 0, 0, 1, 32));
    const trie_node* glue = h.t->root;
    EXPECT_EQ(glue->bit, 31);
    EXPECT_EQ(glue->prefix, nullptr);
    EXPECT_EQ(glue->left, even);
    EXPECT_EQ(glue->right, odd);
    EXPECT_EQ(check_trie(h.t), 3);
    EXPECT_EQ(trie_search_best(h.t, dotted(10, 0, 0, 1, 32)), odd);
    EXPECT_EQ(trie_search_best(h.t, dotted(10, 0, 0, 2, 32)), nullptr);
}

TEST(PrefixTrie, KeysDifferingInFirstBitMeetUnderGlueRootAtBit0)
{
    trie_holder h;
    trie_node* high = trie_insert(h.t, dotted(129, 0, 0, 1, 32));
    trie_node* low = trie_insert(h.t, dotted(1, 0, 0, 1, 32));
    EXPECT_EQ(h.t->root->bit, 0);
    EXPECT_EQ(h.t->root->prefix, nullptr);
    EXPECT_EQ(h.t->root->left, low);
    EXPECT_EQ(h.t->root->right, high);
    EXPECT_EQ(check_trie(h.t), 3);
}

TEST(PrefixTrie, GlueNodeTakesPrefixOfItsLengthInPlace)
{
    trie_holder h;
    trie_insert(h.t, dotted(10, 0, 0, 0, 32));
    trie_insert(h.t, dotted(10, 0, 0, 1, 32));
    trie_node* glue = h.t->root;
    trie_node* n = trie_insert(h.t, dotted(10, 0, 0, 0, 31));
    EXPECT_EQ(n, glue);
    ASSERT_NE(n->prefix, nullptr);
    EXPECT_EQ(n->prefix->bitlen, 31);
    EXPECT_EQ(check_trie(h.t), 3);
    EXPECT_EQ(trie_search_best(h.t, dotted(10, 0, 0, 1, 31)), n);
    EXPECT_EQ(trie_search_best(h.t, dotted(10, 0, 0, 1, 32))->prefix->bitlen, 32);
    EXPECT_EQ(trie_search_best(h.t, dotted(10, 0, 0, 2, 32)), nullptr);
}

TEST(PrefixTrie, ShorterPrefixTakesPlaceAboveLongerOne)
{
    trie_holder h;
    trie_node* host = trie_insert(h.t, dotted(10, 200, 0, 1, 32));
    trie_node* net = trie_insert(h.t, dotted(10, 0, 0, 0, 8));
    EXPECT_EQ(h.t->root, net);
    EXPECT_EQ(net->right, host);  // bit 8 of 10.200.0.1 is 1
    EXPECT_EQ(net->left, nullptr);
    EXPECT_EQ(host->parent, net);
    EXPECT_EQ(check_trie(h.t), 2);
}

TEST(PrefixTrie, LongestCoveringPrefixAnswers)
{
    trie_holder h;
    trie_node* p8 = trie_insert(h.t, dotted(10, 0, 0, 0, 8));
    trie_node* p16 = trie_insert(h.t, dotted(10, 1, 0, 0, 16));
    EXPECT_EQ(trie_search_best(h.t, dotted(10, 1, 2, 3, 32)), p16);
    EXPECT_EQ(trie_search_best(h.t, dotted(10, 2, 3, 4, 32)), p8);
    EXPECT_EQ(trie_search_best(h.t, dotted(11, 0, 0, 1, 32)), nullptr);
    // Never a stored prefix longer than the key.
    EXPECT_EQ(trie_search_best(h.t, dotted(10, 1, 2, 3, 12)), p8);
    EXPECT_EQ(trie_search_best(h.t, dotted(10, 1, 2, 3, 7)), nullptr);
}

TEST(PrefixTrie, ZeroLengthPrefixCoversEverything)
{
    trie_holder h;
    trie_insert(h.t, dotted(10, 1, 0, 0, 16));
    trie_node* all = trie_insert(h.t, dotted(0, 0, 0, 0, 0));
    trie_insert(h.t, dotted(200, 1, 1, 1, 32));
    EXPECT_EQ(check_trie(h.t), 3);  // /0 at the root, the others below it
    EXPECT_EQ(trie_search_best(h.t, dotted(255, 255, 255, 255, 32)), all);
    EXPECT_EQ(trie_search_best(h.t, dotted(10, 1, 0, 0, 0)), all);
    EXPECT_EQ(trie_search_best(h.t, dotted(10, 1, 9, 9, 32))->bit, 16);
}

TEST(PrefixTrie, MatchesNaiveReferenceOnRandomPrefixes)
{
    std::mt19937 rng(20240611);
    auto pick = [&](std::uint32_t n) { return static_cast<std::uint32_t>(rng() % n); };
    long queries = 0;
    for (int round = 0; round < 50; ++round) {
        trie_holder h;
        std::map<ref_key, trie_node*> stored;
        // Prefixes gather around a few bases so that they nest and share
        // paths; each keeps random bits beyond its length.
        std::vector<std::uint32_t> bases(1 + pick(6));
        for (auto& b : bases)
            b = rng();
        const int count = 1 + static_cast<int>(pick(round < 10 ? 12 : 400));
        for (int i = 0; i < count; ++i) {
            std::uint32_t addr = bases[pick(static_cast<std::uint32_t>(bases.size()))];
            if (pick(4))
                addr ^= rng() >> pick(32);
            unsigned len = pick(33);
            if (!stored.empty() && pick(8) == 0) {  // the same prefix again
                auto it = stored.begin();
                std::advance(it, pick(static_cast<std::uint32_t>(stored.size())));
                addr = it->first.first | (rng() & ~masked(~0u, it->first.second));
                len = it->first.second;
            }
            trie_node* n = trie_insert(h.t, make_prefix(addr, static_cast<std::uint16_t>(len)));
            ASSERT_NE(n, nullptr);
            ref_key k{masked(addr, len), len};
            ASSERT_EQ(key_of(n), k);
            auto [it, fresh] = stored.emplace(k, n);
            if (!fresh) {
                ASSERT_EQ(it->second, n) << "a stored prefix must come back as the same node";
            }
        }
        ASSERT_GE(check_trie(h.t), static_cast<int>(stored.size()));

        std::vector<ref_key> ref;
        for (const auto& s : stored)
            ref.push_back(s.first);
        for (int q = 0; q < 2100; ++q) {
            std::uint32_t addr = rng();
            if (pick(3))  // near a stored prefix, so that long ones match too
                addr = ref[pick(static_cast<std::uint32_t>(ref.size()))].first ^ (rng() >> pick(32));
            unsigned len = pick(4) ? 32 : pick(33);
            ref_key want = reference_best(ref, addr, len);
            ref_key got = key_of(trie_search_best(h.t, make_prefix(addr, static_cast<std::uint16_t>(len))));
            ASSERT_EQ(got, want) << "query " << std::hex << addr << std::dec << "/" << len << " round " << round;
            ++queries;
        }
    }
    EXPECT_GE(queries, 100000);
}

TEST(PrefixTrie, FailedAllocationLeavesTrieAsItWas)
{
    alloc_probe probe;
    std::mt19937 rng(77);
    auto pick = [&](std::uint32_t n) { return static_cast<std::uint32_t>(rng() % n); };

    prefix_trie* t = nullptr;
    for (long k = 1;; ++k) {  // even creating the trie may fail
        alloc_probe::calls = 0;
        alloc_probe::fail_at = k;
        t = trie_new(32);
        if (alloc_probe::calls < k)
            break;
        ASSERT_EQ(t, nullptr);
        ASSERT_EQ(alloc_probe::live, 0);
    }
    ASSERT_NE(t, nullptr);

    std::vector<std::pair<std::uint32_t, unsigned>> queries;
    for (int i = 0; i < 300; ++i)
        queries.emplace_back(0x0a000000u | (rng() & 0xffffff), pick(4) ? 32 : pick(33));
    auto answers = [&] {
        std::vector<const trie_node*> out;
        for (auto [addr, len] : queries)
            out.push_back(trie_search_best(t, make_prefix(addr, static_cast<std::uint16_t>(len))));
        return out;
    };

    // Which way each successful insertion went, to be sure all were tried.
    enum { as_root, as_present, as_glue_taken, as_child, as_above, as_split, ways };
    int seen[ways] = {};
    for (int i = 0; i < 400; ++i) {
        const unsigned len = i % 50 == 49 ? 0 : 8 + pick(25);
        std::uint32_t addr = 0x0a000000u | (rng() & 0xffffff);
        if (pick(3) == 0)
            addr &= 0xffffff00u;
        const ip_prefix p = make_prefix(addr, static_cast<std::uint16_t>(len));

        const std::string before = dump(t);
        const std::vector<const trie_node*> answered = answers();
        const long live = alloc_probe::live;
        const int nodes = check_trie(t);
        std::vector<const trie_node*> glue_nodes;
        for (std::vector<const trie_node*> todo{t->root}; !todo.empty();) {
            const trie_node* n = todo.back();
            todo.pop_back();
            if (!n)
                continue;
            if (!n->prefix)
                glue_nodes.push_back(n);
            todo.push_back(n->left);
            todo.push_back(n->right);
        }

        trie_node* got = nullptr;
        for (long k = 1;; ++k) {
            alloc_probe::calls = 0;
            alloc_probe::fail_at = k;
            got = trie_insert(t, p);
            if (alloc_probe::calls < k)
                break;  // it did not need a k-th block: this one went through
            ASSERT_EQ(got, nullptr) << "insert " << i << " with allocation " << k << " failing";
            ASSERT_EQ(dump(t), before) << "insert " << i << " with allocation " << k << " failing";
            ASSERT_EQ(answers(), answered);
            ASSERT_EQ(alloc_probe::live, live) << "a half-made node was not released";
        }
        alloc_probe::fail_at = 0;
        ASSERT_NE(got, nullptr);
        const int added = check_trie(t) - nodes;
        const bool was_glue = std::find(glue_nodes.begin(), glue_nodes.end(), got) != glue_nodes.end();
        if (nodes == 0)
            ++seen[as_root];
        else if (added == 0)
            ++seen[was_glue ? as_glue_taken : as_present];
        else if (added == 2)
            ++seen[as_split];
        else if (got->left || got->right)
            ++seen[as_above];
        else
            ++seen[as_child];
    }
    for (int w = 0; w < ways; ++w)
        EXPECT_GT(seen[w], 0) << "insertion way " << w << " never exercised";

    trie_destroy(t);
    EXPECT_EQ(alloc_probe::live, 0) << "destroy left blocks behind";
}
