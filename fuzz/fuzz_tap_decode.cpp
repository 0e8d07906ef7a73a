// Tap datagrams as the collector receives them: the input is one UDP
// payload. The clear decoder must stay inside the datagram, and what it
// accepts must be exactly what the batching would have built: writing the
// decoded records again gives back the input byte for byte. The cipher is
// then run over the same bytes twice, which must restore them.
#include <cstring>
#include <memory>

#include "forward/speck.h"
#include "forward/tap_wire.h"
#include "fuzz/fuzz_common.h"

namespace {

tap_datagram_view view;
speck_key_schedule key_schedule;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::quiet_stdout();
    // The schedule of a fixed key, copied out of the process-wide slot.
    speck_setup_key("fuzzing key", 11);
    key_schedule = *speck_key;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::unique_ptr<std::uint8_t[]> buf(new std::uint8_t[size ? size : 1]);
    if (size)
        std::memcpy(buf.get(), data, size);

    const tap_decode_result r = tap_decode(buf.get(), size, &view);
    FUZZ_CHECK(tap_decode_text(r) != nullptr, "no text for %d", r);
    if (r == tap_decode_ok) {
        std::unique_ptr<std::uint8_t[]> again(new std::uint8_t[size]);
        tap_write_header(again.get(), view.tap_id);
        again[tap_count_offset] = view.num_pkts;
        again[7] = data[7];  // reserved: not checked by the decoder
        std::size_t pos = tap_header_size;
        for (unsigned i = 0; i < view.num_pkts; ++i) {
            const tap_record_view& rec = view.records[i];
            FUZZ_CHECK(rec.frame >= buf.get() + pos && rec.frame + rec.caplen <= buf.get() + size,
                       "record %u outside the datagram", i);
            FUZZ_CHECK(rec.ts_usec < 1000000 && rec.caplen <= rec.len, "record %u accepted", i);
            FUZZ_CHECK(pos + tap_record_header_size + rec.caplen <= size, "record %u too long", i);
            tap_write_record_header(again.get() + pos, rec.ts_sec, rec.ts_usec, rec.caplen, rec.len);
            std::memcpy(again.get() + pos + 12, rec.frame, rec.caplen);
            pos += tap_record_header_size + rec.caplen;
        }
        FUZZ_CHECK(pos == size, "records end at %zu of %zu", pos, size);
        FUZZ_CHECK(std::memcmp(again.get(), data, size) == 0, "records written again differ");
    }

    FUZZ_CHECK(tap_crypt(buf.get(), buf.get(), size, key_schedule) == 0, "decrypt failed");
    FUZZ_CHECK(tap_crypt(buf.get(), buf.get(), size, key_schedule) == 0, "decrypt failed");
    FUZZ_CHECK(size == 0 || std::memcmp(buf.get(), data, size) == 0,
               "the cipher twice is not the identity");
    return 0;
}
