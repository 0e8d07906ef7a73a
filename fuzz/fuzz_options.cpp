// Command lines from the input, read by the option reader and applied by
// handle_option, -i texts chosen from a fixed interface list. Input: a
// flags byte, then words separated by NUL bytes. Flag bit 0: POSIXLY_CORRECT;
// bit 1: an interface is already chosen (so -t is refused); bit 2: the first
// word is a letter string of its own, read by getopt_long_next directly
// (optional arguments, odd letters). -h, -V (which end the process) and -H
// (which opens a file) are not applied.
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz/fuzz_common.h"
#include "run/options.h"
#include "run/settings.h"
#include "support/interface_discovery.h"

namespace {

std::FILE* sink_file = nullptr;
std::vector<const char*> words;  // in the input's order, each in storage of its own

// A value must point into one of the words, never at memory of its own.
void check_inside(const char* value)
{
    FUZZ_CHECK(!value || std::any_of(words.begin(), words.end(),
                                     [&](const char* w) { return value >= w && value <= w + std::strlen(w); }),
               "option value outside every word");
}

void apply(int letter, const char* value, void*)
{
    check_inside(value);
    static const std::vector<capture_iface> list = {
        {"eth0", "Intel(R) Ethernet Connection 1"}, {"w", "WAN Miniport (IP)"}, {"lo", "loopback"}};
    if (letter == 'i' && value) {
        interface_choice c = choose_interface(list, {0, "eth0"}, value);
        FUZZ_CHECK((c.kind == interface_listing) == (read_int(value) == -1), "listing for '%s'", value);
        FUZZ_CHECK(c.kind != interface_wait || c.name == value + 1, "waits for '%s'", c.name.c_str());
        FUZZ_CHECK(c.kind != interface_chosen || c.name == "eth0" || c.name == "lo", "chose '%s'", c.name.c_str());
    } else if (!std::strchr("hVH", letter)) {
        handle_option(letter, value);
    }
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
    std::vector<std::unique_ptr<char[]>> storage;  // reading past a word's end is caught
    for (std::size_t pos = 0; pos <= size && storage.size() < 64;) {
        const char* text = pos ? reinterpret_cast<const char*>(data + pos) : "vantry_remote";
        const void* nul = std::memchr(text, 0, pos ? size - pos : 14);
        std::size_t n = nul ? static_cast<const char*>(nul) - text : size - pos;
        storage.emplace_back(new char[n + 1]);
        std::memcpy(storage.back().get(), text, n);
        storage.back()[n] = '\0';
        pos = pos ? pos + n + 1 : 1;
    }
    words.clear();
    for (const auto& w : storage)
        words.push_back(w.get());
    std::vector<const char*> argv = words;
    argv.push_back(nullptr);
    const int argc = static_cast<int>(words.size());
    fuzz::reset_settings();
    if (data[0] & 2)
        settings.interface_name = "eth0";
    if ((data[0] & 4) && argc >= 2) {
        static const long_option longopts[] = {
            {"collector", arg_required, 'c'}, {"count", arg_optional, 'C'}, {"verbose", arg_none, 'v'},
            {"version", arg_none, 'V'},       {"", arg_required, 'e'},       {nullptr, arg_none, 0}};
        const char* shortopts = argv[1];
        argv.erase(argv.begin() + 1);
        getopt_state st;
        st.posixly_correct = data[0] & 1;
        for (int n = 0, c = 0; n < 1000 && c != -1; ++n) {
            c = getopt_long_next(st, argc - 1, argv.data(), shortopts, longopts, sink_file);
            FUZZ_CHECK(st.optind >= 1 && st.optind <= argc - 1, "optind %d of %d", st.optind, argc - 1);
            check_inside(st.optarg);
        }
    } else {
        read_command_line(argc, argv.data(), data[0] & 1, sink_file, apply, nullptr);
        FUZZ_CHECK(std::is_permutation(argv.begin(), argv.end() - 1, words.begin(), words.end()),
                   "argv is no longer a permutation of the words");
    }
    fuzz::reset_settings();
    return 0;
}
