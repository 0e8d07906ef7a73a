// Batched sending end to end: the collector gets the same datagrams, byte for byte but for the time stamps,
// in the same order, whether the tap sends in batches or one per call (VANTRY_SEND_MODE=single).
#include <gtest/gtest.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <unistd.h>

#include <algorithm>

#include "tests/e2e/process.h"

#if defined(VANTRY_TEST_HOOKS)
// Runs the tap (in ns) with args, in clear, batched and then with VANTRY_SEND_MODE=single; feed makes its input.
// Both runs must deliver the same datagrams (time stamps zeroed), carrying frames in order. Their logs.
static std::string batched_and_single(std::vector<std::string> args, const std::vector<bytes>& frames,
                                      const std::function<void()>& feed, const std::string& ns = "")
{
    std::vector<bytes> runs[2];
    std::string logs;
    udp_socket rx;
    EXPECT_EQ(udp_open(&rx, "127.0.0.1", ns), 0);
    args.insert(args.end(), {"-c", "127.0.0.1:" + std::to_string(rx.port), "-K"});
    for (int single = 0; single < 2; ++single) {
        scoped_child tap;
        setenv("VANTRY_SEND_MODE", single ? "single" : "", 1);  // empty: the mode the system offers
        EXPECT_TRUE(tap_start(&tap, args, ns)) << process_stdout(tap.proc);
        feed();
        EXPECT_TRUE(udp_collect(&rx, frames.size() * (single + 1)));  // the records of both runs
        logs += tap_stop(&tap);
        for (bytes& d : rx.datagrams)  // each record's 8 bytes of time stamp zeroed
            for (std::size_t p = 8, i = 0; i < d[6] && p + 12 <= d.size(); ++i, p += 12 + (d[p + 8] << 8 | d[p + 9]))
                std::fill(d.begin() + p, d.begin() + p + 8, 0);
        runs[single] = std::exchange(rx.datagrams, {});
    }
    unsetenv("VANTRY_SEND_MODE");
    std::vector<wire_record> got;
    for (const bytes& d : runs[0]) decode_records(d, &got);
    EXPECT_TRUE(std::ranges::equal(frames, got, {}, {}, &wire_record::frame)) << "frames lost or reordered";
    EXPECT_TRUE(runs[0] == runs[1]) << runs[0].size() << " datagrams batched, " << runs[1].size() << " one by one";
    return logs;
}

// Runs of one datagram size (three 700-byte frames each), then a size that changes with every frame.
TEST(Batch, TzspDatagramsAreTheSameSentInBatchesOrOneByOne)
{
    udp_socket src;
    std::uint16_t port = 0;
    { udp_socket probe; ASSERT_EQ(udp_open(&src) | udp_open(&probe), 0); port = probe.port; }  // freed for the tap
    std::vector<bytes> frames(48, pattern(700, 1));
    for (int i = 0; i < 40; ++i) frames.push_back(pattern(40 + 23 * i, std::uint8_t(i)));
    const auto feed = [&] { for (const bytes& f : frames) udp_send(src, cat({{1, 0, 0, 1, 1}, f}), port); };
    EXPECT_FALSE(has(batched_and_single({"-t", std::to_string(port)}, frames, feed), "refused"));
}

// On an MTU below the tap's 1,534-byte datagrams the kernel refuses to segment them: one line, then batches.
TEST(Batch, CapturedFramesAreTheSameDatagramsAfterSegmentationIsRefused)
{
    const std::string ns = "vbat" + std::to_string(getpid());
    if (geteuid() != 0 || netns_add(ns) || run_command("ip -n " + ns + " link set lo mtu 1500")) GTEST_SKIP() << "root";
    const int inject = netns_call(ns, [] {
        sockaddr_ll sll{AF_PACKET, 0, static_cast<int>(if_nametoindex("lo")), 0, 0, 0, {}};
        const int s = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
        return bind(s, reinterpret_cast<sockaddr*>(&sll), sizeof sll) == 0 ? s : -1;
    });
    std::vector<bytes> frames;  // of an EtherType no stack takes up
    for (int i = 0; i < 40; ++i) frames.push_back(ethernet({0x88b5}, pattern(i < 30 ? 1500 : 31 * i, std::uint8_t(i))));
    const auto feed = [&] { for (const bytes& f : frames) EXPECT_GT(::send(inject, f.data(), f.size(), 0), 0); };
    const std::string logs = batched_and_single({"-i", "lo"}, frames, feed, ns);
    close(inject), netns_delete(ns);
    EXPECT_TRUE(count_of(logs, "refused") == 1 && has(logs, "Segmented sends refused")) << logs;
}
#endif
