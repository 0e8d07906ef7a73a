// Configuration files: the input is the whole file. read_config_lines must hand on exactly what
// parse_config_line makes of each piece as fgets cuts it (up to a line feed, at most 16,383 characters).
#include "fuzz/fuzz_common.h"
#include "run/options.h"
static int record(int letter, const char* value, void* ctx)
{
    *static_cast<std::string*>(ctx) += static_cast<char>(letter) + (value ? "=" + std::string(value) : "") + "\n";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::string got, expected;
    FUZZ_CHECK(!read_config_lines(input_file(data, size).c_str(), record, &got), "file not read");
    for (std::size_t pos = 0, n; pos < size; pos += n) {
        const char* piece = reinterpret_cast<const char*>(data) + pos;
        n = std::min<std::size_t>(16383, size - pos);
        if (const void* lf = std::memchr(piece, '\n', n))
            n = static_cast<std::size_t>(static_cast<const char*>(lf) - piece) + 1;
        const config_line cl = parse_config_line(std::string(piece, n).c_str());
        if (cl.kind == config_line_option)
            record(cl.letter, cl.value ? cl.value->c_str() : nullptr, &expected);
    }
    FUZZ_CHECK(got == expected, "reader and line parser disagree");
    return 0;
}
