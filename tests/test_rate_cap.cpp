// The rate cap: the text of -R, and what a capped batch puts on the wire under a steady excess, window by window.
#include <gtest/gtest.h>
#include <numeric>
#include "forward/rate_cap.h"
#include "wire/sealed_datagram.h"
#include "forward/tap_batch.h"
#include "tests/test_support.h"

TEST(RateCap, ReadsPositiveMegabitsWithDecimalsAndRefusesTheRest)
{
    const struct { const char* text; std::uint64_t bits; } rows[] = {  // bits 0: refused
        {.text = "50", .bits = 50000000}, {.text = "0.5", .bits = 500000}, {.text = ".25", .bits = 250000},
        {.text = "7.", .bits = 7000000}, {.text = "0.0000019", .bits = 1}, {.text = "1000000", .bits = 1000000000000},
        {.text = "1000000.000001", .bits = 0}, {.text = "99999999999999999999999", .bits = 0}, {.text = "0", .bits = 0},
        {.text = "0.0000009", .bits = 0}, {.text = "", .bits = 0}, {.text = ".", .bits = 0}, {.text = "-5", .bits = 0},
        {.text = "1e3", .bits = 0}, {.text = "5 ", .bits = 0}, {.text = "1.2.3", .bits = 0}};
    for (const auto& r : rows) {
        std::uint64_t bits = 0;
        EXPECT_EQ(rate_cap_parse_mbits(r.text, &bits), r.bits ? 0 : -1) << r.text;
        EXPECT_EQ(bits, r.bits) << r.text;
    }
}

// Frames offered on a fake clock to a capped batch whose queue is never sent: each datagram pushed counts, with its
// IP and UDP headers, in the millisecond it left in. Jumbo frames cost more than the whole bucket.
TEST(RateCap, EveryWindowOfASteadyExcessKeepsToTheCap)
{
    const struct { std::uint64_t cap_bits, offered_bits; std::uint32_t frame; bool sealed = false; } rows[] = {
        {.cap_bits = 100000000, .offered_bits = 1000000000, .frame = 1514},
        {.cap_bits = 1000000, .offered_bits = 10000000, .frame = 64},
        {.cap_bits = 5000000, .offered_bits = 50000000, .frame = 9000},
        // Sealed at --mtu 1500: each frame in pieces pays for every datagram it spans.
        {.cap_bits = 20000000, .offered_bits = 200000000, .frame = 9000, .sealed = true}};
    constexpr std::size_t run_ms = 6000;
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message() << r.cap_bits << " bit/s, frames of " << r.frame);
        loopback_collector never;  // its sender, with a queue that is emptied before it would send
        sealed_sender sealing;
        const std::uint8_t master[sealed_key_size] = {7};
        if (r.sealed) {
            ASSERT_EQ(sealed_crypto_init() | sealed_sender_open(&sealing, master), 0);
            never.sender.encrypt = true;
            never.sender.sealed = &sealing;
            never.sender.path_mtu = 1500;
        }
        const auto queue = std::make_unique<send_queue>();
        const auto batch = std::make_unique<tap_batch>();
        rate_cap cap;
        rate_cap_init(cap, r.cap_bits, net_udp_overhead(net_peer{}));
        tap_batch_init(*batch, 1, &never.sender, queue.get());
        batch->cap = &cap;
        const bytes frame = pattern(r.frame, 1);
        std::vector<std::uint64_t> bits_in_ms(run_ms);
        std::uint64_t offered = 0, taken = 0;
        for (double us = 0; us < run_ms * 1000.0; us += r.frame * 8e6 / r.offered_bits, ++offered) {
            rate_cap_advance(cap, static_cast<std::uint64_t>(us));
            taken += tap_batch_add(*batch, 0, 0, r.frame, r.frame, nullptr, frame.data());
            for (int i = 0; i < queue->count; ++i)
                bits_in_ms[static_cast<std::size_t>(us / 1000)] += 8 * (queue->waiting[i].len + net_udp_overhead(net_peer{}));
            queue->count = 0;
        }
        EXPECT_EQ(cap.left_out, offered - taken);
        std::vector<std::uint64_t> upto(run_ms + 1);  // bits sent before each millisecond
        std::partial_sum(bits_in_ms.begin(), bits_in_ms.end(), upto.begin() + 1);
        EXPECT_LE(upto[run_ms], r.cap_bits * run_ms / 1000 + cap.depth / 1000000 + 8 * (r.frame + 48))
            << "every byte on the wire is charged: no more than the bucket ever held";
        const auto in_windows = [&](std::size_t ms) {  // the bits of every window ms long, in order
            std::vector<std::uint64_t> sums(run_ms - ms + 1);
            std::transform(upto.begin() + ms, upto.end(), upto.begin(), sums.begin(), std::minus<>());
            return sums;
        };
        EXPECT_LE(std::ranges::max(in_windows(100)), r.cap_bits / 10 * 5 / 4);
        EXPECT_GE(std::ranges::min(in_windows(5000)), r.cap_bits * 5 * 95 / 100);
        EXPECT_LE(std::ranges::max(in_windows(5000)), r.cap_bits * 5 * 105 / 100);
        if (r.sealed) sealed_cipher_close(&sealing.cipher);
    }
}
