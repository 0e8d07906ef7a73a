// The sealed Tap datagram (-A): known answers through our wrappers, what the tap seals, and what the collector
// makes of sealed datagrams, forged, cut, replayed, reordered and lost ones, and those of the other mode.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include "forward/tap_batch.h"
#include "wire/sealed_datagram.h"
#include "tests/test_support.h"
#include "collector/collector_run.h"
#include "collector/replay_state.h"
#include "support/byte_order.h"
#include "tests/pcapng_reader.h"

namespace {
bytes hex(const char* h)
{
    bytes out;
    for (; h[0] && h[1]; h += 2) out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(h, 2), nullptr, 16)));
    return out;
}

// The key of the tests that are not about keys: 64 digits, the master key itself (no Argon2id).
const char test_key[] = "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";
const bytes& test_master()
{
    static const bytes m = hex(test_key);
    return m;
}

// A tap run's stream under test_key (by default), and a sealed datagram of tap 9 holding frame f.
struct sealing_tap {
    sealed_sender s;
    explicit sealing_tap(const bytes& master = test_master()) { EXPECT_EQ(sealed_sender_open(&s, master.data()), 0); }
    ~sealing_tap() { sealed_cipher_close(&s.cipher); }
    bytes datagram(std::uint64_t seq, const bytes& f, std::int64_t sent_ago_s = 0)
    {
        bytes d(sealed_overhead + tap_record_header_size + f.size());
        sealed_write_header(d.data(), 9);
        d[tap_count_offset] = 1;
        tap_write_record_header(&d[sealed_header_size], 1, 2, std::uint16_t(f.size()), std::uint16_t(f.size()));
        std::copy(f.begin(), f.end(), d.begin() + sealed_header_size + tap_record_header_size);
        s.next_seq = seq;
        const std::uint64_t sent = clock_unix_us() - std::uint64_t(sent_ago_s * 1000000);
        EXPECT_EQ(sealed_seal_at(s, d.data(), std::uint32_t(d.size() - sealed_tag_size), sent), d.size());
        return d;
    }
};

// Opened with the run key of key_master: the result.
sealed_result open_with(const bytes& master, bytes d)
{
    sealed_header_view h;
    std::size_t at = 0, n = 0;
    return open_sealed_with(master.data(), d, &h, &at, &n);
}

// A collector run in memory (no file, any port) fed datagrams from 127.0.0.1:port.
struct collector_fixture {
    collector_run run;
    explicit collector_fixture(bool sealed, const char* state_dir = nullptr)
    {
        run.opt.port = 0;
        run.opt.key = test_key;
        run.opt.authenticated = sealed;
        run.opt.state_dir = state_dir;
        EXPECT_EQ(collector_set_up(run), 0);
    }
    ~collector_fixture() { collector_release(run); }
    // Runs feed with the frames written to a pcapng file, then reads them into *frames.
    void capture_to(std::vector<bytes>* frames, const std::function<void()>& feed)
    {
        const temp_file out("", "vantry-frames");
        std::remove(out.path.c_str());
        run.file.pattern = out.path.c_str();
        ASSERT_EQ(capture_file_open(&run.file, run.sources, 0), 0);
        feed();
        capture_file_close(&run.file);
        const std::string d = file_text(out.path);
        pcapng_file f;
        ASSERT_EQ(pcapng_read(reinterpret_cast<const std::uint8_t*>(d.data()), d.size(), &f), pcapng_read_ok);
        for (const pcapng_packet& p : f.packets) frames->push_back(p.frame);
        std::remove(out.path.c_str());
    }
    void take(bytes d, std::uint16_t port = 1000)  // a refusal never ends the run
    {
        const net_peer from = net_peer_ipv4(ipv4_of(127, 0, 0, 1), net_order16(port));
        EXPECT_TRUE(collector_take_datagram(run, d.data(), long(d.size()), from));
    }
};
}  // namespace

