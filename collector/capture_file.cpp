#include "collector/capture_file.h"

#include <cerrno>
#include <cstring>
#include <new>

#include "platform/platform.h"
#include "support/version.h"
#include "collector/collector_log.h"
#include "collector/pcap_stream.h"
#include "collector/pcapng_writer.h"

namespace {

// The trace log writes to standard output. When the capture stream takes
// it, the log moves to standard error and the stream gets the original
// descriptor, in binary mode.
std::FILE* take_stdout()
{
    std::FILE* out = stdout_binary_copy();
    if (out && collector_log_to_stderr() != 0) {
        std::fclose(out);
        return nullptr;
    }
    return out;
}

int write_counted(std::FILE* out, const void* p, std::size_t n, std::uint64_t* size)
{
    if (n && std::fwrite(p, 1, n, out) != n)
        return -1;
    *size += n;
    return 0;
}

// The interface block of s, built in f's header block; its size.
std::size_t build_interface_block(const capture_file& f, const source& s)
{
    char name[source_name_max], description[64];
    source_name(s, name, sizeof name);
    source_description(s, description, sizeof description);
    std::uint8_t* block = f.blocks->header_block;
    return pcapng_interface_description(block, sizeof f.blocks->header_block, name, description);
}

// What starts every file: the pcap header, or a section header and the
// interfaces of all sources so far. 0 or -1; *size counts what was written.
int write_headers(const capture_file& f, std::FILE* out, const source_table& t, std::uint64_t* size)
{
    if (f.format == capture_format::pcap) {
        std::uint8_t header[pcap_file_header_size];
        pcap_fill_file_header(header);
        return write_counted(out, header, sizeof header, size);
    }
    char application[64];
    std::snprintf(application, sizeof application, "vantry_collector %s", vantry_version);
    std::uint8_t* block = f.blocks->header_block;
    const std::size_t section_size =
        pcapng_section_header(block, sizeof f.blocks->header_block, application);
    if (write_counted(out, block, section_size, size) != 0)
        return -1;
    for (std::size_t i = 0; i < t.count; ++i)
        if (write_counted(out, block, build_interface_block(f, t.entries[i]), size) != 0)
            return -1;
    return 0;
}

// Where the tap's counters go in the block: the drops before any filter
// (of the capture library and the interface) are what a reader shows as
// dropped (isb_ifdrop), and those of the system's capture buffer alone are
// isb_osdrop too; the frames that passed the allow-list and the rate cap
// are the filter's (isb_filteraccept), so that what the filters left out
// is received less dropped less accepted. isb_usrdeliv is what the
// collector wrote: the frames lost on the way, and those of failed sends,
// are what it lacks of isb_filteraccept.
pcapng_statistics statistics_of(const source& s, std::uint64_t now_us)
{
    const tap_statistics& tap = s.tap;
    pcapng_statistics out;
    out.taken_us = now_us;
    out.start_us = tap.run_start_us;
    out.end_us = s.tap_sent_us ? s.tap_sent_us : now_us;
    out.ifrecv = tap.received;
    out.ifdrop = tap.capture_drops + tap.interface_drops;
    out.filteraccept = tap.frames_sent;
    out.osdrop = tap.capture_drops;
    out.usrdeliv = s.counts.frames;
    return out;
}

// Gives out, just opened, a buffer of capture_file_buffer_size: the
// buffer, or null when none can be had (out then keeps its default one).
char* set_large_buffer(std::FILE* out)
{
    char* buffer = out ? new (std::nothrow) char[capture_file_buffer_size] : nullptr;
    if (buffer && std::setvbuf(out, buffer, _IOFBF, capture_file_buffer_size) != 0) {
        delete[] buffer;
        buffer = nullptr;
    }
    return buffer;
}

// Makes the file just opened the current one, counting its headers.
void start_file(capture_file* f, std::FILE* out, const source_table& t, const rotation_file& r,
                std::uint64_t header_size)
{
    f->out = out;
    ++f->files_opened;
    f->number = r.number;
    f->suffix = r.suffix;
    f->interfaces = f->slots_described = t.count;
    for (std::size_t i = 0; i < t.count; ++i) {
        f->interface_of[i] = static_cast<std::uint32_t>(i);
        f->described_serial[i] = t.entries[i].serial;
    }
    f->state = rotation_state{r.opened, header_size, f->rotation.max_bytes, 0};
}

// Creates the file of *r under the first name that is free: as formatted,
// then with r->suffix 1, 2... up to capture_file_suffix_max. A suffix is
// worth a warning, which names the file written. 0 with *out open and
// name (rotation_name_max bytes) its name; -1 with errno telling why
// (EEXIST when every suffix is taken) and name the name that failed, or
// as formatted when all were taken; -2 when the name does not fit in
// rotation_name_max bytes (errno ENAMETOOLONG).
int create_file(const capture_file& f, rotation_file* r, char* name, std::FILE** out)
{
    int created = 1;
    for (unsigned suffix = 0; created == 1 && suffix <= capture_file_suffix_max; ++suffix) {
        r->suffix = suffix;
        if (rotation_file_name(name, rotation_name_max, f.pattern, f.rotation, *r) != 0) {
            errno = ENAMETOOLONG;
            return -2;
        }
        errno = 0;
        created = file_create_new(name, out);
    }
    if (created == -1 || (created == 0 && r->suffix == 0))
        return created;
    // The name as formatted, for the line that tells: it fitted before.
    char taken[rotation_name_max];
    rotation_file first = *r;
    first.suffix = 0;
    if (rotation_file_name(taken, sizeof taken, f.pattern, f.rotation, first) != 0)
        taken[0] = '\0';
    if (created == 0) {
        COLLECTOR_LOG(trace_level_warning, "File '%s' exists and is left as it is: writing '%s'",
                      taken, name);
        return 0;
    }
    COLLECTOR_LOG(trace_level_error,
                  "File '%s' exists, and so do its numbered names up to '%s': remove old "
                  "captures or give -w another name",
                  taken, name);
    std::memcpy(name, taken, sizeof taken);
    errno = EEXIST;
    return -1;
}

// Opens the file of *r: created new, unless the name exists by design
// (f.open_existing), which is then opened as it is. As create_file: 0,
// -1 or -2.
int open_file(const capture_file& f, rotation_file* r, char* name, std::FILE** out)
{
    if (!f.open_existing)
        return create_file(f, r, name, out);
    if (rotation_file_name(name, rotation_name_max, f.pattern, f.rotation, *r) != 0) {
        errno = ENAMETOOLONG;
        return -2;
    }
    errno = 0;
    *out = std::fopen(name, "wb");
    return *out ? 0 : -1;
}

// Records the new file and removes the oldest one past -W, by the name it
// was written under. A removal that fails costs a warning only: the run
// goes on.
void remove_files_past_limit(capture_file* f, const rotation_file& added)
{
    rotation_file old;
    if (rotation_history_push(&f->history, added, &old) != 1)
        return;
    char name[rotation_name_max];
    if (rotation_file_name(name, sizeof name, f->pattern, f->rotation, old) != 0 ||
        std::strcmp(name, f->name) == 0)
        return;
    if (std::remove(name) != 0) {
        int e = errno;
        COLLECTOR_LOG(trace_level_warning, "Unable to remove old file '%s' %d/%s", name, e,
                      os_error_text(e));
    }
}

// Moves to the next file. One that cannot be named, opened or started is
// an ERROR line; the current file then goes on, until the next try. 0; -1 when the current
// file cannot be finished.
int open_next_file(capture_file* f, const source_table& t, std::int64_t now, std::uint64_t needed)
{
    const bool new_period = f->rotation.seconds > 0 && now - f->state.opened >= f->rotation.seconds;
    rotation_file next{new_period ? now : f->state.opened, new_period ? 0 : f->number + 1, 0};
    // A number that failed is not tried again: the next try takes the next.
    f->number = next.number;
    char name[rotation_name_max];
    std::FILE* out = nullptr;
    const int made = open_file(*f, &next, name, &out);
    char* buffer = set_large_buffer(out);
    std::uint64_t size = 0;
    if (made != 0 || write_headers(*f, out, t, &size) != 0 || std::fflush(out) != 0) {
        int e = errno;
        if (made == -2)
            COLLECTOR_LOG(trace_level_error, "Unable to name the next file after '%s'", f->name);
        else
            COLLECTOR_LOG(trace_level_error, "Unable to write '%s' %d/%s", name, e, os_error_text(e));
        if (out)
            std::fclose(out);
        delete[] buffer;
        rotation_postpone(f->rotation, &f->state, now, needed);
        return 0;
    }
    const int counted = capture_file_write_statistics(f, t, static_cast<std::uint64_t>(now) * 1000000);
    const int finished = std::fclose(f->out);
    delete[] f->buffer;
    f->buffer = buffer;
    std::memcpy(f->name, name, sizeof name);
    start_file(f, out, t, next, size);
    remove_files_past_limit(f, next);
    if (next.suffix == 0)  // else create_file's warning named it
        COLLECTOR_LOG(trace_level_normal, "Writing '%s'", f->name);
    return finished == 0 && counted == 0 ? 0 : -1;
}

// Gives slot index an interface in the current file: the slots before it
// not yet described first, in order, and a new interface for a slot whose
// source is another than the one its interface describes. 0 or -1.
int describe_up_to(capture_file* f, const source_table& t, std::size_t index)
{
    while (f->slots_described <= index || f->described_serial[index] != t.entries[index].serial) {
        const std::size_t slot = f->slots_described <= index ? f->slots_described++ : index;
        if (write_counted(f->out, f->blocks->header_block, build_interface_block(*f, t.entries[slot]),
                          &f->state.size) != 0)
            return -1;
        f->interface_of[slot] = static_cast<std::uint32_t>(f->interfaces++);
        f->described_serial[slot] = t.entries[slot].serial;
    }
    return 0;
}

}  // namespace

