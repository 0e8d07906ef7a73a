// PCAP over IP: each client's stream byte for byte, a client that does not read, the places, a client that closes.
#include <gtest/gtest.h>
#include "collector/pcap_over_ip.h"
#include "tests/test_support.h"

namespace {
// A client over loopback: what it read, whether the server closed it.
struct reader { net_socket s = net_invalid_socket; bytes got; bool closed = false; ~reader() { net_close(s); } };
bytes le32(std::uint32_t v) { bytes b = big_endian(v, 4); std::reverse(b.begin(), b.end()); return b; }

net_peer loopback(std::uint16_t port) { return net_peer_ipv4(ipv4_of(127, 0, 0, 1), net_order16(port)); }

struct server {  // on 127.0.0.1, a port of its own
    pcap_over_ip* s = nullptr;
    server() { EXPECT_EQ(net_startup() | pcap_over_ip_open(loopback(0), &s), 0); }
    ~server() { pcap_over_ip_close(s); }
    void connect(reader* r) { r->s = net_tcp_connect(loopback(pcap_over_ip_port(s))); }
    // Frame n: n bytes of pattern n, 65535 on the wire, stamped n s n + 1 us; its pcap record, spelled out.
    bytes frame(int n, std::uint64_t now_ms)
    {
        const bytes f = pattern(n, std::uint8_t(n));
        pcap_over_ip_frame(s, {std::uint32_t(n), std::uint32_t(n + 1), std::uint16_t(n), 65535, f.data()}, now_ms);
        return cat({le32(n), le32(n + 1), le32(n), le32(65535), f});
    }
    // Serves at now_ms and reads the readers until a round reads nothing and quiet_ms pass without a byte (in 5 s).
    void pump(std::uint64_t now_ms, std::initializer_list<reader*> readers, std::uint64_t quiet_ms = 0)
    {
        static std::uint8_t buf[1 << 16];
        const std::uint64_t start = clock_monotonic_ms();
        for (std::uint64_t heard = start, t = start; t - start < 5000; t = clock_monotonic_ms()) {
            pcap_over_ip_serve(s, now_ms);
            bool read = false;
            for (reader* r : readers)
                for (long n; !r->closed && (n = net_tcp_read(r->s, buf, sizeof buf)) != net_recv_nothing; read = true)
                    if (n > 0) r->got.insert(r->got.end(), buf, buf + n); else r->closed = true;
            if (read) heard = t; else if (t - heard >= quiet_ms) return;
        }
    }
};
const bytes file_header = {0xd4, 0xc3, 0xb2, 0xa1, 2, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 0, 0, 1, 0, 0, 0};
}  // namespace

// Each client gets the file header, then the frames queued once it was accepted, byte for byte. One that stops
// reading loses the frame that finds its queue full, whole and alone; it keeps its place when it catches up within
// the behind time, and loses it when it stays behind that long.
TEST(PcapOverIp, EachClientGetsTheFramesSinceItCameAndOneThatLagsLosesWholeFramesAloneThenItsPlace)
{
    server srv;
    reader fast, slow;
    srv.connect(&fast);
    srv.pump(0, {&fast});
    const bytes before_slow = srv.frame(65535, 0);
    srv.connect(&slow);
    srv.pump(0, {&fast, &slow}, 50);
    bytes want = file_header, last;
    const auto fill_until_drops = [&](std::uint64_t now_ms, std::uint64_t drops) {
        for (int n = 0; n < 400 && pcap_over_ip_totals(srv.s).frames_dropped < drops; ++n) {
            last = srv.frame(60000 + n, now_ms);
            want.insert(want.end(), last.begin(), last.end());
            srv.pump(now_ms, {&fast});
        }
    };
    fill_until_drops(1000, 1);
    srv.pump(1000 + pcap_over_ip_behind_ms - 1, {&fast, &slow}, 100);
    EXPECT_EQ(slow.got, bytes(want.begin(), want.end() - long(last.size())));
    fill_until_drops(20000, 2);
    srv.pump(20000 + pcap_over_ip_behind_ms - 1, {&fast});
    EXPECT_EQ(pcap_over_ip_totals(srv.s).clients, 2);
    srv.pump(20000 + pcap_over_ip_behind_ms, {&fast, &slow}, 100);
    want.insert(want.begin() + long(file_header.size()), before_slow.begin(), before_slow.end());
    EXPECT_EQ(fast.got, want);
    EXPECT_TRUE(slow.closed);
    EXPECT_EQ(pcap_over_ip_totals(srv.s).frames_dropped, 2u);
    EXPECT_EQ(pcap_over_ip_totals(srv.s).clients_behind, 1u);
    EXPECT_EQ(pcap_over_ip_totals(srv.s).clients, 1);
}

// Sixteen places: one more client is closed at once, with a line at most once a minute; one that closes goes quietly.
TEST(PcapOverIp, PastSixteenClientsOneIsClosedWithALineAMinuteAndAClientThatClosesGoesQuietly)
{
    server srv;
    reader r[pcap_over_ip_clients_max + 4];
    for (int i = 0; i < pcap_over_ip_clients_max; ++i) srv.connect(&r[i]);
    srv.pump(0, {&r[0]}, 50);  // it has read all it was sent: its end is a plain close
    const probe_guard<std::uint8_t> normal(trace_verbosity, trace_level_normal);
    struct row {  // one more connects unless close_first; served, else closed at once
        const char* step; bool close_first; std::uint64_t now_ms; bool served; int clients; std::uint64_t refused;
        int lines;
    } const rows[] = {{"a 17th", false, 0, false, 16, 1, 1}, {"within the minute", false, 59999, false, 16, 2, 0},
                      {"a minute later", false, 60000, false, 16, 3, 1}, {"one closes", true, 60000, false, 15, 3, 0},
                      {"its place taken", false, 60000, true, 16, 3, 0}};
    int next = pcap_over_ip_clients_max;
    for (const row& w : rows) {
        reader& newest = r[w.close_first ? 0 : next++];
        ::testing::internal::CaptureStdout();
        w.close_first ? net_close(std::exchange(newest.s, net_invalid_socket)) : srv.connect(&newest);
        srv.pump(w.now_ms, {w.close_first ? &r[1] : &newest}, 100);
        const std::string log = ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), w.lines) << w.step << log;
        EXPECT_EQ(pcap_over_ip_totals(srv.s).clients, w.clients) << w.step;
        EXPECT_EQ(pcap_over_ip_totals(srv.s).clients_refused, w.refused) << w.step;
        EXPECT_EQ(newest.closed, !w.served && !w.close_first) << w.step;
    }
}
