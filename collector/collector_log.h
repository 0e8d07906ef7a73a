// The collector's trace lines: the tap's log with the collector's name.
#pragma once

#include "support/trace_log.h"

#define COLLECTOR_LOG(level, ...)                                              \
    do {                                                                       \
        if ((level) <= trace_verbosity)                                        \
            trace_log((level), "vantry_collector", __LINE__, __VA_ARGS__);     \
    } while (0)

// From now on the trace log's lines go to standard error: standard output
// carries a capture stream, or is not read. 0, or -1 when the descriptor
// cannot be moved (the lines then stay where they were).
int collector_log_to_stderr();
