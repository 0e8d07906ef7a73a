// What every harness shares: the standard headers most use, a check that aborts with a message (libFuzzer keeps
// the input), and a standard output that goes nowhere, else the log is all a fuzzer writes (FUZZ_VERBOSE=1 keeps it).
#pragma once
#include <sys/mman.h>
#include <unistd.h>
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>
#define FUZZ_CHECK(cond, ...)                                                                        \
    ((cond) ? (void)0 : (std::fprintf(stderr, "%s:%d: check failed: %s: ", __FILE__, __LINE__, #cond), \
                         std::fprintf(stderr, __VA_ARGS__), std::fputs("\n", stderr), std::abort()))

static const bool quiet = std::getenv("FUZZ_VERBOSE") || std::freopen("/dev/null", "w", stdout);
// The input as a file, rewritten for each input, in memory (on a disk, every input would wait for it): its path.
inline std::string input_file(const std::uint8_t* data, std::size_t size)
{
    static const int fd = ::memfd_create("input", 0);
    FUZZ_CHECK(!::ftruncate(fd, 0) && ::pwrite(fd, data, size, 0) == static_cast<ssize_t>(size), "no write");
    return "/proc/self/fd/" + std::to_string(fd);
}
