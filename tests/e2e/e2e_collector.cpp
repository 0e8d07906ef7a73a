// The collector's pcapng files and tshark's view of them, IPv6 senders, rotation, names taken, the extcap interface.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include "collector/metrics.h"
#include "tests/e2e/e2e_support.h"

namespace {
struct temp_dir {  // removed with its contents
    char path[32] = "/tmp/vantry-e2e-XXXXXX";
    const bool made = mkdtemp(path) != nullptr;
    ~temp_dir() { std::filesystem::remove_all(path); }
};

// The collector with args through sh, so that "-w -" can be piped: its port once it listens, or 0. Without a pipe
// the shell becomes the collector (exec), so that the child ended by its PID is the collector itself.
std::uint16_t fleet_collector(child* c, const std::string& args)
{
    return listening_port(c, start(c, "sh", {"-c", "exec " VANTRY_BIN_DIR "/vantry_collector -p 0 -K " + args}));
}
// The port a collector started with --metrics ...:0 serves on, 0 if it says none.
std::uint16_t metrics_port(const child& c)
{
    const std::string out = out_of(c) + err_of(c), at = "Metrics at http://127.0.0.1:";
    return has(out, at) ? std::uint16_t(std::atoi(out.c_str() + out.find(at) + at.size())) : 0;
}

// A loopback TCP connection to port that sends nothing: its descriptor, or -1.
int tcp_connect(std::uint16_t port)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{AF_INET, htons(port), {ipv4_of(127, 0, 0, 1)}, {}};
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) close(fd);
    return fd;
}
}  // namespace

// pcapng to a file and to standard output piped into tshark: taps 7, 8, 9 from 127.0.0.1, .2, .3 are interfaces
// 0, 1, 2 for a reader that knows nothing of Tap datagrams.
TEST(CollectorE2E, ThreeTapsAreThreeInterfacesForTshark)
{
    const temp_dir dir;
    const std::string file = dir.path + std::string("/f.pcapng"), fields = " -T fields -e frame.interface_id"
        " -e frame.interface_name -e data.data 2>/dev/null";
    for (const std::string& out : {" -w " + file, " -w - | tshark -r -" + fields}) {
        SCOPED_TRACE(out);
        child c;
        udp_socket from[3];
        const std::uint16_t port = fleet_collector(&c, "-j 1 -c 6" + out);  // one thread: the order across taps kept
        ASSERT_NE(port, 0) << out_of(c) << err_of(c);
        std::string want;
        for (int i = 0; i < 6; ++i) {  // Ethernet type 0x88b5: tshark shows the payload as it is
            const int t = i % 3;
            ASSERT_TRUE(i >= 3 || udp_open(&from[t], ("127.0.0." + std::to_string(t + 1)).c_str()) == 0);
            const bytes payload = pattern(50 + 333 * i, std::uint8_t(i));
            udp_send(from[t], tap_datagram(std::uint16_t(7 + t), {ethernet(0x88b5, payload)}), port);
            want += std::to_string(t) + "\ttap " + std::to_string(7 + t) + " from 127.0.0." + std::to_string(t + 1) +
                    ":" + std::to_string(from[t].port) + "\t" + hex_text(payload) + "\n";
        }
        ASSERT_EQ(status_within(&c, 10000), 0);
        std::string got = out_of(c);
        EXPECT_TRUE(out != " -w " + file || run_command("tshark -r " + file + fields, &got) == 0);
        EXPECT_EQ(got, want);
    }
}

