// The station's side of the receiver-clock check: feeds it every chunk and every line
// of the source link with the time it arrived, judges once a second, and keeps the
// figures the front ends show. It knows the check and nothing of the station.
#pragma once

#include <cstdint>
#include <span>

#include "decode/clock_check.h"
#include "decode/framer.h"

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

// Timer tick: judges against the timer frequency setting once a second, or at once after
// clock_watch_judge_soon.
void clock_watch_tick(ClockWatch& watch, int32_t setting_hz, int64_t now_ns);
// The setting has changed: the next tick judges against the new one.
void clock_watch_judge_soon(ClockWatch& watch);

// A common frequency that fits the measurement when the setting is another, or 0: what
// the clock window's button offers.
int64_t clock_watch_offered_hz(const ClockWatch& watch, int32_t setting_hz);
