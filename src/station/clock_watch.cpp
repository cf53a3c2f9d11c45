#include "station/clock_watch.h"

void clock_watch_chunk(ClockWatch& watch, std::span<const char> chunk, bool binary,
                       int64_t now_ns) {
    watch.bytes += chunk.size();
    clock_check_bytes(watch.check, chunk, binary, now_ns);
}

void clock_watch_line(ClockWatch& watch, const FormattedLine& line, int64_t now_ns) {
    ++watch.lines;
    clock_check_line(watch.check, line.view(), now_ns);
}

void clock_watch_tick(ClockWatch& watch, int32_t setting_hz, int64_t now_ns) {
    if (watch.next_judge_ns >= 0 && now_ns < watch.next_judge_ns)
        return;
    watch.next_judge_ns = now_ns + kClockIntervalNs;
    clock_check_judge(watch.check, setting_hz, now_ns, watch.report);
    if (watch.judged_ns >= 0 && now_ns > watch.judged_ns) {
        watch.lines_per_s = static_cast<double>(watch.lines - watch.lines_at_judge) * 1e9 /
                            static_cast<double>(now_ns - watch.judged_ns);
    }
    watch.judged_ns = now_ns;
    watch.lines_at_judge = watch.lines;
}

void clock_watch_judge_soon(ClockWatch& watch) {
    watch.next_judge_ns = -1;
}

int64_t clock_watch_offered_hz(const ClockWatch& watch, int32_t setting_hz) {
    const ClockReport& report = watch.report;
    bool judged =
        report.verdict == ClockVerdict::wrong_setting || report.verdict == ClockVerdict::gps;
    return judged && report.common_hz != setting_hz ? report.common_hz : 0;
}
