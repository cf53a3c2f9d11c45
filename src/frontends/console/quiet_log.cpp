#include "frontends/console/quiet_log.h"

#include <cstring>

#include "base/text.h"

namespace {

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// How two texts compare when their numbers are not read.
enum class Likeness {
    unlike,
    numbers_differ,  // the same but for their numbers
    one_adds_more,   // besides, one goes on where the other ends (a retry's seconds)
};

// An empty text is like no other.
Likeness compare_texts(const char* a, const char* b) {
    if (*a == '\0' || *b == '\0')
        return *a == *b ? Likeness::numbers_differ : Likeness::unlike;
    while (*a != '\0' && *b != '\0') {
        if (is_digit(*a) && is_digit(*b)) {
            while (is_digit(*a))
                ++a;
            while (is_digit(*b))
                ++b;
        } else if (*a++ != *b++) {
            return Likeness::unlike;
        }
    }
    return *a == *b ? Likeness::numbers_differ : Likeness::one_adds_more;
}

// Whether two texts tell the same thing.
bool same_kind(const char* a, const char* b) {
    return compare_texts(a, b) != Likeness::unlike;
}

// "<text> ... N <what> since HH:MM", the time of day in UTC.
void write_summary(std::span<char> summary, const char* text, int count, const char* what,
                   int64_t since_s) {
    int64_t day_s = since_s % 86400;
    text_format(summary, "%s ... %d %s since %02d:%02d", text, count, what,
                static_cast<int>(day_s / 3600), static_cast<int>(day_s / 60 % 60));
}

}  // namespace

QuietVerdict quiet_log_take(QuietLog& log, const char* text, int64_t now_s,
                            std::span<char> summary) {
    if (std::strcmp(text, log.last.data()) == 0)
        return QuietVerdict::quiet;
    Likeness likeness = compare_texts(text, log.last.data());
    log.number_changes = likeness == Likeness::numbers_differ ? log.number_changes + 1 : 0;
    if (likeness == Likeness::one_adds_more) {
        text_copy(log.last, text);
    } else {
        // A line whose numbers alone change, again and again (a speed hunt's probes), is
        // a run of attempts as much as one that goes back and forth between two texts.
        bool numbers_run = log.number_changes >= 2;
        bool repeats =
            numbers_run || (log.number_changes == 0 && same_kind(text, log.before.data()));
        if (repeats && !log.in_run) {
            // What came before was logged (one attempt when the line goes back and forth,
            // two when only its numbers change): this one and the rest are counted.
            log.in_run = true;
            log.changes = 0;
            log.attempts = numbers_run ? 3 : 2;
            log.run_since_s = log.before_since_s;
            log.summary_at_s = now_s;
            log.failure = numbers_run ? log.before : log.changed;
        } else if (repeats) {
            if (numbers_run || ++log.changes % 2 == 0)
                ++log.attempts;
        } else {
            log.in_run = false;  // a recovery, or some other change
        }
        log.before = log.last;
        log.before_since_s = log.last_since_s;
        text_copy(log.last, text);
        log.changed = log.last;
        log.last_since_s = now_s;
    }
    if (!log.in_run)
        return QuietVerdict::log_text;
    if (now_s - log.summary_at_s < kQuietSummaryPeriodS)
        return QuietVerdict::quiet;
    log.summary_at_s = now_s;
    write_summary(summary, log.failure.data(), log.attempts, "attempts", log.run_since_s);
    return QuietVerdict::log_summary;
}

QuietVerdict change_run_take(ChangeRun& run, const char* text, int64_t now_s,
                             std::span<char> summary) {
    if (std::strcmp(text, run.last.data()) == 0)
        return QuietVerdict::quiet;
    text_copy(run.last, text);
    run.last_change_s = now_s;
    if (!run.in_run) {
        if (now_s - run.window_start_s >= kChangeRunStillS) {
            run.window_start_s = now_s;
            run.window_changes = 0;
        }
        if (++run.window_changes <= kChangeRunBurst)
            return QuietVerdict::log_text;
        run.in_run = true;
        run.changes = 0;
        run.run_since_s = now_s;
        run.summary_at_s = now_s;
    }
    ++run.changes;
    if (now_s - run.summary_at_s < kQuietSummaryPeriodS)
        return QuietVerdict::quiet;
    run.summary_at_s = now_s;
    write_summary(summary, run.last.data(), run.changes, "client changes", run.run_since_s);
    return QuietVerdict::log_summary;
}

QuietVerdict change_run_tick(ChangeRun& run, int64_t now_s, std::span<char> summary) {
    if (!run.in_run || now_s - run.last_change_s < kChangeRunStillS)
        return QuietVerdict::quiet;
    run.in_run = false;
    run.window_start_s = now_s;
    run.window_changes = 0;
    write_summary(summary, run.last.data(), run.changes, "client changes", run.run_since_s);
    return QuietVerdict::log_summary;
}

bool refusal_log_take(RefusalLog& log, const RefusalCounts& counts, const char* last_address,
                      int64_t now_s, std::span<char> line) {
    RefusalCounts fresh{};
    uint64_t total = 0;
    for (size_t i = 0; i < counts.size(); ++i) {
        fresh[i] = counts[i] - log.logged[i];
        total += fresh[i];
    }
    if (total == 0 || (log.told && now_s - log.told_at_s < kQuietSummaryPeriodS))
        return false;
    std::array<char, 64> since{};
    if (log.told) {
        int64_t day_s = log.told_at_s % 86400;
        text_format(since, " since %02d:%02d", static_cast<int>(day_s / 3600),
                    static_cast<int>(day_s / 60 % 60));
    }
    text_format(line,
                "qalmor: the relay refused %llu client%s%s: %llu not allowed, %llu over their "
                "address's share, %llu with every slot taken; the last from %s",
                static_cast<unsigned long long>(total), total == 1 ? "" : "s", since.data(),
                static_cast<unsigned long long>(fresh[0]),
                static_cast<unsigned long long>(fresh[1]),
                static_cast<unsigned long long>(fresh[2]), last_address);
    log.logged = counts;
    log.told = true;
    log.told_at_s = now_s;
    return true;
}