// RFC 8439 section 2.8.2 through seal and open; RFC 9106 section 5.3 (Argon2id).
TEST(SealedCrypto, KnownAnswersThroughOurWrappers)
{
    ASSERT_EQ(sealed_crypto_init(), 0);
    const std::string text = "Ladies and Gentlemen of the class of '99: If I could offer you only one tip for the "
                             "future, sunscreen would be it.";
    const bytes key = hex("808182838485868788898a8b8c8d8e8f909192939495969798999a9b9c9d9e9f"), nonce = hex("070000004041424344454647"), ad = hex("50515253c0c1c2c3c4c5c6c7");
    const bytes cipher = hex("d31a8d34648e60db7b86afbc53ef7ec2a4aded51296e08fea9e2b5a736ee62d63dbea45e8ca9671282fafb69da92"
                             "728b1a71de0a9e060b2905d6a5b67ecd3b3692ddbd7f2d778b8c9803aee328091b58fab324e4fad675945585808b"
                             "4831d7bc3ff4def08e4b7a9de576d26586cec64b6116");
    const bytes tag = hex("1ae10b594f09e26a7e902ecbd0600691");
    sealed_cipher c;
    ASSERT_EQ(sealed_cipher_open(&c) | sealed_cipher_key(c, key.data()), 0);
    bytes d(text.begin(), text.end()), t(16);
    EXPECT_EQ(sealed_aead_seal(c, nonce.data(), ad.data(), ad.size(), d.data(), d.size(), t.data()), 0);
    EXPECT_EQ(d, cipher);
    EXPECT_EQ(t, tag);
    EXPECT_EQ(sealed_aead_open(c, nonce.data(), ad.data(), ad.size(), d.data(), d.size(), t.data()), 0);
    EXPECT_EQ(std::string(d.begin(), d.end()), text);
    bytes altered = cipher;
    altered[0] ^= 1;
    EXPECT_EQ(sealed_aead_open(c, nonce.data(), ad.data(), ad.size(), altered.data(), altered.size(), t.data()), -1);
    sealed_cipher_close(&c);

    const unsigned long rfc9106[3] = {3, 32, 4};
    const bytes pass(32, 1), salt(16, 2), secret(8, 3), data(12, 4);
    bytes out(32);
    EXPECT_EQ(sealed_argon2id(pass.data(), 32, salt.data(), 16, secret.data(), 8, data.data(), 12, rfc9106, out.data(),
                              32), 0);
    EXPECT_EQ(out, hex("0d640df58d78766c08c037a34a8b53c9d01ef0452d75b65eb52520e96b01e659"));
}

// The key policy of both programs; then the master key of each kind: 64 digits are the key itself, a passphrase
// and its salt give the key Debian's argon2 tool computes (echo -n "correct horse battery" | argon2
// "vantry tap datagram salt v2:site-17" -id -t 2 -k 19456 -p 1 -l 32 -r), another salt another key. New keys.
TEST(SealedKeys, PolicyMasterKeysAndNewKeys)
{
    const std::string digits = test_key, pass = "correct horse battery", upper = "000102030405060708090A0B0C0D0E0F"
                                                                                "101112131415161718191A1B1C1D1E1F";
    const struct { std::string text; bool sealed, salt; std::string refused; } rows[] = {
        {digits, true, false, ""}, {upper, true, false, ""}, {digits.substr(1) + "g", true, false, "needs --salt"},
        {pass, true, true, ""}, {pass.substr(0, 15), true, true, "shorter than 16"}, {"MaNgO", true, true, "sample"},
        {"mango", false, false, ""}, {"", false, false, ""}, {"-A", false, false, "begins with '-'"},
        {"-" + pass, true, true, "begins with '-'"}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.text);
        const char* why = sealed_key_refusal(r.text.data(), r.text.size(), r.sealed, r.salt);
        EXPECT_EQ(why == nullptr, r.refused.empty());
        EXPECT_THAT(why ? why : "", testing::HasSubstr(r.refused));
    }
    bytes master(sealed_key_size), other(sealed_key_size);
    ASSERT_EQ(sealed_master_key(upper.data(), upper.size(), "x", 1, master.data()), 0);
    EXPECT_EQ(master, test_master());
    ASSERT_EQ(sealed_master_key(pass.data(), pass.size(), "site-17", 7, master.data()), 0);
    ASSERT_EQ(sealed_master_key(pass.data(), pass.size(), "site-18", 7, other.data()), 0);
    EXPECT_EQ(master, hex("3919d7c610ce60ba1b9f861979128df90e1d50f489f4f659b3efa8ef029b4647"));
    EXPECT_EQ(other, hex("ad468420ed02b292c35cc9081049987188e16286ab3e8444f5262c0567fa64cb"));
    char made[2][sealed_key_digits + 1];
    for (char* key : made) {
        ASSERT_EQ(sealed_generate_key(key), 0);
        EXPECT_EQ(std::strlen(key), sealed_key_digits);
        EXPECT_EQ(std::strspn(key, "0123456789abcdef"), sealed_key_digits);
    }
    EXPECT_STRNE(made[0], made[1]);
}

