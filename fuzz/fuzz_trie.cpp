// The prefix trie against a naive reference: the stored prefixes searched from end to end. Input: the key width
// (a byte; 33 is refused), then six-byte operations: kind, bit length, four address bytes. kind % 4: 0 and 1 insert,
// 2 search, 3 insert with allocation (kind >> 2) + 1 failing, which must keep no block. Nothing is held at the end.
#include "fuzz/fuzz_common.h"
#include "tests/test_support.h"
static long blocks_held = 0, allocations_left = -1;  // -1: never fail
// The trie's allocator, counting blocks and failing on request.
static void* counted_allocate(std::size_t n)
{
    return allocations_left == 0 ? nullptr : (allocations_left -= allocations_left > 0, ++blocks_held, std::malloc(n));
}

static void counted_release(void* p) { blocks_held -= p != nullptr, std::free(p); }
static const bool counted = (trie_allocate = counted_allocate, trie_release = counted_release, true);
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const unsigned width = size ? data[0] % 34 : 32;
    prefix_trie* t = trie_new(static_cast<std::uint16_t>(width));
    FUZZ_CHECK((t != nullptr) == (width <= 32), "trie of width %u", width);
    std::vector<ip_prefix> stored;  // each as first given
    for (std::size_t pos = 1; t && pos + 6 <= size; pos += 6) {
        const unsigned kind = data[pos] % 4;
        ip_prefix p;
        p.bitlen = data[pos + 1] % 40;  // some beyond the width, and beyond 32
        std::memcpy(p.addr, data + pos + 2, 4);
        const ip_prefix* want = nullptr;  // the longest stored prefix that covers p
        for (const ip_prefix& s : stored)
            if (s.bitlen <= p.bitlen && s.bitlen <= width && prefix_bits(s, s.bitlen) == prefix_bits(p, s.bitlen) &&
                (!want || s.bitlen > want->bitlen))
                want = &s;
        const long held = blocks_held;
        allocations_left = kind == 3 ? data[pos] >> 2 : -1;
        const trie_node* n = kind == 2 ? trie_search_best(t, p) : trie_insert(t, p);
        const bool failed = allocations_left == 0 && !n, had = want && want->bitlen == p.bitlen;
        allocations_left = -1;
        // A search finds want; an insertion gives a stored prefix as it was, bits beyond its length too.
        const ip_prefix* expect = kind == 2 || had ? want : failed || p.bitlen > width ? nullptr : &p;
        FUZZ_CHECK(n ? expect && n->prefix->bitlen == expect->bitlen && !std::memcmp(n->prefix->addr, expect->addr, 4)
                     : !expect && (!failed || blocks_held == held),
                   "kind %u /%u: /%d, reference /%d", kind, p.bitlen, n ? n->prefix->bitlen : -1,
                   expect ? expect->bitlen : -1);
        if (kind != 2 && n && !had)
            stored.push_back(p);
    }
    for (const ip_prefix& s : stored)
        FUZZ_CHECK(trie_search_best(t, s) && trie_search_best(t, s)->bit == s.bitlen, "/%u lost", s.bitlen);
    trie_destroy(t);
    FUZZ_CHECK(blocks_held == 0, "%ld blocks held after destroy", blocks_held);
    return 0;
}
