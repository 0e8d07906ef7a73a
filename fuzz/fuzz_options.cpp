// Command lines: a flags byte (bit 0: POSIXLY_CORRECT; bit 1: an interface is chosen already), then words
// split at NUL bytes. The options go to handle_option, less -h, -V (they end the process) and -H (it opens a
// file); -i texts to the interface choice over a fixed list. Diagnostics go to the standard output (nowhere).
#include <memory>

#include "fuzz/fuzz_common.h"
#include "run/options.h"
#include "run/run_settings.h"
#include "run/settings.h"
#include "support/interface_discovery.h"
#include "support/trace_log.h"

static std::vector<const char*> words;  // in the input's order

static void apply(int letter, const char* value, void*)
{
    auto inside = [&](const char* w) { return value >= w && value <= w + std::strlen(w); };
    FUZZ_CHECK(!value || std::any_of(words.begin(), words.end(), inside), "option value outside every word");
    if (letter == 'i' && value)  // the choice only: it neither waits nor ends the process
        choose_interface({{"eth0", "Ethernet 1"}, {"w", "WAN Miniport"}, {"lo", "lo"}}, {0, "eth0"}, value);
    else if (!std::strchr("hVH", letter))
        handle_option(letter, value);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::uint8_t flags = size ? data[0] : 0;
    std::vector<std::unique_ptr<char[]>> storage;  // each word alone: reading past its end is caught
    words.assign(1, "vantry_remote");
    for (std::size_t pos = 1, n = 0; pos <= size && words.size() < 64; pos += n + 1) {
        n = static_cast<std::size_t>(std::find(data + pos, data + size, 0) - (data + pos));
        storage.emplace_back(new char[n + 1]());
        words.push_back(static_cast<const char*>(std::memcpy(storage.back().get(), data + pos, n)));
    }
    std::vector<const char*> argv = words;
    argv.push_back(nullptr);
    // What handle_option reads back, as a fresh process has it.
    settings.interface_name = flags & 2 ? std::optional<std::string>("eth0") : std::nullopt;
    settings.tzsp_port = 0;
    trace_verbosity = 2;
    read_command_line(static_cast<int>(words.size()), argv.data(), flags & 1, stdout, apply, nullptr);
    // The reader reorders the words but never loses or invents one.
    FUZZ_CHECK(std::is_permutation(argv.begin(), argv.end() - 1, words.begin(), words.end()), "words lost");
    return 0;
}
