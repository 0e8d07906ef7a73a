// The collector as the receiving end of a fleet: three taps read back by tshark; rotation by size on a long run.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <filesystem>
#include <sstream>
#include "tests/e2e/process.h"

namespace {
struct temp_dir {
    char path[32] = "/tmp/vantry-e2e-col-XXXXXX";
    const bool made = mkdtemp(path) != nullptr;
    ~temp_dir() { std::filesystem::remove_all(path); }
};
// A clear Tap datagram from tap id of frames, each stamped with its length as seconds.
bytes tap_datagram(std::uint16_t id, const std::vector<bytes>& frames)
{
    bytes d(tap_header_size);
    tap_write_header(d.data(), id);
    d[tap_count_offset] = static_cast<std::uint8_t>(frames.size());
    for (const bytes& f : frames) {
        std::uint8_t h[tap_record_header_size];
        tap_write_record_header(h, std::uint32_t(f.size()), 0, std::uint16_t(f.size()), std::uint16_t(f.size()));
        d = cat({d, bytes(h, h + sizeof h), f});
    }
    return d;
}
// Starts the collector (through sh, so that "-w -" can be piped) and waits until it listens: its port, or 0.
std::uint16_t start(scoped_child* c, const std::string& args, const std::string& pipe = "")
{
    const std::string cmd = VANTRY_BIN_DIR "/vantry_collector -p 0 -K " + args + pipe, listening = "UDP port ";
    if (process_start(&c->proc, "/bin/sh", {"-c", cmd}) || !process_wait_output(&c->proc, listening, 5000)) return 0;
    const std::string out = process_stdout(c->proc) + process_stderr(c->proc);  // "-w -": the log on stderr
    return static_cast<std::uint16_t>(std::atoi(out.c_str() + out.find(listening) + listening.size()));
}
const char digits[] = "0123456789abcdef";  // data.data as tshark prints it
std::string hex(const bytes& d) { std::string s; for (auto v : d) s += {digits[v >> 4], digits[v & 15]}; return s; }
}  // namespace

// To a file and to standard output piped into tshark: tap 7, 8, 9 from 127.0.0.1, .2, .3 are interfaces 0, 1, 2.
TEST(CollectorE2E, ThreeTapsAreThreeInterfacesForTshark)
{
    const temp_dir dir;
    const std::string file = std::string(dir.path) + "/f.pcapng", fields = " -T fields -e frame.interface_id"
        " -e frame.interface_name -e data.data 2>/dev/null";
    for (const std::string& pipe : {" -w " + file, " -w - | tshark -r -" + fields}) {
        SCOPED_TRACE(pipe);
        scoped_child c;
        udp_socket from[3];
        const std::uint16_t port = start(&c, "-c 6", pipe);
        ASSERT_NE(port, 0) << process_stdout(c.proc) << process_stderr(c.proc);
        std::string want;
        for (int i = 0; i < 6; ++i) {  // tap ethernet type 0x88b5: tshark shows the payload as it is
            const int t = i % 3;
            ASSERT_TRUE(i >= 3 || udp_open(&from[t], ("127.0.0." + std::to_string(t + 1)).c_str()) == 0);
            const bytes payload = pattern(50 + 333 * i, std::uint8_t(i));
            udp_send(from[t], tap_datagram(std::uint16_t(7 + t), {ethernet({0x88b5}, payload)}), port);
            want += std::to_string(t) + "\ttap " + std::to_string(7 + t) + " from 127.0.0." + std::to_string(t + 1) +
                    ":" + std::to_string(from[t].port) + "\t" + hex(payload) + "\n";
        }
        ASSERT_EQ(process_finish(&c.proc, 10000), 0);
        std::string got = process_stdout(c.proc);
        EXPECT_TRUE(pipe != " -w " + file || run_command("tshark -r " + file + fields, &got) == 0);
        EXPECT_EQ(got, want);
    }
}

// -C 1 (a million bytes), 50 datagrams of 40 frames of 1400 bytes, each sent once the one before is written: three
// files, each alone readable, none larger than the limit, every frame in one of them.
TEST(CollectorE2E, RotationBySizeGivesFilesThatEachParse)
{
    const temp_dir dir;
    scoped_child c;
    udp_socket from;
    const std::string base = std::string(dir.path) + "/r.pcapng";
    const std::uint16_t port = start(&c, "-v -C 1 -c 2000 -w " + base);
    ASSERT_TRUE(port != 0 && udp_open(&from) == 0) << process_stdout(c.proc);
    for (int i = 0; i < 50; ++i) {
        udp_send(from, tap_datagram(3, std::vector<bytes>(40, pattern(1400, std::uint8_t(i)))), port);
        ASSERT_TRUE(process_wait_output(&c.proc, "Datagram of 56488 bytes", 5000, i + 1)) << i;
    }
    ASSERT_EQ(process_finish(&c.proc, 5000), 0);
    int frames = 0;
    for (const char* suffix : {"", "1", "2"}) {
        std::string out;
        EXPECT_EQ(run_command("tshark -r " + base + suffix + " -T fields -e frame.cap_len 2>/dev/null", &out), 0);
        EXPECT_LE(std::filesystem::file_size(base + suffix), 1000000u) << suffix;
        for (std::istringstream lines(out); std::getline(lines, out);) frames += out == "1400";
    }
    EXPECT_TRUE(frames == 2000 && !std::filesystem::exists(base + "3")) << frames;
}
