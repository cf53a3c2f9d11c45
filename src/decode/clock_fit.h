// The receiver-clock fit: a straight line of the receiver's count against the computer's
// arrival time, through the least-delayed pairs the check keeps, fitted again without the
// pairs that a long stall left far late.
//
// A pure computation over a span of pairs; its scratch space is fixed in size.
#pragma once

#include <cstdint>
#include <span>

constexpr int64_t kClockSecondNs = 1'000'000'000;
// The fit takes at most this many pairs: the check's window of five minutes, one a second.
constexpr int kClockWindowPairs = 300;

struct ClockPair {
    int64_t count = 0;       // unwrapped receiver ticks
    int64_t arrival_ns = 0;  // the computer's monotonic clock
};

struct ClockFit {
    bool ok = false;       // a rising line through three pairs or more
    double hz = 0;         // the slope: receiver ticks per second of arrival time
    double intercept = 0;  // ticks at the first pair's arrival, from the first pair's count
    double se_hz = 0;      // standard error of the slope
    double spread_s = 0;   // RMS distance of the pairs kept from the line, in seconds
    double window_s = 0;   // span of the arrival times of the pairs kept
    int used = 0;          // pairs kept
};

// Least squares through `pairs`, oldest first (beyond kClockWindowPairs, the rest is left
// out); then, up to twice, again without the pairs that lie far late of the line.
ClockFit clock_fit(std::span<const ClockPair> pairs);
