// Whole files replaced at once, and read back: the collector's memory of
// the tap runs it heard, kept across restarts.
#include <cerrno>
#include <cstdio>
#include <string>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include "platform/platform.h"

namespace {

#ifdef _WIN32
int write_synced(const std::string& tmp, const void* data, std::size_t len, int* err)
{
    std::FILE* f = std::fopen(tmp.c_str(), "wb");
    if (!f) {
        *err = errno;
        return -1;
    }
    const bool ok = std::fwrite(data, 1, len, f) == len && std::fflush(f) == 0 &&
                    _commit(_fileno(f)) == 0;
    *err = ok ? 0 : errno;
    return std::fclose(f) == 0 && ok ? 0 : -1;
}

int rename_over(const std::string& tmp, const char* path, int* err)
{
    if (MoveFileExA(tmp.c_str(), path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return 0;
    *err = EIO;
    return -1;
}
#else
int write_synced(const std::string& tmp, const void* data, std::size_t len, int* err)
{
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        *err = errno;
        return -1;
    }
    const char* p = static_cast<const char*>(data);
    std::size_t left = len;
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    const bool ok = left == 0 && ::fsync(fd) == 0;
    *err = ok ? 0 : errno ? errno : EIO;
    return ::close(fd) == 0 && ok ? 0 : -1;
}

int rename_over(const std::string& tmp, const char* path, int* err)
{
    if (::rename(tmp.c_str(), path) != 0) {
        *err = errno;
        return -1;
    }
    // The rename itself reaches the disk with its folder.
    std::string dir(path);
    const std::size_t slash = dir.rfind('/');
    dir = slash == std::string::npos ? "." : slash == 0 ? "/" : dir.substr(0, slash);
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
    return 0;
}
#endif

}  // namespace

int file_replace(const char* path, const void* data, std::size_t len, int* err)
{
    const std::string tmp = std::string(path) + ".tmp";
    if (write_synced(tmp, data, len, err) != 0) {
        std::remove(tmp.c_str());
        return -1;
    }
    return rename_over(tmp, path, err);
}

int file_read_whole(const char* path, std::size_t max, std::string* out, int* err)
{
    std::FILE* f = std::fopen(path, "rb");
    if (!f) {
        *err = errno;
        return -1;
    }
    out->clear();
    char chunk[4096];
    std::size_t n = 0;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0 && out->size() <= max)
        out->append(chunk, n);
    const bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (failed || out->size() > max) {
        *err = failed ? EIO : EFBIG;
        return -1;
    }
    return 0;
}
