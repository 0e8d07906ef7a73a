// The collector's files: pcapng blocks, the source table against a naive list, rotation, a rotated run of files.
#include <gtest/gtest.h>
#include "tests/pcapng_reader.h"
#include "tests/test_support.h"
#include "collector/capture_file.h"
#include "collector/collector_run.h"
#include "collector/pcapng_writer.h"

namespace {
// A section read as any reader would, each interface Ethernet with the largest snapshot and a name, each packet
// block as long as the writer makes it.
bool parse(const bytes& d, pcapng_file* out)
{
    if (pcapng_read(d.data(), d.size(), out) != pcapng_read_ok) return false;
    for (const pcapng_interface& i : out->interfaces)
        if (i.link != 1 || i.snaplen != 65535 || i.name.empty()) return false;
    for (const pcapng_packet& p : out->packets)
        if (p.block_len != pcapng_packet_size(std::uint16_t(p.caplen))) return false;
    return true;
}

tap_record_view record(const bytes& f) { return {1700000000, 999999, std::uint16_t(f.size()), 1500, f.data()}; }
}  // namespace

// Hand-built blocks; one byte less room writes nothing. Every padding a frame needs, the longest frame, read back.
TEST(CollectorFiles, BlocksAreTheBytesAReaderExpects)
{
    std::uint8_t b[128], head[pcapng_packet_head_size], tail[pcapng_packet_tail_max];
    const bytes shb = {0x0a, 0x0d, 0x0d, 0x0a, 40, 0, 0, 0, 0x4d, 0x3c, 0x2b, 0x1a, 1, 0, 0, 0, 0xff, 0xff, 0xff, 0xff,
                       0xff, 0xff, 0xff, 0xff, 4, 0, 3, 0, 'a', 'b', 'c', 0, 0, 0, 0, 0, 40, 0, 0, 0};
    const bytes idb = {1, 0, 0, 0, 40, 0, 0, 0, 1, 0, 0, 0, 0xff, 0xff, 0, 0, 2, 0, 1, 0, 'n', 0, 0, 0,
                       3, 0, 4, 0, 'd', 'e', 's', 'c', 0, 0, 0, 0, 40, 0, 0, 0};
    EXPECT_EQ(pcapng_section_header(b, 40, "abc"), 40u);  // room enough, exactly
    EXPECT_EQ(bytes(b, b + 40), shb);
    EXPECT_EQ(pcapng_interface_description(b, 40, "n", "desc"), 40u);
    EXPECT_EQ(bytes(b, b + 40), idb);
    EXPECT_EQ(pcapng_interface_description(b, 39, "n", "desc") + pcapng_section_header(b, 39, "abc"), 0u);
    EXPECT_EQ(pcapng_interface_statistics(b, pcapng_statistics_size - 1, 0, {}), 0u);
    for (std::size_t len : {0, 1, 2, 3, 4, 5, 65535}) {
        bytes d(b, b + pcapng_section_header(b, sizeof b, "t"));
        d.insert(d.end(), b, b + pcapng_interface_description(b, sizeof b, "tap 1", "x"));
        const bytes frame = pattern(len, 3);
        pcapng_packet_head(head, 0, record(frame));
        const std::size_t t = pcapng_packet_tail(tail, std::uint16_t(len));
        for (const bytes& piece : {bytes(head, head + 28), frame, bytes(tail, tail + t)})
            d.insert(d.end(), piece.begin(), piece.end());
        pcapng_file p;
        SCOPED_TRACE(len);
        ASSERT_TRUE(parse(d, &p));
        ASSERT_EQ(p.packets.size(), 1u);
        EXPECT_EQ(p.packets[0].frame, frame);
        EXPECT_EQ(p.interfaces[0].name, "tap 1");
        EXPECT_EQ(p.packets[0].timestamp, 1700000000999999ULL);
        EXPECT_EQ(pcapng_le32(head + 24), 1500u) << "the length on the wire";
        EXPECT_EQ(bytes(tail, tail + t - 4), bytes(t - 4, 0)) << "zero padding";
    }
}

