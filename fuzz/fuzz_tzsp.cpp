// TZSP datagrams: the input is one received datagram. The frame the parser
// finds is compared with a reference walk of the tag list, then carried the
// way the receiver carries it: into a Tap datagram, which the collector's
// decoder must read back to the same bytes.
#include <cstring>
#include <memory>

#include "forward/tap_batch.h"
#include "forward/tzsp.h"
#include "fuzz/fuzz_common.h"

namespace {

// Tags after the 4-byte header: 0 is one byte of padding, 1 ends the list,
// anything else is type, length, value. -1 when no end tag lies inside.
long reference_frame_offset(const std::uint8_t* d, std::size_t n)
{
    std::size_t i = 4;
    while (i < n) {
        if (d[i] == 1)
            return static_cast<long>(i + 1);
        if (d[i] == 0) {
            i += 1;
        } else {
            if (i + 1 >= n)
                return -1;
            i += 2 + d[i + 1];
        }
    }
    return -1;
}

tap_batch batch;
tap_datagram_view view;
tap_sender nowhere;  // never reached: one record does not fill a datagram

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::quiet_stdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // A buffer of exactly the datagram's size, so that a read past its end
    // is caught.
    std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[size ? size : 1]);
    if (size)
        std::memcpy(copy.get(), data, size);
    tzsp_frame f;
    const int r = tzsp_find_frame(copy.get(), size, &f);
    const long want = reference_frame_offset(data, size);
    FUZZ_CHECK((r == 0) == (want >= 0), "parse %d, reference offset %ld", r, want);
    if (r != 0)
        return 0;
    FUZZ_CHECK(f.offset == static_cast<std::uint32_t>(want) && f.offset <= size &&
                   f.offset + f.length == size,
               "frame at %u+%u in %zu bytes, reference %ld", f.offset, f.length, size, want);
    if (f.length == 0)
        return 0;  // the receiver drops empty frames

    tap_batch_init(batch, 0x1234, &nowhere);
    tap_batch_add(batch, 1700000000, 999999, f.length, f.length, nullptr, copy.get() + f.offset);
    FUZZ_CHECK(batch.data_len == tap_record_header_size + f.length, "record of %u bytes",
               batch.data_len);
    const tap_decode_result d = tap_decode(batch.buf, tap_header_size + batch.data_len, &view);
    FUZZ_CHECK(d == tap_decode_ok, "own datagram not decoded: %s", tap_decode_text(d));
    FUZZ_CHECK(view.tap_id == 0x1234 && view.num_pkts == 1 && view.records[0].caplen == f.length &&
                   view.records[0].len == f.length && view.records[0].ts_usec == 999999 &&
                   std::memcmp(view.records[0].frame, data + f.offset, f.length) == 0,
               "decoded record differs");
    return 0;
}
