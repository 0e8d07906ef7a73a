// Levelled, time-stamped diagnostic lines on standard output.
#pragma once

#include <cstdint>

#include "platform/platform.h"

enum : int {
    trace_level_error = 0,
    trace_level_warning = 1,
    trace_level_normal = 2,
    trace_level_verbose = 3,
};

// A message of level L is written when L <= trace_verbosity. Written only
// while options are read, before any other thread logs.
inline std::uint8_t trace_verbosity = 2;

// Writes "time [file:line] prefix message" and flushes. file is shown from
// after its last backslash.
void trace_log(int level, const char* file, int line, const char* format, ...)
    VANTRY_PRINTF(4, 5);

// The tap's own messages (run/ and forward/) and those of socket start-up
// and interface discovery carry different source units. The level test is
// repeated here so that a verbose message costs one comparison when it is
// not written: its arguments are not even evaluated.
#define TAP_LOG(level, ...)                                                    \
    do {                                                                       \
        if ((level) <= trace_verbosity)                                        \
            trace_log((level), "vantry_remote", __LINE__, __VA_ARGS__);        \
    } while (0)

#define UTIL_LOG(level, ...)                                                   \
    do {                                                                       \
        if ((level) <= trace_verbosity)                                        \
            trace_log((level), "util", __LINE__, __VA_ARGS__);                 \
    } while (0)
