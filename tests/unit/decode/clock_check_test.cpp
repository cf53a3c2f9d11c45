#include "decode/clock_check.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>

namespace {

constexpr int64_t kSecondNs = 1'000'000'000;
constexpr uint64_t kMask48 = 0xFFFFFFFFFFFFull;

// A synthetic receiver: messages at a steady rate, each stamped by the receiver's clock
// and arriving after a random delay of up to `delay_max_ns`.
struct Receiver {
    double hz = 12e6;
    uint64_t start_count = 0;
    int64_t delay_max_ns = 0;
    uint64_t random = 7;

    uint64_t stamp(int64_t true_ns) const {
        return (start_count + static_cast<uint64_t>(std::llround(true_ns * hz / 1e9))) & kMask48;
    }
    int64_t delay() {
        random = random * 6364136223846793005ull + 1442695040888963407ull;
        return delay_max_ns == 0 ? 0 : static_cast<int64_t>((random >> 33) % delay_max_ns);
    }
};

struct Series {
    ClockCheck check;
    ClockReport report;
    int32_t setting_hz = 12'000'000;
    int64_t now_ns = 0;
    int first_second[16] = {};  // the first second each verdict was given, 0 if never

    // Feeds `seconds` of messages, 100 a second, judging once a second. `stamp` gives the
    // timestamp of a message sent at `true_ns`.
    template <typename Stamp>
    void feed(int seconds, Stamp stamp, Receiver& delays) {
        for (int s = 0; s < seconds; ++s) {
            for (int k = 0; k < 100; ++k) {
                int64_t sent = now_ns + k * kSecondNs / 100;
                clock_check_timestamp(check, stamp(sent), sent + delays.delay());
            }
            now_ns += kSecondNs;
            clock_check_judge(check, setting_hz, now_ns, report);
            int& first = first_second[static_cast<int>(report.verdict)];
            if (first == 0)
                first = static_cast<int>(now_ns / kSecondNs);
        }
    }
    void feed(int seconds, Receiver& receiver) {
        feed(
            seconds, [&receiver](int64_t t) { return receiver.stamp(t); }, receiver);
    }
    int first(ClockVerdict verdict) const { return first_second[static_cast<int>(verdict)]; }
};

// Drift against the computer's clock, measured through network delay: the measured
// offset is the true one within the stated accuracy, and the verdict follows it.
TEST(ClockCheck, MeasuresDriftThroughDelayNoise) {
    struct Case {
        double ppm;
        int64_t delay_max_ns;
        double tolerance_ppm;
        ClockVerdict verdict;
    } cases[] = {
        {250, 0, 0.5, ClockVerdict::clock_off},
        {-40, 0, 0.5, ClockVerdict::clock_off},
        {250, 20'000'000, 5, ClockVerdict::clock_off},
        {-40, 20'000'000, 5, ClockVerdict::clock_off},
        {2, 5'000'000, 2, ClockVerdict::right},
    };
    for (const Case& c : cases) {
        Series run;
        Receiver receiver{12e6 * (1 + c.ppm * 1e-6), 123456789, c.delay_max_ns};
        run.feed(120, receiver);
        SCOPED_TRACE(c.ppm);
        SCOPED_TRACE(c.delay_max_ns);
        EXPECT_NEAR(run.report.offset_ppm, c.ppm, c.tolerance_ppm);
        EXPECT_EQ(run.report.verdict, c.verdict);
        EXPECT_GE(run.report.window_s, 110);
        EXPECT_GE(run.report.pairs, 100);
    }
}

// A computer that stalls for whole intervals leaves their pairs far late; they must not
// tilt the line.
TEST(ClockCheck, StalledIntervalsDoNotTiltTheLine) {
    Series run;
    Receiver receiver{12e6 * (1 - 40e-6), 0, 1'000'000};
    run.feed(100, receiver);
    Receiver stalled = receiver;
    stalled.delay_max_ns = 1;
    auto late = [&receiver](int64_t t) { return receiver.stamp(t - 300'000'000); };
    run.feed(3, late, stalled);  // every message of these seconds arrives 300 ms late
    run.feed(10, receiver);
    EXPECT_NEAR(run.report.offset_ppm, -40, 1);
}

// The 48-bit count wraps during the run: the measurement goes on, no reset is seen.
TEST(ClockCheck, CountWrapIsNotAReset) {
    Series run;
    Receiver receiver{12e6, kMask48 + 1 - 30 * 12'000'000};
    run.feed(90, receiver);
    EXPECT_EQ(run.report.resets, 0u);
    EXPECT_EQ(run.first(ClockVerdict::reset), 0);
    EXPECT_EQ(run.report.verdict, ClockVerdict::right);
    EXPECT_NEAR(run.report.offset_ppm, 0, 0.5);
    EXPECT_GE(run.report.window_s, 80);
}

// Crafted timestamps, each just under half the 48-bit range after the last and arriving
// a millisecond apart: no clock runs that fast, so no rate that fast is ever reported
// (and the unwrapped count, which would pass 2^63 by the end, never overflows).
TEST(ClockCheck, ImpossibleForwardStepsAreJumps) {
    Series run;
    uint64_t stamp = 0xC00000000000ull;
    double fastest_hz = 0;
    for (int i = 1; i <= 65536; ++i) {
        clock_check_timestamp(run.check, stamp, run.now_ns);
        stamp = (stamp + (1ull << 47) - 1) & kMask48;
        run.now_ns += 1'000'000;
        if (i % 1000 == 0 || i == 65536) {
            clock_check_judge(run.check, run.setting_hz, run.now_ns, run.report);
            fastest_hz = std::max(fastest_hz, run.report.measured_hz);
        }
    }
    EXPECT_LE(fastest_hz, 2e9);
}

// A setting of 12 MHz against a 20 MHz count: wrong, naming 20 MHz, well within 30 s.
TEST(ClockCheck, WrongSettingNamesTheCommonFrequency) {
    Series run;
    Receiver receiver{20e6 * (1 + 30e-6), 5, 20'000'000};
    run.feed(30, receiver);
    EXPECT_EQ(run.report.verdict, ClockVerdict::wrong_setting);
    EXPECT_EQ(run.report.common_hz, 20'000'000);
    EXPECT_GT(run.first(ClockVerdict::wrong_setting), 0);
    EXPECT_LE(run.first(ClockVerdict::wrong_setting), 10);
}

// The count restarts once: reported once, and the measurement starts again from it.
TEST(ClockCheck, ResetIsReportedOnceAndMeasurementRestarts) {
    Series run;
    Receiver receiver{12e6 * (1 + 10e-6), 900'000'000'000, 2'000'000};
    run.feed(60, receiver);
    ASSERT_EQ(run.report.verdict, ClockVerdict::clock_off);
    receiver.start_count = 0;
    int64_t reset_at = run.now_ns;
    auto restarted = [&receiver, reset_at](int64_t t) { return receiver.stamp(t - reset_at); };
    run.feed(10, restarted, receiver);
    EXPECT_EQ(run.report.verdict, ClockVerdict::reset);
    EXPECT_EQ(run.report.resets, 1u);
    EXPECT_LE(run.report.window_s, 10);
    run.feed(50, restarted, receiver);
    EXPECT_EQ(run.report.resets, 1u);
    EXPECT_EQ(run.report.verdict, ClockVerdict::clock_off);
    EXPECT_NEAR(run.report.offset_ppm, 10, 2);
    EXPECT_LE(run.report.window_s, 60);
}

// Two receivers interleaved, their clocks far apart, under a second apart, and a few
// message gaps apart, the second sending half the messages or only a tenth: merged within
// 30 s, never taken for a reset.
TEST(ClockCheck, MergedReceiversAreCaught) {
    struct Case {
        double apart_s;
        uint64_t second_percent;
    } cases[] = {{3600.0, 50}, {0.4, 50}, {0.05, 50}, {0.4, 10}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.apart_s);
        SCOPED_TRACE(c.second_percent);
        Series run;
        Receiver a{12e6, 1'000'000'000, 2'000'000};
        Receiver b{12e6 * (1 + 25e-6), a.start_count + static_cast<uint64_t>(c.apart_s * 12e6)};
        uint64_t pick = 3;
        auto either = [&](int64_t t) {
            pick = pick * 6364136223846793005ull + 1442695040888963407ull;
            return (pick >> 40) % 100 >= c.second_percent ? a.stamp(t) : b.stamp(t);
        };
        run.feed(40, either, a);
        EXPECT_EQ(run.report.verdict, ClockVerdict::merged);
        EXPECT_GT(run.first(ClockVerdict::merged), 0);
        EXPECT_LE(run.first(ClockVerdict::merged), 30);
        EXPECT_EQ(run.report.resets, 0u);
        EXPECT_EQ(run.first(ClockVerdict::reset), 0);
    }
}

// GPS seconds (top 18 bits) and nanoseconds (low 30): said so, and 1 GHz fits.
TEST(ClockCheck, GpsSecondsAndNanosecondsAreRecognised) {
    Series run;
    Receiver delays{0, 0, 3'000'000};
    int64_t day_ns = 3600 * kSecondNs;
    auto gps = [day_ns](int64_t t) {
        int64_t ns = t + day_ns;
        return static_cast<uint64_t>(ns / kSecondNs) << 30 | static_cast<uint64_t>(ns % kSecondNs);
    };
    run.feed(30, gps, delays);
    EXPECT_EQ(run.report.verdict, ClockVerdict::gps);
    EXPECT_LE(run.first(ClockVerdict::gps), 5);
    EXPECT_EQ(run.report.common_hz, 1'000'000'000);
    EXPECT_NEAR(run.report.measured_hz, 1e9, 1e9 * 5e-6);
    EXPECT_EQ(run.first(ClockVerdict::merged), 0);
}

// What the stream itself says: lines without '@', and bytes of the other format.
TEST(ClockCheck, StreamWithoutTimestampsOrInTheWrongMode) {
    ClockReport report;
    {
        ClockCheck check;
        std::string chunk;
        for (int i = 0; i < 50; ++i)
            chunk += "*8D4840D6202CC371C32CE0576098;\r\n";
        clock_check_bytes(check, chunk, false, kSecondNs);
        for (int i = 0; i < 50; ++i)
            clock_check_line(check, "*8D4840D6202CC371C32CE0576098;\r\n", kSecondNs);
        clock_check_judge(check, 12'000'000, 2 * kSecondNs, report);
        EXPECT_EQ(report.verdict, ClockVerdict::none);
        // The same text in binary mode frames nothing, and looks like text lines.
        ClockCheck binary;
        for (int s = 1; s <= 6; ++s) {
            clock_check_bytes(binary, chunk, true, s * kSecondNs);
            clock_check_judge(binary, 12'000'000, s * kSecondNs, report);
        }
        EXPECT_EQ(report.verdict, ClockVerdict::wrong_mode);
        EXPECT_EQ(report.look, StreamLook::text);
    }
    {
        // Beast frames read as text: the odd line may even be framed, but the bytes
        // look like 0x1A frames.
        ClockCheck check;
        std::string chunk;
        for (int i = 0; i < 50; ++i)
            chunk += std::string(
                "\x1A"
                "2\x01\x02\x03\x04\x05\x06\x80\x5D\x48\x40\xD6\x20\x2C\xC3",
                16);
        for (int i = 0; i < 2; ++i)  // chunks are sampled, not read whole
            clock_check_bytes(check, chunk, false, kSecondNs);
        clock_check_line(check, "@0102;\r\n", kSecondNs);
        clock_check_judge(check, 12'000'000, 2 * kSecondNs, report);
        EXPECT_EQ(report.verdict, ClockVerdict::wrong_mode);
        EXPECT_EQ(report.look, StreamLook::beast);
    }
}

}  // namespace
