// The service log's filter for one status line.
//
// As a service the console program logs each change of a status line. A link whose peer
// is down changes its line with every attempt ("Идет установление связи", then
// "Ошибка connect", again and again, all night): such a run of identical attempts is
// logged by its first attempt, then by one summary line every 10 minutes while it lasts
// ("<failure> ... N attempts since HH:MM", UTC), and whatever ends it at once. A run is
// the line going back, change after change, to the text it had two changes before, or
// changing only its numbers, change after change ("проба N бод" while the speed is
// hunted); for that, texts that differ only in their numbers, or by an addition at the
// end (the consumer's ", повтор через N с"), count as one.
// Time is passed in, so the filter is a pure computation.
#pragma once

#include <array>
#include <cstdint>
#include <span>

constexpr int64_t kQuietSummaryPeriodS = 600;
constexpr int kQuietTextSize = 2048;  // longer lines are compared and kept cut

struct QuietLog {
    std::array<char, kQuietTextSize> last{};     // the line's text now
    std::array<char, kQuietTextSize> changed{};  // as it came with its last change
    std::array<char, kQuietTextSize> before{};   // its text before the last change
    std::array<char, kQuietTextSize> failure{};  // a run's failure text, for its summaries
    int64_t last_since_s = 0;
    int64_t before_since_s = 0;
    bool in_run = false;
    int changes = 0;         // in the run, since its second attempt began
    int attempts = 0;        // in the run
    int number_changes = 0;  // changes in a row that changed only the line's numbers
    int64_t run_since_s = 0;
    int64_t summary_at_s = 0;
};

enum class QuietVerdict { quiet, log_text, log_summary };

// The line's new text at `now_s` (calendar seconds): whether to log it, log the summary
// written into `summary`, or nothing.
QuietVerdict quiet_log_take(QuietLog& log, const char* text, int64_t now_s,
                            std::span<char> summary);

// The server line changes with every relay client that comes or goes, and a stranger can
// make them come and go hundreds of times a second. Up to kChangeRunBurst changes in
// kChangeRunStillS seconds are logged one by one; more are a run, logged by one summary
// every 10 minutes while it lasts and one when the line has been still for
// kChangeRunStillS ("<the line now> ... N client changes since HH:MM", UTC).
constexpr int kChangeRunBurst = 5;
constexpr int64_t kChangeRunStillS = 10;

struct ChangeRun {
    std::array<char, kQuietTextSize> last{};  // the line's text now
    int64_t last_change_s = 0;
    int64_t window_start_s = 0;  // the changes of the last while, counted from here
    int window_changes = 0;
    bool in_run = false;
    int changes = 0;  // in the run
    int64_t run_since_s = 0;
    int64_t summary_at_s = 0;
};

// The line's new text at `now_s`: log it (log_text), log `summary`, or nothing.
QuietVerdict change_run_take(ChangeRun& run, const char* text, int64_t now_s,
                             std::span<char> summary);
// Time passes: a run whose line has been still long enough ends, with its summary written
// into `summary` (log_summary).
QuietVerdict change_run_tick(ChangeRun& run, int64_t now_s, std::span<char> summary);

// Clients the relay refuses at accept (not allowed, over their address's share, no slot
// free): a stranger can knock as fast as the network carries it. The first refusal is
// logged at once; after that, one line every 10 minutes at most, for those refused since
// the last line ("... N refused since HH:MM: ..."), and nothing while none come.
constexpr int kRefusalCauses = 3;  // in the relay's order: not allowed, over share, full
using RefusalCounts = std::array<uint64_t, kRefusalCauses>;

struct RefusalLog {
    RefusalCounts logged{};  // the counts as the last line told them
    bool told = false;
    int64_t told_at_s = 0;
};

// The counts now (they only grow), the last refused client's address, and `now_s`:
// whether to log `line`.
bool refusal_log_take(RefusalLog& log, const RefusalCounts& counts, const char* last_address,
                      int64_t now_s, std::span<char> line);