// -j 4: eight senders' datagrams, sent in turn, reach four workers, on sockets of their own or (as on Windows) on one
// they share; each sender's frames are written in the order it sent them, and none is missing. A second collector on
// the port is refused.
TEST(CollectorE2E, WorkersKeepEachSendersOrder)
{
    constexpr int senders = 8, each = 100;
    for (const char* share : {"1", "0"}) {
        setenv("VANTRY_SHARE_PORT", share, 1);
        child c;
        const std::uint16_t port = collector_start(&c, {"-K", "-j", "4", "-r", "4194304", "-c",
                                                        std::to_string(senders * each), "-w", "-"});
        unsetenv("VANTRY_SHARE_PORT");
        ASSERT_NE(port, 0) << err_of(c);
        child second;  // its port taken by the first, whose workers share it: refused, not a share of the datagrams
        ASSERT_EQ(start(&second, VANTRY_BIN_DIR "/vantry_collector", {"-p", std::to_string(port), "-K", "-j", "4",
                                                                      "-w", "/dev/null"}), 0);
        EXPECT_EQ(status_within(&second, 10000), 1);
        EXPECT_TRUE(has(out_of(second) + err_of(second), "98/Address already in use")) << out_of(second);
        udp_socket from[senders];
        for (udp_socket& u : from) ASSERT_EQ(udp_open(&u), 0);
        for (int i = 0; i < each; ++i)
            for (int k = 0; k < senders; ++k)
                udp_send(from[k], tap_datagram(7, {ethernet(0x88b5, {std::uint8_t(k), std::uint8_t(i), 0, 0})}), port);
        ASSERT_EQ(status_within(&c, 10000), 0) << err_of(c);
        EXPECT_TRUE(has(err_of(c), *share == '1' ? "4 workers, each on a socket of its own" : "4 workers, sharing"))
            << err_of(c);
        int next[senders] = {};
        for (const wire_record& r : pcap_of(out_of(c))) {
            const int k = r.frame[14], i = r.frame[15];
            EXPECT_EQ(i, next[k]++) << "sender " << k << ", shared " << share;
        }
        for (int k = 0; k < senders; ++k) EXPECT_EQ(next[k], each) << "sender " << k;
    }
}

// The tap sends over IPv4 only: Tap datagrams from the test over ::1 to collectors bound at ::1 and at :: (IPv4 too,
// named as plain IPv4), read back by tshark. A bind address that names nothing, a file that cannot be opened and a
// port that is taken end the collector at start with status 1.
TEST(CollectorE2E, SendersOverIpv6AreNamedInBracketsAndIpv4AsBefore)
{
    if (run_command("ip -6 addr show dev lo | grep -q ::1/128") != 0) GTEST_SKIP() << "no ::1 on lo: IPv6 is off";
    const temp_dir dir;
    const std::string file = dir.path + std::string("/f.pcapng");
    udp_socket busy;  // its port is taken
    ASSERT_EQ(udp_open(&busy), 0);
    const std::string taken = std::to_string(busy.port);
    const struct { std::string args; std::vector<std::string> from, want; } rows[] = {
        {"-b ::1", {"::1"}, {"[::1]"}},
        {"-b ::", {"::1", "127.0.0.1"}, {"[::1]", "127.0.0.1"}},
        {"-b no-such-collector.invalid", {}, {"ERROR: Invalid bind address 'no-such-collector.invalid': not an IPv4 "
                                              "or IPv6 address or host"}},
        {"-b ::1 -w " + file + "/x", {}, {"ERROR: Unable to write '" + file + "/x' 20/Not a directory"}},
        {"-b 127.0.0.1 -p " + taken, {}, {"ERROR: Unable to bind port " + taken + " 98/Address already in use"}}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.args);
        if (!row.from.empty()) std::filesystem::remove(file);  // read back below: this run's alone
        child c;
        const std::string count = row.from.empty() ? "" : " -c " + std::to_string(row.from.size());
        const std::uint16_t port = fleet_collector(&c, "-v -w " + file + count + " " + row.args);
        std::string want;
        for (std::size_t i = 0; i < row.from.size(); ++i) {
            net_peer at, to;
            ASSERT_EQ(net_resolve_peer(row.from[i].c_str(), 0, &at), 0);
            udp_socket u;
            u.s = net_udp_socket_for(at);
            ASSERT_EQ(net_bind_peer(u.s, at), 0);
            ASSERT_NE(u.port = net_local_port(u.s), 0);
            ASSERT_EQ(net_resolve_peer(row.from[i].c_str(), port, &to), 0);
            const bytes payload = pattern(60 + 700 * i, std::uint8_t(i));
            const bytes d = tap_datagram(std::uint16_t(7 + i), {ethernet(0x88b5, payload)});
            ASSERT_EQ(net_send_to_peer(u.s, d.data(), d.size(), to), long(d.size()));
            const std::string name = "tap " + std::to_string(7 + i) + " from " + row.want[i] + ":" +
                                     std::to_string(u.port);
            EXPECT_TRUE(wait_output(&c, "New source " + std::to_string(i) + ": " + name + "\n", 5000)) << err_of(c);
            want += name + "\t" + hex_text(payload) + "\n";
        }
        ASSERT_TRUE(finish(&c, 10000));
        EXPECT_EQ(c.status, row.from.empty() ? 1 : 0);
        if (row.from.empty()) {
            EXPECT_EQ(port, 0);
            EXPECT_TRUE(has(out_of(c), row.want[0] + "\n")) << out_of(c);
            continue;
        }
        std::string got;
        EXPECT_EQ(run_command("tshark -r " + file + " -T fields -e frame.interface_name -e data.data 2>/dev/null", &got), 0);
        EXPECT_EQ(got, want);
    }
}

