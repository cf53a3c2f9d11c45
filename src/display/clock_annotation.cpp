#include "display/clock_annotation.h"

#include <cstdio>
#include <string_view>

#include "base/text.h"
#include "display/display_ring.h"

namespace {

// "прм = %d:%02d:%02d  комп = %d:%02d:%02d     %s" in Windows-1251.
constexpr char kFormatHours[] =
    "\xEF\xF0\xEC = %d:%02d:%02d  \xEA\xEE\xEC\xEF = %d:%02d:%02d     %s";
// "прм = %02d:%02d  комп = %02d:%02d     %s"
constexpr char kFormatMinutes[] = "\xEF\xF0\xEC = %02d:%02d  \xEA\xEE\xEC\xEF = %02d:%02d     %s";
// "прм = %.0f  комп = %.0f     %s"
constexpr char kFormatSeconds[] = "\xEF\xF0\xEC = %.0f  \xEA\xEE\xEC\xEF = %.0f     %s";

// Converts one field as sscanf's "%08x" does on a copy of it: leading white space is
// skipped, then hexadecimal digits are taken up to the first other character. A field
// without any digit gives 0.
uint32_t parse_hex_field(std::string_view field) {
    size_t i = 0;
    while (i < field.size() && text_is_blank(field[i])) {
        ++i;
    }
    uint32_t value = 0;
    for (size_t digits = 0; i < field.size() && digits < 8; ++i, ++digits) {
        int digit = text_hex_digit(field[i]);
        if (digit < 0) {
            break;
        }
        value = value << 4 | static_cast<uint32_t>(digit);
    }
    return value;
}

// Characters `first` to `end` - 1 of the line, or fewer where the line ends earlier.
std::string_view line_field(std::string_view line, size_t first, size_t end) {
    if (line.size() <= first) {
        return {};
    }
    return line.substr(first, end - first);
}

void append_annotated(DisplayRing& ring, const char* line, int64_t receiver_s, int64_t computer_s) {
    char text[kAnnotatedLineSize];
    int length;
    if (receiver_s >= 3600) {
        int32_t r = static_cast<int32_t>(receiver_s);
        int32_t c = static_cast<int32_t>(computer_s);
        length = std::snprintf(text, sizeof text, kFormatHours, r / 3600, r % 3600 / 60, r % 60,
                               c / 3600, c % 3600 / 60, c % 60, line);
    } else if (receiver_s >= 60) {
        int32_t r = static_cast<int32_t>(receiver_s);
        int32_t c = static_cast<int32_t>(computer_s);
        length =
            std::snprintf(text, sizeof text, kFormatMinutes, r / 60, r % 60, c / 60, c % 60, line);
    } else {
        length = std::snprintf(text, sizeof text, kFormatSeconds, static_cast<double>(receiver_s),
                               static_cast<double>(computer_s), line);
    }
    if (length < 0) {
        return;
    }
    ring_append(ring, text);
}

}  // namespace

uint64_t clock_line_timestamp(const char* line) {
    std::string_view text(line);
    uint64_t high = parse_hex_field(line_field(text, 1, 5));
    uint64_t low = parse_hex_field(line_field(text, 5, 13));
    return high << 32 | low;
}

void display_entry(ClockAnnotation& clock, DisplayRing& ring, const char* line, int64_t now_s) {
    if (clock.display_enabled == 0) {
        return;
    }
    // With no timer frequency there is no receiver time to show: the line goes unannotated.
    uint32_t divisor = static_cast<uint32_t>(clock.timer_frequency_hz);
    if (line[0] != '@' || clock.relative_time == 0 || divisor == 0) {
        ring_append(ring, line);
        return;
    }
    uint64_t ticks = clock_line_timestamp(line);
    if (clock.reference_captured == 0) {
        clock.reference_ticks = ticks;
        clock.reference_time_s = now_s;
        clock.reference_captured = 1;
    }
    int64_t computer_s = now_s - clock.reference_time_s;
    // A timestamp below the reference (a wrapped or restarted counter) gives a negative
    // difference; the division truncates toward zero.
    int64_t difference = static_cast<int64_t>(ticks - clock.reference_ticks);
    int64_t receiver_s = difference / static_cast<int64_t>(divisor);
    append_annotated(ring, line, receiver_s, computer_s);
}

void clock_set_frequency(ClockAnnotation& clock, int32_t frequency_hz) {
    clock.timer_frequency_hz = frequency_hz;
    clock.reference_captured = 0;
}

void clock_toggle_display(ClockAnnotation& clock) {
    clock.display_enabled = clock.display_enabled == 0 ? 1 : 0;
}

bool clock_toggle_relative_time(ClockAnnotation& clock) {
    if (clock.relative_time != 0) {
        clock.relative_time = 0;
        return false;
    }
    clock.reference_captured = 0;
    clock.relative_time = 1;
    return true;
}
