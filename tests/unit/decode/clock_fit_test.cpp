#include "decode/clock_fit.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

// Pairs one second apart from a receiver clock of `hz`, each arriving `jitter_us` early
// or late by turns of a small pseudo-random sequence.
std::vector<ClockPair> pairs_on_a_line(int count, double hz, double jitter_us) {
    std::vector<ClockPair> pairs;
    uint64_t random = 11;
    for (int i = 0; i < count; ++i) {
        random = random * 6364136223846793005ull + 1442695040888963407ull;
        double jitter = (static_cast<double>(random >> 40) / (1 << 24) - 0.5) * 2 * jitter_us;
        int64_t sent_ns = i * kClockSecondNs;
        pairs.push_back({1'000'000 + std::llround(static_cast<double>(sent_ns) * hz / 1e9),
                         sent_ns + std::llround(jitter * 1000)});
    }
    return pairs;
}

TEST(ClockFit, FindsTheRateOfPairsOnALine) {
    double hz = 12e6 * (1 + 25.3e-6);  // not a whole number of ticks a second
    std::vector<ClockPair> pairs = pairs_on_a_line(60, hz, 0);
    ClockFit fit = clock_fit(pairs);
    ASSERT_TRUE(fit.ok);
    EXPECT_NEAR(fit.hz, hz, hz * 1e-9);
    EXPECT_EQ(fit.used, 60);
    EXPECT_DOUBLE_EQ(fit.window_s, 59);
    EXPECT_LT(fit.spread_s, 1e-7);  // the counts' rounding alone
    EXPECT_LT(fit.se_hz, hz * 1e-9);
}

// Five pairs of a stalled stretch arrive 300 ms late: they are left out, and the rate
// is that of the others, to a small part of a ppm.
TEST(ClockFit, PairsLeftFarLateByAStallDoNotTiltTheLine) {
    double hz = 20e6 * (1 - 40e-6);
    std::vector<ClockPair> pairs = pairs_on_a_line(100, hz, 20);
    for (int i = 60; i < 65; ++i)
        pairs[static_cast<size_t>(i)].arrival_ns += 300'000'000;
    ClockFit fit = clock_fit(pairs);
    ASSERT_TRUE(fit.ok);
    EXPECT_EQ(fit.used, 95);
    EXPECT_NEAR((fit.hz / hz - 1) * 1e6, 0, 0.2);
    EXPECT_LT(fit.spread_s, 20e-6);
}

// A line needs three pairs and a rising count; a span longer than the window is fitted
// over the window's worth at its start.
TEST(ClockFit, NeedsThreeRisingPairsAndTakesAWindowAtMost) {
    std::vector<ClockPair> pairs = pairs_on_a_line(kClockWindowPairs + 1, 12e6, 5);
    EXPECT_FALSE(clock_fit(std::span(pairs).first(0)).ok);
    EXPECT_FALSE(clock_fit(std::span(pairs).first(2)).ok);
    EXPECT_TRUE(clock_fit(std::span(pairs).first(3)).ok);
    std::vector<ClockPair> flat = {{5, 0}, {5, kClockSecondNs}, {5, 2 * kClockSecondNs}};
    EXPECT_FALSE(clock_fit(flat).ok);

    ClockFit fit = clock_fit(pairs);
    ASSERT_TRUE(fit.ok);
    EXPECT_EQ(fit.used, kClockWindowPairs);
    EXPECT_NEAR(fit.window_s, kClockWindowPairs - 1, 1e-3);
}

}  // namespace
