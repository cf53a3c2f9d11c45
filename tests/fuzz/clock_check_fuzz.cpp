// Fuzz target for the receiver-clock check: any receiver bytes, with any timestamps,
// arriving at any pace, judged against any timer frequency setting.
//
// The input's first byte picks the mode (bit 0) and the setting (bits 1-2: 12 MHz, 20 MHz,
// 1 GHz, or the next four bytes as a number). The rest is records: a byte for the time
// since the last chunk (its cube in microseconds, 0 to about 17 s), a byte for the chunk's
// size, then the chunk. Each chunk goes through the framer and the clock check as the
// station feeds them, and the check is judged once a simulated second. Every report must
// hold finite figures within their bounds and a verdict the program can show; a verdict
// about the rate needs a rate; every count stays in range (UBSan aborts on an overflow).
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>

#include "decode/clock_check.h"
#include "decode/framer.h"

namespace {

bool finite(const ClockReport& r) {
    return std::isfinite(r.measured_hz) && std::isfinite(r.offset_ppm) &&
           std::isfinite(r.uncertainty_ppm) && std::isfinite(r.window_s) &&
           std::isfinite(r.spread_us);
}

void judge(ClockCheck& check, int32_t setting_hz, int64_t now_ns, uint64_t lines) {
    ClockReport report;
    clock_check_judge(check, setting_hz, now_ns, report);
    int verdict = static_cast<int>(report.verdict);
    bool about_rate = report.verdict == ClockVerdict::right ||
                      report.verdict == ClockVerdict::clock_off ||
                      report.verdict == ClockVerdict::wrong_setting;
    if (!finite(report) || verdict < 0 || verdict > static_cast<int>(ClockVerdict::wrong_mode) ||
        (about_rate && !report.have_rate) || (report.have_rate && report.measured_hz <= 0) ||
        report.pairs < 0 || report.pairs > kClockWindowPairs || report.window_s < 0 ||
        report.uncertainty_ppm < 0 || report.spread_us < 0 || check.window.size < 0 ||
        check.window.size > kClockWindowPairs || report.timestamps > lines)
        std::abort();
    // The line the program shows, for the sanitizers: extreme figures must still print.
    std::array<char, 256> text;
    clock_report_line(report, text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    constexpr int32_t kSettings[] = {12'000'000, 20'000'000, 1'000'000'000};
    bool binary = (data[0] & 1) != 0;
    size_t pick = (data[0] >> 1) & 3;
    int32_t setting_hz = pick < 3 ? kSettings[pick] : 0;
    size_t header = 1;
    if (pick == 3 && size >= 5) {
        std::memcpy(&setting_hz, data + 1, 4);
        header = 5;
    }
    std::span<const uint8_t> rest(data + header, size - header);

    ClockCheck check;
    Framer framer;
    int64_t now_ns = 0;
    int64_t next_judge_ns = 0;
    uint64_t lines = 0;
    while (rest.size() >= 2) {
        int64_t wait = rest[0];
        size_t chunk_size = std::min<size_t>(rest[1], rest.size() - 2);
        std::span<const char> chunk(reinterpret_cast<const char*>(rest.data() + 2), chunk_size);
        rest = rest.subspan(2 + chunk_size);

        // The judgements that fall while no bytes come, then the chunk at its arrival.
        now_ns += wait * wait * wait * 1000;
        for (; next_judge_ns <= now_ns; next_judge_ns += kClockIntervalNs)
            judge(check, setting_hz, next_judge_ns, lines);
        clock_check_bytes(check, chunk, binary, now_ns);
        FormattedLine line;
        while (!chunk.empty()) {
            chunk = chunk.subspan(framer_scan(framer, chunk, binary, line));
            if (line.length != 0) {
                ++lines;
                clock_check_line(check, line.view(), now_ns);
            }
        }
    }
    judge(check, setting_hz, now_ns, lines);
    return 0;
}
