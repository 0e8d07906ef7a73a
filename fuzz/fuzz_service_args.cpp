// The value AppParameters that service_main reads at each start, served by the recording fake: the run
// gets the words of its text (up to the first NUL, if it fits the buffer), or nothing when they joined again are
// too long. Input: type byte (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD, other), flags byte
// (bit 0: the key cannot be opened; bit 1: the value repeated to 8190 + (flags >> 2) % 5 bytes), the value.
#include "fuzz/fuzz_common.h"
#include "tests/test_service_fake.h"
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    static const std::uint32_t types[] = {1, 2, 7, 4, 0};
    fake_reset();
    fake.stored_type = types[data[0] % 5];
    fake.fail = {data[1] & 1 ? "reg open" : "-"};
    fake.stored.assign(reinterpret_cast<const char*>(data + 2), size - 2);
    for (std::size_t n = 8190 + (data[1] >> 2) % 5; data[1] & 2 && fake.stored.size() < n;)
        fake.stored = (fake.stored + fake.stored + "x").substr(0, n);
    fake.run = "\t";  // never an argument string: the words it joins are not empty
    service_main(0, nullptr);
    FUZZ_CHECK(tap_stop_event == nullptr && fake.handles == 0, "stop event or handle left open");
    std::string usable;
    if (data[1] % 2 == 0 && fake.stored.size() <= argument_string_capacity && data[0] % 5 < 2)
        usable = fake.stored.substr(0, fake.stored.find('\0'));  // a REG_SZ or REG_EXPAND_SZ that fits
    // The run gets the stored words exactly; where no quote or backslash is stored, they are the TAB-separated
    // fields, as earlier versions stored them.
    const std::vector<std::string> words = split_arguments(usable.c_str());
    std::vector<std::string> fields;
    for (std::size_t at = 0, end; at <= usable.size(); at = end + 1)
        if ((end = std::min(usable.find('\t', at), usable.size())) > at)
            fields.push_back(usable.substr(at, end - at));
    FUZZ_CHECK(usable.find_first_of("\"\\") != std::string::npos || words == fields, "TAB fields split otherwise");
    const bool started = fake.run != "\t";
    const std::size_t want = join_arguments(words).size();
    FUZZ_CHECK(started == (want < argument_string_capacity) &&
                   (!started || split_arguments(fake.run.c_str()) == words),
               "%s run with %zu characters, expected %zu", started ? "a" : "no", fake.run.size(), want);
    return 0;
}
