// Tap datagrams as the collector receives them: the input is one UDP payload, in a buffer of its exact
// size (libFuzzer's), so a read past it is caught. The clear decoder must stay inside the datagram, and
// what it accepts must be exactly what the batching would have built: writing the decoded records again
// gives back the input byte for byte. The cipher run twice over the same bytes must restore them.
#include "wire/speck.h"
#include "wire/tap_datagram.h"
#include "fuzz/fuzz_common.h"
static tap_datagram_view view;
static const speck_key_schedule& key = (speck_setup_key("fuzzing key", 11), *speck_key);
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::vector<std::uint8_t> buf(data, data + size);
    const tap_decode_result r = tap_decode(data, size, &view);
    FUZZ_CHECK(tap_decode_text(r) != nullptr, "no text for %d", r);
    if (r == tap_decode_ok) {
        std::for_each(buf.begin(), buf.end(), [](std::uint8_t& b) { b ^= 0xff; });  // every byte must be written again
        tap_write_header(buf.data(), view.tap_id);
        buf[tap_count_offset] = view.record_count;
        buf[7] = data[7];  // reserved: not checked by the decoder
        std::size_t pos = tap_header_size;
        for (unsigned i = 0; i < view.record_count; pos += tap_record_header_size + view.records[i++].caplen) {
            const tap_record_view& rec = view.records[i];
            FUZZ_CHECK(rec.frame == data + pos + 12 && pos + 12 + rec.caplen <= size &&
                           rec.ts_usec < 1000000 && rec.caplen <= rec.len,
                       "record %u accepted", i);
            tap_write_record_header(&buf[pos], rec.ts_sec, rec.ts_usec, rec.caplen, rec.len);
            std::memcpy(buf.data() + pos + 12, rec.frame, rec.caplen);
        }
        FUZZ_CHECK(pos == size && !std::memcmp(buf.data(), data, size), "records written again differ");
    }
    FUZZ_CHECK(!tap_crypt(buf.data(), data, size, key) && !tap_crypt(buf.data(), buf.data(), size, key) &&
                   (!size || !std::memcmp(buf.data(), data, size)), "the cipher twice is not the identity");
    return 0;
}
