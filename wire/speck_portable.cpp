// Portable Speck128 counter mode. One block is a chain of 32 dependent
// rounds, so a single block leaves most of the CPU idle; running several
// independent counter blocks side by side fills the integer units. The
// loops are unrolled whole so that every word stays in a register; four
// blocks (eight words) leave the compiler registers for the rest, more
// start to spill.
#include <bit>
#include <cstring>

#include "wire/speck_internal.h"

namespace {

// N counter blocks (y = c0 + b, x = c1) through R rounds.
template <int N, int R>
inline void keystream(std::uint64_t (&y)[N], std::uint64_t (&x)[N], std::uint64_t c0,
                      std::uint64_t c1, const std::uint64_t* rk)
{
#pragma GCC unroll 8
    for (int b = 0; b < N; ++b) {
        y[b] = c0 + static_cast<std::uint64_t>(b);
        x[b] = c1;
    }
#pragma GCC unroll 34
    for (int r = 0; r < R; ++r) {
        const std::uint64_t k = rk[r];
#pragma GCC unroll 8
        for (int b = 0; b < N; ++b) {
            x[b] = (std::rotr(x[b], 8) + y[b]) ^ k;
            y[b] = std::rotl(y[b], 3) ^ x[b];
        }
    }
}

template <int N, int R>
inline void xor_blocks(std::uint8_t* out, const std::uint8_t* in, std::uint64_t c0, std::uint64_t c1,
                       const std::uint64_t* rk)
{
    std::uint64_t y[N], x[N];
    keystream<N, R>(y, x, c0, c1, rk);
#pragma GCC unroll 8
    for (int b = 0; b < N; ++b) {
        speck_store_le64(out + 16 * b, speck_load_le64(in + 16 * b) ^ y[b]);
        speck_store_le64(out + 16 * b + 8, speck_load_le64(in + 16 * b + 8) ^ x[b]);
    }
}

// The last n bytes (fewer than N blocks' worth) through a keystream buffer.
template <int N, int R>
inline void xor_partial(std::uint8_t* out, const std::uint8_t* in, std::uint64_t n, std::uint64_t c0,
                        std::uint64_t c1, const std::uint64_t* rk)
{
    std::uint64_t y[N], x[N];
    keystream<N, R>(y, x, c0, c1, rk);
    std::uint8_t stream[16 * N];
    for (int b = 0; b < N; ++b) {
        speck_store_le64(stream + 16 * b, y[b]);
        speck_store_le64(stream + 16 * b + 8, x[b]);
    }
    for (std::uint64_t i = 0; i < n; ++i)
        out[i] = in[i] ^ stream[i];
}

constexpr int wide = 4;

template <int R>
void ctr(std::uint8_t* out, const std::uint8_t* in, std::uint64_t len, std::uint64_t c0,
         std::uint64_t c1, const std::uint64_t* rk)
{
    while (len >= 16 * wide) {
        xor_blocks<wide, R>(out, in, c0, c1, rk);
        out += 16 * wide;
        in += 16 * wide;
        len -= 16 * wide;
        c0 += wide;
    }
    // What is left (under four blocks) goes in one group sized to it: a
    // group costs little more than its slowest chain, so one three-block
    // group beats three single blocks.
    if (len > 32)
        xor_partial<wide, R>(out, in, len, c0, c1, rk);
    else if (len > 16)
        xor_partial<2, R>(out, in, len, c0, c1, rk);
    else if (len > 0)
        xor_partial<1, R>(out, in, len, c0, c1, rk);
}

}  // namespace

void speck_ctr_portable(std::uint8_t* out, const std::uint8_t* in, std::uint64_t len,
                        std::uint64_t c0, std::uint64_t c1, const speck_key_schedule& ks)
{
    if (ks.key_size == 256)
        ctr<34>(out, in, len, c0, c1, ks.rk.data());
    else
        ctr<32>(out, in, len, c0, c1, ks.rk.data());
}
