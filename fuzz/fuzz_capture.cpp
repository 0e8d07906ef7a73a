// The interface capture loop over the real capture seam, with pcap calls made from the input (the platform's part,
// call table and waits, is defined here, so capture_posix.cpp is left out). Exactly the frames that a reference
// filter and the record rules allow must reach a loopback collector, decrypted, byte for byte. Input: link byte;
// flags byte (bit 2: an allow-list of as many addresses as bits 0-1 say; bits 3-4: the filter works, does not
// compile, cannot be set; bits 5-6: activation works, fails two ways, warns); the listed addresses, 4 bytes each;
// packets: 2 bytes captured length, 1 byte extra wire length, 1 byte (bit 0: repeated to about 64 KiB), the bytes.
#include <sys/socket.h>
#include <tuple>
#include "forward/forwarding.h"
#include "fuzz/fuzz_common.h"
#include "platform/capture_pcap.h"
#include "tests/test_support.h"
static struct {
    int link, filter, open;
    std::vector<std::pair<pcap_pkthdr, bytes>> packets;  // each in a buffer of its own size: reads past it are caught
    std::size_t next;  // past the last packet: the wait after it has timed out
} cap;
static char text[] = "refused by the stand-in";
constexpr int activation[] = {0, PCAP_ERROR, PCAP_ERROR_NO_SUCH_DEVICE, PCAP_WARNING};
constexpr auto zero = [](pcap_t*, int) { return 0; };
// The packets, then one wait that times out (so the datagram in hand goes out), then the break.
static const pcap_api api{
    .create = [](const char*, char*) { return reinterpret_cast<pcap_t*>(&cap); },
    .set_snaplen = zero, .set_promisc = zero, .set_timeout = zero, .set_buffer_size = zero,
    .activate = [](pcap_t*) { return activation[cap.open]; }, .setnonblock = [](pcap_t*, int, char*) { return 0; },
    .datalink = [](pcap_t*) { return cap.link; },
    .compile = [](pcap_t*, bpf_program*, const char*, int, bpf_u_int32) { return cap.filter == 1 ? -1 : 0; },
    .setfilter = [](pcap_t*, bpf_program*) { return cap.filter == 2 ? -1 : 0; },
    .freecode = [](bpf_program*) {}, .geterr = [](pcap_t*) { return text; }, .statustostr = [](int) { return "error"; },
    .next_ex = [](pcap_t*, pcap_pkthdr** h, const u_char** d) {
        if (cap.next >= cap.packets.size())
            return cap.next > cap.packets.size() ? PCAP_ERROR_BREAK : 0;
        auto& [header, frame] = cap.packets[cap.next++];
        *h = &header;
        *d = frame.empty() ? reinterpret_cast<u_char*>(text) : frame.data();  // never null, as the library's
        return 1;
    },
    .stats = [](pcap_t*, pcap_stat* s) { return *s = {}, 0; }, .close = [](pcap_t*) {},
};

