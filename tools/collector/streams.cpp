#include "tools/collector/streams.h"

#include <cstring>
#include <new>

namespace {

std::size_t slot_of(std::uint16_t tap_id, const std::uint8_t* run_id, std::size_t mask)
{
    // Run ids are random: their first bytes spread the streams well enough.
    std::uint64_t h = tap_id;
    for (int i = 0; i < 8; ++i)
        h = h << 8 ^ run_id[i] ^ h >> 56;
    return static_cast<std::size_t>((h * 0x9e3779b97f4a7c15ULL) >> 40) & mask;
}

bool is(const tap_stream& s, std::uint16_t tap_id, const std::uint8_t* run_id)
{
    return s.tap_id == tap_id && std::memcmp(s.run_id, run_id, sealed_run_id_size) == 0;
}

std::uint64_t& word_of(tap_stream& s, std::uint64_t seq) { return s.seen[seq % replay_window_bits / 64]; }
std::uint64_t bit_of(std::uint64_t seq) { return std::uint64_t{1} << (seq % 64); }

}  // namespace

int stream_table_init(stream_table* t, std::size_t capacity)
{
    *t = stream_table{};
    std::size_t slots = 2;
    while (slots < 2 * capacity)
        slots *= 2;
    t->entries = new (std::nothrow) tap_stream[capacity];
    t->slots = new (std::nothrow) std::uint32_t[slots]();
    if (!t->entries || !t->slots) {
        stream_table_release(t);
        return -1;
    }
    t->capacity = capacity;
    t->slot_mask = slots - 1;
    return 0;
}

void stream_table_release(stream_table* t)
{
    if (t->entries)
        sealed_wipe(t->entries, t->capacity * sizeof(tap_stream));
    delete[] t->entries;
    delete[] t->slots;
    *t = stream_table{};
}

long stream_find(const stream_table& t, std::uint16_t tap_id, const std::uint8_t* run_id)
{
    if (!t.slots)
        return -1;
    for (std::size_t i = slot_of(tap_id, run_id, t.slot_mask); t.slots[i] != 0; i = (i + 1) & t.slot_mask)
        if (is(t.entries[t.slots[i] - 1], tap_id, run_id))
            return static_cast<long>(t.slots[i] - 1);
    return -1;
}

long stream_add(stream_table* t, std::uint16_t tap_id, const std::uint8_t* run_id,
                const std::uint8_t key[sealed_key_size], std::uint64_t seq)
{
    if (t->count == t->capacity)
        return -1;
    std::size_t i = slot_of(tap_id, run_id, t->slot_mask);
    while (t->slots[i] != 0)
        i = (i + 1) & t->slot_mask;
    tap_stream& s = t->entries[t->count];
    s = tap_stream{};
    s.tap_id = tap_id;
    std::memcpy(s.run_id, run_id, sealed_run_id_size);
    std::memcpy(s.key, key, sealed_key_size);
    s.first = s.top = seq;
    word_of(s, seq) = bit_of(seq);
    t->slots[i] = static_cast<std::uint32_t>(++t->count);
    return static_cast<long>(t->count - 1);
}

window_verdict window_check(const tap_stream& s, std::uint64_t seq)
{
    if (seq > s.top)
        return window_fresh;
    if (s.top - seq >= replay_window_bits)
        return window_too_old;
    return s.seen[seq % replay_window_bits / 64] & bit_of(seq) ? window_replayed : window_fresh;
}

std::int64_t window_mark(tap_stream& s, std::uint64_t seq)
{
    if (seq <= s.top) {
        word_of(s, seq) |= bit_of(seq);
        if (seq < s.first)
            return 0;
        --s.lost;
        return -1;
    }
    // The numbers skipped leave the window unseen; a whole window skipped
    // clears all of it.
    const std::uint64_t gap = seq - s.top - 1;
    if (gap >= replay_window_bits)
        std::memset(s.seen, 0, sizeof s.seen);
    else
        for (std::uint64_t n = s.top + 1; n < seq; ++n)
            word_of(s, n) &= ~bit_of(n);
    word_of(s, seq) |= bit_of(seq);
    s.top = seq;
    s.lost += gap;
    return static_cast<std::int64_t>(gap);
}
