#include "station/clock_watch.h"

#include "base/text.h"
#include "station/settings_dialogs.h"
#include "station/station.h"

void clock_watch_chunk(ClockWatch& watch, std::span<const char> chunk, bool binary,
                       int64_t now_ns) {
    watch.bytes += chunk.size();
    clock_check_bytes(watch.check, chunk, binary, now_ns);
}

void clock_watch_line(ClockWatch& watch, const FormattedLine& line, int64_t now_ns) {
    ++watch.lines;
    clock_check_line(watch.check, line.view(), now_ns);
}

void clock_watch_tick(Station& station) {
    ClockWatch& watch = station.clock_watch;
    int64_t now_ns = station.clocks.monotonic_ns();
    if (watch.next_judge_ns >= 0 && now_ns < watch.next_judge_ns)
        return;
    watch.next_judge_ns = now_ns + kClockIntervalNs;
    clock_check_judge(watch.check, station.clock.timer_frequency_hz, now_ns, watch.report);
    if (watch.judged_ns >= 0 && now_ns > watch.judged_ns) {
        watch.lines_per_s = static_cast<double>(watch.lines - watch.lines_at_judge) * 1e9 /
                            static_cast<double>(now_ns - watch.judged_ns);
    }
    watch.judged_ns = now_ns;
    watch.lines_at_judge = watch.lines;
}

const ClockWatch& station_clock_watch(const Station& station) {
    return station.clock_watch;
}

bool station_clock_offers_common(const Station& station) {
    const ClockReport& report = station.clock_watch.report;
    bool judged =
        report.verdict == ClockVerdict::wrong_setting || report.verdict == ClockVerdict::gps;
    return judged && report.common_hz != 0 && report.common_hz != station.clock.timer_frequency_hz;
}

bool station_clock_apply_common(Station& station) {
    if (!station_clock_offers_common(station))
        return false;
    Text256 text;
    text_format(text, "%lld", static_cast<long long>(station.clock_watch.report.common_hz));
    dialog_ok(station, DialogId::frequency, dialog_fields(text.data()));
    // The measurement is judged against the new setting from now on.
    station.clock_watch.next_judge_ns = -1;
    clock_watch_tick(station);
    return true;
}
