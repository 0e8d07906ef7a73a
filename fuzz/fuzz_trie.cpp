// The prefix trie against a deliberately naive reference: a list of the
// stored prefixes searched from end to end. Any disagreement aborts.
//
// Input: one byte for the trie's key width (0 to 32), then operations of
// six bytes each: kind, bit length, four address bytes.
//   kind % 4 == 0, 1  insert
//   kind % 4 == 2     search
//   kind % 4 == 3     insert with allocation number (kind >> 2) failing:
//                     the trie must come out unchanged
// The allocation hooks also count what the trie holds, which must be
// nothing after trie_destroy.
#include <cstring>
#include <vector>

#include "forward/prefix_trie.h"
#include "fuzz/fuzz_common.h"

namespace {

long blocks_held = 0;
long allocations_left = -1;  // -1: never fail

void* counting_allocate(std::size_t size)
{
    if (allocations_left == 0)
        return nullptr;
    if (allocations_left > 0)
        --allocations_left;
    void* p = std::malloc(size);
    if (p)
        ++blocks_held;
    return p;
}

void counting_release(void* p)
{
    if (p)
        --blocks_held;
    std::free(p);
}

bool same_leading_bits(const std::uint8_t* a, const std::uint8_t* b, unsigned bits)
{
    for (unsigned i = 0; i < bits; ++i) {
        unsigned mask = 0x80u >> (i % 8);
        if ((a[i / 8] & mask) != (b[i / 8] & mask))
            return false;
    }
    return true;
}

struct reference {
    std::vector<ip_prefix> stored;

    const ip_prefix* find_exact(const ip_prefix& p) const
    {
        for (const ip_prefix& s : stored)
            if (s.bitlen == p.bitlen && same_leading_bits(s.addr, p.addr, p.bitlen))
                return &s;
        return nullptr;
    }

    // Longest stored prefix covering key, no longer than the key (a key
    // longer than the trie's width counts as that width).
    const ip_prefix* best(const ip_prefix& key, unsigned maxbits) const
    {
        unsigned limit = key.bitlen > maxbits ? maxbits : key.bitlen;
        const ip_prefix* found = nullptr;
        for (const ip_prefix& s : stored)
            if (s.bitlen <= limit && same_leading_bits(s.addr, key.addr, s.bitlen) &&
                (!found || s.bitlen > found->bitlen))
                found = &s;
        return found;
    }
};

// Every stored prefix is found again, exactly, at its own length.
void check_all_found(const prefix_trie* t, const reference& ref)
{
    for (const ip_prefix& s : ref.stored) {
        const trie_node* n = trie_search_best(t, s);
        FUZZ_CHECK(n && n->prefix && n->prefix->bitlen == s.bitlen &&
                       same_leading_bits(n->prefix->addr, s.addr, s.bitlen),
                   "stored /%u not found", s.bitlen);
    }
}

// Parent links, strictly growing bit indexes, glue nodes with two
// children, prefix nodes at their own length.
unsigned check_shape(const prefix_trie* t, const trie_node* n, const trie_node* parent)
{
    if (!n)
        return 0;
    FUZZ_CHECK(n->parent == parent, "broken parent link at bit %u", n->bit);
    FUZZ_CHECK(n->bit <= t->maxbits, "bit %u beyond width %u", n->bit, t->maxbits);
    if (parent)
        FUZZ_CHECK(n->bit > parent->bit, "bit %u under bit %u", n->bit, parent->bit);
    if (n->prefix)
        FUZZ_CHECK(n->prefix->bitlen == n->bit, "prefix /%u at bit %u", n->prefix->bitlen, n->bit);
    else
        FUZZ_CHECK(n->left && n->right, "glue node at bit %u without two children", n->bit);
    return (n->prefix ? 1 : 0) + check_shape(t, n->left, n) + check_shape(t, n->right, n);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    trie_allocate = counting_allocate;
    trie_release = counting_release;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::uint16_t maxbits = data[0] % 34;  // 33: refused
    allocations_left = -1;
    prefix_trie* t = trie_new(maxbits);
    if (maxbits > 32) {
        FUZZ_CHECK(!t, "trie of width %u made", maxbits);
        return 0;
    }
    FUZZ_CHECK(t, "no trie");
    reference ref;
    for (std::size_t pos = 1; pos + 6 <= size; pos += 6) {
        const std::uint8_t kind = data[pos];
        ip_prefix p;
        p.bitlen = data[pos + 1] % 40;  // some beyond the width, and beyond 32
        std::memcpy(p.addr, data + pos + 2, 4);
        switch (kind % 4) {
        case 0:
        case 1: {
            const trie_node* n = trie_insert(t, p);
            if (p.bitlen > maxbits) {
                FUZZ_CHECK(!n, "/%u inserted into width %u", p.bitlen, maxbits);
                break;
            }
            FUZZ_CHECK(n && n->prefix, "insert /%u failed", p.bitlen);
            const ip_prefix* had = ref.find_exact(p);
            // A stored prefix is kept as it was, bits beyond its length too.
            const ip_prefix& want = had ? *had : p;
            FUZZ_CHECK(n->prefix->bitlen == want.bitlen &&
                           std::memcmp(n->prefix->addr, want.addr, 4) == 0,
                       "insert /%u gave another prefix", p.bitlen);
            if (!had)
                ref.stored.push_back(p);
            break;
        }
        case 2: {
            const trie_node* n = trie_search_best(t, p);
            const ip_prefix* want = ref.best(p, maxbits);
            FUZZ_CHECK((n != nullptr) == (want != nullptr), "search /%u: %s, reference %s",
                       p.bitlen, n ? "found" : "none", want ? "found" : "none");
            if (n)
                FUZZ_CHECK(n->prefix && n->prefix->bitlen == want->bitlen &&
                               same_leading_bits(n->prefix->addr, want->addr, want->bitlen),
                           "search /%u: /%u, reference /%u", p.bitlen,
                           n->prefix ? n->prefix->bitlen : 99, want->bitlen);
            break;
        }
        case 3: {
            const long held = blocks_held;
            allocations_left = kind >> 2;
            const trie_node* n = trie_insert(t, p);
            const bool failed = allocations_left == 0 && !n;
            allocations_left = -1;
            if (p.bitlen > maxbits) {
                FUZZ_CHECK(!n, "/%u inserted into width %u", p.bitlen, maxbits);
                break;
            }
            if (failed) {
                FUZZ_CHECK(blocks_held == held, "failed insert kept %ld blocks",
                           blocks_held - held);
            } else {
                FUZZ_CHECK(n && n->prefix, "insert /%u failed with memory left", p.bitlen);
                if (!ref.find_exact(p))
                    ref.stored.push_back(p);
            }
            break;
        }
        }
    }
    check_all_found(t, ref);
    FUZZ_CHECK(check_shape(t, t->root, nullptr) == ref.stored.size(), "prefix count differs");
    trie_destroy(t);
    FUZZ_CHECK(blocks_held == 0, "%ld blocks held after destroy", blocks_held);
    return 0;
}