// Sources numbered in order of first arrival, one per sender and tap id (an IPv4 sender the same through a dual-stack
// socket); a full table refuses new ones and still finds the old; a sender's first source whatever the tap id.
TEST(CollectorFiles, SourceTableNumbersSendersAndTapsUpToItsCapacity)
{
    source_table t;
    ASSERT_EQ(source_table_init(&t, 3), 0);
    const std::uint8_t v6[16] = {0x20, 1, 0xd, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xab, 0xcd};
    const std::uint8_t mapped[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 10, 0, 0, 5};
    const std::uint8_t link[16] = {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    const std::uint16_t port = net_order16(50000);
    const net_peer ipv4 = net_peer_ipv4(ipv4_of(10, 0, 0, 5), port), ipv6 = net_peer_ipv6(v6, port, 0);
    const struct { net_peer sender; std::uint16_t tap_id; long source; bool added; long first_of_sender; } rows[] = {
        {ipv4, 7, 0, true, 0}, {ipv4, 8, 1, true, 0}, {net_peer_ipv6(mapped, port, 3), 8, 1, false, 0},
        {ipv6, 7, 2, true, 2}, {ipv6, 8, -1, false, 2}, {net_peer_ipv4(ipv4_of(10, 0, 0, 6), port), 7, -1, false, -1},
        {ipv4, 7, 0, false, 0}, {net_peer_ipv6(v6, port, 1), 7, -1, false, -1}};  // another zone, another sender
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message() << "tap " << r.tap_id << " row " << (&r - rows));
        bool added = !r.added;
        EXPECT_EQ(source_find_or_add(&t, r.sender, r.tap_id, 1700000000 + r.source, &added), r.source);
        EXPECT_EQ(added, r.added);
        EXPECT_EQ(source_find_sender(t, r.sender), r.first_of_sender);
    }
    EXPECT_EQ(t.count, 3u);
    EXPECT_EQ(t.entries[2].first_seen, 1700000002);
    char name[source_name_max], desc[64];
    source_description(t.entries[0], desc, sizeof desc);
    EXPECT_STREQ(desc, "first datagram 2023-11-14 22:13:20 UTC");
    const std::pair<net_peer, const char*> names[] = {
        {ipv4, "tap 7 from 10.0.0.5:50000"}, {ipv6, "tap 7 from [2001:db8::abcd]:50000"},
        {net_peer_ipv6(mapped, port, 3), "tap 7 from 10.0.0.5:50000"},
        {net_peer_ipv6(link, port, 4294967295u), "tap 7 from [fe80::1%4294967295]:50000"}};  // the longest zone
    for (const auto& [from, want] : names) {
        source_name({from, 7, 0, {}}, name, sizeof name);
        EXPECT_STREQ(name, want);
    }
    source_table_release(&t);
}

TEST(CollectorFiles, RotationNamesAndLimits)
{
    const struct { const char* pattern; bool timed; unsigned number; const char* name; unsigned suffix = 0; } names[] = {
        {"cap.pcapng", false, 0, "cap.pcapng"}, {"cap", false, 12, "cap12"}, {"%Y-%m.x", true, 1, "2023-11.x1"},
        {"%Y", false, 0, "%Y"}, {"", true, 0, nullptr}, {"aaaaaaaaaaaa", false, 0, nullptr},  // in 12 bytes
        {"aaaaaaaaaa", false, 1, "aaaaaaaaaa1"}, {"aaaaaaaaaaa", false, 1, nullptr}, {"t.pcapng", false, 0, "t.1.pcapng", 1},
        {"tap", false, 0, "tap.100", 100}, {"d.x/t", false, 0, "d.x/t.1", 1}, {"d/.t", false, 0, "d/.t.1", 1},
        {"a.b.c", false, 3, "a.b.10.c3", 10}, {"tap-2.pcap", false, 0, nullptr, 10}};
    for (const auto& r : names) {
        char out[12];
        SCOPED_TRACE(r.pattern);
        const rotation_settings rs{r.timed ? 1 : 0};
        ASSERT_EQ(rotation_file_name(out, sizeof out, r.pattern, rs, {1700000000, r.number, r.suffix}), r.name ? 0 : -1);
        EXPECT_STREQ(r.name ? out : "", r.name ? r.name : "");
    }
    const rotation_settings rs{10, 1000, 2};
    rotation_state st{100, 900, 1000, 0};
    // Each step: the last second and size that are not due, then the first that is.
    const auto due_from = [&](std::int64_t sec, std::uint64_t size, std::int64_t due_sec, std::uint64_t due_size) {
        EXPECT_FALSE(rotation_due(rs, st, sec, size)) << sec << " s, " << size << " bytes";
        EXPECT_TRUE(rotation_due(rs, st, due_sec, due_size)) << due_sec << " s, " << due_size << " bytes";
    };
    due_from(109, 5000, 110, 0);  // no frame in it yet: only the time
    st.frames = 1;
    due_from(109, 100, 109, 101);
    rotation_postpone(rs, &st, 109, 101);  // the next file could not be opened
    due_from(109, 1101, 109, 1102);  // 1000 after the frame
    rotation_postpone(rs, &st, 110, 0);
    due_from(119, 0, 120, 0);
}