// A key file's first line without its CR and LF, or a refusal that names the file: not a regular file, open to
// other users (POSIX: group may read), missing, an empty first line.
TEST(SealedKeys, KeyFilesAreReadOnlyWhenOtherUsersHaveNoRights)
{
    const temp_file key(std::string(test_key) + "\r\nsecond line\n", "vantry-key"), empty("\n", "vantry-key");
    const std::string dir = testing::TempDir(), missing = key.path + "-missing";
    auto named = [](const std::string& path, const std::string& said) { return "Key file '" + path + "'" + said; };
    struct row { std::string path; int mode; std::string said; };
    std::vector<row> rows = {{dir, 0, named(dir, " is not a regular file")},
                             {missing, 0, "Unable to read key file '" + missing + "' 2/"},
                             {empty.path, 0600, named(empty.path, ": its first line is empty")}};
#if !defined(_WIN32)  // Windows leaves the rights to the file's ACL
    const std::string any_user = " may be read or written by any user";
    rows.insert(rows.end(), {{key.path, 0644, named(key.path, any_user)}, {key.path, 0602, named(key.path, any_user)},
                             {key.path, 0640, ""}});
#endif
    rows.push_back({key.path, 0600, ""});
    for (const row& r : rows) {
        SCOPED_TRACE(r.said);
        if (r.mode) std::filesystem::permissions(r.path, std::filesystem::perms(r.mode));
        char line[key_file_line_max + 1], message[1024] = "";
        std::size_t len = 0;
        EXPECT_EQ(sealed_read_key_file(r.path.c_str(), line, sizeof line, &len, message, sizeof message),
                  r.said.empty() ? 0 : -1);
        EXPECT_THAT(std::string(message), testing::HasSubstr(r.said));
        EXPECT_EQ(std::string(line, len), r.said.empty() ? test_key : "");
    }
}

