// The display entry: the one door through which decoded lines reach the monitor.
//
// In relative-time mode it puts a prefix before every '@' line: the seconds elapsed on
// the receiver's own timestamp clock since a reference line ("прм") beside the seconds
// elapsed on the computer's clock over the same span ("комп"). With the right timer
// frequency both advance alike, so the user can check the receiver's clock at a glance.
#pragma once

#include <cstdint>

struct DisplayRing;

constexpr int32_t kDefaultTimerFrequencyHz = 12000000;
constexpr int kAnnotatedLineSize = 256;  // the longest prefix and a 127-character line

struct ClockAnnotation {
    int32_t display_enabled = 1;     // 0: the display entry does nothing at all (key "4")
    int32_t relative_time = 0;       // not 0: '@' lines are annotated (key "5", command 118)
    int32_t reference_captured = 0;  // 1: the reference fields below hold a reference line
    uint64_t reference_ticks = 0;    // 48-bit receiver timestamp of the reference line
    int64_t reference_time_s = 0;    // computer calendar time when it was shown
    int32_t timer_frequency_hz = kDefaultTimerFrequencyHz;  // receiver clock ticks per second
};

// Hands one formatted line (NUL-terminated, at most 127 characters, ending in CR LF) to
// the display ring, annotated in relative-time mode. `now_s` is the computer's calendar
// time in seconds, read by the caller.
void display_entry(ClockAnnotation& clock, DisplayRing& ring, const char* line, int64_t now_s);

// Sets the timer frequency; the next annotated line takes a new reference.
void clock_set_frequency(ClockAnnotation& clock, int32_t frequency_hz);

// Key "4": flips the display-enabled flag.
void clock_toggle_display(ClockAnnotation& clock);

// Key "5" and command 118: switches relative-time mode off, or on with a fresh reference.
// Returns the new mode.
bool clock_toggle_relative_time(ClockAnnotation& clock);

// The receiver timestamp of an '@' line: characters 1-4 and 5-12 converted as two
// separate hexadecimal fields, each ending where its digits end or where the line ends.
uint64_t clock_line_timestamp(const char* line);
