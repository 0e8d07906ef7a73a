// TZSP datagrams: the input is one received datagram, in a buffer of its exact size (libFuzzer's), so a read past
// it is caught. The frame the parser finds is compared with a reference walk of the tag list, then carried the way
// the receiver carries it: into a Tap datagram, which the collector's decoder must read back to the same bytes.
#include "forward/sender.h"
#include "forward/tap_batch.h"
#include "forward/tzsp.h"
#include "fuzz/fuzz_common.h"
// Tags after the 4-byte header: 0 is one byte of padding, 1 ends the list, anything else is type,
// length, value. The offset after the end tag; -1 when none lies inside.
static long reference_frame_offset(const std::uint8_t* d, std::size_t n)
{
    for (std::size_t i = 4; i < n; i += d[i] == 0 ? 1 : i + 1 < n ? 2 + d[i + 1] : n)
        if (d[i] == 1)
            return static_cast<long>(i + 1);
    return -1;
}

static tap_batch batch;
static tap_datagram_view view;
static tap_sender nowhere;  // never reached: one record does not fill a datagram
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    tzsp_frame f;
    const int r = tzsp_find_frame(data, size, &f);
    const long want = reference_frame_offset(data, size);
    FUZZ_CHECK((r == 0) == (want >= 0) && (r != 0 || (f.offset == want && f.offset + f.length == size)),
               "parse %d, frame at %u+%u in %zu bytes, reference offset %ld", r, f.offset, f.length, size, want);
    if (r != 0 || f.length == 0)
        return 0;  // the receiver drops empty frames
    tap_batch_init(batch, 0x1234, &nowhere);
    tap_batch_add(batch, 1700000000, 999999, f.length, f.length, nullptr, data + f.offset);
    const tap_decode_result d = tap_decode(batch.buf, tap_header_size + batch.data_len, &view);
    const tap_record_view& rec = view.records[0];
    FUZZ_CHECK(d == tap_decode_ok && view.tap_id == 0x1234 && view.record_count == 1 && rec.caplen == f.length &&
                   rec.len == f.length && rec.ts_usec == 999999 && !std::memcmp(rec.frame, data + f.offset, f.length),
               "own datagram decoded as %s, %u records", tap_decode_text(d), view.record_count);
    return 0;
}
