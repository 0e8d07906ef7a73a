// The interface capture loop with captured packets made from the input,
// for every link type, with and without an allow-list. The capture library
// is replaced by this file (the linker then leaves the real one out of the
// program), and the collector is a UDP socket on loopback: every frame that
// should pass must arrive, decrypted and decoded, exactly as a reference
// filter and the record rules say, and no other frame may arrive.
//
// Input: link byte, flags byte, then up to 3 listed addresses (4 bytes each,
// as many as flags bits 0-1 say), then packets, each: 2 bytes captured
// length, 1 byte extra wire length, 1 byte packet flags (bit 0: a frame of
// about 64 KiB, its bytes repeated), then the captured bytes.
//   flags bit 2: an allow-list is loaded (bits 0-1 addresses on it)
//   flags bits 3-4: the filter is accepted, refused, or cannot be set
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "forward/forwarding.h"
#include "forward/prefix_trie.h"
#include "forward/tap_batch.h"
#include "fuzz/fuzz_common.h"
#include "platform/capture.h"
#include "platform/platform.h"
#include "forward/tap_wire.h"

namespace {

struct fake_packet {
    std::vector<std::uint8_t> bytes;
    std::uint32_t len = 0;
    std::uint32_t ts_sec = 0;
    std::uint32_t ts_usec = 0;
};

struct fake_capture {
    int link_type = 1;
    int filter_result = 0;
    std::vector<fake_packet> packets;
    std::size_t next = 0;
    bool idled = false;
    // The library's buffer for the packet handed out last: exactly its
    // captured bytes, so that a read past them is caught.
    std::unique_ptr<std::uint8_t[]> current;
} cap;

char device_token;

}  // namespace

// The capture seam, as the loop sees it: packets, one wait that times out
// once they are all read (so the datagram in hand goes out), then the end.
int capture_library_load(std::string*) { return 0; }
capture_device* capture_open(const char*, int, int, int, std::string*)
{
    return reinterpret_cast<capture_device*>(&device_token);
}
int capture_datalink(capture_device*) { return cap.link_type; }
int capture_set_filter(capture_device*, const char*, std::uint32_t, std::string* err)
{
    if (cap.filter_result != 0)
        *err = "refused by the stand-in";
    return cap.filter_result;
}
int capture_wait(capture_device*, long)
{
    if (cap.next == cap.packets.size() && !cap.idled) {
        cap.idled = true;
        return 0;
    }
    return 1;
}
int capture_next(capture_device*, capture_packet* p)
{
    if (cap.next < cap.packets.size()) {
        const fake_packet& f = cap.packets[cap.next++];
        cap.current.reset(new std::uint8_t[f.bytes.empty() ? 1 : f.bytes.size()]);
        if (!f.bytes.empty())
            std::memcpy(cap.current.get(), f.bytes.data(), f.bytes.size());
        p->ts_sec = f.ts_sec;
        p->ts_usec = f.ts_usec;
        p->caplen = static_cast<std::uint32_t>(f.bytes.size());
        p->len = f.len;
        p->data = cap.current.get();
        return 1;
    }
    return cap.idled ? -2 : 0;
}
void capture_breakloop(capture_device*) {}
std::string capture_last_error(capture_device*) { return "stand-in"; }
int capture_stats(capture_device*, std::uint32_t* drops)
{
    *drops = 0;
    return 0;
}
void capture_close(capture_device*) {}
int capture_find_all(std::vector<capture_iface>*, std::string* err)
{
    *err = "no interfaces in the stand-in";
    return -1;
}
int capture_lookup_default(std::string*, std::string* err)
{
    *err = "no interfaces in the stand-in";
    return -1;
}

namespace {

net_socket sender = net_invalid_socket;
net_socket collector = net_invalid_socket;
std::uint16_t collector_port = 0;
std::uint8_t datagram[65536];
tap_datagram_view view;

struct expected_record {
    std::uint32_t ts_sec, ts_usec;
    std::uint16_t caplen, len;
    std::vector<std::uint8_t> frame;
};

std::uint16_t be16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }

// How a frame of a link type reaches the collector, written from the
// rules, not from the code: Ethernet and unknown links as captured; the
// others without their link header, behind an Ethernet header that names
// what follows. header -1: too short for its link header, dropped.
struct reference_link {
    bool rewrite = false;
    long header = 0;
    std::uint16_t type = 0;
};

