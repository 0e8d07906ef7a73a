#include "collector/rotation.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>

bool rotation_due(const rotation_settings& rs, const rotation_state& st, std::int64_t now,
                  std::uint64_t needed)
{
    if (rs.seconds > 0 && now - st.opened >= rs.seconds)
        return true;
    return rs.max_bytes > 0 && st.frames > 0 && st.size + needed > st.size_limit;
}

void rotation_postpone(const rotation_settings& rs, rotation_state* st, std::int64_t now,
                       std::uint64_t needed)
{
    if (rs.seconds > 0 && now - st->opened >= rs.seconds)
        st->opened = now;
    if (rs.max_bytes > 0 && st->size + needed > st->size_limit)
        st->size_limit = st->size + needed + rs.max_bytes;
}

namespace {

// Where a suffix goes in the name's n bytes: at the last dot of the last
// path component, unless that dot starts the component (".hidden" has no
// extension); else at the end. Both separators count, as on Windows.
std::size_t suffix_position(const char* name, std::size_t n)
{
    std::size_t start = n;
    while (start > 0 && name[start - 1] != '/' && name[start - 1] != '\\')
        --start;
    for (std::size_t at = n; at > start + 1; --at)
        if (name[at - 1] == '.')
            return at - 1;
    return n;
}

}  // namespace

int rotation_file_name(char* out, std::size_t cap, const char* pattern, const rotation_settings& rs,
                       const rotation_file& file)
{
    if (cap == 0)
        return -1;
    std::size_t n = 0;
    if (rs.seconds > 0) {
        const std::time_t t = static_cast<std::time_t>(file.opened);
        const std::tm* tm = rs.utc ? std::gmtime(&t) : std::localtime(&t);
        n = tm ? std::strftime(out, cap, pattern, tm) : 0;
    } else {
        n = static_cast<std::size_t>(std::snprintf(out, cap, "%s", pattern));
    }
    if (n == 0 || n >= cap)
        return -1;
    if (file.number > 0) {
        const int k = std::snprintf(out + n, cap - n, "%u", file.number);
        if (k < 0 || static_cast<std::size_t>(k) >= cap - n)
            return -1;
        n += static_cast<std::size_t>(k);
    }
    if (file.suffix == 0)
        return 0;
    char suffix[16];
    const auto k = static_cast<std::size_t>(std::snprintf(suffix, sizeof suffix, ".%u", file.suffix));
    if (k >= cap - n)
        return -1;
    const std::size_t at = suffix_position(out, n);
    std::memmove(out + at + k, out + at, n - at + 1);
    std::memcpy(out + at, suffix, k);
    return 0;
}

int rotation_history_init(rotation_history* h, unsigned max_files)
{
    *h = rotation_history{};
    if (max_files == 0)
        return 0;
    h->ring = new (std::nothrow) rotation_file[max_files];
    if (!h->ring)
        return -1;
    h->capacity = max_files;
    return 0;
}

void rotation_history_release(rotation_history* h)
{
    delete[] h->ring;
    *h = rotation_history{};
}

int rotation_history_push(rotation_history* h, const rotation_file& f, rotation_file* removed)
{
    if (h->capacity == 0)
        return 0;
    if (h->count < h->capacity) {
        h->ring[(h->first + h->count++) % h->capacity] = f;
        return 0;
    }
    // Full: the oldest makes room and the new one takes its place.
    *removed = h->ring[h->first];
    h->ring[h->first] = f;
    h->first = (h->first + 1) % h->capacity;
    return 1;
}
