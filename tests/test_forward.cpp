// The forwarding layer: TZSP frames, the Tap datagram with its batching, cipher and sender, the TZSP loop, the
// collector's pcap headers, hosts files, the prefix trie under them and the packet filter.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <numeric>
#include <random>
#include <thread>
#include <tuple>

#include "forward/allow_list.h"
#include "forward/forwarding.h"
#include "forward/packet_filter.h"
#include "forward/prefix_trie.h"
#include "wire/speck_internal.h"
#include "forward/tap_batch.h"
#include "forward/tzsp.h"
#include "support/trace_log.h"
#include "collector/pcap_stream.h"
#include "tests/test_support.h"

namespace {

bytes cat(std::initializer_list<bytes> parts)
{
    bytes r;
    for (const bytes& p : parts) r.insert(r.end(), p.begin(), p.end());
    return r;
}
bytes be(std::uint32_t v, int n)  // n bytes, most significant first
{
    bytes r;
    while (n--) r.push_back(static_cast<std::uint8_t>(v >> 8 * n));
    return r;
}
// A Tap header and a record header, spelled out here rather than with the code's writers.
bytes header(int id, int count) { return cat({{0x02, 0x19, 0x68, 0x24}, be(id, 2), be(count, 1), {0}}); }
bytes record(std::uint32_t s, std::uint32_t us, int c, int n) { return cat({be(s, 4), be(us, 4), be(c, 2), be(n, 2)}); }

// A batch of tap 7 sending to a loopback collector, in clear unless a test sets a key.
struct TapBatch : ::testing::Test {
    loopback_collector collector;
    std::unique_ptr<tap_batch> batch = std::make_unique<tap_batch>();
    void SetUp() override { tap_batch_init(*batch, 7, &collector.sender); }
    void add(const bytes& f, std::uint32_t len = 0, const std::uint8_t* prefix = nullptr)
    {
        tap_batch_add(*batch, 1, 2, std::uint32_t(f.size()), len ? len : std::uint32_t(f.size()), prefix, f.data());
    }
    bytes next(bool idle = false)  // the next datagram, after an idle wait when asked
    {
        bytes d;
        if (idle) tap_batch_idle(*batch);
        EXPECT_TRUE(collector.receive(d));
        return d;
    }
};

speck_key_schedule schedule_of(const std::string& key)
{
    key_guard g;
    EXPECT_EQ(speck_setup_key(key.data(), static_cast<std::int32_t>(key.size())), 1);
    return *speck_key;
}
std::string counting_key(int n, std::size_t total)  // bytes 0, 1, ... n-1, then 'z' up to total
{
    std::string s(total, 'z');
    std::iota(s.begin(), s.begin() + n, '\0');
    return s;
}

// Counter mode spelled out: keystream block j is the cipher of the words (c0 + j, c1), little-endian.
bytes reference_ctr(const bytes& in, std::uint64_t c0, std::uint64_t c1, const speck_key_schedule& ks)
{
    bytes out = in;
    for (std::size_t i = 0; i < in.size(); i += 16) {
        std::uint64_t words[2] = {c0 + i / 16, c1};
        speck_encrypt_block(words[0], words[1], ks);
        for (std::size_t j = 0; j < 16 && i + j < in.size(); ++j)
            out[i + j] ^= static_cast<std::uint8_t>(words[j / 8] >> 8 * (j % 8));
    }
    return out;
}

const std::string hosts_path = testing::TempDir() + "vantry_hosts_" + std::to_string(std::random_device{}());
const struct hosts_file_remover { ~hosts_file_remover() { std::remove(hosts_path.c_str()); } } removed_at_exit;
int listed(const trie_node* n) { return n ? (n->prefix != nullptr) + listed(n->left) + listed(n->right) : 0; }

// Writes text to hosts_path, loads `from` into *list and returns what was logged.
std::string load(prefix_trie** list, const std::string& text, const std::string& from = hosts_path)
{
    std::FILE* f = std::fopen(hosts_path.c_str(), "wb");
    EXPECT_TRUE(f && std::fwrite(text.data(), 1, text.size(), f) == text.size() && std::fclose(f) == 0);
    trace_verbosity = trace_level_normal;
    ::testing::internal::CaptureStdout();
    load_hosts_file(from.c_str(), list);
    return ::testing::internal::GetCapturedStdout();
}

ip_prefix make_prefix(std::uint32_t a, unsigned len)
{
    return {std::uint16_t(len), {std::uint8_t(a >> 24), std::uint8_t(a >> 16), std::uint8_t(a >> 8), std::uint8_t(a)}};
}
// The first len bits of p's address (all of them by default), the others cleared.
std::uint32_t bits_of(const ip_prefix& p, unsigned len = 32)
{
    const std::uint32_t v = std::uint32_t{p.addr[0]} << 24 | p.addr[1] << 16 | p.addr[2] << 8 | p.addr[3];
    return len ? v & ~std::uint32_t{0} << (32 - len) : 0;
}

// Checks the shape every insertion keeps: parent links, bit indexes growing down each path up to the
// width, prefixes at their own length, glue nodes with two children. Returns every node and prefix.
std::string check_shape(const prefix_trie* t, const trie_node* n, const trie_node* parent = nullptr)
{
    if (!n)
        return "-";
    EXPECT_TRUE(n->parent == parent && (!parent || n->bit > parent->bit) && n->bit <= t->maxbits) << n->bit;
    EXPECT_TRUE(n->prefix ? n->prefix->bitlen == n->bit : n->left && n->right) << n->bit;
    return "{" + std::to_string(std::uintptr_t(n)) + " " + std::to_string(n->bit) + " " +
           std::to_string(std::uintptr_t(n->prefix)) + " " + check_shape(t, n->left, n) + " " +
           check_shape(t, n->right, n) + "}";
}

// Blocks held by the tries; allocation number fail_at fails.
long calls = 0, fail_at = 0, live = 0;
void* probe_allocate(std::size_t size) { return ++calls == fail_at ? nullptr : (++live, std::malloc(size)); }
void probe_release(void* block) { live -= block != nullptr, std::free(block); }

}  // namespace

