#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "forward/sender.h"
#include "forward/speck.h"
#include "tests/test_support.h"
#include "forward/speck_internal.h"
#include "tests/udp_sink.h"

namespace {

using bytes = std::vector<std::uint8_t>;

speck_key_schedule schedule_of(const std::string& key)
{
    key_guard g;
    EXPECT_EQ(speck_setup_key(key.data(), static_cast<std::int32_t>(key.size())), 1);
    return *speck_key;
}

std::string first_bytes_0_to(int n, std::size_t total)
{
    std::string s(total, 'z');
    for (int i = 0; i < n; ++i)
        s[static_cast<std::size_t>(i)] = static_cast<char>(i);
    return s;
}

// Counter mode spelled out block by block on the reference block function.
bytes reference_ctr(const bytes& in, std::uint64_t c0, std::uint64_t c1, const speck_key_schedule& ks)
{
    bytes out(in.size());
    for (std::size_t off = 0; off < in.size(); off += 16) {
        std::uint64_t y = c0 + off / 16, x = c1;
        speck_encrypt_block(y, x, ks);
        std::uint8_t stream[16];
        speck_store_le64(stream, y);
        speck_store_le64(stream + 8, x);
        for (std::size_t i = off; i < in.size() && i < off + 16; ++i)
            out[i] = in[i] ^ stream[i - off];
    }
    return out;
}

std::vector<speck_variant> all_variants()
{
    const speck_variant* list = nullptr;
    const int n = speck_variants(&list);
    return {list, list + n};
}

// Published vectors: the keystream of the plaintext used as counter block
// is the ciphertext, so a zero input turns into it.
struct published_vector {
    std::string key;
    std::uint64_t pt_y, pt_x, ct_y, ct_x;
};

std::vector<published_vector> published()
{
    return {
        {first_bytes_0_to(16, 16), 0x7469206564616d20, 0x6c61766975716520, 0x7860fedf5c570d18,
         0xa65d985179783265},
        {first_bytes_0_to(32, 256), 0x202e72656e6f6f70, 0x65736f6874206e49, 0x4eeeb48d9c188f43,
         0x4109010405c0f53e},
    };
}

}  // namespace

TEST(SpeckKey, PublishedVectorsThroughTheBlockFunction)
{
    for (const auto& v : published()) {
        const speck_key_schedule ks = schedule_of(v.key);
        std::uint64_t y = v.pt_y, x = v.pt_x;
        speck_encrypt_block(y, x, ks);
        EXPECT_EQ(y, v.ct_y) << v.key.size();
        EXPECT_EQ(x, v.ct_x) << v.key.size();
    }
}

TEST(SpeckKey, EmptyKeyIsBytesEqualToTheirPositions)
{
    const speck_key_schedule empty = schedule_of("");
    EXPECT_EQ(empty.key_size, 128);
    EXPECT_EQ(empty.rk, schedule_of(first_bytes_0_to(16, 16)).rk);
    // A short key is completed from its own length on.
    std::string abc = "abc";
    for (int p = 3; p < 16; ++p)
        abc.push_back(static_cast<char>(p));
    EXPECT_EQ(schedule_of("abc").rk, schedule_of(abc).rk);
}

TEST(SpeckKey, OnlyExactly256CharactersSelectTheLongKey)
{
    const std::string base = first_bytes_0_to(32, 300);
    const speck_key_schedule k255 = schedule_of(base.substr(0, 255));
    const speck_key_schedule k256 = schedule_of(base.substr(0, 256));
    const speck_key_schedule k257 = schedule_of(base.substr(0, 257));
    const speck_key_schedule k16 = schedule_of(base.substr(0, 16));
    EXPECT_EQ(k255.key_size, 128);
    EXPECT_EQ(k257.key_size, 128);
    EXPECT_EQ(k256.key_size, 256);
    EXPECT_EQ(k255.rk, k16.rk);
    EXPECT_EQ(k257.rk, k16.rk);
    EXPECT_NE(k256.rk, k16.rk);

    // Characters past the 16th (or the 32nd) have no effect.
    std::string other = base.substr(0, 256);
    other[40] = 'Q';
    EXPECT_EQ(schedule_of(other).rk, k256.rk);
    EXPECT_EQ(schedule_of("0123456789abcdefXYZ").rk, schedule_of("0123456789abcdef-----").rk);
}

TEST(SpeckKey, SetupInstallsAndALaterKeyReplaces)
{
    key_guard g;
    ASSERT_EQ(speck_setup_key("first", 5), 1);
    const auto first = speck_key->rk;
    ASSERT_EQ(speck_setup_key("second", 6), 1);
    EXPECT_NE(speck_key->rk, first);
    const auto second = speck_key->rk;
    EXPECT_EQ(second, schedule_of("second").rk);
}

