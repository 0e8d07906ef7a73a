// The whole batch path: frames added to a Tap datagram, each full datagram
// encrypted and sent to a loopback sink. Frames per second by frame size.
//
//   cmake -G Ninja -S . -B build-x -DVANTRY_BENCH=ON && ninja -C build-x bench_batch
//   taskset -c 1 build-x/bench_batch
//
// The sink is never read: a loopback datagram that finds its receive
// buffer full is dropped after the send has succeeded, so this measures
// the sender's side alone.
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "forward/tap_batch.h"
#include "tests/test_support.h"

namespace {

void bm_batch(benchmark::State& state, bool encrypt)
{
    const auto frame_len = static_cast<std::uint32_t>(state.range(0));
    loopback_collector sink;
    if (!sink.sender.has_destination) {
        state.SkipWithError("no loopback socket");
        return;
    }
    key_guard key;
    speck_setup_key("benchmark key", 13);
    sink.sender.encrypt = encrypt;
    sink.sender.key = speck_key;

    auto batch = std::make_unique<tap_batch>();
    tap_batch_init(*batch, 1, &sink.sender);
    std::vector<std::uint8_t> frame(frame_len, 0x42);
    const std::uint32_t sent_before = sink.sender.datagrams_sent;
    std::uint32_t usec = 0;
    for (auto _ : state) {
        tap_batch_add(*batch, 1700000000, usec, frame_len, frame_len, nullptr, frame.data());
        usec = usec == 999999 ? 0 : usec + 1;
    }
    tap_batch_idle(*batch);
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(frame_len));
    state.counters["datagrams"] = static_cast<double>(sink.sender.datagrams_sent - sent_before);
}

}  // namespace

BENCHMARK_CAPTURE(bm_batch, encrypted, true)->Arg(64)->Arg(1514);
BENCHMARK_CAPTURE(bm_batch, clear, false)->Arg(64)->Arg(1514);

BENCHMARK_MAIN();