TEST(TzspFrame, TagsAreWalkedToEndAndNeverPastTheDatagram)
{
    const std::tuple<bytes, std::uint32_t, std::uint32_t> rows[] = {  // datagram, frame offset (0: none), length
        {{0x7f, 0xee, 0x12, 0x34, 1, 0xaa, 0xbb, 0xcc}, 5, 3}, {{1, 0, 0, 1, 1}, 5, 0},  // any header values
        {{1, 0, 0, 1, 0, 0, 10, 4, 1, 1, 1, 1, 42, 0, 1, 0xde, 0xad}, 15, 2},  // padding, two tags (one empty), END
        {{1, 0, 0, 1, 10, 2, 1, 1, 1, 0x55}, 9, 1},  // value bytes that look like END are not the end
        {{1, 0, 0, 1}, 0, 0}, {{1, 0, 0, 1, 0, 0, 0}, 0, 0}, {{1, 0, 0, 1, 10}, 0, 0},
        {{1, 0, 0, 1, 10, 3, 1, 1}, 0, 0}, {{1, 0, 0, 1, 10, 255, 1}, 0, 0}, {{1, 0, 0}, 0, 0}, {{}, 0, 0}};
    for (const auto& [d, offset, length] : rows) {
        const bytes exact(d.begin(), d.end());  // a block of that size: a sanitizer build catches a read past it
        tzsp_frame f{};
        EXPECT_EQ(tzsp_find_frame(exact.data(), d.size(), &f), offset ? 0 : -1) << testing::PrintToString(d);
        EXPECT_TRUE(!offset || (f.offset == offset && f.length == length)) << testing::PrintToString(d);
    }
}

TEST(TapWire, DecodingRefusesWhatNoTapBuilds)
{
    auto one = [](int count, std::uint32_t usec, int len) {  // one record, or a count that says more
        return cat({header(9, count), record(1, usec, 2, len), {7, 8}});
    };
    const bytes good = one(1, 999999, 3);
    const std::pair<bytes, tap_decode_result> rows[] = {
        {good, tap_decode_ok}, {header(0, 0), tap_decode_ok}, {cat({header(0, 1), record(0, 0, 0, 0)}), tap_decode_ok},
        {cat({{0x24}, bytes(good.begin() + 1, good.end())}), tap_decode_bad_magic},
        {bytes(good.begin(), good.begin() + 7), tap_decode_bad_length}, {cat({good, {0}}), tap_decode_bad_length},
        {bytes(good.begin(), good.end() - 1), tap_decode_bad_record}, {one(2, 999999, 3), tap_decode_bad_record},
        {one(1, 999999, 1), tap_decode_bad_record}, {one(1, 1000000, 3), tap_decode_bad_record},
        {one(255, 999999, 3), tap_decode_bad_record}};  // the most records a count claims, one there
    static tap_datagram_view view;
    for (const auto& [d, want] : rows)
        EXPECT_EQ(tap_decode(d.data(), d.size(), &view), want) << testing::PrintToString(d);
    std::vector<wire_record> r;
    std::uint16_t id = 0;
    ASSERT_TRUE(decode_records(good, &r, &id) && r.size() == 1);
    EXPECT_EQ(std::tie(id, r[0].ts_sec, r[0].ts_usec, r[0].caplen, r[0].len, r[0].frame),
              std::make_tuple(9, 1, 999999, 2, 3, bytes{7, 8}));
}