reference_link reference_link_of(int link, const std::vector<std::uint8_t>& d)
{
    auto by_version = [&](std::size_t at) -> std::uint16_t {
        return d.size() > at && (d[at] >> 4) == 6 ? 0x86DD : 0x0800;
    };
    switch (link) {
    case 1:
        return {false, 14, d.size() >= 14 ? be16(&d[12]) : std::uint16_t{0}};
    case 12: case 101:
        return {true, 0, by_version(0)};
    case 113:
        return d.size() < 16 ? reference_link{true, -1, 0} : reference_link{true, 16, be16(&d[14])};
    case 276:
        return d.size() < 20 ? reference_link{true, -1, 0} : reference_link{true, 20, be16(&d[0])};
    case 0: case 108: {
        if (d.size() < 4)
            return {true, -1, 0};
        const std::uint32_t family = d[2] == 0 && d[3] == 0
                                         ? std::uint32_t{d[0]} | std::uint32_t{d[1]} << 8
                                         : std::uint32_t{d[0]} << 24 | std::uint32_t{d[1]} << 16 |
                                               std::uint32_t{d[2]} << 8 | d[3];
        if (family == 2)
            return {true, 4, 0x0800};
        for (std::uint32_t v6 : {10u, 23u, 24u, 28u, 30u})
            if (family == v6)
                return {true, 4, 0x86DD};
        return {true, 4, by_version(4)};
    }
    default:
        return {false, -2, 0};
    }
}

