// Long runs in several files, as -G, -C and -W ask: when a new file is due,
// what it is called, and which old file goes. No I/O here; the file writer
// (capture_file.cpp) opens and removes.
#pragma once

#include <cstddef>
#include <cstdint>

struct rotation_settings {
    long seconds = 0;             // -G: a new file every so many seconds; 0 never
    std::uint64_t max_bytes = 0;  // -C, in bytes: no file grows past it; 0 no limit
    unsigned max_files = 0;       // -W: files kept; 0 all
    bool utc = false;             // --utc: -G names in UTC, not local time
};

inline constexpr unsigned rotation_max_files = 100000;
inline constexpr std::size_t rotation_name_max = 4096;

// The current file's progress, as the due test needs it.
struct rotation_state {
    std::int64_t opened = 0;       // Unix seconds: the period's start
    std::uint64_t size = 0;        // bytes written to it
    std::uint64_t size_limit = 0;  // the size that must not be passed
    std::uint64_t frames = 0;      // frames written to it
};

// Whether writing needed more bytes at time now must go to a new file: the
// period has run out, or the bytes would pass the size limit of a file
// that holds a frame already (a frame larger than the limit gets a file of
// its own rather than a new file for ever).
bool rotation_due(const rotation_settings& rs, const rotation_state& st, std::int64_t now,
                  std::uint64_t needed);

// After a new file could not be opened, the current one goes on: the next
// try comes a period, or a size limit's worth of bytes, later (whichever
// of the two was due when writing needed bytes).
void rotation_postpone(const rotation_settings& rs, rotation_state* st, std::int64_t now,
                       std::uint64_t needed);

// One file of a run, as its name is made again when it must go.
struct rotation_file {
    std::int64_t opened = 0;  // Unix seconds: its period's start
    unsigned number = 0;      // within its period (-C)
    unsigned suffix = 0;      // names skipped because they were taken; 0 none
};

// The name of file: pattern, formatted by strftime at file.opened when the
// run rotates by time (in local time, in UTC with rs.utc), then number
// (when above 0) in decimal: name, name1, name2...; then suffix (when
// above 0) before the extension of the last path component, or at the
// end when it has none: tap.pcapng, tap.1.pcapng; tap, tap.1. The same
// settings and file always give the same name, so the run can name an
// old file again to remove it. 0 on success, -1 when the name is empty or
// does not fit in cap bytes.
int rotation_file_name(char* out, std::size_t cap, const char* pattern, const rotation_settings& rs,
                       const rotation_file& file);

// The files written so far, oldest first, to name the one to remove once
// there are more than max_files: a ring allocated once.

struct rotation_history {
    rotation_file* ring = nullptr;
    std::size_t capacity = 0;  // max_files; 0 keeps no history
    std::size_t first = 0;
    std::size_t count = 0;
};

// 0 on success, -1 when the ring cannot be allocated.
int rotation_history_init(rotation_history* h, unsigned max_files);
void rotation_history_release(rotation_history* h);

// Records a new file. 1 when a file must go to make room (*removed is
// then the oldest); 0 otherwise.
int rotation_history_push(rotation_history* h, const rotation_file& f, rotation_file* removed);
