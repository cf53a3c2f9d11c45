// The receiver-clock check's road for each timestamp: unwrapped from 48 bits (or read as
// GPS time), told for a step back or a jump, and ranked within its interval so that the
// least-delayed pair of each joins the window.
#include "decode/clock_check.h"

#include <algorithm>
#include <cmath>

#include "base/mode_s_format.h"

namespace {

constexpr uint64_t kCountMask = (uint64_t{1} << 8 * kBeastTimestampBytes) - 1;
constexpr uint64_t kCountHalf = (kCountMask >> 1) + 1;
constexpr uint64_t kGpsNanoMask = (1ull << 30) - 1;
constexpr uint64_t kNanosPerSecond = kClockSecondNs;
constexpr double kNsPerS = 1e9;

// A step this far off the computer's clock is a jump, not delay.
constexpr double kJumpS = 1.0;
// No receiver clock runs faster than the GPS form's 1 GHz: a forward step of more than
// twice that per second of arrival time is a jump whatever the rate, with kJumpS of slack
// because the messages of one chunk share one arrival time.
constexpr double kFastestStepHz = 2e9;
// A receiver reorders now and then; several receivers in one stream step back far more.
constexpr uint32_t kMergeMinDisorder = 8;
constexpr double kMergeShare = 0.01;

// The rate used before a fit exists: the setting, or the Beast's own 12 MHz.
double rough_hz(const ClockCheck& check) {
    if (check.window.fitted_hz > 0)
        return check.window.fitted_hz;
    if (check.gps.found)
        return kNsPerS;
    return check.setting_hz > 0 ? check.setting_hz : 12e6;
}

// Unwrapped counts saturate: crafted steps, each plausible, must not overflow them.
int64_t count_add(int64_t count, int64_t step) {
    if (step > 0 && count > INT64_MAX - step)
        return INT64_MAX;
    if (step < 0 && count < INT64_MIN - step)
        return INT64_MIN;
    return count + step;
}

void interval_add(ClockCheck& check, const ClockPair& pair) {
    ClockInterval& interval = check.interval;
    clock_interval_close_due(interval, check.window, pair.arrival_ns);
    if (!interval.open) {
        interval.open = true;
        interval.end_ns = pair.arrival_ns + kClockIntervalNs;
        interval.first = pair;
        interval.best = pair;
        interval.best_delay_s = 0;
        return;
    }
    // Delay relative to the interval's first pair; within one second a rough rate is
    // close enough to rank the pairs.
    double delay_s = static_cast<double>(pair.arrival_ns - interval.first.arrival_ns) / kNsPerS -
                     static_cast<double>(pair.count - interval.first.count) / rough_hz(check);
    if (delay_s < interval.best_delay_s) {
        interval.best_delay_s = delay_s;
        interval.best = pair;
    }
}

void note_step(ClockCheck& check, int64_t now_ns, bool disorder) {
    ClockDisorder& buckets = check.disorder;
    int64_t second = now_ns / static_cast<int64_t>(kNanosPerSecond);
    size_t slot = static_cast<size_t>(second % kClockDisorderSeconds);
    if (buckets.second[slot] != second) {
        buckets.second[slot] = second;
        buckets.steps[slot] = 0;
        buckets.disordered[slot] = 0;
    }
    ++buckets.steps[slot];
    if (disorder) {
        ++buckets.disordered[slot];
        ++check.reset.disorder_since_jump;
    }
}

// GPS form: seconds in the top bits, nanoseconds (always below 10^9) in the low 30, and
// the seconds field carried about once a second. A 12 or 20 MHz count carries its bit 30
// only once a minute or so, and its low bits pass 10^9 before each carry.
void watch_gps_form(ClockCheck& check, uint64_t raw, int64_t now_ns) {
    ClockGpsForm& gps = check.gps;
    uint64_t nanos = raw & kGpsNanoMask;
    if (nanos >= kNanosPerSecond) {
        gps.carries = 0;
        gps.carry_ns = -1;
        if (gps.found) {
            gps.found = false;
            clock_check_restart(check);
        }
        return;
    }
    if (!check.unwrap.have_last || gps.found)
        return;
    uint64_t last_raw = check.unwrap.last_raw;
    bool carried = (raw >> 30) == (last_raw >> 30) + 1 && nanos < (last_raw & kGpsNanoMask);
    if (!carried)
        return;
    int64_t since = now_ns - gps.carry_ns;
    bool about_a_second =
        gps.carry_ns >= 0 && since > kClockIntervalNs / 2 && since < kClockIntervalNs * 3 / 2;
    gps.carries = about_a_second ? gps.carries + 1 : 0;
    gps.carry_ns = now_ns;
    if (gps.carries >= 2) {
        gps.found = true;
        clock_check_restart(check);
    }
}

// The count for the fit: the raw ticks, or GPS time in nanoseconds.
uint64_t as_count(const ClockCheck& check, uint64_t raw) {
    if (!check.gps.found)
        return raw;
    return (raw >> 30) * kNanosPerSecond + (raw & kGpsNanoMask);
}

const ClockPair& pair_at(const ClockWindow& window, int index) {
    return window.pairs[static_cast<size_t>((window.head + index) % kClockWindowPairs)];
}

// Adds a pair at the window's end; when it is full, the oldest pair leaves.
void window_push(ClockWindow& window, const ClockPair& pair) {
    if (window.size == kClockWindowPairs) {
        window.head = (window.head + 1) % kClockWindowPairs;
        --window.size;
    }
    window.pairs[static_cast<size_t>((window.head + window.size) % kClockWindowPairs)] = pair;
    ++window.size;
}

// The first timestamp, or the first after a jump: the count starts from it.
void start_count(ClockCheck& check, uint64_t raw, int64_t now_ns) {
    check.unwrap.have_last = true;
    check.unwrap.last_raw = raw;
    check.unwrap.count = static_cast<int64_t>(as_count(check, raw));
    check.unwrap.last_arrival_ns = now_ns;
    interval_add(check, {check.unwrap.count, now_ns});
}

}  // namespace

