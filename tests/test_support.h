// Helpers shared by the unit tests, the end-to-end tests and the fuzzers: Tap datagram bytes spelled out, counter
// mode spelled out, a loopback collector that reads datagrams back through the decoder, key, probe and trie
// allocation guards, temporary files and hosts files.
#pragma once
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>
#include "forward/allow_list.h"
#include "forward/prefix_trie.h"
#include "forward/sender.h"
#include "support/trace_log.h"
#include "wire/sealed_datagram.h"
#include "wire/speck.h"
#include "wire/speck_internal.h"
#include "wire/tap_datagram.h"
#include "platform/platform.h"
using bytes = std::vector<std::uint8_t>;
// a.b.c.d as host_allowed, socket addresses and packet headers hold it.
inline std::uint32_t ipv4_of(int a, int b, int c, int d)
{
    const std::uint8_t v[4] = {static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(b),
                               static_cast<std::uint8_t>(c), static_cast<std::uint8_t>(d)};
    std::uint32_t r;
    std::memcpy(&r, v, 4);
    return r;
}

inline bytes pattern(std::size_t n, std::uint8_t seed)
{
    bytes f(n);
    for (std::size_t i = 0; i < n; ++i)
        f[i] = static_cast<std::uint8_t>(seed + i * 7);
    return f;
}

inline bytes cat(std::initializer_list<bytes> parts)
{
    bytes r;
    for (const bytes& p : parts) r.insert(r.end(), p.begin(), p.end());
    return r;
}

inline bytes big_endian(std::uint32_t v, int n)  // n bytes, most significant first
{
    bytes r;
    while (n--) r.push_back(static_cast<std::uint8_t>(v >> 8 * n));
    return r;
}

inline std::string hex_text(const bytes& b)  // two lower-case digits a byte
{
    std::string s;
    for (const std::uint8_t v : b) s += {"0123456789abcdef"[v >> 4], "0123456789abcdef"[v & 15]};
    return s;
}

// A Tap header and a record header, spelled out here rather than with the code's writers.
inline bytes tap_header_bytes(int id, int n)
{
    return cat({{0x02, 0x19, 0x68, 0x24}, big_endian(id, 2), {std::uint8_t(n), 0}});
}

inline bytes tap_record_bytes(std::uint32_t s, std::uint32_t us, int caplen, int len)
{
    return cat({big_endian(s, 4), big_endian(us, 4), big_endian(caplen, 2), big_endian(len, 2)});
}

// Counter mode spelled out: keystream block j is the cipher of the words (c0 + j, c1), little-endian.
inline bytes reference_ctr(bytes in, std::uint64_t c0, std::uint64_t c1, const speck_key_schedule& ks)
{
    for (std::size_t i = 0; i < in.size(); i += 16) {
        std::uint64_t words[2] = {c0 + i / 16, c1};
        speck_encrypt_block(words[0], words[1], ks);
        for (std::size_t j = 0; j < 16 && i + j < in.size(); ++j)
            in[i + j] ^= static_cast<std::uint8_t>(words[j / 8] >> 8 * (j % 8));
    }
    return in;
}

// Keys installed while it lives are released and the earlier schedule is
// put back. It hides that schedule meanwhile, so that installing a key
// does not release it.
struct key_guard {
    const speck_key_schedule* saved = speck_key;
    key_guard() { speck_key = nullptr; }
    ~key_guard()
    {
        delete speck_key;
        speck_key = saved;
    }
    key_guard(const key_guard&) = delete;
    key_guard& operator=(const key_guard&) = delete;
};

// Puts a probe (a replaceable function pointer, a threshold, a record the
// code under test reads) back as it was when the guard goes, however the
// test ends: an early ASSERT must not leave it set for the next test.
//   probe_guard keep(trace_verbosity);  trace_verbosity = 3;
template <typename T>
struct probe_guard {
    T& probe;
    T saved;
    explicit probe_guard(T& p) : probe(p), saved(p) {}
    probe_guard(T& p, T value) : probe(p), saved(p) { probe = value; }
    ~probe_guard() { probe = saved; }
    probe_guard(const probe_guard&) = delete;
    probe_guard& operator=(const probe_guard&) = delete;
};

// The tries' blocks counted while it lives, allocation number fail_at (counted in calls, which a test may reset)
// failing; trie_allocate and trie_release put back when it goes.
struct trie_allocation_probe {
    static inline long calls = 0, fail_at = 0, live = 0;
    static void* allocate(std::size_t size) { return ++calls == fail_at ? nullptr : (++live, std::malloc(size)); }
    static void release(void* block) { live -= block != nullptr; std::free(block); }
    probe_guard<decltype(trie_allocate)> keep_allocate{trie_allocate, allocate};
    probe_guard<decltype(trie_release)> keep_release{trie_release, release};
    trie_allocation_probe() { calls = fail_at = live = 0; }
};

// The first len bits of p's address (all of them by default), the others cleared.
inline std::uint32_t prefix_bits(const ip_prefix& p, unsigned len = 32)
{
    const std::uint32_t v = std::uint32_t{p.addr[0]} << 24 | p.addr[1] << 16 | p.addr[2] << 8 | p.addr[3];
    return len ? v & ~std::uint32_t{0} << (32 - len) : 0;
}

inline int prefixes_listed(const trie_node* n)
{
    return n ? (n->prefix != nullptr) + prefixes_listed(n->left) + prefixes_listed(n->right) : 0;
}

// The descriptors this process holds open where the system tells (Linux), else -1: what a loop opened it closes.
inline long open_descriptors()
{
#if defined(__linux__)
    std::error_code e;
    const auto n = std::distance(std::filesystem::directory_iterator("/proc/self/fd", e), {});
    return e ? -1 : static_cast<long>(n);
#else
    return -1;
#endif
}