// -C 1 (a million bytes), 50 datagrams of 40 frames of 1400 bytes, each sent once the one before is written: three
// files, each alone readable, none larger than the limit, every frame in one of them.
TEST(CollectorE2E, RotationBySizeGivesFilesThatEachParse)
{
    const temp_dir dir;
    child c;
    udp_socket from;
    const std::string base = dir.path + std::string("/r.pcapng");
    const std::uint16_t port = fleet_collector(&c, "-v -C 1 -c 2000 -w " + base);
    ASSERT_NE(port, 0) << out_of(c);
    ASSERT_EQ(udp_open(&from), 0);
    for (int i = 0; i < 50; ++i) {
        udp_send(from, tap_datagram(3, std::vector<bytes>(40, pattern(1400, std::uint8_t(i)))), port);
        ASSERT_TRUE(wait_output(&c, "Datagram of 56488 bytes", 5000, i + 1)) << i;
    }
    ASSERT_EQ(status_within(&c, 5000), 0);
    int frames = 0;
    for (const char* suffix : {"", "1", "2"}) {
        std::string out;
        EXPECT_EQ(run_command("tshark -r " + base + suffix + " -T fields -e frame.cap_len 2>/dev/null", &out), 0);
        EXPECT_LE(std::filesystem::file_size(base + suffix), 1000000u) << suffix;
        const std::string d = file_text(base + suffix);
        pcapng_file file;  // and for our reader, which sees the frames tshark sees
        EXPECT_EQ(pcapng_read(reinterpret_cast<const std::uint8_t*>(d.data()), d.size(), &file), pcapng_read_ok);
        EXPECT_EQ(int(file.packets.size()), count_of(out, "1400\n")) << suffix;
        frames += count_of(out, "1400\n");
    }
    EXPECT_EQ(frames, 2000);
    EXPECT_FALSE(std::filesystem::exists(base + "3"));
}

// A file at the -w name and a link to it stay as they were; the capture goes to the next name, which the log names.
TEST(CollectorE2E, AFileOrALinkAtTheNameIsKeptAndTheCaptureTakesTheNextName)
{
    const temp_dir dir;
    const std::string file = dir.path + std::string("/f"), link = dir.path + std::string("/l"), payload(60, 'p');
    std::ofstream(file + ".pcapng") << "kept";
    std::filesystem::create_symlink(file + ".pcapng", link + ".pcapng");
    for (const std::string& at : {file, link}) {
        child c;
        udp_socket from;
        const std::uint16_t port = fleet_collector(&c, "-c 1 -w " + at + ".pcapng");
        ASSERT_TRUE(port && udp_open(&from) == 0) << out_of(c);
        udp_send(from, tap_datagram(7, {ethernet(0x88b5, bytes(payload.begin(), payload.end()))}), port);
        ASSERT_EQ(status_within(&c, 5000), 0) << out_of(c);
        EXPECT_EQ(file_text(file + ".pcapng"), "kept");
        EXPECT_EQ(std::filesystem::read_symlink(link + ".pcapng"), file + ".pcapng");
        EXPECT_TRUE(has(out_of(c), "is left as it is: writing '" + at + ".1.pcapng'\n")) << out_of(c);
        EXPECT_TRUE(has(file_text(at + ".1.pcapng"), payload)) << at;
    }
}

