// AVX2 Speck128 counter mode: four blocks per pair of registers, one
// 64-bit lane each. AVX2 has no 64-bit rotate; the rotation by 8 is a byte
// shuffle and the rotation by 3 two shifts and an or. Scalar blocks run
// beside the vector ones in the same loop: they use the integer units,
// which the vector code leaves idle, so the pair outruns either alone.
#include <immintrin.h>

#include "wire/speck_internal.h"

namespace {

// Local rotations: a shared inline or template function compiled here
// with AVX2 enabled could be the copy the linker keeps for every caller,
// also on CPUs without AVX2.
inline std::uint64_t rotr64(std::uint64_t v, int n) { return (v >> n) | (v << (64 - n)); }
inline std::uint64_t rotl64(std::uint64_t v, int n) { return (v << n) | (v >> (64 - n)); }

template <int V, int S>
struct group {
    // Lane order inside a register is blocks 0, 2, 1, 3, so that unpacking
    // the y and x registers gives blocks 0-1 and 2-3 in memory order.
    __m256i y[V > 0 ? V : 1];
    __m256i x[V > 0 ? V : 1];
    std::uint64_t sy[S > 0 ? S : 1];
    std::uint64_t sx[S > 0 ? S : 1];
    static constexpr int blocks = 4 * V + S;
};

template <int V, int S, int R>
inline void keystream(group<V, S>& g, std::uint64_t c0, std::uint64_t c1, const std::uint64_t* rk)
{
    const __m256i ror8 = _mm256_setr_epi8(1, 2, 3, 4, 5, 6, 7, 0, 9, 10, 11, 12, 13, 14, 15, 8,
                                          1, 2, 3, 4, 5, 6, 7, 0, 9, 10, 11, 12, 13, 14, 15, 8);
    const __m256i vx = _mm256_set1_epi64x(static_cast<long long>(c1));
#pragma GCC unroll 8
    for (int v = 0; v < V; ++v) {
        const std::uint64_t b = c0 + 4 * static_cast<std::uint64_t>(v);
        g.y[v] = _mm256_setr_epi64x(static_cast<long long>(b), static_cast<long long>(b + 2),
                                    static_cast<long long>(b + 1), static_cast<long long>(b + 3));
        g.x[v] = vx;
    }
#pragma GCC unroll 8
    for (int s = 0; s < S; ++s) {
        g.sy[s] = c0 + 4 * V + static_cast<std::uint64_t>(s);
        g.sx[s] = c1;
    }
#pragma GCC unroll 34
    for (int r = 0; r < R; ++r) {
        const __m256i k = _mm256_set1_epi64x(static_cast<long long>(rk[r]));
#pragma GCC unroll 8
        for (int v = 0; v < V; ++v) {
            __m256i x = _mm256_shuffle_epi8(g.x[v], ror8);
            x = _mm256_xor_si256(_mm256_add_epi64(x, g.y[v]), k);
            const __m256i y = _mm256_or_si256(_mm256_slli_epi64(g.y[v], 3), _mm256_srli_epi64(g.y[v], 61));
            g.x[v] = x;
            g.y[v] = _mm256_xor_si256(y, x);
        }
#pragma GCC unroll 8
        for (int s = 0; s < S; ++s) {
            g.sx[s] = (rotr64(g.sx[s], 8) + g.sy[s]) ^ rk[r];
            g.sy[s] = rotl64(g.sy[s], 3) ^ g.sx[s];
        }
    }
}

template <int V, int S>
inline void xor_out(std::uint8_t* out, const std::uint8_t* in, const group<V, S>& g)
{
#pragma GCC unroll 8
    for (int v = 0; v < V; ++v) {
        const __m256i lo = _mm256_unpacklo_epi64(g.y[v], g.x[v]);
        const __m256i hi = _mm256_unpackhi_epi64(g.y[v], g.x[v]);
        auto* o = reinterpret_cast<__m256i*>(out + 64 * v);
        const auto* i = reinterpret_cast<const __m256i*>(in + 64 * v);
        const __m256i a = _mm256_loadu_si256(i);
        const __m256i b = _mm256_loadu_si256(i + 1);
        _mm256_storeu_si256(o, _mm256_xor_si256(a, lo));
        _mm256_storeu_si256(o + 1, _mm256_xor_si256(b, hi));
    }
#pragma GCC unroll 8
    for (int s = 0; s < S; ++s) {
        std::uint8_t* o = out + 64 * V + 16 * s;
        const std::uint8_t* i = in + 64 * V + 16 * s;
        speck_store_le64(o, speck_load_le64(i) ^ g.sy[s]);
        speck_store_le64(o + 8, speck_load_le64(i + 8) ^ g.sx[s]);
    }
}

template <int V, int S, int R>
inline void xor_blocks(std::uint8_t* out, const std::uint8_t* in, std::uint64_t c0, std::uint64_t c1,
                       const std::uint64_t* rk)
{
    group<V, S> g;
    keystream<V, S, R>(g, c0, c1, rk);
    xor_out(out, in, g);
}

// The last n bytes, fewer than the group holds, through a keystream buffer.
template <int V, int S, int R>
inline void xor_partial(std::uint8_t* out, const std::uint8_t* in, std::uint64_t n, std::uint64_t c0,
                        std::uint64_t c1, const std::uint64_t* rk)
{
    group<V, S> g;
    keystream<V, S, R>(g, c0, c1, rk);
    alignas(32) std::uint8_t stream[16 * group<V, S>::blocks] = {};
    xor_out(stream, stream, g);
    for (std::uint64_t i = 0; i < n; ++i)
        out[i] = in[i] ^ stream[i];
}

// Five register pairs (20 blocks) and three scalar blocks per pass: 12 of
// the 16 vector registers and 6 general ones, so nothing spills, and both
// kinds of unit stay busy.
constexpr int main_v = 5;
constexpr int main_s = 3;
constexpr std::uint64_t main_bytes = 16 * (4 * main_v + main_s);

template <int R>
void ctr(std::uint8_t* out, const std::uint8_t* in, std::uint64_t len, std::uint64_t c0,
         std::uint64_t c1, const std::uint64_t* rk)
{
    while (len >= main_bytes) {
        xor_blocks<main_v, main_s, R>(out, in, c0, c1, rk);
        out += main_bytes;
        in += main_bytes;
        len -= main_bytes;
        c0 += main_bytes / 16;
    }
    // The rest in one group sized to it: a group costs at least its chain
    // of dependent rounds, whatever its width, so one wide group beats
    // several narrow ones. Up to four blocks, scalar chains are shorter
    // than vector ones.
    if (len > 192)
        xor_partial<main_v, main_s, R>(out, in, len, c0, c1, rk);
    else if (len > 128)
        xor_partial<2, 4, R>(out, in, len, c0, c1, rk);
    else if (len > 64)
        xor_partial<1, 4, R>(out, in, len, c0, c1, rk);
    else if (len == 64)
        xor_blocks<0, 4, R>(out, in, c0, c1, rk);
    else if (len > 32)
        xor_partial<0, 4, R>(out, in, len, c0, c1, rk);
    else if (len > 16)
        xor_partial<0, 2, R>(out, in, len, c0, c1, rk);
    else if (len > 0)
        xor_partial<0, 1, R>(out, in, len, c0, c1, rk);
}

}  // namespace

void speck_ctr_avx2(std::uint8_t* out, const std::uint8_t* in, std::uint64_t len, std::uint64_t c0,
                    std::uint64_t c1, const speck_key_schedule& ks)
{
    // Not ks.rk.data(): no shared inline function is called from this file.
    const auto* rk = reinterpret_cast<const std::uint64_t*>(&ks.rk);
    if (ks.key_size == 256)
        ctr<34>(out, in, len, c0, c1, rk);
    else
        ctr<32>(out, in, len, c0, c1, rk);
}
