#include "decode/clock_report.h"

#include <array>

#include "base/text.h"

const char* clock_verdict_word(ClockVerdict verdict) {
    switch (verdict) {
        case ClockVerdict::waiting:
            return "waiting";
        case ClockVerdict::measuring:
            return "measuring";
        case ClockVerdict::right:
            return "right";
        case ClockVerdict::clock_off:
            return "clock_off";
        case ClockVerdict::wrong_setting:
            return "wrong_setting";
        case ClockVerdict::gps:
            return "gps";
        case ClockVerdict::merged:
            return "merged";
        case ClockVerdict::reset:
            return "reset";
        case ClockVerdict::none:
            return "none";
        case ClockVerdict::wrong_mode:
            return "wrong_mode";
    }
    return "waiting";
}

const char* clock_verdict_text(ClockVerdict verdict) {
    switch (verdict) {
        case ClockVerdict::waiting:
            return "\xED\xE5\xF2 \xE4\xE0\xED\xED\xFB\xF5";  // "нет данных"
        case ClockVerdict::measuring:
            return "\xE8\xE4\xE5\xF2 \xE8\xE7\xEC\xE5\xF0\xE5\xED\xE8\xE5";  // "идет измерение"
        case ClockVerdict::right:
            // "частота таймера верна"
            return "\xF7\xE0\xF1\xF2\xEE\xF2\xE0 \xF2\xE0\xE9\xEC\xE5\xF0\xE0 \xE2\xE5\xF0\xED\xE0";
        case ClockVerdict::clock_off:
            // "часы приемника уходят"
            return "\xF7\xE0\xF1\xFB \xEF\xF0\xE8\xE5\xEC\xED\xE8\xEA\xE0 \xF3\xF5\xEE\xE4\xFF\xF2";
        case ClockVerdict::wrong_setting:
            // "частота таймера неверна"
            return "\xF7\xE0\xF1\xF2\xEE\xF2\xE0 \xF2\xE0\xE9\xEC\xE5\xF0\xE0 "
                   "\xED\xE5\xE2\xE5\xF0\xED\xE0";
        case ClockVerdict::gps:
            // "метки времени GPS, а не счетчик"
            return "\xEC\xE5\xF2\xEA\xE8 \xE2\xF0\xE5\xEC\xE5\xED\xE8 GPS, \xE0 \xED\xE5 "
                   "\xF1\xF7\xE5\xF2\xF7\xE8\xEA";
        case ClockVerdict::merged:
            // "несколько приемников в одном потоке, для MLAT нельзя"
            return "\xED\xE5\xF1\xEA\xEE\xEB\xFC\xEA\xEE \xEF\xF0\xE8\xE5\xEC\xED\xE8\xEA\xEE\xE2 "
                   "\xE2 \xEE\xE4\xED\xEE\xEC \xEF\xEE\xF2\xEE\xEA\xE5, \xE4\xEB\xFF MLAT "
                   "\xED\xE5\xEB\xFC\xE7\xFF";
        case ClockVerdict::reset:
            // "приемник перезапущен, измерение заново"
            return "\xEF\xF0\xE8\xE5\xEC\xED\xE8\xEA \xEF\xE5\xF0\xE5\xE7\xE0\xEF\xF3\xF9\xE5\xED, "
                   "\xE8\xE7\xEC\xE5\xF0\xE5\xED\xE8\xE5 \xE7\xE0\xED\xEE\xE2\xEE";
        case ClockVerdict::none:
            // "нет меток времени, измерять нечего"
            return "\xED\xE5\xF2 \xEC\xE5\xF2\xEE\xEA \xE2\xF0\xE5\xEC\xE5\xED\xE8, "
                   "\xE8\xE7\xEC\xE5\xF0\xFF\xF2\xFC \xED\xE5\xF7\xE5\xE3\xEE";
        case ClockVerdict::wrong_mode:
            // "бинарный режим не совпадает с приемником"
            return "\xE1\xE8\xED\xE0\xF0\xED\xFB\xE9 \xF0\xE5\xE6\xE8\xEC \xED\xE5 "
                   "\xF1\xEE\xE2\xEF\xE0\xE4\xE0\xE5\xF2 \xF1 "
                   "\xEF\xF0\xE8\xE5\xEC\xED\xE8\xEA\xEE\xEC";
    }
    return "";
}

const char* clock_look_word(StreamLook look) {
    switch (look) {
        case StreamLook::unknown:
            return "unknown";
        case StreamLook::beast:
            return "beast";
        case StreamLook::text:
            return "text";
    }
    return "unknown";
}

void clock_report_line(const ClockReport& report, std::span<char> out) {
    // "Часы приемника: "
    constexpr char kTitle[] = "\xD7\xE0\xF1\xFB \xEF\xF0\xE8\xE5\xEC\xED\xE8\xEA\xE0: ";
    const char* verdict = clock_verdict_text(report.verdict);
    if (report.verdict == ClockVerdict::wrong_mode) {
        // "кадры 0x1A" or "строки */@/MSG": what the bytes look like.
        const char* look = report.look == StreamLook::beast  ? " (\xEA\xE0\xE4\xF0\xFB 0x1A)"
                           : report.look == StreamLook::text ? " (\xF1\xF2\xF0\xEE\xEA\xE8 */@/MSG)"
                                                             : "";
        text_format(out, "%s%s%s", kTitle, verdict, look);
        return;
    }
    if (!report.have_rate) {
        text_format(out, "%s%s", kTitle, verdict);
        return;
    }
    std::array<char, 64> common{};
    if (report.common_hz != 0 && report.common_hz != report.setting_hz)
        // "; подходит N Гц"
        text_format(common, "; \xEF\xEE\xE4\xF5\xEE\xE4\xE8\xF2 %lld \xC3\xF6",
                    static_cast<long long>(report.common_hz));
    // "N Гц, +x ppm ±y, окно N с, N точек, разброс N мкс: verdict"
    text_format(out,
                "%s%.0f \xC3\xF6, %+.1f ppm \xB1%.1f, \xEE\xEA\xED\xEE %.0f \xF1, %d "
                "\xF2\xEE\xF7\xE5\xEA, \xF0\xE0\xE7\xE1\xF0\xEE\xF1 %.0f \xEC\xEA\xF1: %s%s",
                kTitle, report.measured_hz, report.offset_ppm, report.uncertainty_ppm,
                report.window_s, report.pairs, report.spread_us, verdict, common.data());
}
