// Hosts files: the input is the whole file. Each line's conversion is compared with the C library's
// inet_aton, which reads the same classic forms; then the file is loaded, and of the addresses the
// lines name and their one-bit neighbours exactly the named ones are allowed.
#include <arpa/inet.h>
#include <cctype>
#include <set>
#include <sstream>
#include "forward/allow_list.h"
#include "fuzz/fuzz_common.h"
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::set<std::uint32_t> want;
    std::istringstream text(std::string(reinterpret_cast<const char*>(data), size));
    for (std::string line; std::getline(text, line);) {
        // Without the CR of a CR LF; longer than 255 or with a NUL byte, skipped.
        if (!line.empty() && line.size() <= 256 && line.back() == '\r')
            line.pop_back();
        if (line.size() > 255 || line.find('\0') != std::string::npos)
            continue;
        bool bare_0x = false;  // inet_aton also reads "0x" without digits, as 0: refused on purpose
        for (std::size_t x = line.find_first_of("xX"); x != std::string::npos; x = line.find_first_of("xX", x + 1))
            bare_0x |= x > 0 && line[x - 1] == '0' && !std::isxdigit(line[x + 1] & 0xff);
        std::uint32_t ours = 0;
        in_addr theirs{};
        const bool ok = parse_ipv4_text(line.c_str(), &ours) == 0;
        FUZZ_CHECK(bare_0x || (ok == (::inet_aton(line.c_str(), &theirs) != 0) && (!ok || ours == theirs.s_addr)),
                   "'%s': %s, inet_aton %08x", line.c_str(), ok ? "converted" : "refused", theirs.s_addr);
        if (parse_hosts_line(line.c_str(), &ours) == 1)
            want.insert(ours);
    }
    prefix_trie* list = nullptr;
    load_hosts_file(input_file(data, size).c_str(), &list);
    FUZZ_CHECK(list != nullptr, "no list from a readable file");
    for (const std::uint32_t a : want)
        for (int bit = -1; bit < 32; ++bit) {
            const std::uint32_t near = a ^ (bit < 0 ? 0 : 1u << bit);
            FUZZ_CHECK(host_allowed(list, near) == (want.count(near) == 1), "%08x wrongly allowed or not", near);
        }
    release_allow_list(&list);
    return 0;
}