// tshark finds the collector in a personal extcap folder (by HOME from Wireshark 4.2; 4.0 needs WIRESHARK_EXTCAP_DIR,
// honoured for users other than root, so tshark runs as nobody) and captures through it what a TZSP tap forwards, in
// clear, with the key as text, and sealed (-A). Stopping at -c ends the collector without an error for tshark to show.
TEST(CollectorE2E, TsharkCapturesThroughTheExtcapInterface)
{
    if (run_command("command -v tshark setpriv ss >/dev/null") != 0) GTEST_SKIP() << "needs tshark, setpriv and ss";
    const temp_dir home;
    const std::string dir = home.path + std::string("/.local/lib/wireshark/extcap");
    std::error_code e;
    std::filesystem::create_directories(dir, e);
    std::filesystem::create_symlink(VANTRY_BIN_DIR "/vantry_collector", dir + "/vantry_collector", e);
    ASSERT_FALSE(e) << e.message();
    ASSERT_EQ(chmod(home.path, 0755), 0);
    const std::string tshark = "exec env HOME=" + std::string(home.path) + " WIRESHARK_EXTCAP_DIR=" + dir +
                               (geteuid() ? "" : " setpriv --reuid nobody --regid nogroup --clear-groups") + " tshark ";
    std::string out;
    ASSERT_EQ(run_command(tshark + "-D 2>/dev/null", &out), 0);
    EXPECT_TRUE(has(out, ". vantry (Vantry remote tap collector)\n")) << out;
    const std::string key(64, 'e');
    const struct {
        std::vector<std::string> tap;
        std::string field;  // of the collector, as tshark -o sets it
    } rows[] = {{{"-K"}, "disableencryption:true"}, {{"-k", "e2e-key"}, "extcapkey:e2e-key"},
                {{"-A", "-k", key}, "authenticated:true -o extcap.vantry.extcapkey:" + key}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.field);
        const std::string port = std::to_string(free_port()), in = std::to_string(free_port());
        const auto bound = [&] { return run_command("ss -Huln 'sport = :" + port + "'", &out) == 0 && !out.empty(); };
        child tap, shark;
        std::vector<std::string> args = {"-t", in, "-c", "127.0.0.1:" + port};
        args.insert(args.end(), row.tap.begin(), row.tap.end());
        ASSERT_TRUE(tap_start(&tap, args)) << out_of(tap);
        ASSERT_EQ(start(&shark, "sh", {"-c", tshark + "-l -i vantry -o extcap.vantry.port:" + port +
                                                 " -o extcap.vantry." + row.field +
                                                 " -c 3 -T fields -e frame.interface_name -e data.data"}), 0);
        ASSERT_TRUE(poll_until(10000, bound)) << err_of(shark);
        udp_socket src;
        ASSERT_EQ(udp_open(&src), 0);
        std::string want;
        for (int i = 0; i < 3; ++i) {  // Ethernet type 0x88b5: tshark shows the payload as it is
            const bytes payload = pattern(40 + 500 * i, std::uint8_t(i));
            udp_send(src, tzsp(ethernet(0x88b5, payload)), std::uint16_t(std::stoi(in)));
            want += "tap 0 from 127.0.0.1\t" + hex_text(payload) + "\n";
        }
        ASSERT_EQ(status_within(&shark, 20000), 0) << err_of(shark);
        const std::regex name(R"(( run [0-9a-f]{8})?( from [^:]+):\d+\t)");  // a sealed source's run, the port
        EXPECT_EQ(std::regex_replace(out_of(shark), name, "$2\t"), want);
        EXPECT_FALSE(has(err_of(shark), "Error by extcap")) << err_of(shark);
        EXPECT_TRUE(poll_until(5000, [&] { return !bound(); })) << "the collector still runs";
        tap_stop(&tap);
    }
}

