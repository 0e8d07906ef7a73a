#include "support/trace_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

// Month names are fixed English abbreviations whatever the locale, so the
// time stamp is built by hand instead of through strftime's %b.
constexpr const char* month_names[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

void format_time(char (&out)[32])
{
    std::time_t now = std::time(nullptr);
    std::tm tm_local{};
#if defined(_WIN32)
    localtime_s(&tm_local, &now);
#else
    localtime_r(&now, &tm_local);
#endif
    std::snprintf(out, sizeof out, "%02d/%s/%04d %02d:%02d:%02d", tm_local.tm_mday,
                  month_names[tm_local.tm_mon % 12], tm_local.tm_year + 1900, tm_local.tm_hour,
                  tm_local.tm_min, tm_local.tm_sec);
}

}  // namespace

void trace_log(int level, const char* file, int line, const char* format, ...)
{
    if (level > trace_verbosity)
        return;

    char stamp[32];
    format_time(stamp);

    char message[2048];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, 2047, format, args);
    va_end(args);

    std::size_t n = std::strlen(message);
    while (n > 0 && message[n - 1] == '\n')
        message[--n] = '\0';

    const char* base = std::strrchr(file, '\\');
    base = base ? base + 1 : file;

    const char* prefix = level == trace_level_error     ? "ERROR: "
                         : level == trace_level_warning ? "WARNING: "
                                                        : "";

    char out[2099];
    const int head = std::snprintf(out, sizeof out, "%s [%s:%d] ", stamp, base, line);
    std::snprintf(out + head, sizeof out - static_cast<std::size_t>(head), "%s%s", prefix, message);
    // One write per line keeps lines of the signal thread and the run
    // thread from mixing.
    std::fprintf(stdout, "%s%s\n", stdout_is_journal() ? journal_priority_prefix(level) : "", out);
    std::fflush(stdout);
    if (auto sink = trace_sink.load())
        sink(level, out, out + head);
}

const char* journal_priority_prefix(int level)
{
    return level <= trace_level_error     ? "<3>"
           : level == trace_level_warning ? "<4>"
           : level == trace_level_normal  ? "<6>"
                                          : "<7>";
}

int trace_file_open(trace_file& f, const char* path, std::uint64_t limit)
{
    trace_file_close(f);
    f.path = path;
    f.limit = limit;
    // Binary: the size counted is the size on the disk.
    f.file = std::fopen(path, "ab");
    if (!f.file)
        return -1;
    std::fseek(f.file, 0, SEEK_END);
    const long at = std::ftell(f.file);
    f.size = at > 0 ? static_cast<std::uint64_t>(at) : 0;
    return 0;
}

int trace_file_write(trace_file& f, const char* line)
{
    const std::size_t len = std::strlen(line) + 1;
    if (f.file && f.size > 0 && f.size + len > f.limit) {
        std::fclose(f.file);
        f.file = nullptr;
        const std::string older = f.path + ".1";
        // Windows renames onto no existing name.
        std::remove(older.c_str());
        if (std::rename(f.path.c_str(), older.c_str()) == 0)
            f.file = std::fopen(f.path.c_str(), "wb");
        f.size = 0;
    }
    if (!f.file)
        return -1;
    const int written = std::fprintf(f.file, "%s\n", line);
    std::fflush(f.file);
    if (written < 0)
        return -1;
    f.size += static_cast<std::uint64_t>(written);
    return 0;
}

void trace_file_close(trace_file& f)
{
    if (f.file)
        std::fclose(f.file);
    f.file = nullptr;
    f.size = 0;
}
