// A fixed-capacity hash index over entries the caller keeps in its own
// array: open addressing over a power of two of slots, at least twice the
// capacity so that every probe ends at a free slot, probed linearly. Each
// slot holds an entry's index + 1, or 0 when free. The caller hashes its
// keys and tells which entry matches; the index never sees a key.
// Allocated once: nothing here allocates after hash_index_init.
#pragma once

#include <cstddef>
#include <cstdint>

struct hash_index {
    std::uint32_t* slots = nullptr;
    std::size_t slot_mask = 0;
    std::size_t entry_count = 0;     // entries indexed
    std::size_t entry_capacity = 0;  // entries it can index
};

// An index for capacity entries (their indexes below 2^32 - 1). 0; -1
// when the memory cannot be had (the index is then empty and releasable).
int hash_index_init(hash_index* x, std::size_t capacity);

void hash_index_release(hash_index* x);

// The slot where a probe for hash starts.
inline std::size_t hash_index_home(const hash_index& x, std::uint64_t hash)
{
    // The caller's hash may keep its spread in any bits: the multiply
    // gathers it into the high ones.
    return static_cast<std::size_t>((hash * 0x9e3779b97f4a7c15ULL) >> 32) & x.slot_mask;
}

// The first entry met from hash's home for which is_match(entry) holds,
// or -1. Entries indexed under the same hash are met in the order they
// were indexed, as long as none is removed.
template <typename Match>
long hash_index_find(const hash_index& x, std::uint64_t hash, const Match& is_match)
{
    if (!x.slots)
        return -1;
    for (std::size_t i = hash_index_home(x, hash); x.slots[i] != 0; i = (i + 1) & x.slot_mask)
        if (is_match(static_cast<std::size_t>(x.slots[i] - 1)))
            return static_cast<long>(x.slots[i] - 1);
    return -1;
}

// Indexes entry under hash; the caller makes sure it is not indexed yet.
// 0; -1 when the index holds its capacity already.
int hash_index_insert(hash_index* x, std::uint64_t hash, std::size_t entry);

// Frees entry's slot, indexed under hash. The entries probed past it move
// back into the gap unless it lies before their home slot, so that none is
// cut off from its home by a free slot; hash_of(k) is entry k's hash.
// 0; -1 when entry is not indexed under hash.
template <typename HashOf>
int hash_index_remove(hash_index* x, std::uint64_t hash, std::size_t entry, const HashOf& hash_of)
{
    if (!x->slots)
        return -1;
    std::size_t gap = hash_index_home(*x, hash);
    for (; x->slots[gap] != entry + 1; gap = (gap + 1) & x->slot_mask)
        if (x->slots[gap] == 0)
            return -1;
    x->slots[gap] = 0;
    --x->entry_count;
    for (std::size_t next = (gap + 1) & x->slot_mask; x->slots[next] != 0;
         next = (next + 1) & x->slot_mask) {
        const std::size_t moved = x->slots[next] - 1;
        const std::size_t home = hash_index_home(*x, hash_of(moved));
        // Distances from home along the probe: the entry may fill the gap
        // only if the gap is no further from its home than it is now.
        if (((next - home) & x->slot_mask) < ((next - gap) & x->slot_mask))
            continue;
        x->slots[gap] = x->slots[next];
        x->slots[next] = 0;
        gap = next;
    }
    return 0;
}