TEST(SpeckCtr, EveryVariantMeetsThePublishedVectors)
{
    for (const auto& var : all_variants()) {
        for (const auto& v : published()) {
            const speck_key_schedule ks = schedule_of(v.key);
            const bytes zero(16, 0);
            bytes out(16, 0xee);
            var.fn(out.data(), zero.data(), 16, v.pt_y, v.pt_x, ks);
            bytes want(16);
            speck_store_le64(want.data(), v.ct_y);
            speck_store_le64(want.data() + 8, v.ct_x);
            EXPECT_EQ(out, want) << var.name << " key " << v.key.size();
        }
    }
}

namespace {

// Every length up to 300, then lengths around the wide groups of the fast
// variants and the datagram sizes that matter.
std::vector<std::size_t> lengths_to_check()
{
    std::vector<std::size_t> l;
    for (std::size_t n = 0; n <= 300; ++n)
        l.push_back(n);
    for (const std::size_t n : {367, 368, 369, 383, 384, 385, 560, 735, 736, 737, 1000, 1534, 4111, 65544})
        l.push_back(n);
    return l;
}

}  // namespace

TEST(SpeckCtr, EveryVariantMatchesTheReferenceOnAllLengthsTo300AndWideGroups)
{
    std::mt19937_64 rng(20260430);
    for (const auto& var : all_variants()) {
        for (const std::size_t len : lengths_to_check()) {
            for (const std::size_t key_len : {std::size_t{16}, std::size_t{256}}) {
                std::string key(key_len, 0);
                for (auto& c : key)
                    c = static_cast<char>(rng());
                const speck_key_schedule ks = schedule_of(key);
                // Every third case starts near the top of word 0, where it
                // wraps without carrying into word 1.
                const std::uint64_t c0 = len % 3 == 0 ? ~std::uint64_t{0} - (rng() % 8) : rng();
                const std::uint64_t c1 = rng();
                bytes in(len);
                for (auto& b : in)
                    b = static_cast<std::uint8_t>(rng());
                // Guard bytes after the output catch writes past len.
                bytes out(len + 64, 0xa5);
                var.fn(out.data(), in.data(), len, c0, c1, ks);
                const bytes want = reference_ctr(in, c0, c1, ks);
                ASSERT_EQ(bytes(out.begin(), out.begin() + static_cast<long>(len)), want)
                    << var.name << " len " << len << " key " << key_len;
                for (std::size_t i = len; i < out.size(); ++i)
                    ASSERT_EQ(out[i], 0xa5) << var.name << " wrote past " << len;
                // In place gives the same bytes.
                bytes inplace = in;
                var.fn(inplace.data(), inplace.data(), len, c0, c1, ks);
                ASSERT_EQ(inplace, want) << var.name << " in place, len " << len;
            }
        }
    }
}

TEST(SpeckCtr, TransformIsItsOwnInverseAndLeavesTheCounterAlone)
{
    const speck_key_schedule ks = schedule_of("a key of some length");
    std::uint8_t counter[16];
    for (int i = 0; i < 16; ++i)
        counter[i] = static_cast<std::uint8_t>(0xf0 + i);
    const std::uint8_t saved[16] = {0xf0, 0xf1, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7,
                                    0xf8, 0xf9, 0xfa, 0xfb, 0xfc, 0xfd, 0xfe, 0xff};
    bytes plain(1534);
    for (std::size_t i = 0; i < plain.size(); ++i)
        plain[i] = static_cast<std::uint8_t>(i * 7);
    bytes once(plain.size()), twice(plain.size());
    EXPECT_EQ(speck_ctr_crypt(once.data(), plain.data(), plain.size(), counter, ks), 0);
    EXPECT_NE(once, plain);
    EXPECT_EQ(speck_ctr_crypt(twice.data(), once.data(), once.size(), counter, ks), 0);
    EXPECT_EQ(twice, plain);
    EXPECT_EQ(std::memcmp(counter, saved, 16), 0);
    // The counter block's words are little-endian.
    EXPECT_EQ(once, reference_ctr(plain, 0xf7f6f5f4f3f2f1f0, 0xfffefdfcfbfaf9f8, ks));
}

TEST(SpeckCtr, ActiveVariantIsTheLastTheCpuRuns)
{
    const auto list = all_variants();
    ASSERT_FALSE(list.empty());
    EXPECT_STREQ(list.front().name, "portable");
    EXPECT_STREQ(speck_active_variant().name, list.back().name);
}

// ---- the sender ----------------------------------------------------------

