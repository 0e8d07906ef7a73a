// The collector's capture files: pcapng (one interface per source) or the
// classic pcap layout, to one file, standard output, or a run of files
// rotated by time and size. Each file stands alone: it starts with its own
// headers, and in pcapng with the interface of every source seen so far,
// numbered as in the source table, and before it ends the statistics of
// the interfaces whose taps sent theirs. A source that takes the place of a
// forgotten one (-A, a full table) gets the next interface number of the
// file instead. A frame is never split across files.
#pragma once

#include <cstdint>
#include <cstdio>

#include "wire/tap_datagram.h"
#include "collector/pcapng_writer.h"
#include "collector/rotation.h"
#include "collector/sources.h"

enum class capture_format { pcapng, pcap };

// Frames are written through a buffer of this size, allocated with each
// file: the receive loop flushes once a batch, and a buffer that holds a
// whole batch makes that one write (the default buffer of a few KiB
// would take several per datagram of large frames).
inline constexpr std::size_t capture_file_buffer_size = 256 * 1024;

// A file is never written over: when its name is taken, it gets the first
// free suffix up to this one (tap.1.pcapng ... tap.100.pcapng), and beyond
// it cannot be opened. A hundred names taken in a row is no clash of
// clocks or restarts but a name that needs changing.
inline constexpr unsigned capture_file_suffix_max = 100;

// The blocks a file's headers and frames are built in, allocated when the
// first file opens and kept until the run's end.
struct capture_block_buffers {
    std::uint8_t header_block[256];  // a section header or an interface description
    // An enhanced packet block whole, written at once: three writes per
    // frame were a tenth of the collector's time at 64-byte frames.
    std::uint8_t packet_block[pcapng_packet_head_size + 65535 + pcapng_packet_tail_max];
};

struct capture_file {
    // Set before capture_file_open.
    capture_format format = capture_format::pcapng;
    const char* pattern = nullptr;  // -w: a name, a strftime pattern with -G, or "-"
    rotation_settings rotation{};
    // The name exists by design and is opened as it is (Wireshark's FIFO);
    // otherwise every file is created new.
    bool open_existing = false;

    std::FILE* out = nullptr;     // the current file, from capture_file_open to _close
    char* buffer = nullptr;       // out's buffer, capture_file_buffer_size bytes (null: the default)
    capture_block_buffers* blocks = nullptr;
    char name[rotation_name_max] = {};
    unsigned number = 0;          // of the current file within its period
    unsigned suffix = 0;          // of the current file's name (see capture_file_suffix_max)
    std::uint64_t files_opened = 0;  // over the run, standard output included (--metrics)
    // pcapng: the interfaces of the current file, and per source slot (of
    // the table's capacity, allocated with the first file) the interface
    // that describes it and the serial of the source it described.
    std::size_t interfaces = 0;
    std::size_t slots_described = 0;  // slots [0, slots_described) have one
    std::uint32_t* interface_of = nullptr;
    std::uint64_t* described_serial = nullptr;
    rotation_state state{};
    rotation_history history{};
};

// Opens the first file (standard output for "-"; the trace log then moves
// to standard error) and writes its headers. 0 on success; -1 with errno
// or net_last_error() telling why, f->name the file that failed (ENOMEM
// when the block buffers cannot be had, EEXIST when the name and every
// suffix are taken).
int capture_file_open(capture_file* f, const source_table& sources, std::int64_t now);

// Writes one frame of sources.entries[index]; first a new file when one is
// due (one that cannot be opened is an ERROR line, and the current file
// goes on; one of a name in use, by this run or not, takes a suffix), then the interfaces of sources not yet described. 0 on
// success; -1 when the file cannot be written (errno tells).
int capture_file_write(capture_file* f, const source_table& sources, std::size_t index,
                       const tap_record_view& r, std::int64_t now);

// pcapng: an interface statistics block for each source whose tap run
// sent its statistics (-A), described first if the current file has no
// interface for it yet, as they stand at now_us
// (microseconds since 1970 UTC): the tap's counters from its run's start
// and the frames of the source written, in this file and those before.
// The collector writes them before a file is left for the next and at the
// end. 0 (also in pcap, which has no such block); -1 when the file cannot
// be written (errno tells).
int capture_file_write_statistics(capture_file* f, const source_table& sources, std::uint64_t now_us);

// 0, or -1 when buffered bytes cannot be written.
int capture_file_flush(capture_file* f);

void capture_file_close(capture_file* f);
