// The receiver-clock check: measures the receiver's timestamp clock against the
// computer's monotonic clock, and judges the timer frequency setting and the stream.
//
// Every message that carries the receiver's 48-bit timestamp is paired with the time it
// arrived. Network and scheduling delays only ever make a message late, so, as NTP keeps
// its minimum-delay sample, each short interval keeps its least-delayed pair, and a line
// fitted over a sliding window of minutes of those pairs gives the receiver's ticks per
// second. The same pairs show a stream that steps backwards (several receivers merged),
// jumps once (a reset), or holds GPS seconds and nanoseconds instead of a count.
//
// A pure computation: times are passed in, nothing is allocated, the state is fixed in
// size. The caller feeds every chunk and every formatted line, and asks for a judgement
// about once a second. Its parts live in one file each: the timestamps' road through the
// parts below (clock_check.cpp), the look at the stream (clock_stream.cpp), the judgement
// (clock_judge.cpp), the line fitted (clock_fit.h) and the report's words and texts
// (clock_report.h).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "decode/clock_fit.h"
#include "decode/clock_report.h"

// One pair per interval; the window holds kClockWindowPairs intervals (five minutes).
constexpr int64_t kClockIntervalNs = kClockSecondNs;
// Merge evidence is counted in one-second buckets over this many seconds.
constexpr int kClockDisorderSeconds = 10;

// Unwrapping the 48-bit count.
struct ClockUnwrap {
    bool have_last = false;
    uint64_t last_raw = 0;
    int64_t count = 0;
    int64_t last_arrival_ns = 0;
};

// GPS form: the top 18 bits count seconds, the low 30 nanoseconds.
struct ClockGpsForm {
    bool found = false;
    int carries = 0;        // whole-second carries about one second apart, in a row
    int64_t carry_ns = -1;  // when the last carry arrived
};

// The interval being collected and its least-delayed pair so far.
struct ClockInterval {
    bool open = false;
    int64_t end_ns = 0;
    ClockPair first;
    ClockPair best;
    double best_delay_s = 0;
};

// The window of least-delayed pairs: a ring, oldest first from `head`. A pair joins on the
// path of every timestamp, where a shift of the others (a call to move them) made every
// timestamp dearer, even the many that add none; the fit is given them in order.
struct ClockWindow {
    std::array<ClockPair, kClockWindowPairs> pairs{};
    int head = 0;
    int size = 0;
    double fitted_hz = 0;  // the last fit's rate, 0 before one
};

// Disorder (backward steps and big jumps) against all steps, per second.
struct ClockDisorder {
    std::array<int64_t, kClockDisorderSeconds> second{};
    std::array<uint32_t, kClockDisorderSeconds> steps{};
    std::array<uint32_t, kClockDisorderSeconds> disordered{};
};

// A single big jump is a reset only when the stream stays in order after it.
struct ClockReset {
    int64_t pending_ns = -1;
    uint32_t disorder_since_jump = 0;
    int64_t shown_ns = -1;
    uint32_t count = 0;
};

// The stream's shape, for "no timestamps" and "wrong mode".
struct ClockStream {
    uint64_t lines = 0;
    uint64_t timestamps = 0;
    int64_t first_bytes_ns = -1;
    int64_t last_bytes_ns = -1;
    int64_t last_line_ns = -1;
    int64_t last_timestamp_ns = -1;
    int64_t first_unframed_ns = -1;  // the first bytes after the last framed line
    bool binary = false;
    uint8_t sniff_prev = 0;
    uint32_t beast_starts = 0;  // 0x1A followed by '1', '2' or '3'
    uint32_t text_starts = 0;   // '*', '@' or 'M' after CR or LF
};

struct ClockCheck {
    // The timer frequency setting at the last judgement. Timestamps arrive between
    // judgements, and until a line is fitted they are ranked within their interval and
    // told for jumps at this rate, so the check keeps it from one judgement to the next.
    int32_t setting_hz = 0;
    ClockUnwrap unwrap;
    ClockGpsForm gps;
    ClockInterval interval;
    ClockWindow window;
    ClockDisorder disorder;
    ClockReset reset;
    ClockStream stream;
};

// Every chunk received, in `binary` mode, arriving at `now_ns`.
void clock_check_bytes(ClockCheck& check, std::span<const char> chunk, bool binary, int64_t now_ns);
// Every formatted line framed from the chunk; '@' lines carry a timestamp.
void clock_check_line(ClockCheck& check, std::string_view line, int64_t now_ns);
// One receiver timestamp (48 bits) and the time its message arrived.
void clock_check_timestamp(ClockCheck& check, uint64_t timestamp, int64_t now_ns);

// Fits the window, judges, and fills `report`; about once a second.
void clock_check_judge(ClockCheck& check, int32_t setting_hz, int64_t now_ns, ClockReport& report);

// Forgets the measurement (not the stream's shape or the reset count).
void clock_check_restart(ClockCheck& check);

// The parts' operations that the judgement shares with the timestamps' road and the
// look at the stream.

// The window's pairs, oldest first, copied into `ordered` for the fit.
std::span<const ClockPair> clock_window_in_order(const ClockWindow& window,
                                                 std::span<ClockPair, kClockWindowPairs> ordered);

// Ends the interval once its second has passed by `now_ns`: its least-delayed pair joins
// the window.
void clock_interval_close_due(ClockInterval& interval, ClockWindow& window, int64_t now_ns);

// Whether the last seconds held far more disorder than a single receiver's reordering.
bool clock_disorder_merged(const ClockDisorder& disorder, int64_t now_ns);

// What the bytes look like, once enough frame starts were seen.
StreamLook clock_stream_look(const ClockStream& stream);
