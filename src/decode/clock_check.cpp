#include "decode/clock_check.h"

#include <algorithm>
#include <cmath>

#include "base/mode_s_format.h"

namespace {

constexpr uint64_t kCountMask = 0xFFFFFFFFFFFFull;
constexpr uint64_t kCountHalf = 0x800000000000ull;
constexpr uint64_t kGpsNanoMask = (1ull << 30) - 1;
constexpr uint64_t kNanosPerSecond = 1'000'000'000;
constexpr double kNsPerS = 1e9;

// A step this far off the computer's clock is a jump, not delay.
constexpr double kJumpS = 1.0;
// No receiver clock runs faster than the GPS form's 1 GHz: a forward step of more than
// twice that per second of arrival time is a jump whatever the rate, with kJumpS of slack
// because the messages of one chunk share one arrival time.
constexpr double kFastestStepHz = 2e9;
// A jump is a reset when this long passes after it with the stream in order.
constexpr int64_t kResetQuietNs = 3 * kNanosPerSecond;
constexpr int64_t kResetShownNs = 30 * kNanosPerSecond;
// A receiver reorders now and then; several receivers in one stream step back far more.
constexpr uint32_t kMergeMinDisorder = 8;
constexpr double kMergeShare = 0.01;
// Bytes without a framed line for this long: the mode does not match the receiver.
constexpr int64_t kUnframedNs = 5 * kNanosPerSecond;
// Lines without a timestamp for this long: nothing to measure.
constexpr int64_t kNoTimestampNs = 5 * kNanosPerSecond;
// The stream's look counts only once this many starts were seen.
constexpr uint32_t kLookMinStarts = 20;
// What the bytes look like is read from the first bytes of each chunk only: a sample is
// enough to tell the formats apart, and the whole of a busy stream would cost as much as
// framing it.
constexpr size_t kSniffBytes = 256;

// Judging: the figures needed before each verdict is given.
constexpr int kMinPairs = 5;
constexpr double kWrongSettingPpm = 1000;  // 0.1 %
constexpr double kRightPpm = 5;            // what MLAT servers expect of a Beast
constexpr double kRightSurePpm = 1;
constexpr double kRightMinWindowS = 20;
constexpr double kCommonFitPpm = 100;
constexpr int64_t kCommonHz[] = {12'000'000, 20'000'000, 1'000'000'000};

// The rate used before a fit exists: the setting, or the Beast's own 12 MHz.
double rough_hz(const ClockCheck& check) {
    if (check.fitted_hz > 0)
        return check.fitted_hz;
    if (check.gps)
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

// A pair joins once a second at most, so the oldest leaves by a shift of the rest, and the
// window stays one span for the fit.
void window_push(ClockCheck& check, const ClockPair& pair) {
    if (check.size == kClockWindowPairs) {
        std::copy(check.pairs.begin() + 1, check.pairs.end(), check.pairs.begin());
        --check.size;
    }
    check.pairs[static_cast<size_t>(check.size)] = pair;
    ++check.size;
}

// Ends the interval: its least-delayed pair joins the window.
void interval_close(ClockCheck& check) {
    if (check.interval_open)
        window_push(check, check.interval_best);
    check.interval_open = false;
}

void interval_add(ClockCheck& check, const ClockPair& pair) {
    if (check.interval_open && pair.arrival_ns >= check.interval_end_ns)
        interval_close(check);
    if (!check.interval_open) {
        check.interval_open = true;
        check.interval_end_ns = pair.arrival_ns + kClockIntervalNs;
        check.interval_first = pair;
        check.interval_best = pair;
        check.interval_best_delay_s = 0;
        return;
    }
    // Delay relative to the interval's first pair; within one second a rough rate is
    // close enough to rank the pairs.
    double delay_s =
        static_cast<double>(pair.arrival_ns - check.interval_first.arrival_ns) / kNsPerS -
        static_cast<double>(pair.count - check.interval_first.count) / rough_hz(check);
    if (delay_s < check.interval_best_delay_s) {
        check.interval_best_delay_s = delay_s;
        check.interval_best = pair;
    }
}

void note_step(ClockCheck& check, int64_t now_ns, bool disorder) {
    int64_t second = now_ns / static_cast<int64_t>(kNanosPerSecond);
    size_t slot = static_cast<size_t>(second % kClockDisorderSeconds);
    if (check.bucket_second[slot] != second) {
        check.bucket_second[slot] = second;
        check.bucket_steps[slot] = 0;
        check.bucket_disorder[slot] = 0;
    }
    ++check.bucket_steps[slot];
    if (disorder) {
        ++check.bucket_disorder[slot];
        ++check.disorder_since_jump;
    }
}

bool merged(const ClockCheck& check, int64_t now_ns) {
    int64_t second = now_ns / static_cast<int64_t>(kNanosPerSecond);
    uint64_t steps = 0;
    uint64_t disorder = 0;
    for (size_t i = 0; i < kClockDisorderSeconds; ++i) {
        if (second - check.bucket_second[i] < kClockDisorderSeconds) {
            steps += check.bucket_steps[i];
            disorder += check.bucket_disorder[i];
        }
    }
    return disorder >= kMergeMinDisorder &&
           static_cast<double>(disorder) >= kMergeShare * static_cast<double>(steps);
}

// GPS form: seconds in the top bits, nanoseconds (always below 10^9) in the low 30, and
// the seconds field carried about once a second. A 12 or 20 MHz count carries its bit 30
// only once a minute or so, and its low bits pass 10^9 before each carry.
void watch_gps_form(ClockCheck& check, uint64_t raw, int64_t now_ns) {
    uint64_t nanos = raw & kGpsNanoMask;
    if (nanos >= kNanosPerSecond) {
        check.gps_carries = 0;
        check.gps_carry_ns = -1;
        if (check.gps) {
            check.gps = false;
            clock_check_restart(check);
        }
        return;
    }
    if (!check.have_last || check.gps)
        return;
    bool carried =
        (raw >> 30) == (check.last_raw >> 30) + 1 && nanos < (check.last_raw & kGpsNanoMask);
    if (!carried)
        return;
    int64_t since = now_ns - check.gps_carry_ns;
    bool about_a_second =
        check.gps_carry_ns >= 0 && since > kClockIntervalNs / 2 && since < kClockIntervalNs * 3 / 2;
    check.gps_carries = about_a_second ? check.gps_carries + 1 : 0;
    check.gps_carry_ns = now_ns;
    if (check.gps_carries >= 2) {
        check.gps = true;
        clock_check_restart(check);
    }
}

// The count for the fit: the raw ticks, or GPS time in nanoseconds.
uint64_t as_count(const ClockCheck& check, uint64_t raw) {
    if (!check.gps)
        return raw;
    return (raw >> 30) * kNanosPerSecond + (raw & kGpsNanoMask);
}

int64_t common_frequency(double hz) {
    for (int64_t common : kCommonHz) {
        if (std::fabs(hz / static_cast<double>(common) - 1) * 1e6 <= kCommonFitPpm)
            return common;
    }
    return 0;
}

ClockVerdict judge_rate(const ClockReport& report) {
    if (!report.have_rate || report.pairs < kMinPairs)
        return ClockVerdict::measuring;
    double off = std::fabs(report.offset_ppm);
    if (report.setting_hz <= 0 || off - 3 * report.uncertainty_ppm > kWrongSettingPpm)
        return ClockVerdict::wrong_setting;
    if (report.window_s < kRightMinWindowS || report.uncertainty_ppm > kRightSurePpm)
        return ClockVerdict::measuring;
    return off <= kRightPpm ? ClockVerdict::right : ClockVerdict::clock_off;
}

bool within(int64_t since_ns, int64_t now_ns, int64_t span_ns) {
    return since_ns >= 0 && now_ns - since_ns < span_ns;
}

ClockVerdict judge_stream(ClockCheck& check, const ClockReport& report, int64_t now_ns) {
    if (check.first_bytes_ns < 0 && check.lines == 0 && check.timestamps == 0)
        return ClockVerdict::waiting;
    // Bytes that the mode frames into nothing, or that look like the other format.
    bool bytes_now = within(check.last_bytes_ns, now_ns, 2 * kClockIntervalNs);
    bool unframed = check.first_unframed_ns >= 0 && now_ns - check.first_unframed_ns >= kUnframedNs;
    bool other_look = (report.look == StreamLook::beast && !check.binary) ||
                      (report.look == StreamLook::text && check.binary);
    if (bytes_now && (unframed || other_look))
        return ClockVerdict::wrong_mode;
    if (merged(check, now_ns))
        return ClockVerdict::merged;
    if (within(check.reset_shown_ns, now_ns, kResetShownNs))
        return ClockVerdict::reset;
    if (check.lines > 0 && !within(check.last_timestamp_ns, now_ns, kNoTimestampNs) &&
        within(check.last_line_ns, now_ns, kNoTimestampNs))
        return ClockVerdict::none;
    if (check.gps)
        return ClockVerdict::gps;
    return judge_rate(report);
}

}  // namespace

void clock_check_restart(ClockCheck& check) {
    check.have_last = false;
    check.interval_open = false;
    check.size = 0;
    check.fitted_hz = 0;
}

void clock_check_bytes(ClockCheck& check, std::span<const char> chunk, bool binary,
                       int64_t now_ns) {
    if (chunk.empty())
        return;
    if (check.first_bytes_ns < 0)
        check.first_bytes_ns = now_ns;
    if (check.first_unframed_ns < 0)
        check.first_unframed_ns = now_ns;
    check.last_bytes_ns = now_ns;
    check.binary = binary;
    uint8_t prev = check.sniff_prev;
    for (char c : chunk.first(std::min(chunk.size(), kSniffBytes))) {
        uint8_t b = static_cast<uint8_t>(c);
        FrameStart start = mode_s_frame_start(prev, b);
        check.beast_starts += start == FrameStart::beast;
        check.text_starts += start == FrameStart::text;
        prev = beast_escape_memory(prev, b);
    }
    // A sample that stopped short does not run on into the next chunk.
    check.sniff_prev = chunk.size() <= kSniffBytes ? prev : 0;
    // Old counts fade, so that a receiver switched to the other format is seen anew.
    if (check.beast_starts + check.text_starts > 4096) {
        check.beast_starts /= 2;
        check.text_starts /= 2;
    }
}

void clock_check_line(ClockCheck& check, std::string_view line, int64_t now_ns) {
    ++check.lines;
    check.last_line_ns = now_ns;
    check.first_unframed_ns = -1;
    if (line.size() < 1 + kAvrTimestampDigits || line[0] != '@')
        return;
    uint64_t timestamp = 0;
    for (size_t i = 1; i <= kAvrTimestampDigits; ++i) {
        uint8_t digit = kModeSHexValue[static_cast<uint8_t>(line[i])];
        if (digit == kModeSNotHex)
            return;
        timestamp = timestamp << 4 | digit;
    }
    clock_check_timestamp(check, timestamp, now_ns);
}

void clock_check_timestamp(ClockCheck& check, uint64_t timestamp, int64_t now_ns) {
    uint64_t raw = timestamp & kCountMask;
    ++check.timestamps;
    check.last_timestamp_ns = now_ns;
    watch_gps_form(check, raw, now_ns);
    if (!check.have_last) {
        check.have_last = true;
        check.last_raw = raw;
        check.count = static_cast<int64_t>(as_count(check, raw));
        check.last_arrival_ns = now_ns;
        interval_add(check, {check.count, now_ns});
        return;
    }
    // The 48-bit count wraps; the shorter way round is the step taken. (GPS time wraps
    // at midnight, which shows as a reset.)
    uint64_t modulus = check.gps ? ((kCountMask >> 30) + 1) * kNanosPerSecond : kCountMask + 1;
    uint64_t step =
        check.gps ? (as_count(check, raw) + modulus - as_count(check, check.last_raw)) % modulus
                  : (raw - check.last_raw) & kCountMask;  // no division for a count
    int64_t signed_step = step < std::min(kCountHalf, modulus / 2)
                              ? static_cast<int64_t>(step)
                              : static_cast<int64_t>(step) - static_cast<int64_t>(modulus);
    double arrival_s = static_cast<double>(now_ns - check.last_arrival_ns) / kNsPerS;
    double off_s = static_cast<double>(signed_step) / rough_hz(check) - arrival_s;
    // Before a rate is fitted, a wrong setting can make ordinary steps look long; only a
    // step back, or forward faster than any clock, can be told for a jump then.
    bool too_fast =
        static_cast<double>(signed_step) > kFastestStepHz * (std::max(arrival_s, 0.0) + kJumpS);
    bool jump = too_fast || (std::fabs(off_s) > kJumpS && (check.fitted_hz > 0 || signed_step < 0));
    note_step(check, now_ns, signed_step < 0 || jump);
    check.last_raw = raw;
    check.last_arrival_ns = now_ns;
    if (jump) {
        // One jump starts the measurement again; whether it was a reset or one of many
        // receivers' clocks shows in the steps that follow.
        clock_check_restart(check);
        check.have_last = true;
        check.last_raw = raw;
        check.count = static_cast<int64_t>(as_count(check, raw));
        check.reset_pending_ns = now_ns;
        check.disorder_since_jump = 0;
        interval_add(check, {check.count, now_ns});
        return;
    }
    check.count = count_add(check.count, signed_step);
    interval_add(check, {check.count, now_ns});
}

void clock_check_judge(ClockCheck& check, int32_t setting_hz, int64_t now_ns, ClockReport& report) {
    check.setting_hz = setting_hz;
    if (check.interval_open && now_ns >= check.interval_end_ns)
        interval_close(check);
    if (check.reset_pending_ns >= 0 && now_ns - check.reset_pending_ns >= kResetQuietNs) {
        if (check.disorder_since_jump == 0 && !merged(check, now_ns)) {
            ++check.resets;
            check.reset_shown_ns = now_ns;
        }
        check.reset_pending_ns = -1;
    }

    report = ClockReport{};
    report.setting_hz = setting_hz;
    report.resets = check.resets;
    report.timestamps = check.timestamps;
    uint32_t starts = check.beast_starts + check.text_starts;
    if (starts >= kLookMinStarts)
        report.look = check.beast_starts > check.text_starts ? StreamLook::beast : StreamLook::text;

    ClockFit fit =
        clock_fit(std::span<const ClockPair>(check.pairs).first(static_cast<size_t>(check.size)));
    check.fitted_hz = fit.ok ? fit.hz : 0;
    if (fit.ok) {
        report.have_rate = true;
        report.measured_hz = fit.hz;
        report.offset_ppm = setting_hz > 0 ? (fit.hz / setting_hz - 1) * 1e6 : 0;
        report.uncertainty_ppm = fit.se_hz / fit.hz * 1e6;
        report.window_s = fit.window_s;
        report.pairs = fit.used;
        report.spread_us = fit.spread_s * 1e6;
        report.common_hz =
            check.gps ? static_cast<int64_t>(kNanosPerSecond) : common_frequency(fit.hz);
    } else if (check.gps) {
        report.common_hz = static_cast<int64_t>(kNanosPerSecond);
    }
    report.verdict = judge_stream(check, report, now_ns);
}