// Deciphered with the length in both counter words; after each send the header is written anew, its count from 1.
TEST_F(TapBatch, HeaderAndRecordsAreLaidOutByteExactlyAndCipheredWithTheLengthAsCounter)
{
    key_guard key;
    ASSERT_EQ(speck_setup_key("batch key", 9), 1);
    collector.sender.encrypt = true, collector.sender.key = speck_key;
    auto clear = [&](const bytes& d) { return reference_ctr(d, d.size(), d.size(), *speck_key); };
    tap_batch_init(*batch, 65537, &collector.sender);
    const bytes f1 = pattern(3, 0x40), f2 = pattern(60, 0x80), eth = pattern(14, 0xe0);
    tap_batch_add(*batch, 0x01020304, 999999, 3, 1500, nullptr, f1.data());
    tap_batch_add(*batch, 0xa0b0c0d0, 5, 60, 60, eth.data(), f2.data());  // the prefix counts in both lengths
    EXPECT_EQ(clear(next(true)),
              cat({header(1, 2), record(0x01020304, 999999, 3, 1500), f1, record(0xa0b0c0d0, 5, 74, 74), eth, f2}));
    for (std::uint32_t n : {1u, 15u, 16u, 33u, 1514u}) {
        const bytes f = pattern(n, 5);
        add(f);
        EXPECT_EQ(clear(next(true)), cat({header(1, 1), record(1, 2, n, n), f})) << n;
    }
    tap_batch_idle(*batch), tap_batch_flush(*batch);
    EXPECT_TRUE(collector.quiet()) << "nothing in hand: nothing goes out, also when forced";
}

// The threshold is tested before a frame is added; the budget is what one IPv4 UDP datagram carries.
TEST_F(TapBatch, DatagramGoesOutPast1480BytesOrWhenTheNextRecordWouldNotFit)
{
    const std::uint32_t b = 65507 - 8, rows[][4] = {  // two frame sizes, the datagram the second sends, bytes kept
        {1468, 10, 0, 1502}, {1469, 10, 8 + 1481, 22}, {88, b - 112, 0, b}, {88, b - 111, 108, b - 99}};
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message() << r[0] << " then " << r[1]);
        tap_batch_init(*batch, 7, &collector.sender);
        add(pattern(r[0], 1)), add(pattern(r[1], 2));
        EXPECT_EQ(r[2] ? next().size() : 0u, r[2]);
        EXPECT_TRUE(collector.quiet(30));
        EXPECT_EQ(batch->data_len, r[3]);
        EXPECT_EQ(next(true).size(), 8u + r[3]);
    }
    EXPECT_TRUE(!idle_wait_passed(5000, 6009) && idle_wait_passed(5000, 6010));
}

TEST_F(TapBatch, OversizeFrameIsCarriedCutToWhatFits)
{
    const bytes most = pattern(65507 - 20, 3), big = pattern(70000, 9), eth(14, 0);
    add(most);
    EXPECT_EQ(next(true), cat({header(7, 1), record(1, 2, 65487, 65487), most})) << "the largest frame goes whole";
    add(big, 70000, eth.data());
    EXPECT_EQ(batch->data_len, 65499u) << "into an empty datagram: no empty one goes out before it";
    add(pattern(4, 1));  // sends it: caplen is what was carried, prefix included; len saturates
    EXPECT_EQ(next(), cat({header(7, 1), record(1, 2, 65487, 65535), eth, bytes(big.begin(), big.begin() + 65473)}));
    add(big, 65600);
    EXPECT_EQ(next().size(), 8u + 16) << "behind a record: that one goes out alone first";
    EXPECT_EQ(next(true).size(), 65507u);
}

TEST(Sender, FailuresAreCountedAndNothingLeavesWithoutDestinationOrKey)
{
    loopback_collector c;
    tap_sender& s = c.sender;
    bytes d(40, 0x11), huge(65508, 0x22);  // more than IPv4 UDP carries
    ASSERT_TRUE(send_datagram(s, d.data(), 40) == 0 && c.receive(d));
    testing::internal::CaptureStdout();
    EXPECT_EQ(send_datagram(s, huge.data(), 65508), 2);
    s.has_destination = false;
    EXPECT_EQ(send_datagram(s, d.data(), 40), 2);
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(log.find("instead of 65508] ") != log.npos && log.find("since the last") == log.npos &&
                log.find("Send error") == log.rfind("Send error")) << "one line, for the first: " << log;
    s.has_destination = s.encrypt = true;  // and no key
    EXPECT_EQ(send_datagram(s, d.data(), 40), -1);
    EXPECT_TRUE(c.quiet() && s.datagrams_sent == 1 && s.failures == 2) << s.datagrams_sent << " " << s.failures;
}

TEST(Sender, FailureLogNamesTheFirstThenOneLineASecondThenTheRecovery)
{
    send_failure_log log;
    const std::tuple<std::uint64_t, bool, std::uint32_t> steps[] = {  // time, failed, number reported
        {0, false, 0}, {5000, true, 1}, {5001, true, 0}, {5999, true, 0}, {6000, true, 3}, {6001, true, 0},
        {9000, true, 2}, {9001, false, 6}, {9002, false, 0}, {9003, true, 1}, {9005, false, 1}};
    for (const auto& [now, failed, reported] : steps)
        EXPECT_EQ(failed ? send_failure_note(log, now) : send_success_note(log), reported) << now;
}