std::span<const ClockPair> clock_window_in_order(const ClockWindow& window,
                                                 std::span<ClockPair, kClockWindowPairs> ordered) {
    for (int i = 0; i < window.size; ++i)
        ordered[static_cast<size_t>(i)] = pair_at(window, i);
    return std::span<const ClockPair>(ordered).first(static_cast<size_t>(window.size));
}

void clock_interval_close_due(ClockInterval& interval, ClockWindow& window, int64_t now_ns) {
    if (interval.open && now_ns >= interval.end_ns) {
        window_push(window, interval.best);
        interval.open = false;
    }
}

bool clock_disorder_merged(const ClockDisorder& disorder, int64_t now_ns) {
    int64_t second = now_ns / static_cast<int64_t>(kNanosPerSecond);
    uint64_t steps = 0;
    uint64_t disordered = 0;
    for (size_t i = 0; i < kClockDisorderSeconds; ++i) {
        if (second - disorder.second[i] < kClockDisorderSeconds) {
            steps += disorder.steps[i];
            disordered += disorder.disordered[i];
        }
    }
    return disordered >= kMergeMinDisorder &&
           static_cast<double>(disordered) >= kMergeShare * static_cast<double>(steps);
}

void clock_check_restart(ClockCheck& check) {
    check.unwrap.have_last = false;
    check.interval.open = false;
    check.window.head = 0;
    check.window.size = 0;
    check.window.fitted_hz = 0;
}

void clock_check_timestamp(ClockCheck& check, uint64_t timestamp, int64_t now_ns) {
    uint64_t raw = timestamp & kCountMask;
    ++check.stream.timestamps;
    check.stream.last_timestamp_ns = now_ns;
    watch_gps_form(check, raw, now_ns);
    ClockUnwrap& unwrap = check.unwrap;
    if (!unwrap.have_last) {
        start_count(check, raw, now_ns);
        return;
    }
    // The 48-bit count wraps; the shorter way round is the step taken. (GPS time wraps
    // at midnight, which shows as a reset.)
    bool gps = check.gps.found;
    uint64_t modulus = gps ? ((kCountMask >> 30) + 1) * kNanosPerSecond : kCountMask + 1;
    uint64_t step =
        gps ? (as_count(check, raw) + modulus - as_count(check, unwrap.last_raw)) % modulus
            : (raw - unwrap.last_raw) & kCountMask;  // no division for a count
    int64_t signed_step = step < std::min(kCountHalf, modulus / 2)
                              ? static_cast<int64_t>(step)
                              : static_cast<int64_t>(step) - static_cast<int64_t>(modulus);
    double arrival_s = static_cast<double>(now_ns - unwrap.last_arrival_ns) / kNsPerS;
    double off_s = static_cast<double>(signed_step) / rough_hz(check) - arrival_s;
    // Before a rate is fitted, a wrong setting can make ordinary steps look long; only a
    // step back, or forward faster than any clock, can be told for a jump then.
    bool too_fast =
        static_cast<double>(signed_step) > kFastestStepHz * (std::max(arrival_s, 0.0) + kJumpS);
    bool jump =
        too_fast || (std::fabs(off_s) > kJumpS && (check.window.fitted_hz > 0 || signed_step < 0));
    note_step(check, now_ns, signed_step < 0 || jump);
    unwrap.last_raw = raw;
    unwrap.last_arrival_ns = now_ns;
    if (jump) {
        // One jump starts the measurement again; whether it was a reset or one of many
        // receivers' clocks shows in the steps that follow.
        clock_check_restart(check);
        start_count(check, raw, now_ns);
        check.reset.pending_ns = now_ns;
        check.reset.disorder_since_jump = 0;
        return;
    }
    unwrap.count = count_add(unwrap.count, signed_step);
    interval_add(check, {unwrap.count, now_ns});
}