// Through a batch and the sender, as the tap sends at --mtu 1500: header in clear with a fresh number each time,
// records sealed, each datagram filled to the path's 1,472 bytes, frames up to 65,535 bytes in pieces. A collector
// puts them back together whole; without any one datagram it writes the others' frames and counts the rest lost.
// Every bit flipped, every cut, another key: refused.
TEST(SealedDatagram, WhatTheTapSendsFitsThePathAndComesBackWhole)
{
    key_guard keys;
    loopback_collector col;
    sealing_tap tap;
    col.sender.encrypt = true;
    col.sender.sealed = &tap.s;
    col.sender.path_mtu = 1500;
    auto batch = std::make_unique<tap_batch>();
    tap_batch_init(*batch, 65537, &col.sender);
    std::vector<bytes> frames;
    // Fewer than the 90 datagrams of 1,472 bytes a socket's default buffer holds.
    for (std::size_t n : {3, 1514, 9000, 40, 70000, 0, 1472 - 48 - 16 - 12}) frames.push_back(pattern(n, std::uint8_t(n)));
    const std::uint64_t before = clock_unix_us();
    for (const bytes& f : frames)
        tap_batch_add(*batch, 1, 2, std::uint32_t(f.size()), std::uint32_t(f.size()), nullptr, f.data());
    tap_batch_idle(*batch);
    frames[4].resize(65535);  // the record's length field holds no more
    std::vector<bytes> sent;
    for (bytes d; col.receive(d, 200);) sent.push_back(d);
    ASSERT_GT(sent.size(), 50u);
    for (std::size_t i = 0; i < sent.size(); ++i) {
        const bytes& d = sent[i];
        SCOPED_TRACE(i);
        if (i + 1 < sent.size()) {
            EXPECT_EQ(d.size(), 1472u) << "filled to the path";
        }
        EXPECT_LE(d.size(), 1472u);
        EXPECT_EQ(bytes(d.begin(), d.begin() + 6), hex("041968240001"));
        EXPECT_EQ(bytes(d.begin() + 8, d.begin() + 24), bytes(tap.s.run_id, tap.s.run_id + 16));
        EXPECT_EQ(load_be64(&d[24]), i) << "the number";
        EXPECT_GE(load_be64(&d[32]), before) << "the send time";
        EXPECT_LE(load_be64(&d[32]), clock_unix_us());
    }
    // A second run of the same frames, for two taps whose pieces interleave.
    sealing_tap second;
    col.sender.sealed = &second.s;
    tap_batch_init(*batch, 65537, &col.sender);
    for (const bytes& f : frames)
        tap_batch_add(*batch, 1, 2, std::uint32_t(f.size()), std::uint32_t(f.size()), nullptr, f.data());
    tap_batch_idle(*batch);
    std::vector<bytes> interleaved;
    for (bytes d; col.receive(d, 200);) interleaved.push_back(d);
    ASSERT_EQ(interleaved.size(), sent.size());
    for (std::size_t i = sent.size(); i-- > 0;) interleaved.insert(interleaved.begin() + std::ptrdiff_t(i), sent[i]);
    struct feed { std::string what; std::vector<bytes> order; bool in_order; };
    std::vector<feed> feeds = {{"all", sent, true}, {"two runs interleaved", interleaved, false}};
    for (std::size_t i = 1; i < sent.size(); i += i < 12 ? 1 : 29) {
        feeds.push_back({"without datagram " + std::to_string(i), sent, true});
        feeds.back().order.erase(feeds.back().order.begin() + std::ptrdiff_t(i));
    }
    for (std::size_t i : {std::size_t(3), sent.size() - 2}) {  // a late datagram gives its whole frames back
        feeds.push_back({"datagram " + std::to_string(i) + " late", sent, false});
        std::swap(feeds.back().order[i], feeds.back().order[i + 1]);
    }
    for (const feed& f : feeds) {
        SCOPED_TRACE(f.what);
        std::vector<bytes> got;
        collector_fixture c(true);
        c.capture_to(&got, [&] {
            for (const bytes& d : f.order) c.take(d);
        });
        const std::size_t sent_frames = frames.size() * (f.order.size() > sent.size() ? 2 : 1);
        EXPECT_EQ(std::int64_t(got.size()) + collector_frames_lost(c.run), std::int64_t(sent_frames));
        if (f.what == "all") {
            EXPECT_EQ(got, frames);
        }
        if (f.order.size() > sent.size()) {
            EXPECT_EQ(got.size(), sent_frames) << "both runs whole";
        }
        for (std::size_t k = 0, at = 0; f.in_order && k < got.size(); ++k, ++at) {
            while (at < frames.size() && frames[at] != got[k]) ++at;
            EXPECT_LT(at, frames.size()) << "frame " << k << " of " << got[k].size() << " bytes is none sent, in order";
        }
    }
    const bytes& d = sent.back();
    for (std::size_t bit = 0; bit < d.size() * 8; ++bit) {
        bytes x = d;
        x[bit / 8] ^= static_cast<std::uint8_t>(1 << bit % 8);
        EXPECT_EQ(open_with(test_master(), x), bit < 32 ? sealed_not_sealed : sealed_forged) << bit;
    }
    for (std::size_t n = 0; n < d.size(); ++n)
        EXPECT_EQ(open_with(test_master(), bytes(d.begin(), d.begin() + n)),
                  n < 4 ? sealed_not_sealed : n < sealed_overhead ? sealed_too_short : sealed_forged) << n;
    bytes other(sealed_key_size, 7);
    EXPECT_EQ(open_with(other, d), sealed_forged);
}

