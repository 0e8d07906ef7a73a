// Helpers shared by the fuzz harnesses: a quiet standard output, a scratch
// file per process, the run settings back at their defaults, and a check
// that aborts with a message (libFuzzer keeps the input that caused it).
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "forward/allow_list.h"
#include "forward/speck.h"
#include "run/run_settings.h"
#include "support/trace_log.h"

#define FUZZ_CHECK(cond, ...)                                                  \
    do {                                                                       \
        if (!(cond)) {                                                         \
            std::fprintf(stderr, "%s:%d: check failed: %s: ", __FILE__,       \
                         __LINE__, #cond);                                     \
            std::fprintf(stderr, __VA_ARGS__);                                 \
            std::fprintf(stderr, "\n");                                        \
            std::abort();                                                      \
        }                                                                      \
    } while (0)

namespace fuzz {

// The trace log writes every line to standard output; at millions of
// inputs that is all the fuzzer would do. libFuzzer reports on stderr.
// FUZZ_VERBOSE=1 keeps the log, for looking at one input.
inline void quiet_stdout()
{
    if (std::getenv("FUZZ_VERBOSE"))
        return;
    std::fflush(stdout);
    int fd = ::open("/dev/null", O_WRONLY);
    if (fd >= 0) {
        ::dup2(fd, STDOUT_FILENO);
        ::close(fd);
    }
}

// One scratch file per process, rewritten for each input. In memory where
// the system has a memory file system: rewriting a file on a disk file
// system waits for the disk on every input.
inline const std::string& scratch_path()
{
    static const std::string path = [] {
        std::string name = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        name += "/vantry-fuzz-XXXXXX";
        int fd = ::mkstemp(name.data());
        if (fd < 0) {
            std::perror("mkstemp");
            std::abort();
        }
        ::close(fd);
        std::atexit([] { ::unlink(scratch_path().c_str()); });
        return name;
    }();
    return path;
}

inline void write_scratch(const std::uint8_t* data, std::size_t size)
{
    std::FILE* f = std::fopen(scratch_path().c_str(), "wb");
    FUZZ_CHECK(f != nullptr, "cannot write %s", scratch_path().c_str());
    if (size)
        FUZZ_CHECK(std::fwrite(data, 1, size, f) == size, "short write");
    std::fclose(f);
}

// The option fields and the derived ones, as a fresh process has them.
// The key schedule is released here: the program keeps every schedule it
// ever built (they are tiny and live until exit), which a fuzzer running
// millions of inputs in one process must not.
inline void reset_settings()
{
    settings.collector.reset();
    settings.bpf_filter.reset();
    settings.self_filter.reset();
    settings.interface_name.reset();
    settings.tzsp_port = 0;
    settings.tap_id = 0;
    settings.snaplen = 0x10000;
    settings.disable_encryption = false;
    release_allow_list(&settings.allow_list);
    settings.forward.allow_list = nullptr;
    settings.forward.sender = tap_sender{};
    settings.forward.stop = false;
    delete speck_key;
    speck_key = nullptr;
    trace_verbosity = 2;
}

}  // namespace fuzz
