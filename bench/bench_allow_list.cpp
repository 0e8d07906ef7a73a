// host_allowed lookups per second over allow-lists of various sizes, for
// listed (hit) and unlisted (miss) addresses, and the heap each listed host
// costs. The lists are loaded from real hosts files.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <unordered_set>
#include <vector>

#include "forward/allow_list.h"
#include "forward/prefix_trie.h"
#include "forward/prefix_trie.h"

namespace {

std::size_t requested_bytes = 0;
std::size_t heap_bytes = 0;

void* counting_allocate(std::size_t size)
{
    void* block = std::malloc(size);
    if (block) {
        requested_bytes += size;
        // What the heap really gives, plus its size word in front.
        heap_bytes += malloc_usable_size(block) + sizeof(std::size_t);
    }
    return block;
}

struct loaded_list {
    prefix_trie* trie = nullptr;
    std::vector<std::uint32_t> hits;
    std::vector<std::uint32_t> misses;
    double requested_per_host = 0;
    double heap_per_host = 0;
};

constexpr std::size_t query_count = 1 << 16;

std::string dotted(std::uint32_t addr_be)
{
    std::uint8_t b[4];
    std::memcpy(b, &addr_be, 4);
    char out[16];
    std::snprintf(out, sizeof out, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    return out;
}

// Built once per size and kept until the process ends.
const loaded_list& list_of(std::size_t hosts)
{
    static std::map<std::size_t, loaded_list> lists;
    auto found = lists.find(hosts);
    if (found != lists.end())
        return found->second;

    std::mt19937 rng(static_cast<unsigned>(hosts));
    std::unordered_set<std::uint32_t> listed;
    std::vector<std::uint32_t> order;
    std::string text;
    while (listed.size() < hosts) {
        std::uint32_t a = static_cast<std::uint32_t>(rng());
        if (listed.insert(a).second) {
            order.push_back(a);
            text += dotted(a) + "\n";
        }
    }
    const std::string path =
        (std::filesystem::temp_directory_path() / ("vantry_bench_hosts_" + std::to_string(hosts))).string();
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        std::abort();
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);

    requested_bytes = heap_bytes = 0;
    trie_allocate = counting_allocate;
    loaded_list& l = lists[hosts];
    load_hosts_file(path.c_str(), &l.trie);
    trie_allocate = std::malloc;
    std::filesystem::remove(path);

    l.requested_per_host = static_cast<double>(requested_bytes) / static_cast<double>(hosts);
    l.heap_per_host = static_cast<double>(heap_bytes) / static_cast<double>(hosts);
    for (std::size_t i = 0; i < query_count; ++i)
        l.hits.push_back(order[rng() % order.size()]);
    while (l.misses.size() < query_count) {
        std::uint32_t a = static_cast<std::uint32_t>(rng());
        if (!listed.count(a))
            l.misses.push_back(a);
    }
    return l;
}

void bm_host_allowed(benchmark::State& state)
{
    const loaded_list& l = list_of(static_cast<std::size_t>(state.range(0)));
    const bool hit = state.range(1) != 0;
    const std::vector<std::uint32_t>& queries = hit ? l.hits : l.misses;
    std::size_t i = 0;
    std::size_t allowed = 0;
    for (auto _ : state) {
        allowed += host_allowed(l.trie, queries[i]);
        i = (i + 1) & (query_count - 1);
    }
    benchmark::DoNotOptimize(allowed);

    if (allowed != (hit ? static_cast<std::size_t>(state.iterations()) : 0))
        state.SkipWithError("wrong answers");
    state.SetLabel(hit ? "hit" : "miss");
    state.counters["lookups/s"] = benchmark::Counter(static_cast<double>(state.iterations()),
                                                     benchmark::Counter::kIsRate);
    state.counters["bytes/host"] = l.requested_per_host;
    state.counters["heap/host"] = l.heap_per_host;
}

}  // namespace

BENCHMARK(bm_host_allowed)
    ->ArgNames({"hosts", "hit"})
    ->ArgsProduct({{100, 10000, 1000000}, {1, 0}});

BENCHMARK_MAIN();