// Trace lines without their time stamp and source ("07/Dec/2026 18:04:03 [vantry_remote:43] "), other lines whole.
inline std::string without_trace_prefix(const std::string& text)
{
    std::string out;
    for (std::size_t at = 0, end; at < text.size(); at = end) {
        end = std::min(text.find('\n', at), text.size() - 1) + 1;
        std::string_view line(text.data() + at, end - at);
        const std::size_t source = line.find(" ["), cut = line.find("] ", source);
        if (source == 20 && cut != line.npos && cut > source)
            line.remove_prefix(cut + 2);
        out += line;
    }
    return out;
}

// One frame record as the collector reads it.
struct wire_record {
    std::uint32_t ts_sec, ts_usec;
    std::uint16_t caplen, len;
    bytes frame;
};

// The records of a clear datagram; false when it does not decode.
inline bool decode_records(const bytes& d, std::vector<wire_record>* out,
                           std::uint16_t* tap_id = nullptr)
{
    static tap_datagram_view view;
    if (tap_decode(d.data(), d.size(), &view) != tap_decode_ok)
        return false;
    if (tap_id)
        *tap_id = view.tap_id;
    for (unsigned i = 0; i < view.record_count; ++i) {
        const tap_record_view& r = view.records[i];
        out->push_back({r.ts_sec, r.ts_usec, r.caplen, r.len, bytes(r.frame, r.frame + r.caplen)});
    }
    return true;
}

// A collector on loopback and a sender pointed at it, in clear unless a
// key is given.
struct loopback_collector {
    net_socket rx = net_invalid_socket;
    tap_sender sender;

    loopback_collector()
    {
        net_startup();
        rx = net_udp_socket();
        sender.socket = net_udp_socket();
        sender.to = net_peer_ipv4(ipv4_of(127, 0, 0, 1), 0);
        sender.encrypt = false;
        if (rx != net_invalid_socket && net_bind(rx, net_peer_addr4(sender.to), 0) == 0) {
            sender.to.port = net_order16(net_local_port(rx));
            sender.has_destination = sender.to.port != 0;
        }
    }
    ~loopback_collector()
    {
        net_close(rx);
        net_close(sender.socket);
    }
    loopback_collector(const loopback_collector&) = delete;
    loopback_collector& operator=(const loopback_collector&) = delete;

    // The next datagram, or false when none came within wait_ms.
    bool receive(bytes& out, long wait_ms = 2000)
    {
        if (net_wait_readable(rx, wait_ms * 1000) != 1)
            return false;
        out.resize(70000);
        const long n = net_recv_from(rx, out.data(), out.size(), nullptr);
        out.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
        return n >= 0;
    }
    bool quiet(long wait_ms = 100) { return net_wait_readable(rx, wait_ms * 1000) == 0; }
};

// Opens the sealed datagram d in place with the run key that master gives its run: the header in *h, the clear body
// d[*at, *at + *n). sealed_read_ok, or why it does not open.
inline sealed_result open_sealed_with(const std::uint8_t* master, bytes& d, sealed_header_view* h, std::size_t* at,
                                      std::size_t* n)
{
    std::uint8_t key[sealed_key_size];
    sealed_cipher c;
    sealed_result r = sealed_read_header(d.data(), d.size(), h);
    if (r == sealed_read_ok)
        r = sealed_run_key(master, h->run_id, key) || sealed_cipher_open(&c) || sealed_cipher_key(c, key)
                ? sealed_forged : sealed_open(c, d.data(), d.size(), at, n);
    sealed_cipher_close(&c);
    return r;
}

// A file under the system's temporary folder, removed when the object goes.
inline std::string file_text(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), {}};
}

struct temp_file {
    std::string path;
    explicit temp_file(const std::string& text, const char* name = "vantry-test")
    {
        char buf[L_tmpnam + 64];
        std::snprintf(buf, sizeof buf, "%s-%u-%p", name, static_cast<unsigned>(std::rand()),
                      static_cast<void*>(this));
        path = (std::filesystem::temp_directory_path() / buf).string();  // never the working folder
        if (std::FILE* f = std::fopen(path.c_str(), "wb")) {
            std::fwrite(text.data(), 1, text.size(), f);
            std::fclose(f);
        }
    }
    ~temp_file() { std::remove(path.c_str()); }
    temp_file(const temp_file&) = delete;
    temp_file& operator=(const temp_file&) = delete;
};

#if defined(GOOGLETEST_INCLUDE_GTEST_GTEST_H_)
// A hosts file of the test's own. load() writes text to it and loads it (or the file `from` names) into *list at
// the normal trace level: what was logged.
struct hosts_file {
    temp_file file{"", "vantry-hosts"};
    std::string load(prefix_trie** list, const std::string& text, const std::string& from = "")
    {
        std::ofstream(file.path, std::ios::binary) << text;
        const probe_guard<std::uint8_t> normal(trace_verbosity, trace_level_normal);
        ::testing::internal::CaptureStdout();
        load_hosts_file(from.empty() ? file.path.c_str() : from.c_str(), list);
        return ::testing::internal::GetCapturedStdout();
    }
};
#endif
// Set by every unit-test binary (see process_exit_hook): an end of the
// process fails the binary, except in the child of a death test, whose end
// is the point.
#if defined(GOOGLETEST_INCLUDE_GTEST_GTEST_H_)
inline const bool unit_exits_fail_the_binary = [] {
    process_exit_hook = [](int status) {
#if GTEST_HAS_DEATH_TEST
        if (testing::internal::InDeathTestChild())
            return;
#endif
        std::fprintf(stderr, "\nprocess_exit(%d) reached outside a death test\n", status);
        std::fflush(nullptr);
        std::_Exit(86);
    };
    return true;
}();
#endif
