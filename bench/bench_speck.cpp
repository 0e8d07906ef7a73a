// Throughput of the counter-mode transform per variant, beside a general
// purpose library's Speck128 encrypting the same counter blocks; and, per
// datagram of 1,534 and 65,507 bytes, sealing (-A: ChaCha20-Poly1305, tag
// appended, as the sender does it) beside the portable Speck variant.
//
//   cmake -G Ninja -S . -B build-x -DVANTRY_BENCH=ON && ninja -C build-x bench_speck
//   taskset -c 1 build-x/bench_speck --benchmark_counters_tabular=true
//
// cycles/byte is the thread's CPU time in time-stamp-counter ticks (the
// nominal clock, whatever the core's actual frequency): CPU time, so that
// other load on the machine does not count.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "wire/speck.h"
#include "wire/speck_internal.h"
#include "wire/sealed_datagram.h"

#if defined(VANTRY_BENCH_CRYPTOPP)
#include <cryptopp/modes.h>
#include <cryptopp/speck.h>
#endif

#if defined(__x86_64__)
#include <x86intrin.h>
static std::uint64_t ticks() { return __rdtsc(); }
#else
static std::uint64_t ticks() { return 0; }
#endif
#include <chrono>
#include <ctime>

namespace {

const std::int64_t sizes[] = {64, 1534, 65544};
const std::int64_t datagram_sizes[] = {1534, 65507};

const speck_key_schedule& schedule(int bits)
{
    static speck_key_schedule k128, k256;
    static bool made = false;
    if (!made) {
        const speck_key_schedule* saved = speck_key;
        speck_key = nullptr;
        speck_setup_key("benchmark key 16", 16);
        k128 = *speck_key;
        const std::string long_key(256, 'k');
        speck_setup_key(long_key.data(), 256);
        k256 = *speck_key;
        delete speck_key;
        speck_key = saved;
        made = true;
    }
    return bits == 256 ? k256 : k128;
}

double thread_seconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Time-stamp-counter ticks per second, measured once against the clock.
double tsc_hz()
{
    static const double hz = [] {
        const auto c0 = std::chrono::steady_clock::now();
        const std::uint64_t t0 = ticks();
        while (std::chrono::steady_clock::now() - c0 < std::chrono::milliseconds(50)) {
        }
        const std::uint64_t t1 = ticks();
        const std::chrono::duration<double> d = std::chrono::steady_clock::now() - c0;
        return static_cast<double>(t1 - t0) / d.count();
    }();
    return hz;
}

struct cpu_timer {
    double start = thread_seconds();
};

void report(benchmark::State& state, std::uint64_t bytes, const cpu_timer& t)
{
    const double seconds = thread_seconds() - t.start;
    const double total = static_cast<double>(state.iterations()) * static_cast<double>(bytes);
    state.SetBytesProcessed(static_cast<std::int64_t>(total));
    state.SetItemsProcessed(state.iterations());  // datagrams, where one is a datagram
    if (tsc_hz() > 0)
        state.counters["cycles/byte"] = seconds * tsc_hz() / total;
}

void bm_variant(benchmark::State& state, speck_ctr_fn fn, int bits)
{
    const auto n = static_cast<std::uint64_t>(state.range(0));
    std::vector<std::uint8_t> in(n, 0x5a), out(n);
    const speck_key_schedule& ks = schedule(bits);
    tsc_hz();
    const cpu_timer t0;
    for (auto _ : state) {
        fn(out.data(), in.data(), n, n, n, ks);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    report(state, n, t0);
}

void bm_dispatched(benchmark::State& state, int bits)
{
    const auto n = static_cast<std::uint64_t>(state.range(0));
    std::vector<std::uint8_t> in(n, 0x5a), out(n);
    std::uint8_t counter[16];
    speck_store_le64(counter, n);
    speck_store_le64(counter + 8, n);
    const speck_key_schedule& ks = schedule(bits);
    tsc_hz();
    const cpu_timer t0;
    for (auto _ : state) {
        speck_ctr_crypt(out.data(), in.data(), n, counter, ks);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    report(state, n, t0);
}

// A datagram of n bytes on the wire: header and records sealed in place,
// the tag behind them, a new number each time.
void bm_sealed(benchmark::State& state)
{
    const auto n = static_cast<std::uint32_t>(state.range(0));
    std::vector<std::uint8_t> buf(n, 0x5a), master(sealed_key_size, 1);
    sealed_sender s;
    if (sealed_crypto_init() != 0 || sealed_sender_open(&s, master.data()) != 0) {
        state.SkipWithError("libgcrypt refused");
        return;
    }
    sealed_write_header(buf.data(), 1);
    tsc_hz();
    const cpu_timer t0;
    for (auto _ : state) {
        if (sealed_seal(s, buf.data(), n - sealed_tag_size) != n)
            state.SkipWithError("not sealed");
        benchmark::DoNotOptimize(buf.data());
        benchmark::ClobberMemory();
    }
    report(state, n, t0);
    sealed_cipher_close(&s.cipher);
}

#if defined(VANTRY_BENCH_CRYPTOPP)
// The same counter blocks (n + j, n), encrypted in ECB mode into a
// keystream and XORed onto the data: the work our transform does.
void bm_cryptopp(benchmark::State& state, int bits)
{
    const auto n = static_cast<std::uint64_t>(state.range(0));
    const std::uint64_t blocks = (n + 15) / 16;
    std::vector<std::uint8_t> in(n, 0x5a), out(n), counters(blocks * 16), stream(blocks * 16);
    for (std::uint64_t j = 0; j < blocks; ++j) {
        speck_store_le64(counters.data() + 16 * j, n + j);
        speck_store_le64(counters.data() + 16 * j + 8, n);
    }
    std::uint8_t key[32];
    for (int i = 0; i < 32; ++i)
        key[i] = static_cast<std::uint8_t>(i);
    CryptoPP::ECB_Mode<CryptoPP::SPECK128>::Encryption ecb(key, static_cast<std::size_t>(bits / 8));
    tsc_hz();
    const cpu_timer t0;
    for (auto _ : state) {
        ecb.ProcessData(stream.data(), counters.data(), stream.size());
        CryptoPP::xorbuf(out.data(), in.data(), stream.data(), n);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    report(state, n, t0);
}
#endif

void register_all()
{
    const speck_variant* list = nullptr;
    const int count = speck_variants(&list);
    for (int i = 0; i < count; ++i) {
        if (std::strcmp(list[i].name, "portable") != 0)
            continue;
        auto* b = benchmark::RegisterBenchmark("datagram_speck_portable/key128", bm_variant, list[i].fn, 128);
        for (const auto s : datagram_sizes)
            b->Arg(s);
    }
    auto* sealed = benchmark::RegisterBenchmark("datagram_sealed_chacha20_poly1305", bm_sealed);
    for (const auto s : datagram_sizes)
        sealed->Arg(s);
    for (const int bits : {128, 256}) {
        const std::string suffix = "/key" + std::to_string(bits);
        for (int i = 0; i < count; ++i) {
            auto* b = benchmark::RegisterBenchmark((std::string("speck_") + list[i].name + suffix).c_str(),
                                                   bm_variant, list[i].fn, bits);
            for (const auto s : sizes)
                b->Arg(s);
        }
        auto* d = benchmark::RegisterBenchmark(("speck_ctr_crypt" + suffix).c_str(), bm_dispatched, bits);
        for (const auto s : sizes)
            d->Arg(s);
#if defined(VANTRY_BENCH_CRYPTOPP)
        auto* c = benchmark::RegisterBenchmark(("cryptopp_ecb" + suffix).c_str(), bm_cryptopp, bits);
        for (const auto s : sizes)
            c->Arg(s);
#endif
    }
}

}  // namespace

int main(int argc, char** argv)
{
    std::printf("speck_ctr_crypt uses the %s variant\n", speck_active_variant().name);
    register_all();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
