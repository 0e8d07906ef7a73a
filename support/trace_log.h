// Levelled, time-stamped diagnostic lines on standard output, with the
// journal's priority when standard output is the journal, and through a
// sink to the Windows service's log file and event log.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>

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
// after its last backslash. When standard output is the journal's stream
// (stdout_is_journal) the line starts with its syslog priority instead,
// which the journal takes off and keeps. Every line also goes to
// trace_sink when one is set.
void trace_log(int level, const char* file, int line, const char* format, ...)
    VANTRY_PRINTF(4, 5);

// Where each line goes besides standard output (the Windows service's log
// file and event log): the line as written, without priority and newline,
// and within it the message after "[file:line] " (with its ERROR: or
// WARNING: prefix). Called from any thread that logs: the sink serialises
// its own work. Set before the run thread starts, cleared after it ends.
inline std::atomic<void (*)(int level, const char* line, const char* message)> trace_sink{nullptr};

// The syslog priority that starts a line for the journal: "<3>" for an
// error, "<4>" a warning, "<6>" a normal line, "<7>" verbose and beyond.
const char* journal_priority_prefix(int level);

// A log file that is renamed to path + ".1" (replacing the one before) and
// begun anew when a line would take it past limit bytes: the two files
// hold at most twice limit, whatever is logged, plus one line when a
// single line is longer than limit.
struct trace_file {
    std::FILE* file = nullptr;
    std::string path;
    std::uint64_t limit = 0;
    std::uint64_t size = 0;  // of the file now open
};

// Opens path for appending with that limit. 0; -1 when it cannot be
// opened (f is then closed).
int trace_file_open(trace_file& f, const char* path, std::uint64_t limit);

// Appends line and a newline, rotating first when the line would pass the
// limit, and flushes. 0; -1 when the line could not be written (after a
// failed rotation the file stays closed and every later write fails).
int trace_file_write(trace_file& f, const char* line);

void trace_file_close(trace_file& f);

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
