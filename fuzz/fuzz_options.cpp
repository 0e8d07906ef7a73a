// Command lines from the input: a flags byte, then words split at NUL
// bytes. Flag bit 0: POSIXLY_CORRECT; bit 1: an interface is already
// chosen; bit 2: the first word is a letter string of its own, read by
// getopt_long_next directly. Otherwise the tap's reader hands the options
// to handle_option, less -h, -V (they end the process) and -H (it opens a
// file), and -i goes to the interface choice over a fixed list.
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz/fuzz_common.h"
#include "run/options.h"
#include "run/settings.h"
#include "support/interface_discovery.h"

namespace {

std::FILE* sink = nullptr;       // diagnostics are formatted, then thrown away
std::vector<const char*> words;  // in the input's order

void check_inside(const char* value)
{
    FUZZ_CHECK(!value || std::any_of(words.begin(), words.end(),
                                     [&](const char* w) { return value >= w && value <= w + std::strlen(w); }),
               "option value outside every word");
}

void apply(int letter, const char* value, void*)
{
    check_inside(value);
    if (letter == 'i' && value) {
        static const std::vector<capture_iface> list = {{"eth0", "Ethernet 1"}, {"w", "WAN Miniport"}, {"lo", "lo"}};
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
    sink = std::fopen("/dev/null", "w");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    std::vector<std::unique_ptr<char[]>> storage;  // each word alone: reading past its end is caught
    auto add = [&](const void* p, std::size_t n) {
        storage.emplace_back(new char[n + 1]());
        std::memcpy(storage.back().get(), p, n);
        words.push_back(storage.back().get());
    };
    words.clear();
    add("vantry_remote", 13);
    for (std::size_t pos = 1, n; pos <= size && words.size() < 64; pos += n + 1) {
        const void* nul = std::memchr(data + pos, 0, size - pos);
        n = nul ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - (data + pos)) : size - pos;
        add(data + pos, n);
    }
    std::vector<const char*> argv = words;
    argv.push_back(nullptr);
    int argc = static_cast<int>(words.size());
    fuzz::reset_settings();
    if (data[0] & 2)
        settings.interface_name = "eth0";
    if ((data[0] & 4) && argc >= 2) {
        static const long_option longopts[] = {
            {"collector", arg_required, 'c'}, {"count", arg_optional, 'C'}, {"verbose", arg_none, 'v'},
            {"version", arg_none, 'V'},       {"", arg_required, 'e'},       {nullptr, arg_none, 0}};
        const char* shortopts = argv[1];
        argv.erase(argv.begin() + 1);
        --argc;
        getopt_state st;
        st.posixly_correct = data[0] & 1;
        for (int n = 0, c = 0; n < 1000 && c != -1; ++n) {
            c = getopt_long_next(st, argc, argv.data(), shortopts, longopts, sink);
            FUZZ_CHECK(st.optind >= 1 && st.optind <= argc, "optind %d of %d", st.optind, argc);
            check_inside(st.optarg);
        }
    } else {
        read_command_line(argc, argv.data(), data[0] & 1, sink, apply, nullptr);
        FUZZ_CHECK(std::is_permutation(argv.begin(), argv.end() - 1, words.begin(), words.end()),
                   "argv is no longer a permutation of the words");
    }
    fuzz::reset_settings();
    return 0;
}