bool reference_allowed(const reference_link& l, const std::vector<std::uint8_t>& d,
                       const std::vector<std::uint32_t>& listed)
{
    if (l.header < 0 || d.size() < static_cast<std::size_t>(l.header))
        return false;
    std::size_t off = static_cast<std::size_t>(l.header);
    std::uint16_t type = l.type;
    while (type == 0x8100) {
        if (d.size() < off + 4)
            return false;
        type = be16(&d[off + 2]);
        off += 4;
    }
    if (type != 0x0800)
        return false;
    if (d.size() < off + 20 || (d[off] >> 4) != 4)
        return false;
    for (std::size_t at : {off + 12, off + 16}) {
        std::uint32_t a;
        std::memcpy(&a, &d[at], 4);
        for (std::uint32_t l : listed)
            if (l == a)
                return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::quiet_stdout();
    sender = net_udp_socket();
    collector = net_udp_socket();
    const std::uint8_t loopback[4] = {127, 0, 0, 1};
    std::uint32_t lo;
    std::memcpy(&lo, loopback, 4);
    if (sender == net_invalid_socket || collector == net_invalid_socket ||
        net_bind(collector, lo, 0) != 0) {
        std::fprintf(stderr, "no loopback sockets\n");
        std::abort();
    }
    collector_port = net_local_port(collector);
    // Room for every datagram one input can make (a few of 64 KiB); a
    // datagram dropped here would look like a frame the tap lost. Forced
    // past the system's limit where the fuzzer runs as root.
    int room = 4 << 20;
    if (::setsockopt(static_cast<int>(collector), SOL_SOCKET, SO_RCVBUFFORCE, &room,
                     sizeof room) != 0)
        ::setsockopt(static_cast<int>(collector), SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    static constexpr int links[] = {1, 12, 101, 0, 105, 113, 276, 108};
    const int link = links[data[0] % 8];
    const std::uint8_t flags = data[1];
    std::size_t pos = 2;

    fuzz::reset_settings();
    cap = fake_capture{};
    cap.link_type = link;
    static constexpr int filter_results[] = {0, -1, -2, 0};
    cap.filter_result = filter_results[(flags >> 3) & 3];

    std::vector<std::uint32_t> listed;
    const bool with_list = flags & 4;
    if (with_list) {
        settings.allow_list = trie_new(32);
        for (unsigned i = 0; i < (flags & 3u) && pos + 4 <= size; ++i, pos += 4) {
            ip_prefix p;
            p.bitlen = 32;
            std::memcpy(p.addr, data + pos, 4);
            trie_insert(settings.allow_list, p);
            std::uint32_t a;
            std::memcpy(&a, data + pos, 4);
            listed.push_back(a);
        }
    }

    std::vector<expected_record> want;
    std::uint32_t ts = 1700000000;
    unsigned huge_frames = 0;
    while (pos + 4 <= size && cap.packets.size() < 200) {
        std::uint32_t caplen = be16(data + pos) % 2048;
        const std::uint32_t extra = data[pos + 2];
        // At most a few long frames, so that the collector's receive buffer
        // holds all that one input sends.
        const bool huge = (data[pos + 3] & 1) && huge_frames++ < 8;
        pos += 4;
        fake_packet f;
        const std::size_t have = size - pos < caplen ? size - pos : caplen;
        f.bytes.assign(data + pos, data + pos + have);
        pos += have;
        if (huge && !f.bytes.empty()) {
            std::size_t target = 65000 + caplen;
            while (f.bytes.size() < target)
                f.bytes.insert(f.bytes.end(), f.bytes.begin(),
                               f.bytes.begin() + std::min(f.bytes.size(), target - f.bytes.size()));
        }
        f.len = static_cast<std::uint32_t>(f.bytes.size()) + extra;
        f.ts_sec = ts++;
        f.ts_usec = (extra * 3923u) % 1000000u;
        const reference_link l = reference_link_of(link, f.bytes);
        if (l.header != -1 && (!with_list || reference_allowed(l, f.bytes, listed))) {
            const std::uint32_t header = l.rewrite ? static_cast<std::uint32_t>(l.header) : 0;
            const std::uint32_t prefix_len = l.rewrite ? 14 : 0;
            expected_record r;
            r.ts_sec = f.ts_sec;
            r.ts_usec = f.ts_usec;
            // Cut so that one record fits the largest UDP datagram.
            const std::uint32_t most = 65507 - 8 - 12 - prefix_len;
            const std::uint32_t payload = static_cast<std::uint32_t>(f.bytes.size()) - header;
            const std::uint32_t carried = payload > most ? most : payload;
            r.caplen = static_cast<std::uint16_t>(carried + prefix_len);
            const std::uint32_t wire = f.len - header + prefix_len;
            r.len = static_cast<std::uint16_t>(wire > 0xffff ? 0xffff : wire);
            if (l.rewrite) {
                r.frame.assign(12, 0);
                r.frame.push_back(static_cast<std::uint8_t>(l.type >> 8));
                r.frame.push_back(static_cast<std::uint8_t>(l.type));
            }
            r.frame.insert(r.frame.end(), f.bytes.begin() + header, f.bytes.begin() + header + carried);
            want.push_back(std::move(r));
        }
        cap.packets.push_back(std::move(f));
    }

    forward_context& ctx = settings.forward;
    capture_config cfg;
    cfg.interface_name = "fuzz0";
    if (flags & 0x18)
        cfg.filter = "udp";
    ctx.tap_id = 0x10203;
    ctx.allow_list = settings.allow_list;
    speck_setup_key("capture fuzzing", 15);
    ctx.sender.socket = sender;
    ctx.sender.key = speck_key;
    std::memcpy(&ctx.sender.to.addr, "\x7f\x00\x00\x01", 4);
    ctx.sender.to.port = net_order16(collector_port);
    ctx.sender.has_destination = true;

    run_interface_capture(ctx, cfg);

    std::size_t got = 0;
    while (net_wait_readable(collector, 0) == 1) {
        long n = net_recv_from(collector, datagram, sizeof datagram, nullptr);
        FUZZ_CHECK(n > 0, "receive failed: %ld", n);
        FUZZ_CHECK(tap_crypt(datagram, datagram, static_cast<std::size_t>(n), *speck_key) == 0,
                   "decrypt failed");
        const tap_decode_result r = tap_decode(datagram, static_cast<std::size_t>(n), &view);
        FUZZ_CHECK(r == tap_decode_ok, "datagram of %ld bytes: %s", n, tap_decode_text(r));
        FUZZ_CHECK(view.tap_id == 0x0203, "tap id %u", view.tap_id);
        for (unsigned i = 0; i < view.num_pkts; ++i, ++got) {
            FUZZ_CHECK(got < want.size(), "frame %zu was not to be forwarded", got);
            const tap_record_view& rec = view.records[i];
            const expected_record& e = want[got];
            FUZZ_CHECK(rec.ts_sec == e.ts_sec && rec.ts_usec == e.ts_usec && rec.caplen == e.caplen &&
                           rec.len == e.len &&
                           (e.frame.empty() ||
                            std::memcmp(rec.frame, e.frame.data(), e.frame.size()) == 0),
                       "frame %zu differs (caplen %u/%u, len %u/%u)", got, rec.caplen, e.caplen,
                       rec.len, e.len);
        }
    }
    FUZZ_CHECK(got == want.size(), "%zu of %zu frames arrived", got, want.size());
    fuzz::reset_settings();
    return 0;
}
