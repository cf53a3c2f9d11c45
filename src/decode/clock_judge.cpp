// The receiver-clock check's judgement: the window fitted, a pending jump settled as a
// reset or not, and the verdict, the stream's own troubles first, then the rate's.
#include "decode/clock_check.h"

#include <array>
#include <cmath>

namespace {

// A jump is a reset when this long passes after it with the stream in order.
constexpr int64_t kResetQuietNs = 3 * kClockSecondNs;
constexpr int64_t kResetShownNs = 30 * kClockSecondNs;
// Bytes without a framed line for this long: the mode does not match the receiver.
constexpr int64_t kUnframedNs = 5 * kClockSecondNs;
// Lines without a timestamp for this long: nothing to measure.
constexpr int64_t kNoTimestampNs = 5 * kClockSecondNs;

// Judging: the figures needed before each verdict is given.
constexpr int kMinPairs = 5;
constexpr double kWrongSettingPpm = 1000;  // 0.1 %
constexpr double kRightPpm = 5;            // what MLAT servers expect of a Beast
constexpr double kRightSurePpm = 1;
constexpr double kRightMinWindowS = 20;
constexpr double kCommonFitPpm = 100;
constexpr int64_t kCommonHz[] = {12'000'000, 20'000'000, 1'000'000'000};
// The GPS form counts nanoseconds.
constexpr int64_t kGpsHz = kClockSecondNs;

// A jump that a few quiet seconds followed was a reset; one among other disorder was not.
void settle_reset(ClockCheck& check, int64_t now_ns) {
    ClockReset& reset = check.reset;
    if (reset.pending_ns < 0 || now_ns - reset.pending_ns < kResetQuietNs)
        return;
    if (reset.disorder_since_jump == 0 && !clock_disorder_merged(check.disorder, now_ns)) {
        ++reset.count;
        reset.shown_ns = now_ns;
    }
    reset.pending_ns = -1;
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

ClockVerdict judge_stream(const ClockCheck& check, const ClockReport& report, int64_t now_ns) {
    const ClockStream& stream = check.stream;
    if (stream.first_bytes_ns < 0 && stream.lines == 0 && stream.timestamps == 0)
        return ClockVerdict::waiting;
    // Bytes that the mode frames into nothing, or that look like the other format.
    bool bytes_now = within(stream.last_bytes_ns, now_ns, 2 * kClockIntervalNs);
    bool unframed =
        stream.first_unframed_ns >= 0 && now_ns - stream.first_unframed_ns >= kUnframedNs;
    bool other_look = (report.look == StreamLook::beast && !stream.binary) ||
                      (report.look == StreamLook::text && stream.binary);
    if (bytes_now && (unframed || other_look))
        return ClockVerdict::wrong_mode;
    if (clock_disorder_merged(check.disorder, now_ns))
        return ClockVerdict::merged;
    if (within(check.reset.shown_ns, now_ns, kResetShownNs))
        return ClockVerdict::reset;
    if (stream.lines > 0 && !within(stream.last_timestamp_ns, now_ns, kNoTimestampNs) &&
        within(stream.last_line_ns, now_ns, kNoTimestampNs))
        return ClockVerdict::none;
    if (check.gps.found)
        return ClockVerdict::gps;
    return judge_rate(report);
}

}  // namespace

void clock_check_judge(ClockCheck& check, int32_t setting_hz, int64_t now_ns, ClockReport& report) {
    check.setting_hz = setting_hz;
    clock_interval_close_due(check.interval, check.window, now_ns);
    settle_reset(check, now_ns);

    report = ClockReport{};
    report.setting_hz = setting_hz;
    report.resets = check.reset.count;
    report.timestamps = check.stream.timestamps;
    report.look = clock_stream_look(check.stream);

    std::array<ClockPair, kClockWindowPairs> ordered;
    ClockFit fit = clock_fit(clock_window_in_order(check.window, ordered));
    check.window.fitted_hz = fit.ok ? fit.hz : 0;
    if (fit.ok) {
        report.have_rate = true;
        report.measured_hz = fit.hz;
        report.offset_ppm = setting_hz > 0 ? (fit.hz / setting_hz - 1) * 1e6 : 0;
        report.uncertainty_ppm = fit.se_hz / fit.hz * 1e6;
        report.window_s = fit.window_s;
        report.pairs = fit.used;
        report.spread_us = fit.spread_s * 1e6;
        report.common_hz = check.gps.found ? kGpsHz : common_frequency(fit.hz);
    } else if (check.gps.found) {
        report.common_hz = kGpsHz;
    }
    report.verdict = judge_stream(check, report, now_ns);
}