// -C 1000 bytes, -W 2: c1 and every suffix taken, it fails and is not tried again, c goes on to 12 frames; c2, c3, c4
// take 4 each, c and c2 go. Then -G 10, -W 1, a name without a time: g, g1 by size, g, g.1 (g in use), g, each removed
// by its name. -G 3600 in New York, where 01:00 comes twice on 2026-11-01: h01, h01.1; with --utc h05, h06.
TEST(CollectorFiles, RotatedFilesEachParseAndHoldEveryFrame)
{
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("vantry-rot-" + std::to_string(std::rand()));
    fs::create_directories(dir);
    for (unsigned n = 0; n <= capture_file_suffix_max; ++n) std::ofstream(dir / ("c1" + (n ? "." + std::to_string(n) : "")));
    const auto frames_in = [&](const char* name) {  // -1 unless it stands alone, within the limit, with 4 sources
        std::ifstream in(dir / name, std::ios::binary);
        const bytes d{std::istreambuf_iterator<char>(in), {}};
        pcapng_file p;
        return parse(d, &p) && d.size() <= 1000 && p.interfaces.size() == 4 ? int(p.packets.size()) : -1;
    };
    const std::string base = (dir / "c").string(), timed = (dir / "g").string();
    source_table t;
    capture_file f{.pattern = base.c_str(), .rotation = {0, 1000, 2}};
    capture_file g{.pattern = timed.c_str(), .rotation = {10, 1000, 1}};
    ASSERT_EQ(source_table_init(&t, 4), 0);
    ASSERT_EQ(capture_file_open(&f, t, 0), 0);
    const bytes frame = pattern(101, 1);
    for (int i = 0; i < 24; ++i) {
        bool added;
        const long s = source_find_or_add(&t, net_peer_ipv4(ipv4_of(127, 0, 0, 1), 0), std::uint16_t(std::min(i / 4, 3)), 0,
                                          &added);
        ASSERT_EQ(capture_file_write(&f, t, std::size_t(s), record(frame), 0), 0);
    }
    capture_file_close(&f);
    EXPECT_EQ(frames_in("c3"), 4);
    EXPECT_EQ(frames_in("c4"), 4);
    EXPECT_FALSE(fs::exists(dir / "c")) << "past -W 2";
    EXPECT_FALSE(fs::exists(dir / "c2")) << "past -W 2";
    ASSERT_EQ(capture_file_open(&g, t, 100), 0);
    for (int i = 0; i < 11; ++i) {
        ASSERT_EQ(capture_file_write(&g, t, 3, record(frame), i < 8 ? 100 : 100 + 10 * (i - 7)), 0);
        if (i != 7 && i != 9)
            continue;
        ASSERT_EQ(capture_file_flush(&g), 0);
        EXPECT_EQ(frames_in(i == 7 ? "g1" : "g.1"), i == 7 ? 4 : 1) << "rotated by size, then by time";
        EXPECT_FALSE(fs::exists(dir / "g")) << "past -W 1";
    }
    capture_file_close(&g);
    EXPECT_EQ(frames_in("g"), 1) << "the name of the last period";
    EXPECT_FALSE(fs::exists(dir / "g1")) << "past -W 1";
    EXPECT_FALSE(fs::exists(dir / "g.1")) << "past -W 1";
#if !defined(_WIN32)  // Windows knows no zone by this name
    struct tz_guard {  // TZ as it was, once it has been New York's
        std::string was = std::getenv("TZ") ? std::getenv("TZ") : "";
        tz_guard() { setenv("TZ", "America/New_York", 1); tzset(); }
        ~tz_guard() { was.empty() ? unsetenv("TZ") : setenv("TZ", was.c_str(), 1); tzset(); }
    } keep_tz;
    const std::string hourly = (dir / "h%H").string();
    for (const bool utc : {false, true}) {
        capture_file h{.pattern = hourly.c_str(), .rotation = {3600, 0, 0, utc}};
        ASSERT_EQ(capture_file_open(&h, t, 1793509200), 0);  // 05:00 UTC, then 06:00
        for (const std::int64_t now : {1793509200, 1793512800})
            ASSERT_EQ(capture_file_write(&h, t, 3, record(frame), now), 0);
        capture_file_close(&h);
    }
    for (const char* name : {"h01", "h01.1", "h05", "h06"}) EXPECT_EQ(frames_in(name), 1) << name;
#endif
    for (std::uint16_t p = 1; p < 10; ++p) EXPECT_EQ(source_find_sender(t, net_peer_ipv4(ipv4_of(127, 0, 0, 1), p)), -1) << p;
    source_table_release(&t);
    fs::remove_all(dir);
}

