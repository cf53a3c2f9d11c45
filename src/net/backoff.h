// How long the consumer link waits before its next attempt.
//
// A processing server that restarts must not meet every station at the same second: after
// a failed attempt or a drop the link waits about 1 s, then 2, 4, ... up to 60 s, each
// wait spread by up to 20 % either way. A connection that stayed up for a minute starts
// the sequence again at 1 s. Time and chance are passed in, so the sequence is a pure
// computation.
#pragma once

#include <cstdint>

constexpr int64_t kBackoffFirstMs = 1000;
constexpr int64_t kBackoffLimitMs = 60000;
// A connection up this long counts as settled: the next wait is the first again.
constexpr int64_t kBackoffSettledMs = 60000;
constexpr int kBackoffJitterPercent = 20;

struct Backoff {
    int64_t step_ms = kBackoffFirstMs;  // the next wait before its jitter
    int64_t connected_at_ms = -1;       // when the connection now up came up; -1 when none
};

// A connection came up at `now_ms`.
void backoff_connected(Backoff& backoff, int64_t now_ms);

// An attempt failed, or the connection dropped, at `now_ms`: the wait before the next
// attempt. `chance` in [0, 1) places it within the jitter: 0 gives 20 % less than the
// step, 0.5 the step itself, towards 1 up to 20 % more.
int64_t backoff_next_wait_ms(Backoff& backoff, int64_t now_ms, double chance);

// Starts again at the first wait (the user asked for an attempt now).
void backoff_reset(Backoff& backoff);
