// The station's side of the receiver-clock check: feeds it every chunk and every line
// of the source link with the time it arrived, judges once a second, and lets a front
// end show the judgement and take the fitting timer frequency.
#pragma once

#include <cstdint>
#include <span>

#include "decode/clock_check.h"
#include "decode/framer.h"

struct Station;

struct ClockWatch {
    ClockCheck check;
    ClockReport report;  // the newest judgement
    int64_t next_judge_ns = -1;
    // The source stream's size, for the front ends' figures.
    uint64_t bytes = 0;
    uint64_t lines = 0;
    uint64_t lines_at_judge = 0;
    int64_t judged_ns = -1;
    double lines_per_s = 0;  // over the last judged span
};

// A chunk of the source link, in `binary` mode, and then each line framed from it; all
// arrived at `now_ns` on the computer's monotonic clock. UI thread.
void clock_watch_chunk(ClockWatch& watch, std::span<const char> chunk, bool binary, int64_t now_ns);
void clock_watch_line(ClockWatch& watch, const FormattedLine& line, int64_t now_ns);

// Timer tick: judges once a second against the timer frequency setting.
void clock_watch_tick(Station& station);

// The newest judgement, for the front ends.
const ClockWatch& station_clock_watch(const Station& station);

// Whether a common frequency fits the measurement and the setting is another: what
// the clock window's button offers.
bool station_clock_offers_common(const Station& station);
// Writes that common frequency as the timer frequency, exactly as the frequency
// dialog's OK does (frequency.ini, the new reference, the greeting). False when none
// is offered.
bool station_clock_apply_common(Station& station);