// A sealed tap run recorded on the way, then sent again: each datagram from a port of its own still makes one source
// (its run, not its sender), a replay within the run is refused, and so is the whole recording by a collector
// restarted on the same state folder; a collector without that memory refuses it once it is past --max-age. With four
// workers a replay from another port reaches another worker, and is refused all the same.
TEST(CollectorE2E, ARecordedSealedRunIsRefusedByARestartedCollector)
{
    const std::string key(64, 'c');
    const temp_dir state;
    udp_socket rx, src;
    ASSERT_EQ(udp_open(&rx) | udp_open(&src), 0);
    std::vector<bytes> recorded(3);
    {
        child tap;
        const std::uint16_t in = free_port();
        ASSERT_TRUE(tap_start(&tap, {"-A", "-k", key, "-t", std::to_string(in), "-c", "127.0.0.1:" + std::to_string(rx.port)}))
            << out_of(tap);
        for (std::size_t i = 0; i < recorded.size(); ++i) {
            udp_send(src, tzsp(pattern(60, std::uint8_t(i))), in);
            do {
                ASSERT_TRUE(udp_receive(rx, &recorded[i], 5000));
            } while (recorded[i][sealed_kind_offset] != sealed_kind_frames);  // the tap's statistics are not frames
        }
        tap_stop(&tap);
    }
    const auto recorded_at = steady_clock::now();
    const struct {
        const char* state;
        std::vector<std::string> more;
        int replays;  // of the first datagram, each from a port of its own, so to any worker
        std::size_t written;
        const char* said;
    } rows[] = {
        {state.path, {}, 4, 3, "refused: 0 not authentic, 4 replayed, 0 older than the window, 0 past --max-age"},
        {state.path, {}, 0, 0, "refused: 0 not authentic, 3 replayed"},
        {nullptr, {"--max-age", "1"}, 0, 0, "3 past --max-age"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.said);
        const temp_dir empty;
        std::vector<std::string> args = {"-A", "-k", key, "-s", row.state ? row.state : empty.path, "-j", "4", "-v",
                                         "-w", "-"};
        args.insert(args.end(), row.more.begin(), row.more.end());
        if (!row.state) poll_until(5000, [&] { return steady_clock::now() - recorded_at > 2100ms; });
        child col;
        const std::uint16_t port = collector_start(&col, args);
        ASSERT_NE(port, 0) << err_of(col);
        std::vector<bytes> sends = recorded;
        sends.insert(sends.end(), std::size_t(row.replays), recorded[0]);
        for (const bytes& d : sends) {
            udp_socket from;
            ASSERT_EQ(udp_open(&from), 0);
            udp_send(from, d, port);
        }
        EXPECT_TRUE(wait_output(&col, "Datagram of ", 5000, int(sends.size()))) << err_of(col);
        signal_child(col, SIGTERM);
        EXPECT_EQ(status_within(&col, 5000), 0);
        EXPECT_EQ(pcap_of(out_of(col)).size(), row.written);
        EXPECT_TRUE(has(err_of(col), row.said)) << err_of(col);
        EXPECT_EQ(count_of(err_of(col), "New source"), row.written ? 1 : 0) << err_of(col);
    }
}