// Taps 0 and 2 sent statistics, 1 none. In s a new run takes slot 0 (interface 3); s1 (-C 1000) numbers slots 0 to 2.
// Each file ends with a block per tap that sent statistics, of its interface there, each counter where isb_ says; the
// summary's line of such a source reads end to end.
TEST(CollectorFiles, EachFileEndsWithTheStatisticsOfTheTapsItDescribes)
{
    const std::string base = testing::TempDir() + "vantry-isb-" + std::to_string(std::rand());
    const std::uint8_t run_id[sealed_run_id_size] = {7};
    collector_run run;
    source_table& t = run.sources;
    capture_file f{.pattern = base.c_str(), .rotation = {0, 1000, 0}};
    const auto sent = [&](source& s, std::uint64_t n) {  // counters n + 0..8, sent at n + 100, n + 9 frames written
        std::tie(s.tap, s.tap_sent_us, s.counts.frames, s.has_tap_statistics) =
            std::tuple(tap_statistics{n, n + 1, n + 2, n + 3, n + 4, n + 5, n + 6, n + 7, n + 8}, n + 100, n + 9, true);
    };
    bool added;
    ASSERT_EQ(source_table_init(&t, 4), 0);
    for (std::uint16_t tap : {0, 1, 2}) source_find_or_add(&t, net_peer_ipv4(ipv4_of(127, 0, 0, 1), 0), tap, 0, &added);
    sent(t.entries[2], 2000);
    ASSERT_EQ(capture_file_open(&f, t, 0), 0);
    ASSERT_EQ(capture_file_write(&f, t, 2, record(pattern(101, 1)), 0), 0);
    source_place_run(&t, 0, t.entries[0].sender, 5, run_id, 0);
    sent(t.entries[0], 3000);
    for (std::size_t slot : {0, 0, 2}) ASSERT_EQ(capture_file_write(&f, t, slot, record(pattern(101, 1)), 0), 0);
    ASSERT_EQ(capture_file_write_statistics(&f, t, 0), 0);
    capture_file_close(&f);
#if !defined(_WIN32)  // a reader that knows the blocks: interfaces 2 and 3 each have one in s
    const std::string capinfos = "! command -v capinfos >/dev/null || capinfos " + base + " | grep -c 'entries = 1'";
    EXPECT_EQ(std::system((capinfos + " | grep -qx 2").c_str()), 0);
#endif
    const struct { std::string file; std::size_t block; std::uint32_t interface; std::uint64_t n; } rows[] = {
        {base, 0, 3, 3000}, {base, 1, 2, 2000}, {base + "1", 0, 0, 3000}, {base + "1", 1, 2, 2000}};
    for (const auto& r : rows) {
        const std::string d = file_text(r.file);
        pcapng_file p;
        ASSERT_TRUE(parse(bytes(d.begin(), d.end()), &p)) << r.file;
        ASSERT_EQ(p.statistics.size(), 2u) << r.file;
        EXPECT_EQ(p.statistics[r.block].interface, r.interface) << r.file;
        EXPECT_EQ(std::vector(p.statistics[r.block].option + 2, p.statistics[r.block].option + 9),
                  (std::vector<std::uint64_t>{r.n, r.n + 100, r.n + 1, 2 * r.n + 5, r.n + 6, r.n + 2, r.n + 9}))
            << "start, end; received; capture and interface drops; sent; capture drops; written";
    }
    testing::internal::CaptureStdout();
    collector_summary(run);
    const std::string said = testing::internal::GetCapturedStdout();
    EXPECT_NE(said.find("Source 2, tap 2 from 127.0.0.1:0: tap received 2001, dropped 2002 capture + 2003 interface + "
                        "2004 allow-list + 2005 rate cap, 2008 datagrams failed; 0 datagrams (0 frames) lost on the way; "
                        "2009 frames written\n"), said.npos) << said;
    for (const std::string& name : {base, base + "1"}) std::remove(name.c_str());
    source_table_release(&t);
}