int collector_log_to_stderr() { return stdout_onto_stderr(); }

int capture_file_open(capture_file* f, const source_table& sources, std::int64_t now)
{
    if (!f->blocks)
        f->blocks = new (std::nothrow) capture_block_buffers;
    if (!f->interface_of)
        f->interface_of = new (std::nothrow) std::uint32_t[sources.capacity];
    if (!f->described_serial)
        f->described_serial = new (std::nothrow) std::uint64_t[sources.capacity];
    if (!f->blocks || !f->interface_of || !f->described_serial ||
        rotation_history_init(&f->history, f->rotation.max_files) != 0) {
        errno = ENOMEM;
        return -1;
    }
    rotation_file first{now, 0, 0};
    std::FILE* out = nullptr;
    if (std::strcmp(f->pattern, "-") == 0) {
        std::snprintf(f->name, sizeof f->name, "-");
        out = take_stdout();
    } else if (open_file(*f, &first, f->name, &out) != 0) {
        return -1;
    }
    std::uint64_t size = 0;
    if (!out)
        return -1;
    f->buffer = set_large_buffer(out);
    if (write_headers(*f, out, sources, &size) != 0 || std::fflush(out) != 0) {
        std::fclose(out);
        delete[] f->buffer;
        f->buffer = nullptr;
        return -1;
    }
    start_file(f, out, sources, first, size);
    rotation_file none;
    rotation_history_push(&f->history, first, &none);
    return 0;
}