const pcap_api& capture_api() { return api; }
int capture_library_load(std::string*) { return 0; }
int capture_waiter_open(capture_device*, std::string*) { return 0; }
void capture_waiter_close(capture_waiter*) {}
void capture_breakloop(capture_device*) {}
int capture_wait(capture_device*, long) { return cap.next < cap.packets.size() || cap.next++ > cap.packets.size(); }
static loopback_collector col;
static const speck_key_schedule* key = [] {
    const int room = 4 << 20, rx = static_cast<int>(col.rx);  // all datagrams of one input: a drop is no lost frame
    if (::setsockopt(rx, SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof room) != 0)
        ::setsockopt(rx, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
    col.sender.encrypt = speck_setup_key("capture fuzzing", 15) == 1;
    return col.sender.key = speck_key;
}();
// The frame the collector must get for d on link, written from the rules, not from the code; none when it is
// dropped: too short for its link header, or, with a list, not IPv4 (behind any VLAN tags) from or to a listed
// address. Ethernet and unknown links (header -2) as captured; the others lose their link header to an
// Ethernet header without addresses that carries the EtherType of what follows.
static std::optional<bytes> reference_frame(int link, const bytes& d, const bytes* listed)
{
    const std::size_t n = d.size();
    auto at = [&](std::size_t i) { return static_cast<std::uint16_t>(n < i + 2 ? 0 : d[i] << 8 | d[i + 1]); };
    auto ip = [&](std::size_t i) { return static_cast<std::uint16_t>(n > i && d[i] >> 4 == 6 ? 0x86DD : 0x0800); };
    const std::uint32_t family = n < 4 ? 0 : d[2] || d[3] ? std::uint32_t{at(0)} << 16 | at(2) : d[0] | d[1] << 8;
    const bool v6 = family == 10 || family == 23 || family == 24 || family == 28 || family == 30;
    long header = -2;  // an unknown link
    std::uint16_t type = 0;
    switch (link) {
    case 1: header = 14, type = at(12); break;
    case 12: case 101: header = 0, type = ip(0); break;
    case 113: header = n < 16 ? -1 : 16, type = at(14); break;
    case 276: header = n < 20 ? -1 : 20, type = at(0); break;
    case 0: case 108: header = n < 4 ? -1 : 4, type = family == 2 ? 0x0800 : v6 ? 0x86DD : ip(4); break;
    }
    bytes r{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, static_cast<std::uint8_t>(type >> 8), static_cast<std::uint8_t>(type)};
    std::size_t off = static_cast<std::size_t>(header);
    for (; header >= 0 && type == 0x8100 && n >= off + 4; off += 4)
        type = at(off + 2);
    const bool ipv4 = header >= 0 && type == 0x0800 && n >= off + 20 && d[off] >> 4 == 4;
    bool allowed = !listed;
    for (std::size_t i = 0; ipv4 && !allowed && i < listed->size(); i += 4)
        allowed = !std::memcmp(&(*listed)[i], &d[off + 12], 4) || !std::memcmp(&(*listed)[i], &d[off + 16], 4);
    if (header == -1 || !allowed)
        return std::nullopt;
    if (header == -2 || link == 1)
        return d;
    r.insert(r.end(), d.begin() + header, d.end());
    return r;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    constexpr int links[] = {1, 12, 101, 0, 105, 113, 276, 108};
    cap = {links[data[0] % 8], data[1] >> 3 & 3, data[1] >> 5 & 3, {}, 0};
    prefix_trie* list = data[1] & 4 ? trie_new(32) : nullptr;
    const bytes listed(data + 2, data + 2 + 4 * (list ? std::min<std::size_t>(data[1] & 3, (size - 2) / 4) : 0));
    for (std::size_t i = 0; i < listed.size(); i += 4)
        trie_insert(list, {32, {listed[i], listed[i + 1], listed[i + 2], listed[i + 3]}});
    std::vector<wire_record> want;
    unsigned huge_frames = 0;  // a few only, so that the collector's receive buffer holds all of one input
    for (std::size_t pos = 2 + listed.size(); pos + 4 <= size && cap.packets.size() < 200;) {
        const std::uint32_t caplen = (data[pos] << 8 | data[pos + 1]) % 2048, extra = data[pos + 2];
        const bool huge = (data[pos + 3] & 1) && huge_frames++ < 8;
        bytes f(data + pos + 4, data + pos + 4 + std::min<std::size_t>(size - pos - 4, caplen));
        pos += 4 + f.size();
        while (huge && !f.empty() && f.size() < 65000 + caplen)
            f.insert(f.end(), f.begin(), f.begin() + std::min(f.size(), 65000 + caplen - f.size()));
        const std::uint32_t n = static_cast<std::uint32_t>(f.size()), usec = extra * 3900, sec = 1700000000 + n;
        cap.packets.emplace_back(pcap_pkthdr{{sec, usec}, n, n + extra}, f);  // copied: a buffer of exactly its size
        std::optional<bytes> r = reference_frame(cap.link, f, list ? &listed : nullptr);
        if (!r || activation[cap.open] < 0)
            continue;
        const auto len = static_cast<std::uint16_t>(std::min<std::size_t>(r->size() + extra, 0xffff));
        r->resize(std::min<std::size_t>(r->size(), 65507 - 8 - 12));  // the record fits the largest UDP datagram
        want.push_back({sec, usec, static_cast<std::uint16_t>(r->size()), len, *r});
    }
    forward_context ctx{.sender = col.sender, .allow_list = list, .tap_id = 0x10203};
    run_interface_capture(ctx, {"fuzz0", 0x10000, data[1] & 0x18 ? "udp" : std::optional<std::string>(), {}});
    trie_destroy(list);
    std::vector<wire_record> got;
    std::uint16_t tap_id = 0;
    for (bytes d; col.receive(d, 0);)
        FUZZ_CHECK(!tap_crypt(d.data(), d.data(), d.size(), *key) && decode_records(d, &got, &tap_id) &&
                       tap_id == 0x0203, "datagram of %zu bytes not decoded", d.size());
    auto fields = [](const wire_record& r) { return std::tie(r.ts_sec, r.ts_usec, r.caplen, r.len, r.frame); };
    for (std::size_t i = 0; i < std::max(got.size(), want.size()); ++i)
        FUZZ_CHECK(i < got.size() && i < want.size() && fields(got[i]) == fields(want[i]),
                   "frame %zu differs: %zu arrived, %zu wanted", i, got.size(), want.size());
    return 0;
}