// Two datagrams of tap 7: the collector's GET /metrics passes promtool, and the real prometheus, scraping it every
// second, answers a query for the frames with tap 7's series. Other paths are 404, other methods 405, long headers 431.
TEST(CollectorE2E, PrometheusScrapesTheFramesOfEachSource)
{
    if (run_command("command -v prometheus promtool") != 0) GTEST_SKIP() << "no prometheus: apt-get install prometheus";
    const temp_dir dir;
    child c, p;
    udp_socket from;
    const std::uint16_t port = fleet_collector(&c, "-w " + std::string(dir.path) + "/f.pcapng --metrics 127.0.0.1:0");
    const std::string url = "http://127.0.0.1:" + std::to_string(metrics_port(c)), curl = "curl -s -m 5 ";
    ASSERT_NE(port, 0) << err_of(c);
    ASSERT_EQ(udp_open(&from), 0);
    for (int i = 0; i < 2; ++i) udp_send(from, tap_datagram(7, {ethernet(0x88b5, pattern(60, 1))}), port);
    const std::string want = "vantry_collector_frames_total{tap=\"7\",sender=\"127.0.0.1:" +
                             std::to_string(from.port) + "\",run=\"\"} 2\n";
    std::string text, got;
    EXPECT_TRUE(poll_until(5000, [&] { return run_command(curl + url + "/metrics", &text) == 0 && has(text, want); }))
        << text;
    EXPECT_EQ(run_command(curl + url + "/metrics | promtool check metrics"), 0);
    EXPECT_EQ(run_command(curl + "-o /dev/null -w '%{http_code}' " + url + "/x", &got), 0);
    EXPECT_EQ(got, "404");
    EXPECT_EQ(run_command(curl + "-o /dev/null -w '%{http_code}' -X POST " + url + "/metrics", &got), 0);
    EXPECT_EQ(got, "405");
    EXPECT_EQ(run_command(curl + "-o /dev/null -w '%{http_code}' -H \"X: $(head -c 9000 /dev/zero | tr '\\0' a)\" " +
                          url + "/metrics", &got), 0);
    EXPECT_EQ(got, "431");
    const std::string web = "127.0.0.1:" + std::to_string(free_port()), config = dir.path + std::string("/p.yml");
    std::ofstream(config) << "global: {scrape_interval: 1s}\nscrape_configs:\n  - job_name: vantry\n"
                             "    static_configs: [{targets: ['" + url.substr(7) + "']}]\n";
    ASSERT_EQ(start(&p, "prometheus", {"--config.file=" + config, "--storage.tsdb.path=" + std::string(dir.path) +
                                       "/tsdb", "--web.listen-address=" + web}), 0);
    const std::string query = curl + "'http://" + web + "/api/v1/query?query=vantry_collector_frames_total'";
    EXPECT_TRUE(poll_until(30000, [&] { return run_command(query, &got) == 0 && has(got, "\"tap\":\"7\"") &&
                                              has(got, "\"2\"]"); })) << got << err_of(p);
}

// Eight clients that say nothing fill the bound: a ninth is closed at once, a second collector cannot take the port,
// and the datagrams are still received (the collector ends at its count).
TEST(CollectorE2E, SilentMetricsClientsNeverStallReceivingAndThoseBeyondTheBoundAreClosed)
{
    child c;
    udp_socket from;
    const std::uint16_t port = fleet_collector(&c, "-c 3 -w /dev/null --metrics 0");
    ASSERT_NE(port, 0) << err_of(c);
    int silent[metrics_connections_max + 1];
    for (int& fd : silent) fd = tcp_connect(metrics_port(c));
    pollfd last{silent[metrics_connections_max], POLLIN, 0};
    char b = 0;
    EXPECT_EQ(poll(&last, 1, 3000), 1);
    EXPECT_EQ(read(last.fd, &b, 1), 0);  // closed, not answered
    child taken;  // a second collector on the same metrics port ends at start
    ASSERT_EQ(start(&taken, VANTRY_BIN_DIR "/vantry_collector", {"-p", "0", "-K", "-w", "/dev/null", "--metrics",
                                                                  std::to_string(metrics_port(c))}), 0);
    EXPECT_EQ(status_within(&taken, 5000), 1) << err_of(taken);
    ASSERT_EQ(udp_open(&from), 0);
    for (int i = 0; i < 3; ++i) udp_send(from, tap_datagram(7, {ethernet(0x88b5, pattern(60, 1))}), port);
    EXPECT_EQ(status_within(&c, 5000), 0) << err_of(c);
    for (const int fd : silent) close(fd);
}

// Datagrams sent to a stopped collector with a small receive buffer: the system's drops show, by /proc/net/udp.
TEST(CollectorE2E, TheSystemsReceiveDropsAreCounted)
{
    child c;
    udp_socket from;
    const std::uint16_t port = collector_start(&c, {"-K", "-r", "4096", "-w", "/dev/null", "--metrics", "0"});
    ASSERT_NE(port, 0) << err_of(c);
    ASSERT_EQ(udp_open(&from), 0);
    ASSERT_EQ(signal_child(c, SIGSTOP), 0);
    for (int i = 0; i < 100; ++i) udp_send(from, tap_datagram(7, {ethernet(0x88b5, pattern(1000, 1))}), port);
    ASSERT_EQ(signal_child(c, SIGCONT), 0);
    std::string text;
    EXPECT_EQ(run_command("curl -s -m 5 http://127.0.0.1:" + std::to_string(metrics_port(c)) + "/metrics", &text), 0);
    EXPECT_TRUE(has(text, "\nvantry_collector_receive_drops_total ")) << text;
    EXPECT_FALSE(has(text, "\nvantry_collector_receive_drops_total 0\n")) << text;
}