// Not counted: 5 bytes, one beyond the buffer, the tap's own. Counted and dropped: tags past the end, an empty
// frame, all from an unlisted sender. Of four frames (three behind an odd header and a tag) three arrive in order; a
// stop drops the last.
TEST(TzspReceiver, ForwardsEveryFrameOnceAndStopsAtOnce)
{
    const bytes big1 = pattern(1000, 1), big2 = pattern(1000, 2), odd = {0xff, 0xee, 0xdd, 0xcc, 10, 1, 9, 1};
    const bytes in[] = {{1, 0, 0, 1, 1}, bytes(9001, 1), {1, 0, 0, 1, 1, 0xaa}, {1, 0, 0, 1, 10, 200, 1},
                        {1, 0, 0, 1, 0, 1}, cat({odd, big1}), cat({odd, big2}), cat({odd, {3}})};
    for (bool listed : {true, false}) {
        SCOPED_TRACE(listed ? "sender listed" : "sender not listed");
        loopback_collector collector;
        forward_context ctx;
        ctx.sender = collector.sender, ctx.tap_id = 3;  // its socket shared until handed over below
        net_bind(ctx.sender.socket, ipv4_of(127, 0, 0, 2), 0);  // another loopback address than the collector's
        prefix_trie* list = nullptr;
        load(&list, listed ? "127.0.0.1\n" : "10.0.0.1\n");
        ctx.allow_list = list;
        const net_socket probe = net_udp_socket();
        net_bind_any(probe, 0);
        const std::uint16_t port = net_local_port(probe);
        testing::internal::CaptureStdout();
        ctx.stop = true;  // these end it before any "Collected"; a loop that ran on anyway would stop at once
        run_tzsp_receiver(ctx, port);  // a port in use
        net_close(probe), ctx.sender.socket = net_invalid_socket;
        run_tzsp_receiver(ctx, port);  // no socket to send from
        ctx.sender.socket = collector.sender.socket, collector.sender.socket = net_invalid_socket, ctx.stop = false;
        std::thread loop([&] { run_tzsp_receiver(ctx, port); });
        auto bound = [&] { return std::lock_guard<std::mutex>(ctx.wake_lock), ctx.wake != nullptr; };
        for (int i = 0; i < 200 && !bound(); ++i)  // the loop sets what a stop wakes once its port is bound
            sleep_ms(10);
        for (const bytes& d : in)  // from the collector's socket, on loopback
            net_send_to(collector.rx, d.data(), d.size(), {ipv4_of(127, 0, 0, 1), net_order16(port)});
        net_send_to(ctx.sender.socket, in[2].data(), in[2].size(), {ipv4_of(127, 0, 0, 1), net_order16(port)});
        bytes got;
        const bool came = collector.receive(got, listed ? 2000 : 300);
        const std::uint64_t t0 = clock_monotonic_ms();
        forward_stop(ctx);
        loop.join();
        EXPECT_LT(clock_monotonic_ms() - t0, 500u) << "a stop waits for nothing";
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_TRUE(out.find("Collected") == out.find("Collected 6 pkts") && out.find("Collected") != out.npos) << out;
        EXPECT_TRUE(collector.quiet()) << "the frame in hand is dropped";
        net_close(ctx.sender.socket);
        release_allow_list(&list);
        std::vector<wire_record> r;
        std::uint16_t id = 0;
        ASSERT_EQ(came && decode_records(got, &r, &id) && r.size() == 3, listed);
        const double now = static_cast<double>(clock_unix_us() / 1000000);
        EXPECT_TRUE(!listed || (id == 3 && r[0].frame == bytes{0xaa} && r[1].frame == big1 && r[2].frame == big2));
        EXPECT_NEAR(r.empty() ? now : r[0].ts_sec, now, 5) << "stamped on arrival with the Unix time";
    }
}

// The collector's pcap stream: classic layout, little-endian, microseconds.
TEST(PcapStream, HeadersAreLaidOutByteExactly)
{
    std::uint8_t file[pcap_file_header_size], rec[pcap_record_header_size];
    pcap_fill_file_header(file);
    EXPECT_EQ(bytes(file, file + sizeof file),
              cat({{0xd4, 0xc3, 0xb2, 0xa1, 2, 0, 4, 0}, bytes(8), {0xff, 0xff, 0, 0, 1, 0, 0, 0}}));
    pcap_fill_record_header(rec, {.ts_sec = 0x01020304, .ts_usec = 999999, .caplen = 0x0506, .len = 0x0708});
    EXPECT_EQ(bytes(rec, rec + sizeof rec), (bytes{4, 3, 2, 1, 0x3f, 0x42, 0x0f, 0, 6, 5, 0, 0, 8, 7, 0, 0}));
}