#if !defined(_WIN32)  // links and modes as POSIX has them
#include <sys/stat.h>
// What is at the name stays as it was and the capture takes the next name: a file, a link to a file elsewhere, a link
// to nowhere. A new file is for its owner and group, under umask 0 too. A FIFO is opened as it is.
TEST(CollectorFiles, ANameThatExistsIsNeitherFollowedNorTruncated)
{
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("vantry-new-" + std::to_string(std::rand())), at = dir / "t.pcapng";
    const fs::path x = dir / "x";
    const auto head = [](const fs::path& p) { std::string h(4, 0); std::ifstream(p, std::ios::binary).read(h.data(), 4); return h; };
    const struct { std::string made; bool open_existing; const char* written; } rows[] = {
        {"", false, "t.pcapng"}, {"file", false, "t.1.pcapng"}, {"file", true, "t.pcapng"},
        {"link", false, "t.1.pcapng"}, {"link to nowhere", false, "t.1.pcapng"}};
    struct umask_guard { mode_t saved = umask(0); ~umask_guard() { umask(saved); } } keep_umask;
    for (const auto& r : rows) {
        SCOPED_TRACE(r.made + (r.open_existing ? ", opened as it is" : ""));
        fs::remove_all(dir);
        fs::create_directories(dir);
        std::ofstream(r.made == "file" ? at : x) << "kept";
        if (r.made.starts_with("link")) fs::create_symlink(r.made == "link" ? x : dir / "none", at);
        capture_file f{.pattern = at.c_str(), .open_existing = r.open_existing};
        EXPECT_EQ(capture_file_open(&f, source_table{}, 0), 0);
        capture_file_close(&f);
        EXPECT_EQ(head(dir / r.written), "\x0a\x0d\x0d\x0a") << "a section header in " << r.written;
        EXPECT_EQ(r.open_existing ? "kept" : head(r.made == "file" ? at : x), "kept") << "what was there";
        EXPECT_TRUE(r.open_existing || fs::status(dir / r.written).permissions() == fs::perms(0640));
    }
    fs::remove_all(dir);
    // A device is no file to keep: "-w /dev/null" writes there, as it always did.
    capture_file null_device{.pattern = "/dev/null"};
    EXPECT_EQ(capture_file_open(&null_device, source_table{}, 0), 0);
    capture_file_close(&null_device);
    EXPECT_FALSE(fs::exists("/dev/null.1"));
}
#endif
