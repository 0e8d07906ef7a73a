#include "collector/hash_index.h"

#include <new>

int hash_index_init(hash_index* x, std::size_t capacity)
{
    *x = hash_index{};
    std::size_t slot_count = 2;
    while (slot_count < 2 * capacity)
        slot_count *= 2;
    x->slots = new (std::nothrow) std::uint32_t[slot_count]();
    if (!x->slots)
        return -1;
    x->slot_mask = slot_count - 1;
    x->entry_capacity = capacity;
    return 0;
}

void hash_index_release(hash_index* x)
{
    delete[] x->slots;
    *x = hash_index{};
}

int hash_index_insert(hash_index* x, std::uint64_t hash, std::size_t entry)
{
    if (x->entry_count == x->entry_capacity)
        return -1;
    std::size_t i = hash_index_home(*x, hash);
    while (x->slots[i] != 0)
        i = (i + 1) & x->slot_mask;
    x->slots[i] = static_cast<std::uint32_t>(entry + 1);
    ++x->entry_count;
    return 0;
}