TEST(SpeckKey, ShortKeysArePaddedWithPositionsAndOnly256CharactersMakeTheLongKey)
{
    const std::string k16 = counting_key(16, 16), k256 = counting_key(32, 256);
    const std::tuple<std::string, std::string, bool> pairs[] = {  // two keys: the same schedule?
        {"", k16, true}, {"a", "", false}, {"abc", "abc" + k16.substr(3), true}, {counting_key(32, 255), k16, true},
        {counting_key(32, 257), k16, true}, {k256, k16, false}, {"0123456789abcdeX", "0123456789abcdeY", false},
        {k256.substr(0, 32) + "Q" + k256.substr(33), k256, true},  // characters past the key's size
        {"0123456789abcdefXYZ", "0123456789abcdef-", true}};
    for (const auto& [a, b, same] : pairs)
        EXPECT_TRUE((schedule_of(a).rk == schedule_of(b).rk) == same &&
                    schedule_of(a).key_size == (a.size() == 256 ? 256 : 128))
            << a.size() << " and " << b.size() << " characters";
    key_guard g;
    EXPECT_TRUE(speck_setup_key(nullptr, 16) == 1 && speck_key->rk == schedule_of("").rk) << "no key string: empty";
    EXPECT_TRUE(speck_setup_key("2nd", 3) == 1 && speck_key->rk == schedule_of("2nd").rk) << "a later key replaces";
}

TEST(SpeckCtr, EveryVariantMeetsThePublishedVectorsAndTheReferenceOnEveryLengthTo300)
{
    const speck_variant* variants = nullptr;
    const int count = speck_variants(&variants);
    ASSERT_TRUE(count >= 1 && std::string(variants[0].name) == "portable");
    EXPECT_STREQ(speck_active_variant().name, variants[count - 1].name) << "the fastest is used";
#if SPECK_HAVE_AVX2_BUILD
    EXPECT_EQ(count, __builtin_cpu_supports("avx2") ? 2 : 1) << "AVX2 goes unused";
#endif
    // The published keys, plaintexts and ciphertexts (y, x): the plaintext as counter turns zeros into the latter.
    const speck_key_schedule keys[] = {schedule_of(counting_key(16, 16)), schedule_of(counting_key(32, 256))};
    const std::uint64_t published[2][4] = {
        {0x7469206564616d20, 0x6c61766975716520, 0x7860fedf5c570d18, 0xa65d985179783265},
        {0x202e72656e6f6f70, 0x65736f6874206e49, 0x4eeeb48d9c188f43, 0x4109010405c0f53e}};
    // Every length to 300, then around the wide groups of the fast variant, and datagram sizes.
    std::vector<std::size_t> lengths = {367, 368, 369, 383, 384, 385, 560, 735, 736, 737, 1000, 1534, 4111, 65544};
    for (std::size_t n = 0; n <= 300; ++n) lengths.push_back(n);
    std::mt19937_64 rng(20260430);
    for (const speck_variant* var = variants; var < variants + count; ++var)
        for (int k = 0; k < 2; ++k) {
            SCOPED_TRACE(std::string(var->name) + (k ? " long key" : " short key"));
            const std::uint64_t* v = published[k];
            bytes block(16);
            var->fn(block.data(), block.data(), 16, v[0], v[1], keys[k]);
            EXPECT_TRUE(speck_load_le64(block.data()) == v[2] && speck_load_le64(block.data() + 8) == v[3]);
            for (const std::size_t len : lengths) {
                // Every third starts near the top of word 0, which wraps without carrying into word 1.
                const std::uint64_t c0 = len % 3 == 0 ? ~std::uint64_t{0} - (rng() % 8) : rng(), c1 = rng();
                bytes in(len), out(len + 64, 0xa5);  // guard bytes catch writes past len
                std::generate(in.begin(), in.end(), [&] { return static_cast<std::uint8_t>(rng()); });
                const bytes want = reference_ctr(in, c0, c1, keys[k]);
                var->fn(out.data(), in.data(), len, c0, c1, keys[k]);
                ASSERT_EQ(out, cat({want, bytes(64, 0xa5)})) << len;
                var->fn(in.data(), in.data(), len, c0, c1, keys[k]);
                ASSERT_EQ(in, want) << len << " in place";
            }
        }
}

