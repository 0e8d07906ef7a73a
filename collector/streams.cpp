#include "collector/streams.h"

#include <cstring>
#include <new>

namespace {

std::uint64_t run_hash(std::uint16_t tap_id, const std::uint8_t* run_id)
{
    // Run ids are random: their first bytes spread the streams well enough.
    std::uint64_t h = tap_id;
    for (int i = 0; i < 8; ++i)
        h = h << 8 ^ run_id[i] ^ h >> 56;
    return h;
}

std::uint64_t run_hash(const run_name& r) { return run_hash(r.tap_id, r.run_id); }

bool run_named(const run_name& r, std::uint16_t tap_id, const std::uint8_t* run_id)
{
    return r.tap_id == tap_id && std::memcmp(r.run_id, run_id, sealed_run_id_size) == 0;
}

long find_retired(const stream_table& t, std::uint16_t tap_id, const std::uint8_t* run_id)
{
    const auto is_run = [&t, tap_id, run_id](std::size_t k) {
        return run_named(t.retired[k].run, tap_id, run_id);
    };
    return hash_index_find(t.retired_by_run, run_hash(tap_id, run_id), is_run);
}

// Into the ring of retired runs, in place of the oldest once it is full; a
// run retired before (it came back) only gets its new highest number.
void retire_run(stream_table* t, const retired_run& s)
{
    if (t->retired_capacity == 0)
        return;
    const long known = find_retired(*t, s.run.tap_id, s.run.run_id);
    if (known >= 0) {
        retired_run& r = t->retired[known];
        r.top = r.top > s.top ? r.top : s.top;
        r.last_sent = r.last_sent > s.last_sent ? r.last_sent : s.last_sent;
        return;
    }
    const std::size_t k = t->retired_next;
    if (t->retired_by_run.entry_count == t->retired_capacity)
        hash_index_remove(&t->retired_by_run, run_hash(t->retired[k].run), k,
                          [t](std::size_t n) { return run_hash(t->retired[n].run); });
    t->retired[k] = s;
    hash_index_insert(&t->retired_by_run, run_hash(s.run), k);
    t->retired_next = (k + 1) % t->retired_capacity;
}

// A scan of the table, made only when a new run's datagram verified and the
// table is full.
std::size_t least_recently_heard(const stream_table& t)
{
    std::size_t k = 0;
    for (std::size_t i = 1; i < t.count; ++i)
        if (t.entries[i].heard < t.entries[k].heard)
            k = i;
    return k;
}

std::uint64_t& word_of(sealed_stream& s, std::uint64_t seq) { return s.seen[seq % replay_window_bits / 64]; }
std::uint64_t bit_of(std::uint64_t seq) { return std::uint64_t{1} << (seq % 64); }

}  // namespace

int stream_table_init(stream_table* t, std::size_t capacity, std::size_t retired_capacity)
{
    *t = stream_table{};
    t->entries = new (std::nothrow) sealed_stream[capacity];
    t->retired = new (std::nothrow) retired_run[retired_capacity];
    if (!t->entries || !t->retired || hash_index_init(&t->by_run, capacity) != 0 ||
        hash_index_init(&t->retired_by_run, retired_capacity) != 0) {
        stream_table_release(t);
        return -1;
    }
    t->capacity = capacity;
    t->retired_capacity = retired_capacity;
    return 0;
}

void stream_table_release(stream_table* t)
{
    if (t->entries)
        sealed_wipe(t->entries, t->capacity * sizeof(sealed_stream));
    delete[] t->entries;
    hash_index_release(&t->by_run);
    delete[] t->retired;
    hash_index_release(&t->retired_by_run);
    *t = stream_table{};
}

long stream_find(const stream_table& t, std::uint16_t tap_id, const std::uint8_t* run_id)
{
    const auto is_run = [&t, tap_id, run_id](std::size_t k) {
        return run_named(t.entries[k].run, tap_id, run_id);
    };
    return hash_index_find(t.by_run, run_hash(tap_id, run_id), is_run);
}

bool stream_retired(const stream_table& t, std::uint16_t tap_id, const std::uint8_t* run_id,
                    std::uint64_t* top)
{
    const long k = find_retired(t, tap_id, run_id);
    if (k >= 0 && top)
        *top = t.retired[k].top;
    return k >= 0;
}

long stream_add(stream_table* t, std::uint16_t tap_id, const std::uint8_t* run_id,
                const std::uint8_t key[sealed_key_size], std::uint64_t seq, bool* forgot,
                const std::uint64_t* resumed_top)
{
    *forgot = false;
    if (t->capacity == 0)
        return -1;
    std::size_t k = t->count;
    if (k == t->capacity) {
        k = least_recently_heard(*t);
        hash_index_remove(&t->by_run, run_hash(t->entries[k].run), k,
                          [t](std::size_t n) { return run_hash(t->entries[n].run); });
        const sealed_stream& old = t->entries[k];
        retire_run(t, retired_run{old.run, old.top, old.last_sent});
        *forgot = true;
    } else {
        ++t->count;
    }
    sealed_stream& s = t->entries[k];
    s = sealed_stream{};
    s.run.tap_id = tap_id;
    std::memcpy(s.run.run_id, run_id, sealed_run_id_size);
    std::memcpy(s.key, key, sealed_key_size);
    if (resumed_top) {
        s.first = s.top = *resumed_top;
        std::memset(s.seen, 0xff, sizeof s.seen);
        window_mark(s, seq);
        ++s.first;
    } else {
        s.first = s.top = seq;
        word_of(s, seq) = bit_of(seq);
    }
    s.heard = ++t->verified;
    hash_index_insert(&t->by_run, run_hash(s.run), k);
    return static_cast<long>(k);
}

void stream_heard(stream_table* t, long i, std::uint64_t sent_us)
{
    sealed_stream& s = t->entries[i];
    s.heard = ++t->verified;
    if (sent_us > s.last_sent)
        s.last_sent = sent_us;
}

void stream_remember(stream_table* t, const retired_run& r) { retire_run(t, r); }

window_verdict window_check(const sealed_stream& s, std::uint64_t seq)
{
    if (seq > s.top)
        return window_fresh;
    if (s.top - seq >= replay_window_bits)
        return window_too_old;
    return s.seen[seq % replay_window_bits / 64] & bit_of(seq) ? window_replayed : window_fresh;
}

std::int64_t window_mark(sealed_stream& s, std::uint64_t seq)
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
