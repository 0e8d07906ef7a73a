#include "collector/sources.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>


namespace {

std::size_t slot_of(const net_peer& sender, std::size_t mask)
{
    // Only the sender is hashed: the taps behind one sender share a probe
    // run, which source_find_sender walks too.
    std::uint64_t words[2];
    std::memcpy(words, sender.addr, sizeof words);
    std::uint64_t h = words[0] ^ (words[1] * 0xff51afd7ed558ccdULL) ^ sender.scope_id;
    h = (h ^ (h >> 29) ^ sender.port) * 0x9e3779b97f4a7c15ULL;
    return static_cast<std::size_t>(h >> 40) & mask;
}

}  // namespace

int source_table_init(source_table* t, std::size_t capacity)
{
    *t = source_table{};
    if (capacity == 0)
        capacity = 1;
    std::size_t slots = 2;
    while (slots < 2 * capacity)
        slots *= 2;
    t->entries = new (std::nothrow) source[capacity];
    t->slots = new (std::nothrow) std::uint32_t[slots]();
    if (!t->entries || !t->slots) {
        source_table_release(t);
        return -1;
    }
    t->capacity = capacity;
    t->slot_mask = slots - 1;
    return 0;
}

void source_table_release(source_table* t)
{
    delete[] t->entries;
    delete[] t->slots;
    *t = source_table{};
}

long source_find_or_add(source_table* t, const net_peer& sender, std::uint16_t tap_id,
                        std::int64_t first_seen, bool* added)
{
    *added = false;
    std::size_t i = slot_of(sender, t->slot_mask);
    for (; t->slots[i] != 0; i = (i + 1) & t->slot_mask) {
        const source& s = t->entries[t->slots[i] - 1];
        if (s.tap_id == tap_id && net_peer_same(s.sender, sender))
            return static_cast<long>(t->slots[i] - 1);
    }
    if (t->count == t->capacity)
        return -1;
    source& s = t->entries[t->count];
    s = source{sender, tap_id, first_seen, {}};
    t->slots[i] = static_cast<std::uint32_t>(++t->count);
    *added = true;
    return static_cast<long>(t->count - 1);
}

long source_find_sender(const source_table& t, const net_peer& sender)
{
    if (!t.slots)
        return -1;
    // The sender's first source is the first met: entries never move and
    // later ones are placed further along the run.
    for (std::size_t i = slot_of(sender, t.slot_mask); t.slots[i] != 0;
         i = (i + 1) & t.slot_mask) {
        const source& s = t.entries[t.slots[i] - 1];
        if (net_peer_same(s.sender, sender))
            return static_cast<long>(t.slots[i] - 1);
    }
    return -1;
}

void source_name(const source& s, char* out, std::size_t cap)
{
    char from[net_peer_text_max];
    net_peer_text(s.sender, from, sizeof from);
    std::snprintf(out, cap, "tap %u from %s", s.tap_id, from);
}

void source_description(const source& s, char* out, std::size_t cap)
{
    const std::time_t t = static_cast<std::time_t>(s.first_seen);
    char when[32] = "?";
    if (const std::tm* tm = std::gmtime(&t))
        std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", tm);
    std::snprintf(out, cap, "first datagram %s UTC", when);
}
