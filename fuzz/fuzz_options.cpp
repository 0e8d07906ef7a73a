// Command lines built from the input, read by the option reader and applied
// by handle_option.
//
// Input: one flags byte, then words separated by NUL bytes.
//   bit 0  POSIXLY_CORRECT conventions
//   bit 1  an interface is already chosen (so -t is refused)
//   bit 2  the first word is a short-option string of its own, read with
//          getopt_long_next directly (optional arguments, odd letters)
// Options that would end the process (-h, -V), open files (-H) or look for
// capture interfaces (-i) are recorded but not applied.
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz/fuzz_common.h"
#include "run/getopt.h"
#include "run/options.h"
#include "run/settings.h"
#include "support/interface_discovery.h"

namespace {

std::FILE* sink_file = nullptr;

struct word_range {
    const char* begin;
    const char* end;  // at the terminator
};

struct reading {
    std::vector<word_range> words;
    unsigned options = 0;
};

// optarg must point into one of the words (the rest of a word or a whole
// word), never at memory of its own.
void check_inside(const reading& r, const char* value)
{
    if (!value)
        return;
    bool inside = std::any_of(r.words.begin(), r.words.end(), [&](const word_range& w) {
        return value >= w.begin && value <= w.end;
    });
    FUZZ_CHECK(inside, "option value outside every word");
}

void apply(int letter, const char* value, void* ctx)
{
    auto* r = static_cast<reading*>(ctx);
    check_inside(*r, value);
    ++r->options;
    switch (letter) {
    case 'h':
    case 'V':
    case 'H':
        return;
    case 'i':
        // Discovery itself is not pure (it may end the process); its text
        // matcher is.
        if (value) {
            find_nocase("Intel(R) Ethernet Connection", value);
            find_nocase(value, "eth");
        }
        return;
    case 'k':
        // handle_option keeps every schedule; only the last is needed.
        delete speck_key;
        speck_key = nullptr;
        break;
    default:
        break;
    }
    handle_option(letter, value);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::quiet_stdout();
    sink_file = std::fopen("/dev/null", "w");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::uint8_t flags = data[0];
    // The words, each NUL-terminated in storage of its own, so that reading
    // past a word's end is caught.
    std::vector<std::unique_ptr<char[]>> storage;
    std::vector<const char*> argv;
    storage.emplace_back(new char[sizeof "vantry_remote"]);
    std::memcpy(storage.back().get(), "vantry_remote", sizeof "vantry_remote");
    argv.push_back(storage.back().get());
    std::size_t pos = 1;
    while (pos <= size && argv.size() < 64) {
        const std::uint8_t* end = static_cast<const std::uint8_t*>(
            std::memchr(data + pos, 0, size - pos));
        std::size_t n = (end ? end - data : size) - pos;
        storage.emplace_back(new char[n + 1]);
        std::memcpy(storage.back().get(), data + pos, n);
        storage.back()[n] = '\0';
        argv.push_back(storage.back().get());
        pos += n + 1;
    }

    fuzz::reset_settings();
    if (flags & 2)
        settings.interface_name = "eth0";

    reading r;
    for (const char* w : argv)
        r.words.push_back({w, w + std::strlen(w)});
    const std::vector<const char*> before = argv;
    argv.push_back(nullptr);
    const int argc = static_cast<int>(argv.size() - 1);

    if ((flags & 4) && argc >= 2) {
        // The first word after the path is the letter string.
        const char* shortopts = argv[1];
        argv.erase(argv.begin() + 1);
        static const long_option with_optional[] = {
            {"collector", arg_required, 'c'}, {"count", arg_optional, 'C'},
            {"verbose", arg_none, 'v'},       {"version", arg_none, 'V'},
            {"", arg_required, 'e'},          {nullptr, arg_none, 0},
        };
        getopt_state st;
        st.posixly_correct = flags & 1;
        const int n = argc - 1;
        for (int guard = 0; guard < 1000; ++guard) {
            int c = getopt_long_next(st, n, argv.data(), shortopts, with_optional, sink_file);
            FUZZ_CHECK(st.optind >= 1 && st.optind <= n, "optind %d of %d", st.optind, n);
            if (c == -1)
                break;
            check_inside(r, st.optarg);
        }
    } else {
        read_command_line(argc, argv.data(), flags & 1, sink_file, apply, &r);
        // The reader reorders the pointers but never loses or invents one.
        std::vector<const char*> after(argv.begin(), argv.end() - 1);
        std::vector<const char*> want = before;
        std::sort(after.begin(), after.end());
        std::sort(want.begin(), want.end());
        FUZZ_CHECK(after == want, "argv is no longer a permutation of the words");
    }
    fuzz::reset_settings();
    return 0;
}