// One tap run's numbers in the order they arrive, each good, forged (its tag altered) or from a second run of the
// same tap: what is written and counted, per source and in all. A number forged first still opens once genuine.
TEST(CollectorSealed, WindowRefusesReplaysAndOldNumbersAndCountsLosses)
{
    key_guard keys;
    collector_fixture col(true);
    sealing_tap run1, run2;
    enum kind { good, forged, second };
    const struct {
        kind k;
        std::uint64_t seq;
        unsigned frames, forged, replayed, too_old;
        std::uint64_t lost;
    } rows[] = {
        {good, 5, 1, 0, 0, 0, 0},       {good, 5, 1, 0, 1, 0, 0},      {good, 8, 2, 0, 1, 0, 2},
        {good, 3, 3, 0, 1, 0, 2},       {forged, 6, 3, 1, 1, 0, 2},     {good, 6, 4, 1, 1, 0, 1},
        {second, 6, 5, 1, 1, 0, 1},     {good, 1031, 6, 1, 1, 0, 1023}, {good, 7, 6, 1, 1, 1, 1023},
        {good, 9, 7, 1, 1, 1, 1022},    {good, 9, 7, 1, 2, 1, 1022},    {second, 0, 8, 1, 2, 1, 1022},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message() << r.k << " " << r.seq);
        bytes d = (r.k == second ? run2 : run1).datagram(r.seq, pattern(20, std::uint8_t(r.seq)));
        if (r.k == forged) d.back() ^= 0x80;
        col.take(d, r.k == second ? 2000 : 1000);
        const collector_stats& s = col.run.stats;
        EXPECT_EQ(s.frames, r.frames);
        EXPECT_EQ(s.forged, r.forged);
        EXPECT_EQ(s.replayed, r.replayed);
        EXPECT_EQ(s.too_old, r.too_old);
        EXPECT_EQ(s.lost, r.lost);
    }
    ASSERT_EQ(col.run.sources.count, 2u) << "one per run";
    const source_counts& c = col.run.sources.entries[0].counts;
    EXPECT_EQ(c.lost, 1022);
    EXPECT_EQ(c.replayed, 3u);
    EXPECT_EQ(c.undecodable, 0u) << "a forged datagram proves no source";
    EXPECT_EQ(col.run.sealing.streams.count, 2u);
}

// Each mode meets the other's datagrams, and -A one under another key and a cut one: counted, nothing written.
TEST(CollectorSealed, TheOtherModeAnotherKeyAndCutDatagramsAreRefused)
{
    key_guard keys;
    sealing_tap tap;
    bytes other(sealed_key_size, 1);
    sealing_tap stranger(other);
    ASSERT_EQ(speck_setup_key(test_key, sizeof test_key - 1), 1);
    bytes speck = {0x02, 0x19, 0x68, 0x24, 0, 9, 0, 0};
    tap_crypt(speck.data(), speck.data(), speck.size(), *speck_key);
    const bytes sealed = tap.datagram(0, pattern(10, 1));
    {
        collector_fixture col(false);
        for (const bytes& d : {sealed, speck, bytes(20)}) col.take(d);
        EXPECT_EQ(col.run.stats.wrong_mode, 1u);
        EXPECT_EQ(col.run.stats.bad_magic, 1u);
        EXPECT_EQ(col.run.sources.count, 1u) << "the Speck datagram decoded (no frames), a sealed one never does";
    }
    collector_fixture col(true);
    for (const bytes& d : {speck, stranger.datagram(0, pattern(10, 1)), bytes(sealed.begin(), sealed.end() - 1),
                           bytes(sealed.begin(), sealed.begin() + 40)})
        col.take(d);
    const collector_stats& s = col.run.stats;
    EXPECT_EQ(s.wrong_mode, 1u);
    EXPECT_EQ(s.forged, 2u);
    EXPECT_EQ(s.bad_length, 1u);
    EXPECT_EQ(s.frames, 0u);
    EXPECT_EQ(s.lost, 0u);
    EXPECT_EQ(col.run.sealing.streams.count, 0u) << "only verified datagrams make a stream";
}

