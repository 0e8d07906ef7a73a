// Command lines: a flags byte (bit 0: POSIXLY_CORRECT; bit 1: an interface is chosen already), then words
// split at NUL bytes. Every option goes to handle_option, -h and -V included (they return); -H texts name a
// file under a folder that does not exist, -i texts go to the interface choice over a fixed list, and the
// listing after the usage sees that list too. Diagnostics go to the standard output (nowhere).
#include <memory>
#include "fuzz/fuzz_common.h"
#include "run/options.h"
#include "run/settings.h"
#include "support/interface_discovery.h"
#include "support/interface_source.h"
#include "support/trace_log.h"
static std::vector<const char*> words;  // in the input's order
static const std::vector<capture_iface> fixed_list = {{"eth0", "Ethernet 1"}, {"w", "WAN Miniport"}, {"lo", "lo"}};
static int apply(int letter, const char* value, void* ctx)
{
    auto inside = [&](const char* w) { return value >= w && value <= w + std::strlen(w); };
    FUZZ_CHECK(!value || std::any_of(words.begin(), words.end(), inside), "option value outside every word");
    tap_options& o = *static_cast<tap_options*>(ctx);
    if (letter == 'i' && value) {  // the choice only: it never waits
        choose_interface(fixed_list, {0, "eth0"}, value);
        return 0;
    }
    if (letter == 'H' && value)  // never a file that exists
        return handle_option(o, letter, ("/nonexistent-vantry-fuzz/" + std::string(value)).c_str());
    const int rc = handle_option(o, letter, value);
    FUZZ_CHECK(rc == 0 || o.stopped_by != run_end::none, "stopped without a reason");
    return rc;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const bool fixed = [] {
        discovery_source = {[](std::string*) { return 0; },
                            [](std::vector<capture_iface>* out, std::string*) { return *out = fixed_list, 0; },
                            [](std::string* n, std::string*) { return *n = "eth0", 0; }, [](unsigned) {}};
        return true;
    }();
    (void)fixed;
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
    tap_options o = {};  // what handle_option reads back, as a fresh run has it
    if (flags & 2)
        o.interface_name = "eth0";
    trace_verbosity = 2;
    read_command_line(static_cast<int>(words.size()), argv.data(), flags & 1, stdout, apply, &o);
    // The reader reorders the words but never loses or invents one.
    FUZZ_CHECK(std::is_permutation(argv.begin(), argv.end() - 1, words.begin(), words.end()), "words lost");
    return 0;
}
