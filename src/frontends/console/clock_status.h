// What the console program tells about the receiver's clock and the links beyond the
// status lines: the service log's clock lines, and the status file that headless
// stations read.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

#include "decode/clock_check.h"

struct Station;

// Service mode: one log line when the verdict changes, and the figures once an hour.
struct ClockLog {
    bool started = false;
    ClockVerdict verdict = ClockVerdict::waiting;
    int64_t next_figures_ns = 0;
    int64_t handled_ns = -1;  // the judgement handled last
};

constexpr int64_t kClockFiguresEveryNs = 3600 * int64_t{1000000000};

// After each timer tick; `now_ns` on the monotonic clock.
void clock_log_step(ClockLog& log, const Station& station, std::FILE* out, int64_t now_ns);

// When the program started and when the document is written, UTC seconds: a reader can
// tell a file nobody rewrites any more.
struct StatusTimes {
    int64_t started_s = 0;
    int64_t now_s = 0;
};

// The status document: the times, the links, the relay server and its clients, messages
// per second, bytes received, and the clock's figures and verdict. Texts are UTF-8.
std::string status_json(const Station& station, const StatusTimes& times);

// Writes the status document to `path` through a new file beside it, so that a reader
// never sees half of one. Returns whether it was written; if not, `why` says why.
bool status_file_write(const Station& station, const StatusTimes& times, const char* path,
                       std::span<char> why);
// The same for the metrics file (metrics_file.h).
bool metrics_file_write(const Station& station, const StatusTimes& times, const char* path,
                        std::span<char> why);