TEST(HostsFile, EveryFormOfLineThroughTheParserAndAFile)
{
    const std::string line_255 = "10.0.0.4" + std::string(247, ' '), too_long = "longer than 255 characters";
    // A line without its line end, its kind (1: an address, 0: nothing to enter, -1: skipped with a
    // warning), the address entered and the warning ("": "'LINE' is not an IPv4 address").
    struct row { std::string line; int kind; std::uint32_t addr; std::string warning = ""; };
    std::vector<row> rows = {
        {"10.0.0.1", 1, ipv4_of(10, 0, 0, 1)}, {"0.0.0.0", 1, 0}, {"255.255.255.255", 1, ~0u}, {"0", 1, 0},
        {"9.8.7.6", 1, ipv4_of(9, 8, 7, 6)}, {"4294967295", 1, ~0u}, {"167772161", 1, ipv4_of(10, 0, 0, 1)},
        {"1.2.300", 1, ipv4_of(1, 2, 1, 44)}, {"1.66000", 1, ipv4_of(1, 1, 1, 208)},  // last part: 16, 24 bits
        {"0377.012.0.07", 1, ipv4_of(255, 10, 0, 7)}, {"0xAf.0XfA.0x0.1", 1, ipv4_of(175, 250, 0, 1)},
        {"0x0a000001", 1, ipv4_of(10, 0, 0, 1)}, {"10.0.0.1 # gateway", 1, ipv4_of(10, 0, 0, 1)},
        {"10.0.0.2\tx", 1, ipv4_of(10, 0, 0, 2)}, {"10.0.0.3\vx", 1, ipv4_of(10, 0, 0, 3)},  // white space ends it
        {"10.0.0.4\fx", 1, ipv4_of(10, 0, 0, 4)}, {"10.0.0.5\rx", 1, ipv4_of(10, 0, 0, 5)},
        {line_255, 1, ipv4_of(10, 0, 0, 4)}, {line_255 + " ", -1, 0, too_long},  // the longest line, CR LF or not
        {"#" + std::string(254, 'a') + "10.0.0.9", -1, 0, too_long},  // its tail must not be entered
        {std::string("10.0.0.1\0", 9), -1, 0, "it holds a NUL byte"}, {"", 0, 0}, {"#", 0, 0}, {"# 10.0.0.1", 0, 0},
        {"  # indented", -1, 0}, {"10.0.0.6\n", 1, ipv4_of(10, 0, 0, 6)}};  // # leads a comment; LF ends an address
    for (const char* bad : {" 10.0.0.1", "bogus", "10.0.0.256", "256.0.0.1", "1.2.3.4.5", "1.2.3.", ".1.2.3",
                            "1..2.3", "08", "09.1.1.1", "0x", "0x.1.1.1", "0xg", "10.0.0.1x", "10.0.0:1", "4294967296",
                            "1.16777216", "1.2.65536", "99999999999999999999", "-1", "+1", "10,0,0,1", "1.2.3.4\x80"})
        rows.push_back({bad, -1, 0});
    // Before, after, and the line's number: before another line with either line end, or last without one.
    const std::tuple<const char*, const char*, int> layouts[] = {
        {"#\n", "\n10.0.0.250\n", 2}, {"#\r\n", "\r\n10.0.0.250\r\n", 2}, {"10.0.0.250\n\n", "", 3}};
    const std::uint32_t other = ipv4_of(10, 0, 0, 250);
    prefix_trie* list = nullptr;
    for (const row& r : rows) {
        SCOPED_TRACE("line '" + r.line + "'");
        std::uint32_t addr = 0x5a5a5a5a;
        if (r.line.size() <= 255 && r.line.find('\0') == std::string::npos) {
            EXPECT_EQ(parse_ipv4_text(r.line.c_str(), &addr), r.kind == 1 ? 0 : -1);
            EXPECT_EQ(parse_hosts_line(r.line.c_str(), &addr), r.kind);
            EXPECT_EQ(addr, r.kind == 1 ? r.addr : 0x5a5a5a5a) << "only an address sets the result";
        }
        for (const auto& [before, after, number] : layouts) {
            SCOPED_TRACE(before);
            const std::string log = load(&list, before + r.line + after);
            ASSERT_EQ(list ? listed(list->root) : -1, r.kind == 1 && r.addr != other ? 2 : 1);
            EXPECT_TRUE(host_allowed(list, other) && (r.kind != 1 || host_allowed(list, r.addr)));
            for (int bit = 0; bit < 32; ++bit)  // near misses
                EXPECT_FALSE(host_allowed(list, r.addr ^ (1u << bit)) && (r.addr ^ (1u << bit)) != other) << bit;
            const std::string want = "] WARNING: Skipping line " + std::to_string(number) + " of " + hosts_path + ": " +
                                     (r.warning.empty() ? "'" + r.line + "' is not an IPv4 address" : r.warning) + "\n";
            EXPECT_TRUE(r.kind >= 0 ? log.empty() : log.find(want) != std::string::npos) << log;
            EXPECT_EQ(log.find("WARNING"), log.rfind("WARNING")) << log;
        }
    }
    release_allow_list(&list);
}

TEST(HostsFile, ALoadReplacesTheListOnlyOnceTheFileIsOpen)
{
    live = fail_at = 0;
    trie_allocate = probe_allocate, trie_release = probe_release;
    prefix_trie* list = nullptr;
    const std::string missing = hosts_path + ".d/hosts";
    EXPECT_NE(load(&list, "", missing).find("] ERROR: Unable to open file " + missing + "\n"), std::string::npos);
    EXPECT_TRUE(list == nullptr && !host_allowed(list, 0));
    EXPECT_EQ(load(&list, ""), "");
    EXPECT_TRUE(list && !host_allowed(list, 0)) << "an empty list forwards nothing, unlike no list";
    load(&list, "10.0.0.1\n10.0.0.2\n10.0.0.1\n012.0.0.1\n");
    EXPECT_EQ(listed(list->root), 2) << "a duplicate is entered once";
    EXPECT_EQ(live, 6) << "the trie, two hosts, their glue node: the empty list is gone";
    const prefix_trie* loaded = list;
    EXPECT_TRUE(load(&list, "", missing).find("Unable to open file") != std::string::npos && list == loaded);
    calls = 0, fail_at = 1;  // out of memory: the list goes, none comes
    EXPECT_NE(load(&list, "10.0.0.1\n").find("] WARNING: Error while reading hosts\n"), std::string::npos);
    EXPECT_TRUE(list == nullptr && live == 0);
    release_allow_list(&list);  // no list: harmless
    trie_allocate = std::malloc, trie_release = std::free;
}