int capture_file_write(capture_file* f, const source_table& t, std::size_t index,
                       const tap_record_view& r, std::int64_t now)
{
    const bool ng = f->format == capture_format::pcapng;
    std::uint64_t needed = ng ? pcapng_packet_size(r.caplen) : pcap_record_header_size + r.caplen;
    for (std::size_t i = f->slots_described; ng && i <= index; ++i)
        needed += build_interface_block(*f, t.entries[i]);
    if (ng && index < f->slots_described && f->described_serial[index] != t.entries[index].serial)
        needed += build_interface_block(*f, t.entries[index]);
    if (rotation_due(f->rotation, f->state, now, needed) && open_next_file(f, t, now, needed) != 0)
        return -1;
    std::uint64_t* size = &f->state.size;
    if (ng && describe_up_to(f, t, index) != 0)
        return -1;
    if (ng) {
        std::uint8_t* packet = f->blocks->packet_block;
        std::uint8_t head[pcapng_packet_head_size], tail[pcapng_packet_tail_max];
        pcapng_packet_head(head, f->interface_of[index], r);
        const std::size_t t = pcapng_packet_tail(tail, r.caplen);
        std::memcpy(packet, head, sizeof head);
        std::memcpy(packet + sizeof head, r.frame, r.caplen);
        std::memcpy(packet + sizeof head + r.caplen, tail, t);
        if (write_counted(f->out, packet, sizeof head + r.caplen + t, size) != 0)
            return -1;
    } else {
        std::uint8_t head[pcap_record_header_size];
        pcap_fill_record_header(head, r);
        if (write_counted(f->out, head, sizeof head, size) != 0 || write_counted(f->out, r.frame, r.caplen, size) != 0)
            return -1;
    }
    ++f->state.frames;
    return 0;
}

int capture_file_write_statistics(capture_file* f, const source_table& t, std::uint64_t now_us)
{
    if (!f->out || f->format != capture_format::pcapng)
        return 0;
    for (std::size_t i = 0; i < t.count; ++i) {
        const source& s = t.entries[i];
        if (!s.has_tap_statistics)
            continue;
        // A tap whose every frame was dropped has no frame in the file,
        // and most needs its statistics there: described first.
        if (describe_up_to(f, t, i) != 0)
            return -1;
        std::uint8_t block[pcapng_statistics_size];
        const std::size_t n =
            pcapng_interface_statistics(block, sizeof block, f->interface_of[i], statistics_of(s, now_us));
        if (write_counted(f->out, block, n, &f->state.size) != 0)
            return -1;
    }
    return 0;
}

int capture_file_flush(capture_file* f) { return f->out && std::fflush(f->out) != 0 ? -1 : 0; }

void capture_file_close(capture_file* f)
{
    if (f->out)
        std::fclose(f->out);
    f->out = nullptr;
    delete[] f->buffer;
    f->buffer = nullptr;
    delete f->blocks;
    f->blocks = nullptr;
    delete[] f->interface_of;
    f->interface_of = nullptr;
    delete[] f->described_serial;
    f->described_serial = nullptr;
    rotation_history_release(&f->history);
}
