#include "collector/sources.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>


namespace {

std::uint64_t sender_hash(const net_peer& sender)
{
    std::uint64_t words[2];
    std::memcpy(words, sender.addr, sizeof words);
    const std::uint64_t h = words[0] ^ (words[1] * 0xff51afd7ed558ccdULL) ^ sender.scope_id;
    return h ^ (h >> 29) ^ sender.port;
}

}  // namespace

int source_table_init(source_table* t, std::size_t capacity)
{
    *t = source_table{};
    if (capacity == 0)
        capacity = 1;
    t->entries = new (std::nothrow) source[capacity];
    if (!t->entries || hash_index_init(&t->by_sender, capacity) != 0) {
        source_table_release(t);
        return -1;
    }
    t->capacity = capacity;
    return 0;
}

void source_table_release(source_table* t)
{
    delete[] t->entries;
    hash_index_release(&t->by_sender);
    *t = source_table{};
}

long source_find_or_add(source_table* t, const net_peer& sender, std::uint16_t tap_id,
                        std::int64_t first_seen, bool* added)
{
    *added = false;
    const std::uint64_t hash = sender_hash(sender);
    const long known = hash_index_find(t->by_sender, hash, [t, &sender, tap_id](std::size_t k) {
        return t->entries[k].tap_id == tap_id && net_peer_same(t->entries[k].sender, sender);
    });
    if (known >= 0)
        return known;
    if (t->count == t->capacity || hash_index_insert(&t->by_sender, hash, t->count) != 0)
        return -1;
    source& s = t->entries[t->count];
    s = source{};
    s.sender = sender;
    s.tap_id = tap_id;
    s.first_seen = first_seen;
    s.serial = ++t->last_serial;
    *added = true;
    return static_cast<long>(t->count++);
}

long source_find_sender(const source_table& t, const net_peer& sender)
{
    // The sender's first source is the first met: sources are never
    // removed, and later ones are placed further along the run.
    return hash_index_find(t.by_sender, sender_hash(sender), [&t, &sender](std::size_t k) {
        return net_peer_same(t.entries[k].sender, sender);
    });
}

void source_place_run(source_table* t, std::size_t i, const net_peer& sender, std::uint16_t tap_id,
                      const std::uint8_t* run_id, std::int64_t first_seen)
{
    source& s = t->entries[i];
    s = source{};
    s.sender = sender;
    s.tap_id = tap_id;
    s.first_seen = first_seen;
    s.sealed = true;
    std::memcpy(s.run_id, run_id, sealed_run_id_size);
    s.serial = ++t->last_serial;
    if (i >= t->count)
        t->count = i + 1;
}

void source_name(const source& s, char* out, std::size_t cap)
{
    char from[net_peer_text_max];
    net_peer_text(s.sender, from, sizeof from);
    if (s.sealed)
        std::snprintf(out, cap, "tap %u run %02x%02x%02x%02x from %s", s.tap_id, s.run_id[0],
                      s.run_id[1], s.run_id[2], s.run_id[3], from);
    else
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
