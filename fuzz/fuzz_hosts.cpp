// Hosts files: the input is the whole file. Each line goes through the
// pure line parser (and its address conversion is compared with the C
// library's inet_aton, which reads the same classic forms); then the file
// is loaded and every address a line names must be on the list.
#include <arpa/inet.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "forward/allow_list.h"
#include "fuzz/fuzz_common.h"

namespace {

// The C library also accepts "0x" with no digits (as 0), and anything after
// the first blank; parse_ipv4_text refuses the former on purpose.
bool bare_hex_prefix(const char* text)
{
    const char* p = text;
    for (;;) {
        if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X') &&
            !std::strchr("0123456789abcdefABCDEF", p[2] ? p[2] : 'g'))
            return true;
        while (*p && *p != '.' && *p != ' ' && *p != '\t' && *p != '\n' && *p != '\v' &&
               *p != '\f' && *p != '\r')
            ++p;
        if (*p != '.')
            return false;
        ++p;
    }
}

void compare_with_libc(const char* text)
{
    std::uint32_t ours = 0;
    const int r = parse_ipv4_text(text, &ours);
    in_addr theirs{};
    const int libc_ok = ::inet_aton(text, &theirs);
    if (bare_hex_prefix(text))
        return;
    FUZZ_CHECK((r == 0) == (libc_ok != 0), "'%s': parse %d, inet_aton %d", text, r, libc_ok);
    if (r == 0)
        FUZZ_CHECK(ours == theirs.s_addr, "'%s': %08x, inet_aton %08x", text, ours,
                   theirs.s_addr);
}

// The lines whose address must end up on the list: complete lines of at
// most 255 characters (after a CR of a CR LF is taken off) that convert.
// A line holding a NUL byte is left out.
std::set<std::uint32_t> expected_hosts(const std::uint8_t* data, std::size_t size)
{
    std::set<std::uint32_t> out;
    std::size_t pos = 0;
    while (pos < size) {
        const std::uint8_t* nl =
            static_cast<const std::uint8_t*>(std::memchr(data + pos, '\n', size - pos));
        std::size_t end = nl ? static_cast<std::size_t>(nl - data) : size;
        std::string line(reinterpret_cast<const char*>(data + pos), end - pos);
        pos = end + 1;
        if (line.find('\0') != std::string::npos)
            continue;
        if (line.size() == 256 && line.back() == '\r')
            line.pop_back();
        if (line.size() > 255)
            continue;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        std::uint32_t addr = 0;
        int kind = parse_hosts_line(line.c_str(), &addr);
        if (kind == 1)
            out.insert(addr);
        compare_with_libc(line.c_str());
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::quiet_stdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::set<std::uint32_t> want = expected_hosts(data, size);
    fuzz::write_scratch(data, size);
    fuzz::reset_settings();
    load_hosts_file(fuzz::scratch_path().c_str());
    FUZZ_CHECK(settings.allow_list != nullptr, "no list after loading a readable file");
    for (std::uint32_t a : want)
        FUZZ_CHECK(host_allowed(a), "listed address %08x not allowed", a);
    // Neighbours of listed addresses are not listed unless a line says so.
    for (std::uint32_t a : want) {
        std::uint32_t near = a ^ 0x01000000u;
        if (!want.count(near))
            FUZZ_CHECK(!host_allowed(near) || std::memchr(data, 0, size),
                       "unlisted address %08x allowed", near);
    }
    fuzz::reset_settings();
    return 0;
}