// A table of 2 streams and 1 retired run: tap runs A to D in turn, each datagram written or refused as a replay; the
// run heard from least recently makes room and stays refused until a later forgotten run takes its place in the ring
// (its index: tests/test_hash_index.cpp).
TEST(CollectorSealed, AFullTableForgetsTheRunHeardLeastRecentlyAndRefusesItsDatagrams)
{
    key_guard keys;
    collector_fixture col(true);
    stream_table_release(&col.run.sealing.streams);
    ASSERT_EQ(stream_table_init(&col.run.sealing.streams, 2, 1), 0);
    sealing_tap taps[4];
    const struct {
        int tap;
        std::uint64_t seq;
        unsigned frames, replayed, forgotten;
    } rows[] = {
        // C forgets B; B's old number is a replay, a new one brings B back (forgetting A, C's retirement
        // pushing B out), its old numbers still refused; D forgets A and pushes C out, so C's old datagram is
        // taken again (the ring's limit); B's highest number at retirement is still refused.
        {0, 0, 1, 0, 0}, {1, 0, 2, 0, 0}, {0, 1, 3, 0, 0}, {2, 0, 4, 0, 1}, {1, 0, 4, 1, 1}, {0, 2, 5, 1, 1},
        {1, 3, 6, 1, 2}, {1, 0, 6, 2, 2}, {2, 0, 6, 3, 2}, {3, 0, 7, 3, 3}, {2, 0, 8, 3, 4}, {1, 3, 8, 4, 4},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message() << "tap " << r.tap << " seq " << r.seq);
        col.take(taps[r.tap].datagram(r.seq, pattern(20, 1)));
        const collector_stats& s = col.run.stats;
        EXPECT_EQ(s.frames, r.frames);
        EXPECT_EQ(s.replayed, r.replayed);
        EXPECT_EQ(s.streams_forgotten, r.forgotten);
    }
    EXPECT_EQ(col.run.stats.lost, 2u);  // B's numbers 1 and 2, skipped while it was forgotten
    // A run forgotten again while still retired keeps one entry, with its new highest number: A's 4 is a replay.
    collector_fixture again(true);
    stream_table_release(&again.run.sealing.streams);
    ASSERT_EQ(stream_table_init(&again.run.sealing.streams, 1, 3), 0);
    const struct { int tap; std::uint64_t seq; } sends[] = {{0, 0}, {1, 0}, {0, 5}, {1, 3}, {0, 4}};
    for (const auto& send : sends) again.take(taps[send.tap].datagram(send.seq, pattern(20, 1)));
    EXPECT_EQ(again.run.stats.frames, 4u);
    EXPECT_EQ(again.run.stats.replayed, 1u);
}

