// Sealed tap runs (-A) carry a frame that does not fit the path in pieces,
// across consecutive datagrams, and number their frames. Here the pieces
// are put back together, per stream, and the frames lost on the way are
// counted from those numbers: a lost datagram costs only the frames it
// carried, whole or in part, and no frame is ever made of pieces that do
// not belong together (a piece is used only in the datagram that directly
// follows the one before it).
//
// Unfinished frames wait in a pool of buffers allocated once, at start. A
// stream holds at most one; when none is free, the one added to least
// recently gives its place, and its frame counts as lost.
#pragma once

#include <cstddef>
#include <cstdint>

#include "wire/sealed_datagram.h"
#include "wire/tap_datagram.h"
#include "collector/streams.h"

inline constexpr std::size_t reassembly_pool_default = 64;

struct partial_frame {
    long stream = -1;             // the stream whose frame it is; -1 free
    std::uint64_t next_seq = 0;   // the datagram its next piece must come in
    std::uint64_t used = 0;       // the pool's clock when last added to
    tap_record_view head;         // time and lengths; frame points at bytes
    std::uint32_t have = 0;
    std::uint8_t bytes[65535];
};

struct reassembly_pool {
    partial_frame* slots = nullptr;
    std::size_t count = 0;
    std::uint64_t clock = 0;
    std::uint64_t taken_over = 0;  // unfinished frames that gave their place: lost
};

// 0, or -1 when the memory cannot be had (the pool is then empty: frames in
// pieces are all lost, counted).
int reassembly_init(reassembly_pool* p, std::size_t count);
void reassembly_release(reassembly_pool* p);

// Where whole frames go, in order: false to stop (the run is done).
struct frame_sink {
    bool (*write)(void* ctx, const tap_record_view& r);
    void* ctx;
};

// Takes the clear body b of the verified datagram h of stream i (its state
// s). newest: its number is above every one seen of the stream before (a
// late datagram fills a gap instead: its whole frames are written and no
// longer count as lost). Writes the frames it completes through sink. The
// change of the stream's count of frames lost; *stopped when sink said to.
std::int64_t reassemble(reassembly_pool& pool, sealed_stream& s, long i, const sealed_header_view& h,
                        const sealed_body& b, bool newest, const frame_sink& sink, bool* stopped);