TEST(SendDatagram, CounterIsTheLengthInBothWords)
{
    udp_sink sink;
    ASSERT_TRUE(sink.ok());
    sink_settings_guard guard(sink);
    settings.disable_encryption = false;
    ASSERT_EQ(speck_setup_key("collector key", 13), 1);
    const speck_key_schedule& ks = *speck_key;

    for (const std::uint32_t n : {15u, 32u, 33u, 1534u}) {
        bytes plain(n);
        for (std::uint32_t i = 0; i < n; ++i)
            plain[i] = static_cast<std::uint8_t>(i + n);
        const bytes copy = plain;
        ASSERT_EQ(send_datagram(plain.data(), n), 0);
        EXPECT_EQ(plain, copy) << "the caller's datagram must stay as it was";
        bytes got;
        ASSERT_TRUE(sink.receive(got));
        EXPECT_EQ(got, reference_ctr(plain, n, n, ks)) << n;
    }

    // 33 bytes, spelled out: blocks from (33, 33) and (34, 33), then the
    // first byte of the block from (35, 33).
    bytes zero(33, 0);
    ASSERT_EQ(send_datagram(zero.data(), 33), 0);
    bytes got;
    ASSERT_TRUE(sink.receive(got));
    ASSERT_EQ(got.size(), 33u);
    for (std::uint64_t j = 0; j < 3; ++j) {
        std::uint64_t y = 33 + j, x = 33;
        speck_encrypt_block(y, x, ks);
        std::uint8_t block[16];
        speck_store_le64(block, y);
        speck_store_le64(block + 8, x);
        const std::size_t take = j < 2 ? 16 : 1;
        EXPECT_EQ(std::memcmp(got.data() + 16 * j, block, take), 0) << "block " << j;
    }
}

TEST(SendDatagram, DisabledEncryptionSendsTheDatagramAsBuilt)
{
    udp_sink sink;
    ASSERT_TRUE(sink.ok());
    sink_settings_guard guard(sink);
    ASSERT_EQ(speck_setup_key("a key that is not used", 22), 1);
    settings.disable_encryption = true;
    const bytes plain = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17};
    const std::uint32_t before = settings.datagrams_sent;
    ASSERT_EQ(send_datagram(plain.data(), static_cast<std::uint32_t>(plain.size())), 0);
    bytes got;
    ASSERT_TRUE(sink.receive(got));
    EXPECT_EQ(got, plain);
    EXPECT_EQ(settings.datagrams_sent, before + 1);
}

TEST(SendDatagram, FailedSendLeavesTheCountAndTheNextGoesOut)
{
    udp_sink sink;
    ASSERT_TRUE(sink.ok());
    sink_settings_guard guard(sink);
    settings.disable_encryption = true;
    const bytes small(40, 0x11);
    const std::uint32_t before = settings.datagrams_sent;

    // A closed socket, then a datagram larger than IPv4 UDP can carry.
    settings.udp_socket.store(net_invalid_socket);
    EXPECT_EQ(send_datagram(small.data(), 40), 2);
    settings.udp_socket.store(guard.tx);
    const bytes huge(65508, 0x22);
    EXPECT_EQ(send_datagram(huge.data(), 65508), 2);
    EXPECT_EQ(settings.datagrams_sent, before);
    EXPECT_TRUE(sink.quiet());

    EXPECT_EQ(send_datagram(small.data(), 40), 0);
    EXPECT_EQ(settings.datagrams_sent, before + 1);
    bytes got;
    ASSERT_TRUE(sink.receive(got));
    EXPECT_EQ(got, small);
}

TEST(SendDatagram, NothingGoesOutWithoutACollectorAddressOrAKey)
{
    udp_sink sink;
    ASSERT_TRUE(sink.ok());
    sink_settings_guard guard(sink);
    const bytes d(20, 0x33);
    const std::uint32_t before = settings.datagrams_sent;

    settings.disable_encryption = true;
    settings.has_collector_addr = false;
    EXPECT_EQ(send_datagram(d.data(), 20), 2);

    settings.has_collector_addr = true;
    settings.disable_encryption = false;
    speck_key = nullptr;
    EXPECT_EQ(send_datagram(d.data(), 20), -1);

    EXPECT_EQ(settings.datagrams_sent, before);
    EXPECT_TRUE(sink.quiet());
}

// A collector that cannot be reached: every failure counted, one line for
// the first, then at most one a second with the number since the last
// line, and one when sending works again.
TEST(SendFailureLog, FirstFailureThenOneLineASecondThenTheRecovery)
{
    send_failure_log log;
    EXPECT_EQ(send_success_note(log), 0u);
    struct step {
        std::uint64_t now_ms;
        bool failed;
        std::uint32_t reported;
    };
    const step steps[] = {
        {5000, true, 1},  {5001, true, 0},  {5500, true, 0},  {5999, true, 0},
        {6000, true, 4},  {6001, true, 0},  {9000, true, 2},  {9001, false, 7},
        {9002, false, 0}, {9003, true, 1},  {9004, true, 0},  {9005, false, 2},
    };
    for (const step& s : steps) {
        SCOPED_TRACE(s.now_ms);
        EXPECT_EQ(s.failed ? send_failure_note(log, s.now_ms) : send_success_note(log), s.reported);
    }
}