TEST(PrefixTrie, MatchesANaiveReferenceAndSurvivesEveryFailedAllocation)
{
    EXPECT_TRUE(!trie_new(33) && !trie_insert(nullptr, make_prefix(0, 0)) && !trie_search_best(nullptr, {}));
    trie_allocate = probe_allocate, trie_release = probe_release;
    // Insertions by the way they went: new root, already there, into a glue node, new leaf, above a node, beside
    // one under a new glue node.
    int seen[6] = {};
    std::mt19937 rng(20240611);
    auto pick = [&](std::size_t n) { return static_cast<unsigned>(rng() % n); };
    for (int round = 0; round < 60; ++round) {
        SCOPED_TRACE(round);
        const unsigned width = round % 3 ? 32 : pick(33);  // every third trie is narrower
        prefix_trie* t = nullptr;
        for (long k = 1; !t; ++k)  // even making the trie may fail, and then holds nothing
            ASSERT_TRUE((calls = 0, fail_at = k, t = trie_new(std::uint16_t(width))) ? live == 1 : live == 0) << k;
        // Stored prefix (bits, length) -> its node and the address it was first given.
        std::map<std::pair<std::uint32_t, unsigned>, std::pair<const trie_node*, std::uint32_t>> stored;
        // Prefixes gather around a few bases to nest and share paths; each keeps random bits beyond its length.
        const std::uint32_t base_seed = static_cast<std::uint32_t>(rng()), bases = 1 + pick(5);
        ip_prefix p;
        for (unsigned i = 0, count = 1 + pick(round < 10 ? 12 : 300); i < count; ++i) {
            if (i == 0 || pick(6))  // else the last prefix again, maybe without its trailing bits
                p = make_prefix(base_seed * (1 + pick(bases)) ^ (pick(4) ? rng() >> pick(32) : 0), pick(33));
            else if (pick(2))
                p = make_prefix(bits_of(p, p.bitlen), p.bitlen);
            const std::string before = check_shape(t, t->root);
            const long held = live;
            trie_node* n = nullptr;
            for (long k = 1; (calls = 0, fail_at = k, n = trie_insert(t, p)), calls >= k; ++k)  // block k fails
                ASSERT_TRUE(n == nullptr && check_shape(t, t->root) == before && live == held) << "allocation " << k;
            ASSERT_EQ(n == nullptr, p.bitlen > width) << p.bitlen;
            if (!n) continue;
            // A stored prefix comes back as its node, with the bits it was first given.
            const auto it = stored.try_emplace({bits_of(p, p.bitlen), p.bitlen}, n, bits_of(p)).first;
            ASSERT_TRUE(it->second.first == n && bits_of(*n->prefix) == it->second.second && n->bit == p.bitlen);
            const long added = live - held;  // blocks: a prefix copy, its node, a glue node
            ++seen[added == 0 ? 1 : added == 1 ? 2 : added == 3 ? 5 : before == "-" ? 0 : n->left || n->right ? 4 : 3];
        }
        check_shape(t, t->root);
        for (int q = 0; q < 2000; ++q) {
            std::uint32_t addr = rng();
            if (pick(3) && !stored.empty())  // near a stored prefix, so that long ones match too
                addr = std::next(stored.begin(), pick(stored.size()))->first.first ^ (rng() >> pick(32));
            const ip_prefix key = make_prefix(addr, pick(4) ? 32 : pick(41));
            const trie_node* want = nullptr;
            for (const auto& [k, v] : stored)  // ordered by bits, then length: the last match is the longest
                if (k.second <= std::min(unsigned{key.bitlen}, width) && bits_of(key, k.second) == k.first)
                    want = v.first;
            ASSERT_EQ(trie_search_best(t, key), want) << std::hex << addr << std::dec << "/" << key.bitlen;
        }
        trie_destroy(t);
        ASSERT_EQ(live, 0) << "destroy left blocks behind";
    }
    trie_allocate = std::malloc, trie_release = std::free;
    EXPECT_EQ(std::find(seen, seen + 6, 0) - seen, 6) << "an insertion way never exercised";
}

