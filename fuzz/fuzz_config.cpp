// Configuration files: the input is the whole file. What read_config_lines
// hands on is compared with what parse_config_line makes of each piece cut
// the way fgets cuts it; then the options are applied (less those that end
// the process, open files or look for interfaces).
#include <cctype>
#include <cstring>
#include <string>

#include "fuzz/fuzz_common.h"
#include "run/options.h"
#include "run/settings.h"

namespace {

void record(int letter, const char* value, void* ctx)
{
    *static_cast<std::string*>(ctx) += std::string(1, static_cast<char>(letter)) + (value ? "=" : "") +
                                       (value ? value : "") + '\n';
}

bool trim_char(char c) { return std::isspace(static_cast<unsigned char>(c)) || c == '"' || c == '\''; }

// The pieces as fgets gives them: up to the line feed, at most 16,383
// characters, the text of a piece ending at a NUL.
std::string expected_pairs(const std::uint8_t* data, std::size_t size)
{
    std::string out;
    for (std::size_t pos = 0, end; pos < size; pos = end) {
        for (end = pos; end < size && end - pos < 16383 && data[end] != '\n';)
            ++end;
        if (end < size && end - pos < 16383)
            ++end;  // the line feed belongs to the piece
        config_line cl = parse_config_line(std::string(reinterpret_cast<const char*>(data + pos), end - pos).c_str());
        if (cl.kind == config_line_option) {
            record(cl.letter, cl.value ? cl.value->c_str() : nullptr, &out);
            FUZZ_CHECK(!cl.value || cl.value->empty() || (!trim_char(cl.value->front()) && !trim_char(cl.value->back())),
                       "value '%s' keeps blanks or quotes", cl.value->c_str());
        }
        FUZZ_CHECK(cl.kind != config_line_unrecognized ||
                       (!cl.text.empty() && cl.text[0] != '-' && cl.text[0] != '#'),
                   "unrecognized line '%s'", cl.text.c_str());
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
    std::string got;
    FUZZ_CHECK(read_config_lines(fuzz::scratch_path().c_str(), record, &got) == 0, "scratch file not read");
    FUZZ_CHECK(got == expected_pairs(data, size), "reader and line parser disagree");

    fuzz::reset_settings();
    for (std::size_t pos = 0, end; pos < got.size(); pos = end + 1) {
        end = got.find('\n', pos);
        const char letter = got[pos];
        if (!std::strchr("hVHi", letter))
            handle_option(letter, got[pos + 1] == '=' ? got.substr(pos + 2, end - pos - 2).c_str() : nullptr);
    }
    fuzz::reset_settings();
    return 0;
}