// With -A a source is a tap run: the same run from other ports stays one source (its sender updated), a table of two
// makes room for a third run by the one heard least recently, and the pcapng file gives each newcomer an interface of
// its own. A run not heard before is taken only from datagrams sent within --max-age (300 s), either way.
TEST(CollectorSealed, ASourceIsARunAndANewRunMustBeFresh)
{
    key_guard keys;
    collector_fixture col(true);
    stream_table_release(&col.run.sealing.streams);
    ASSERT_EQ(stream_table_init(&col.run.sealing.streams, 2, 4), 0);
    const temp_file out("", "vantry-sources");
    col.run.file.pattern = out.path.c_str();
    std::remove(out.path.c_str());
    ASSERT_EQ(capture_file_open(&col.run.file, col.run.sources, 0), 0);
    sealing_tap taps[3];
    const struct {
        int tap;
        std::uint64_t seq;
        std::uint16_t port;
        std::int64_t sent_ago;
        unsigned frames, stale;
        long interface;  // of the frame written, -1 none
    } rows[] = {
        {0, 0, 1000, 0, 1, 0, 0},   {0, 1, 1001, 0, 2, 0, 0},    {1, 0, 1002, 301, 2, 1, -1}, {1, 0, 1002, -301, 2, 2, -1},
        {1, 0, 1002, 299, 3, 2, 1}, {1, 1, 1002, 900, 4, 2, 1},  {2, 0, 1003, 0, 5, 2, 2},    {0, 2, 1004, 0, 6, 2, 3},
    };
    std::vector<std::uint32_t> interfaces;
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message() << "tap " << r.tap << " seq " << r.seq << " sent " << r.sent_ago << " s ago");
        col.take(taps[r.tap].datagram(r.seq, pattern(20, 1), r.sent_ago), r.port);
        EXPECT_EQ(col.run.stats.frames, r.frames);
        EXPECT_EQ(col.run.stats.stale, r.stale);
        if (r.interface >= 0) interfaces.push_back(std::uint32_t(r.interface));
    }
    EXPECT_EQ(col.run.sources.count, 2u);
    EXPECT_EQ(col.run.sources.entries[1].sender.port, net_order16(1004)) << "tap 0 came back in the slot of tap 1";
    capture_file_close(&col.run.file);
    const std::string d = file_text(out.path);
    pcapng_file f;
    ASSERT_EQ(pcapng_read(reinterpret_cast<const std::uint8_t*>(d.data()), d.size(), &f), pcapng_read_ok);
    ASSERT_EQ(f.packets.size(), interfaces.size());
    for (std::size_t i = 0; i < interfaces.size(); ++i) EXPECT_EQ(f.packets[i].interface, interfaces[i]) << i;
    ASSERT_EQ(f.interfaces.size(), 4u);
    EXPECT_NE(f.interfaces[3].name.find(" run "), std::string::npos) << f.interfaces[3].name;
}

// A collector started on the state folder of one before it refuses that one's datagrams as replays and resumes its
// runs above their numbers; a damaged file keeps the runs before the damage. The text itself: read back as written.
TEST(CollectorSealed, ARestartedCollectorRemembersTheRunsItsStateFileHolds)
{
    key_guard keys;
    const temp_file dir("", "vantry-state");
    std::remove(dir.path.c_str());
    ASSERT_TRUE(std::filesystem::create_directory(dir.path));
    sealing_tap a, b;
    {
        collector_fixture first(true, dir.path.c_str());
        for (const bytes& d : {a.datagram(0, pattern(20, 1)), a.datagram(1, pattern(20, 1)), b.datagram(0, pattern(20, 1))})
            first.take(d);
        EXPECT_EQ(first.run.stats.frames, 3u);
        EXPECT_EQ(collector_save_state(first.run, false), 0);
    }
    const std::string state = dir.path + "/" + replay_state_file_name;
    const std::string text = file_text(state);
    const auto last_line_as = [&](const std::string& line) { return text.substr(0, text.rfind('\n', text.size() - 2) + 1) + line; };
    const std::string id(32, 'a');
    const struct {
        std::string file;
        long runs_read;
        unsigned frames, replayed;
    } rows[] = {
        {text, 2, 1, 2},
        {last_line_as("1 zz 2 3\n"), -3, 2, 1},      {last_line_as("70000 " + id + " 2 3\n"), -3, 2, 1},
        {last_line_as("1 " + id + " x 3\n"), -3, 2, 1}, {last_line_as("1 " + id + " 2 3 4\n"), -3, 2, 1},
        {text.substr(0, text.size() - 1), -3, 2, 1},
        {"something else\n" + text.substr(text.find('\n') + 1), -1, 3, 0},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.file);
        stream_table t;
        ASSERT_EQ(stream_table_init(&t, 4, 4), 0);
        EXPECT_EQ(replay_state_read(r.file, &t, 0), r.runs_read);
        stream_table_release(&t);
        {
            std::ofstream(state, std::ios::binary) << r.file;
        }
        collector_fixture again(true, dir.path.c_str());
        for (const bytes& d : {a.datagram(1, pattern(20, 1)), b.datagram(0, pattern(20, 1)), a.datagram(2, pattern(20, 1))})
            again.take(d);
        EXPECT_EQ(again.run.stats.frames, r.frames);
        EXPECT_EQ(again.run.stats.replayed, r.replayed);
        EXPECT_EQ(again.run.stats.lost, 0u);
    }
    std::filesystem::remove_all(dir.path);
}