// A link header gives way to an Ethernet one that names what follows. The allow-list reads the IPv4 header behind
// any number of 802.1Q tags (no other tag type), cooked or loopback headers; source or destination; never past the end.
TEST(PacketFilter, AllowListReadsTheIPv4HeaderWhereverTheLinkPutsIt)
{
    const bytes host = {10, 1, 2, 3}, other = {192, 0, 2, 7}, eth(12, 0xAA), q = {0x81, 0, 0, 5};
    const bytes ip = cat({{0x45}, bytes(11), other, host}), v6 = cat({{0x60}, bytes(11), other, host});
    prefix_trie* list = nullptr;
    load(&list, "# one host\n10.1.2.3\n");
    // Link, frame, the link header's length (-1: the frame is shorter) and the EtherType behind it, the offset of
    // the IPv4 header (-1: none, dropped by a list). All but Ethernet and unknown links are rewritten.
    struct row { int link; bytes frame; long header; std::uint16_t type; long offset; };
    const row rows[] = {
        {link_ethernet, cat({eth, {8, 0}, {0x45}, bytes(11), host, other}), 14, 0x0800, 14},  // the source listed
        {link_ethernet, cat({eth, {8, 0}, ip}), 14, 0x0800, 14}, {link_ethernet, bytes(5), 14, 0, -1},
        {link_ethernet, cat({eth, q, q, {8, 0}, ip}), 14, 0x8100, 22}, {105, ip, 0, 0, -1},
        {link_ethernet, cat({eth, q, q, q, q, {8, 0}, ip}), 14, 0x8100, 30},
        {link_ethernet, cat({eth, {0x88, 0xA8, 0, 5, 8, 0}, ip}), 14, 0x88A8, -1},
        {link_ethernet, cat({eth, {8, 6}, bytes(28)}), 14, 0x0806, -1},
        {link_ethernet, cat({eth, {8, 0}, v6}), 14, 0x0800, -1},  // IPv4 by its type, 6 by its version
        {link_raw_ip, ip, 0, 0x0800, 0}, {link_raw_ip, v6, 0, 0x86DD, -1}, {link_raw_ip_file, v6, 0, 0x86DD, -1},
        {link_ipv6, v6, 0, 0x86DD, -1}, {link_linux_sll, bytes(15), -1, 0, -1}, {link_linux_sll2, bytes(19), -1, 0, -1},
        {link_linux_sll, cat({bytes(14, 0x77), {0x86, 0xDD}}), 16, 0x86DD, -1},
        {link_linux_sll, cat({bytes(14), q, {8, 0}, ip}), 16, 0x8100, 20},
        {link_linux_sll2, cat({{8, 6}, bytes(18)}), 20, 0x0806, -1},
        // Loopback: the family in either byte order, IPv6 by any system's number, an unknown one by the version.
        {link_null, cat({{2, 0, 0, 0}, ip}), 4, 0x0800, 4}, {link_null, cat({{24, 0, 0, 0}, ip}), 4, 0x86DD, -1},
        {link_null, cat({{99, 0, 0, 0}, ip}), 4, 0x0800, 4}, {link_null, {99, 0, 0, 0, 0x60}, 4, 0x86DD, -1},
        {link_null, {23, 0, 0, 0}, 4, 0x86DD, -1}, {link_null, {28, 0, 0, 0}, 4, 0x86DD, -1},
        {link_loop, {0, 0, 0, 30}, 4, 0x86DD, -1}, {link_null, {0, 0, 0, 10}, 4, 0x86DD, -1},
        {link_null, {2, 0, 0}, -1, 0, -1}};
    for (const row& r : rows) {
        SCOPED_TRACE(testing::Message() << "link " << r.link << ": " << testing::PrintToString(r.frame));
        const auto n = static_cast<std::uint32_t>(r.frame.size());
        link_frame f;
        ASSERT_EQ(read_link_frame(r.link, r.frame.data(), n, &f), r.header < 0 ? -1 : 0);
        EXPECT_TRUE(r.header < 0 || (f.rewrite == (r.link != link_ethernet && r.link != 105) &&
                                     long(f.header_len) == r.header && f.ethertype == r.type))
            << f.rewrite << " " << f.header_len << " " << std::hex << f.ethertype;
        EXPECT_EQ(ipv4_header_offset(r.link, r.frame.data(), n), r.offset);
        EXPECT_EQ(packet_allowed(r.link, r.frame.data(), n, list), r.offset >= 0);
        // Cut anywhere before the end of the addresses: dropped, and copied to a block of exactly that size so that
        // a sanitizer build catches a read past the cut.
        for (std::uint32_t cut = 0; r.offset >= 0 && cut < r.offset + 20u; ++cut)
            ASSERT_FALSE(packet_allowed(r.link, bytes(r.frame.begin(), r.frame.begin() + cut).data(), cut, list));
    }
    const bytes neither = cat({eth, {8, 0}, {0x45}, bytes(11), other, other});
    EXPECT_FALSE(packet_allowed(link_ethernet, neither.data(), 34, list));
    release_allow_list(&list);
    std::uint8_t prefix[ethernet_header_size];
    ethernet_prefix(0x86DD, prefix);
    EXPECT_EQ(bytes(prefix, prefix + 14), cat({bytes(12, 0), {0x86, 0xDD}}));
}

TEST(PacketFilter, SelfExclusionNamesTheResolvedAddressAndNarrowsTheUsersFilter)
{
    const std::string self = self_exclusion_filter(ipv4_of(10, 0, 0, 1), 5000);
    EXPECT_EQ(self, "not (host 10.0.0.1 and (port 5000 or ip[6:2] & 0x1fff != 0 or icmp[icmptype] == icmp-unreach))");
    EXPECT_EQ(capture_filter_text("udp or arp", self), "(udp or arp) and " + self);
    EXPECT_TRUE(capture_filter_text("", self) == self && capture_filter_text(" \t", self) == self);
}
