#include "run/options.h"

#include <cctype>
#include <cstring>

#include "support/trace_log.h"
#include "wire/sealed_datagram.h"

const char tap_short_options[] = "c:f:H:hi:g:Gn:k:Ks:t:vVAM:R:S:";

// No long names for -s, -g and -G: the help text shows "--snaplen", but it
// has never been accepted, and scripts may depend on it being refused.
const long_option tap_long_options[19] = {
    {"collector", arg_required, 'c'},
    {"filter", arg_required, 'f'},
    {"key", arg_required, 'k'},
    {"disable-encryption", arg_none, 'K'},
    {"interface", arg_required, 'i'},
    {"help", arg_none, 'h'},
    {"hosts", arg_required, 'H'},
    {"tap-id", arg_required, 'n'},
    {"tzsp", arg_required, 't'},
    {"verbose", arg_none, 'v'},
    {"version", arg_none, 'V'},
    {"authenticated", arg_none, 'A'},
    {"mtu", arg_required, 'M'},
    {"max-rate", arg_required, 'R'},
    {"stats", arg_required, 'S'},
    {"key-file", arg_required, tap_key_file_option},
    {"salt", arg_required, tap_salt_option},
    {"generate-key", arg_none, tap_generate_key_option},
    {nullptr, arg_none, 0},
};

int read_command_line(int argc, const char** argv, bool posixly_correct, std::FILE* err,
                      option_sink sink, void* ctx)
{
    getopt_state st;
    st.posixly_correct = posixly_correct;
    for (;;) {
        int letter = getopt_long_next(st, argc, argv, tap_short_options, tap_long_options, err);
        if (letter == -1)
            return 0;
        if (letter == '?')
            return -1;
        if (sink(letter, st.optarg, ctx) != 0)
            return 0;
    }
}

namespace {

bool is_trim_char(char c)
{
    return std::isspace(static_cast<unsigned char>(c)) || c == '"' || c == '\'';
}

// A value without its leading blanks and quotes; its end is that of the
// line, which is trimmed already.
std::string trimmed_value(const char* begin)
{
    while (*begin && is_trim_char(*begin))
        ++begin;
    return begin;
}

}  // namespace

config_line parse_config_line(const char* raw)
{
    config_line out;
    const char* begin = raw;
    while (*begin && is_trim_char(*begin))
        ++begin;
    const char* end = begin + std::strlen(begin);
    while (end > begin + 1 && is_trim_char(end[-1]))
        --end;
    std::string line(begin, end);

    if (line.size() < 2 || line[0] == '#')
        return out;

    if (line[0] == '-' && line[1] == '-') {
        const char* text = line.c_str() + 2;
        for (const long_option* opt = tap_long_options; opt->name; ++opt) {
            std::size_t n = std::strlen(opt->name);
            if (std::strncmp(text, opt->name, n) != 0)
                continue;
            char after = text[n];
            if (after != '\0' && after != ' ' && after != '\t' && after != '=')
                continue;
            out.kind = config_line_option;
            out.letter = opt->letter;
            // Nothing after the name, or only the separator: no value.
            if (after != '\0' && text[n + 1] != '\0')
                out.value = trimmed_value(text + n + 1);
            return out;
        }
        return out;
    }

    if (line[0] == '-') {
        // The third character is taken for the separator and dropped,
        // whatever it is, so "-c1.2.3.4" loses its "1".
        out.kind = config_line_option;
        out.letter = static_cast<unsigned char>(line[1]);
        if (line.size() > 3)
            out.value = trimmed_value(line.c_str() + 3);
        return out;
    }

    out.kind = config_line_unrecognized;
    out.text = std::move(line);
    return out;
}

int read_config_lines(const char* path, option_sink sink, void* ctx)
{
    std::FILE* f = std::fopen(path, "r");
    if (!f)
        return -1;
    // A longer line arrives in pieces of 16,383 characters, each read as a
    // line of its own.
    static constexpr int piece_size = 16384;
    std::string buf(piece_size, '\0');
    while (std::fgets(buf.data(), piece_size, f)) {
        config_line cl = parse_config_line(buf.c_str());
        int stop = 0;
        if (cl.kind == config_line_option) {
            stop = sink(cl.letter, cl.value ? cl.value->c_str() : nullptr, ctx);
            // The sink keeps what it needs: a key's line leaves no copy here.
            if (cl.value)
                sealed_wipe(cl.value->data(), cl.value->size());
        } else if (cl.kind == config_line_unrecognized)
            TAP_LOG(trace_level_warning, "Skipping unrecognized line: %s", cl.text.c_str());
        if (stop != 0)
            break;
    }
    sealed_wipe(buf.data(), buf.size());
    std::fclose(f);
    return 0;
}

const char* missing_option_message(bool disable_encryption, bool have_key, bool have_interface,
                                   unsigned tzsp_port, bool have_collector, bool authenticated)
{
    if (authenticated && disable_encryption)
        return "Options -A and -K exclude each other: -A seals datagrams with the key of -k";
    if (authenticated && !have_key)
        return "Missing encryption key -k (-A seals datagrams with it): give -k KEY or --key-file FILE";
    if (!disable_encryption && !have_key)
        return "Missing encryption key -k";
    if (!have_interface && tzsp_port == 0)
        return "Missing interface -i or -t";
    if (!have_collector)
        return "Missing collector -c";
    return nullptr;
}
