// Configuration files: the input is the whole file. Each line is read by
// read_config_lines and compared with what parse_config_line makes of the
// same line cut the way the reader cuts it; then the options are applied
// (less those that end the process, open files or look for interfaces).
#include <cctype>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "fuzz/fuzz_common.h"
#include "run/options.h"
#include "run/settings.h"

namespace {

struct pair {
    int letter;
    std::optional<std::string> value;
    bool operator==(const pair& o) const { return letter == o.letter && value == o.value; }
};

void record(int letter, const char* value, void* ctx)
{
    auto* got = static_cast<std::vector<pair>*>(ctx);
    got->push_back({letter, value ? std::optional<std::string>(value) : std::nullopt});
}

bool trim_char(char c)
{
    return std::isspace(static_cast<unsigned char>(c)) || c == '"' || c == '\'';
}

// What the reader must hand on: the file in pieces as fgets gives them
// (up to the line feed, at most 16,383 characters, a NUL ends the text of a
// piece), each interpreted on its own.
std::vector<pair> expected_pairs(const std::uint8_t* data, std::size_t size)
{
    std::vector<pair> out;
    constexpr std::size_t piece_max = 16383;
    std::size_t pos = 0;
    while (pos < size) {
        std::size_t end = pos;
        while (end < size && end - pos < piece_max && data[end] != '\n')
            ++end;
        if (end < size && end - pos < piece_max)
            ++end;  // the line feed belongs to the piece
        std::string piece(reinterpret_cast<const char*>(data + pos), end - pos);
        config_line cl = parse_config_line(piece.c_str());
        if (cl.kind == config_line_option) {
            out.push_back({cl.letter, cl.value});
            // Values are trimmed at both ends.
            if (cl.value && !cl.value->empty()) {
                FUZZ_CHECK(!trim_char(cl.value->front()) && !trim_char(cl.value->back()),
                           "value '%s' keeps blanks or quotes", cl.value->c_str());
            }
        } else if (cl.kind == config_line_unrecognized) {
            FUZZ_CHECK(!cl.text.empty() && cl.text[0] != '-' && cl.text[0] != '#',
                       "unrecognized line '%s'", cl.text.c_str());
        }
        pos = end;
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::quiet_stdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz::write_scratch(data, size);
    std::vector<pair> got;
    FUZZ_CHECK(read_config_lines(fuzz::scratch_path().c_str(), record, &got) == 0,
               "scratch file not read");
    FUZZ_CHECK(got == expected_pairs(data, size), "reader and line parser disagree (%zu pairs)",
               got.size());

    fuzz::reset_settings();
    for (const pair& p : got) {
        if (std::strchr("hVHi", p.letter) && p.letter != 0)
            continue;
        if (p.letter == 'k') {
            delete speck_key;
            speck_key = nullptr;
        }
        handle_option(p.letter, p.value ? p.value->c_str() : nullptr);
    }
    fuzz::reset_settings();
    return 0;
}