// tshark, a PCAP over IP reader of its own, reads the frames sent once it connected, byte for byte and stamped.
TEST(CollectorE2E, TsharkReadsTheFramesOverPcapOverIp)
{
    const temp_dir dir;
    child c, reader;
    udp_socket from;
    const std::string file = dir.path + std::string("/t.pcap"), at = "PCAP over IP at 127.0.0.1:";
    const std::uint16_t port = fleet_collector(&c, "-v -w /dev/null --pcap-over-ip 127.0.0.1:0");
    ASSERT_NE(port, 0) << out_of(c) << err_of(c);
    ASSERT_TRUE(wait_output(&c, at, 5000)) << out_of(c);
    const std::string tcp = "TCP@127.0.0.1:" + std::to_string(std::atoi(out_of(c).c_str() + out_of(c).find(at) + at.size()));
    ASSERT_EQ(start(&reader, "tshark", {"-i", tcp, "-c", "2", "-F", "pcap", "-w", file}), 0);
    ASSERT_TRUE(wait_output(&c, "PCAP over IP client 127.0.0.1:", 10000)) << out_of(c) << err_of(reader);
    const std::vector<bytes> frames = {ethernet(0x88b5, pattern(60, 1)), ethernet(0x88b5, pattern(1400, 2))};
    ASSERT_EQ(udp_open(&from), 0);
    udp_send(from, tap_datagram(7, frames), port);
    ASSERT_EQ(status_within(&reader, 10000), 0) << err_of(reader);
    const std::vector<wire_record> got = pcap_of(file_text(file));
    ASSERT_EQ(got.size(), frames.size());
    for (std::size_t i = 0; i < frames.size(); ++i) EXPECT_EQ(got[i].frame, frames[i]) << i;
    for (std::size_t i = 0; i < frames.size(); ++i) EXPECT_EQ(got[i].ts_sec, frames[i].size()) << i;
}

// A PCAP over IP client that connects and never reads holds nothing up: of 24 MB of frames (more than its queue and
// both ends' socket buffers) every one the collector received reaches the file, and what the client's queue could not
// take is dropped for it alone, and counted.
TEST(CollectorE2E, AClientThatNeverReadsSlowsNothing)
{
    constexpr int count = 16000;
    child c;
    udp_socket from;
    const std::string at = "PCAP over IP at 127.0.0.1:";
    const std::uint16_t port =
        collector_start(&c, {"-K", "-v", "-r", "8388608", "--pcap-over-ip", "127.0.0.1:0", "-w", "-"});
    ASSERT_NE(port, 0) << err_of(c);
    ASSERT_TRUE(wait_output(&c, at, 5000)) << err_of(c);
    const int idle = tcp_connect(std::uint16_t(std::atoi(err_of(c).c_str() + err_of(c).find(at) + at.size())));
    ASSERT_GE(idle, 0);
    ASSERT_TRUE(wait_output(&c, "PCAP over IP client 127.0.0.1:", 5000)) << err_of(c);
    ASSERT_EQ(udp_open(&from), 0);
    for (int i = 0; i < count; ++i) udp_send(from, tap_datagram(7, {ethernet(0x88b5, pattern(1500, std::uint8_t(i)))}), port);
    poll_until(10000, [&] { return pcap_of(out_of(c)).size() >= std::size_t(count); });
    signal_child(c, SIGTERM);
    EXPECT_EQ(status_within(&c, 10000), 0) << err_of(c);
    close(idle);
    const std::string said = err_of(c), received = "Received ";
    const std::size_t got = pcap_of(out_of(c)).size();
    EXPECT_EQ(std::to_string(got) + " datagrams", said.substr(said.find(received) + received.size(),
                                                               std::to_string(got).size() + 10)) << said;
    EXPECT_GT(got, std::size_t(count / 2));
    EXPECT_TRUE(has(said, "PCAP over IP: 1 clients served, ")) << said;
    EXPECT_FALSE(has(said, "served, 0 frames dropped")) << said;
}
