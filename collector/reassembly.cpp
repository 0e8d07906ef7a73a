#include "collector/reassembly.h"

#include <cstring>
#include <new>

namespace {

// The stream's unfinished frame, unless its place was taken over since.
partial_frame* held(reassembly_pool& pool, const sealed_stream& s, long i)
{
    if (s.partial < 0 || static_cast<std::size_t>(s.partial) >= pool.count)
        return nullptr;
    partial_frame& f = pool.slots[s.partial];
    return f.stream == i ? &f : nullptr;
}

void let_go(sealed_stream& s, partial_frame* f)
{
    if (f)
        f->stream = -1;
    s.partial = -1;
}

// A free place, or the one added to least recently, its frame then lost.
partial_frame* take_place(reassembly_pool& pool, sealed_stream& s, long i)
{
    if (pool.count == 0)
        return nullptr;
    std::size_t k = 0;
    for (std::size_t n = 0; n < pool.count; ++n) {
        if (pool.slots[n].stream < 0) {
            k = n;
            break;
        }
        if (pool.slots[n].used < pool.slots[k].used)
            k = n;
    }
    partial_frame& f = pool.slots[k];
    if (f.stream >= 0)
        ++pool.taken_over;
    f.stream = i;
    s.partial = static_cast<int>(k);
    return &f;
}

bool emit(const frame_sink& sink, const tap_record_view& r, bool* stopped)
{
    if (!*stopped && !sink.write(sink.ctx, r))
        *stopped = true;
    return !*stopped;
}

}  // namespace

int reassembly_init(reassembly_pool* p, std::size_t count)
{
    *p = reassembly_pool{};
    p->slots = new (std::nothrow) partial_frame[count];
    if (!p->slots)
        return -1;
    p->count = count;
    return 0;
}

void reassembly_release(reassembly_pool* p)
{
    delete[] p->slots;
    *p = reassembly_pool{};
}

std::int64_t reassemble(reassembly_pool& pool, sealed_stream& s, long i, const sealed_header_view& h,
                        const sealed_body& b, bool newest, const frame_sink& sink, bool* stopped)
{
    const unsigned whole = b.count - (b.last_cut ? 1 : 0);
    if (!newest) {
        // Late: its whole frames were counted lost when the numbers went
        // past them (unless they came before the stream's first).
        std::int64_t back = 0;
        for (unsigned k = 0; k < whole && emit(sink, b.records[k], stopped); ++k)
            back -= h.seq >= s.first ? 1 : 0;
        return back;
    }
    std::int64_t lost = 0;
    partial_frame* f = held(pool, s, i);
    if (f && f->next_seq == h.seq) {
        const std::uint32_t need = f->head.caplen - f->have;
        if (b.rest_len > need || (b.rest_len < need && b.count > 0)) {
            // Not how the tap cuts a frame: nothing of it is used.
            let_go(s, f);
            ++lost;
        } else {
            std::memcpy(f->bytes + f->have, b.rest, b.rest_len);
            f->have += static_cast<std::uint32_t>(b.rest_len);
            f->used = ++pool.clock;
            f->next_seq = h.seq + 1;
            if (f->have == f->head.caplen) {
                emit(sink, f->head, stopped);
                let_go(s, f);
            }
        }
    } else if (f) {
        // The datagram with its next piece is lost, or late: so is the frame.
        let_go(s, f);
        ++lost;
    }
    // Frames whose start was in a datagram that never came.
    const std::int32_t skipped = static_cast<std::int32_t>(h.first_frame - s.next_frame);
    if (s.framing && skipped > 0)
        lost += skipped;
    s.framing = true;
    s.next_frame = h.first_frame + b.count;
    for (unsigned k = 0; k < whole && emit(sink, b.records[k], stopped); ++k) {
    }
    if (b.last_cut) {
        partial_frame* p = take_place(pool, s, i);
        if (!p)
            return lost + 1;
        p->head = b.records[b.count - 1];
        p->head.frame = p->bytes;
        std::memcpy(p->bytes, b.records[b.count - 1].frame, b.cut_have);
        p->have = b.cut_have;
        p->next_seq = h.seq + 1;
        p->used = ++pool.clock;
    }
    return lost;
}
