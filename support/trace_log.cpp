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
    std::snprintf(out, sizeof out, "%s [%s:%d] %s%s", stamp, base, line, prefix, message);
    // One write per line keeps lines of the signal thread and the run
    // thread from mixing.
    std::fprintf(stdout, "%s\n", out);
    std::fflush(stdout);
}
