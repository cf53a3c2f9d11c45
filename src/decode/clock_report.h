// The receiver-clock check's judgement as the program shows it: the verdict, the stream's
// look and the figures, as English words for the status file and the service log, and as
// Windows-1251 texts for the clock window and the monitor's line.
#pragma once

#include <cstdint>
#include <span>

enum class ClockVerdict {
    waiting,        // nothing received yet
    measuring,      // timestamps arrive, too few to judge
    right,          // within a few ppm of the setting
    clock_off,      // the setting is the nominal one, but the clock runs off by more
    wrong_setting,  // off by more than 0.1 %
    gps,            // GPS seconds and nanoseconds, not a count
    merged,         // several receivers in one stream
    reset,          // the count restarted or jumped once; the measurement starts again
    none,           // lines without timestamps: nothing to measure
    wrong_mode,     // bytes arrive that the binary-mode setting does not frame
};

// What the received bytes look like, whatever the mode says.
enum class StreamLook { unknown, beast, text };

struct ClockReport {
    ClockVerdict verdict = ClockVerdict::waiting;
    StreamLook look = StreamLook::unknown;
    bool have_rate = false;
    double measured_hz = 0;      // the receiver's ticks per second of the computer's clock
    double offset_ppm = 0;       // measured against the setting
    double uncertainty_ppm = 0;  // standard error of the measured rate
    double window_s = 0;         // span of the pairs fitted
    int pairs = 0;               // least-delayed pairs kept in the fit
    double spread_us = 0;        // RMS distance of those pairs from the line
    int64_t common_hz = 0;       // a common frequency within 100 ppm of the measurement, or 0
    int32_t setting_hz = 0;
    uint32_t resets = 0;
    uint64_t timestamps = 0;  // timestamped messages since the start
};

// The verdict as a short English word, and as a Windows-1251 text.
const char* clock_verdict_word(ClockVerdict verdict);
const char* clock_verdict_text(ClockVerdict verdict);
const char* clock_look_word(StreamLook look);

// One line of Windows-1251 text: the figures and the verdict.
void clock_report_line(const ClockReport& report, std::span<char> out);
