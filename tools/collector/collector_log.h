// The collector's trace lines: the tap's log with the collector's name.
#pragma once

#include "support/trace_log.h"

#define COLLECTOR_LOG(level, ...)                                              \
    do {                                                                       \
        if ((level) <= trace_verbosity)                                        \
            trace_log((level), "vantry_collector", __LINE__, __VA_ARGS__);     \
    } while (0)
