// The -A collector's decoder fed a series of datagrams, each [flags][seq: 2 bytes][n][n bytes]: raw bytes (flags
// bit 0 clear), or n bytes sealed as one frame under number seq by a tap of the collector's key, then with a byte
// flipped when bit 1 is set. Raw and altered datagrams never write; sealed ones write exactly when a window
// model says the number is fresh, and the lost count is the model's.
#include <set>
#include "fuzz/fuzz_common.h"
#include "collector/collector_run.h"

namespace {
collector_run* run_once()
{
    static collector_run run;
    run.opt.port = 0;
    run.opt.key = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
    run.opt.authenticated = true;
    FUZZ_CHECK(collector_set_up(run) == 0, "no collector");
    return &run;
}

collector_run& run = *run_once();
sealed_sender* tap_once()
{
    static sealed_sender s;
    std::uint8_t key[sealed_key_size];
    FUZZ_CHECK(sealed_sender_open(&s, run.sealing.master_key) == 0, "no tap");
    std::fill(s.run_id, s.run_id + sealed_run_id_size, 7);  // the same tags for the same input, run after run
    FUZZ_CHECK(sealed_run_key(run.sealing.master_key, s.run_id, key) == 0 && sealed_cipher_key(s.cipher, key) == 0, "key");
    return &s;
}

sealed_sender& tap = *tap_once();
// The window as documented in docs/wire.md, spelled out with a set.
struct window_model {
    bool started = false;
    std::uint64_t first = 0, top = 0, lost = 0;
    std::set<std::uint64_t> seen;
    bool take(std::uint64_t seq)
    {
        if (started && (seen.count(seq) || (seq < top && top - seq >= replay_window_bits))) return false;
        if (!started) {
            first = top = seq;
            started = true;
        } else if (seq > top) {
            lost += seq - top - 1;
            top = seq;
        } else if (seq > first) {
            --lost;
        }
        seen.insert(seq);
        return true;
    }
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    stream_table_release(&run.sealing.streams);
    FUZZ_CHECK(stream_table_init(&run.sealing.streams, 4, 4) == 0, "no table");
    run.stats = {};
    window_model model;
    static std::uint8_t d[sealed_overhead + tap_record_header_size + 256];
    for (std::size_t at = 0; size - at >= 4 && size - at - 4 >= data[at + 3];) {
        const std::uint8_t flags = data[at], n = data[at + 3];
        const std::uint64_t seq = std::uint64_t{data[at + 1]} << 8 | data[at + 2];
        const std::uint8_t* body = data + at + 4;
        at += 4 + n;
        const unsigned frames = run.stats.frames;
        std::size_t len = n;
        if (flags & 1) {
            sealed_write_header(d, 5);
            d[tap_count_offset] = 1;
            tap_write_record_header(d + sealed_header_size, 0, 0, n, n);
            std::memcpy(d + sealed_header_size + tap_record_header_size, body, n);
            tap.next_seq = seq;
            len = sealed_seal(tap, d, sealed_header_size + tap_record_header_size + n);
            FUZZ_CHECK(len != 0, "not sealed");
            if (flags & 2) d[(n ? body[0] : 0) % len] ^= static_cast<std::uint8_t>(flags | 1);
        } else {
            std::memcpy(d, body, n);
        }
        collector_take_datagram(run, d, static_cast<long>(len), net_peer_ipv4(0x0100007f, 1000));
        const bool written = (flags & 3) == 1 && model.take(seq);
        FUZZ_CHECK(run.stats.frames == frames + written, "seq %llu %s", (unsigned long long)seq,
                   written ? "not written" : "written");
    }
    FUZZ_CHECK(run.stats.lost == model.lost, "%llu lost, the model says %llu", (unsigned long long)run.stats.lost,
               (unsigned long long)model.lost);
    return 0;
}
