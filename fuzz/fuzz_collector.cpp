// A Tap datagram decoded and written as pcapng by the collector's file writer must read back block by block, every
// frame with its interface and time stamp. Records take turns among three senders; the table holds two.
#include <fstream>
#include <iterator>
#include "fuzz/fuzz_common.h"
#include "collector/capture_file.h"
#include "collector/pcapng_writer.h"
#include "tests/pcapng_reader.h"

namespace {
tap_datagram_view view;
// The file the writer writes, in memory; opening it for writing empties it.
const std::string out_path = "/proc/self/fd/" + std::to_string(::memfd_create("pcapng", 0));
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (tap_decode(data, size, &view) != tap_decode_ok) return 0;
    source_table t;
    capture_file f;
    f.pattern = out_path.c_str();
    f.open_existing = true;
    FUZZ_CHECK(source_table_init(&t, 2) == 0 && capture_file_open(&f, t, 0) == 0, "cannot start a file");
    std::vector<std::pair<long, const tap_record_view*>> written;
    for (unsigned i = 0; i < view.record_count; ++i) {
        bool added;
        const long s = source_find_or_add(&t, net_peer_ipv4(i % 3, 0), view.tap_id, 0, &added);
        if (s >= 0) written.push_back({s, &view.records[i]});
        FUZZ_CHECK(s < 0 || capture_file_write(&f, t, std::size_t(s), view.records[i], 0) == 0, "write failed");
    }
    capture_file_close(&f);
    std::ifstream in(out_path, std::ios::binary);
    const std::vector<std::uint8_t> d{std::istreambuf_iterator<char>(in), {}};
    pcapng_file file;
    FUZZ_CHECK(pcapng_read(d.data(), d.size(), &file) == pcapng_read_ok, "block at %zu", file.bad_at);
    FUZZ_CHECK(file.packets.size() == written.size() && file.interfaces.size() == t.count, "%zu of %zu packets",
               file.packets.size(), written.size());
    for (std::size_t i = 0; i < written.size(); ++i) {
        const pcapng_packet& p = file.packets[i];
        const tap_record_view& r = *written[i].second;
        FUZZ_CHECK(p.interface == std::uint32_t(written[i].first), "packet %zu", i);
        FUZZ_CHECK(p.caplen == r.caplen && p.len == r.len, "lengths of packet %zu", i);
        FUZZ_CHECK(p.timestamp == r.ts_sec * 1000000ULL + r.ts_usec, "time of packet %zu", i);
        FUZZ_CHECK(p.block_len == pcapng_packet_size(r.caplen), "block length of packet %zu", i);
        FUZZ_CHECK(std::equal(r.frame, r.frame + r.caplen, p.frame.begin()), "frame of packet %zu", i);
    }
    source_table_release(&t);
    return 0;
}
