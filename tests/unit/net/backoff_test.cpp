#include "net/backoff.h"

#include <gtest/gtest.h>

namespace {

TEST(Backoff, DoublesToAMinuteWithinTheJitterAndStartsAgainAfterAMinuteUp) {
    Backoff backoff;
    for (int64_t step : {1000, 2000, 4000, 8000, 16000, 32000, 60000, 60000}) {
        for (double chance : {0.0, 0.3, 0.999999}) {
            Backoff copy = backoff;
            int64_t wait = backoff_next_wait_ms(copy, 0, chance);
            EXPECT_GE(wait, step * 8 / 10) << step;
            EXPECT_LE(wait, step * 12 / 10) << step;
        }
        EXPECT_EQ(backoff_next_wait_ms(backoff, 0, 0.0), step * 8 / 10);
    }
    // A connection up for less than a minute goes on with the sequence; one up for a
    // minute, or a reset, starts it again.
    backoff_connected(backoff, 1000);
    EXPECT_EQ(backoff_next_wait_ms(backoff, 60999, 0.5), 60000);
    backoff_connected(backoff, 1000);
    EXPECT_EQ(backoff_next_wait_ms(backoff, 61000, 0.5), 1000);
    backoff_reset(backoff);
    EXPECT_EQ(backoff_next_wait_ms(backoff, 0, 0.5), 1000);
}

}  // namespace
