// A Tap datagram decoded and written as pcapng by the collector's file writer must read back block by block, every
// frame with its interface and time stamp. Records take turns among three senders; the table holds two.
#include <fstream>
#include <iterator>
#include <vector>

#include "fuzz/fuzz_common.h"
#include "collector/capture_file.h"
#include "collector/pcapng_writer.h"

namespace {
tap_datagram_view view;
// The file the writer writes, in memory; opening it for writing empties it.
const std::string out_path = "/proc/self/fd/" + std::to_string(::memfd_create("pcapng", 0));
std::uint32_t le32(const std::uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | std::uint32_t{p[3]} << 24; }
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (tap_decode(data, size, &view) != tap_decode_ok) return 0;
    source_table t;
    capture_file f;
    f.pattern = out_path.c_str();
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
    std::size_t interfaces = 0, packets = 0;
    for (std::size_t at = 0; at < d.size();) {
        const std::uint8_t* b = d.data() + at;
        FUZZ_CHECK(d.size() - at >= 12 && le32(b + 4) % 4 == 0 && le32(b + 4) <= d.size() - at, "block at %zu", at);
        const std::uint32_t type = le32(b), n = le32(b + 4);
        FUZZ_CHECK(le32(b + n - 4) == n && (at == 0) == (type == pcapng_section_type), "block at %zu", at);
        interfaces += type == pcapng_interface_type;
        if (type == pcapng_packet_type) {
            FUZZ_CHECK(packets < written.size() && le32(b + 8) == written[packets].first, "packet %zu", packets);
            const tap_record_view& r = *written[packets++].second;
            FUZZ_CHECK(le32(b + 8) < interfaces && le32(b + 20) == r.caplen && le32(b + 24) == r.len, "lengths");
            FUZZ_CHECK((std::uint64_t{le32(b + 12)} << 32 | le32(b + 16)) == r.ts_sec * 1000000ULL + r.ts_usec, "time");
            FUZZ_CHECK(n == pcapng_packet_size(r.caplen) && std::equal(r.frame, r.frame + r.caplen, b + 28), "frame");
        }
        at += n;
    }
    FUZZ_CHECK(packets == written.size() && interfaces == t.count, "%zu of %zu packets", packets, written.size());
    source_table_release(&t);
    return 0;
}
