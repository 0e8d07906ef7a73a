// Command lines: a flags byte (bit 0: POSIXLY_CORRECT; bit 1: an interface
// is chosen already), then words split at NUL bytes. The options go to
// handle_option, less -h, -V (they end the process) and -H (it opens a
// file); -i texts to the interface choice over a fixed list.
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

void apply(int letter, const char* value, void*)
{
    FUZZ_CHECK(!value || std::any_of(words.begin(), words.end(),
                                     [&](const char* w) { return value >= w && value <= w + std::strlen(w); }),
               "option value outside every word");
    if (letter == 'i' && value)  // the choice only: it neither waits nor ends the process
        choose_interface({{"eth0", "Ethernet 1"}, {"w", "WAN Miniport"}, {"lo", "lo"}}, {0, "eth0"}, value);
    else if (!std::strchr("hVH", letter))
        handle_option(letter, value);
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
    fuzz::reset_settings();
    if (data[0] & 2)
        settings.interface_name = "eth0";
    read_command_line(static_cast<int>(words.size()), argv.data(), data[0] & 1, sink, apply, nullptr);
    // The reader reorders the words but never loses or invents one.
    FUZZ_CHECK(std::is_permutation(argv.begin(), argv.end() - 1, words.begin(), words.end()), "words lost");
    fuzz::reset_settings();
    return 0;
}
