// A Kafka message value as a consumer receives it, in a buffer of its exact size (libFuzzer's), so that a read past
// it is caught. What the parser accepts must be exactly what the builder makes of the frames it gave: built again,
// the value is the input byte for byte. The same bytes cut at newlines are a key and four header values: an origin
// read from them must spell them again exactly.
#include "collector/kafka_message.h"
#include "fuzz/fuzz_common.h"
static kafka_records parsed;
static kafka_value built;
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const kafka_parse_result r = kafka_value_parse(data, size, &parsed);
    FUZZ_CHECK(kafka_parse_text(r) != nullptr, "no text for %d", r);
    if (r == kafka_parse_ok) {
        kafka_value_clear(&built);
        for (std::size_t i = 0; i < parsed.count; ++i) {
            const tap_record_view& v = parsed.records[i];
            FUZZ_CHECK(v.frame >= data && v.frame + v.caplen <= data + size && v.caplen <= v.len && v.ts_usec < 1000000,
                       "record %zu accepted", i);
            FUZZ_CHECK(kafka_value_add(&built, v) == 0, "record %zu of %zu does not fit again", i, parsed.count);
        }
        FUZZ_CHECK(built.size == size && (!size || !std::memcmp(built.bytes, data, size)),
                   "the value built again differs");
    }
    std::string_view texts[5];
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    for (std::string_view& t : texts) {
        const std::size_t cut = std::min(rest.find('\n'), rest.size());
        t = rest.substr(0, cut);
        rest.remove_prefix(std::min(cut + 1, rest.size()));
    }
    const kafka_origin_fields f{texts[0], texts[1], texts[2], texts[3].empty() ? std::string_view() : texts[3],
                                texts[4].empty() ? std::string_view() : texts[4]};
    kafka_origin o;
    if (kafka_origin_parse(f, &o) == 0) {
        kafka_origin_text t;
        kafka_origin_format(o, &t);
        FUZZ_CHECK(f.key == t.key && f.tap_id == t.tap_id && f.sender == t.sender && f.run_id == t.run_id &&
                       f.seq == t.seq, "origin spelled another way: %s", t.key);
    }
    return 0;
}
