#include "display/clock_annotation.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "display/display_ring.h"
#include "support/base/cp1251.h"

namespace {

constexpr uint64_t kHz = 12000000;

// An '@' line with the given 48-bit timestamp.
std::string at_line(uint64_t ticks) {
    char text[64];
    std::snprintf(text, sizeof text, "@%012llX5D4840D6202CC3;\r\n",
                  static_cast<unsigned long long>(ticks));
    return text;
}

struct Annotator {
    ClockAnnotation clock;
    DisplayRing ring;

    // Hands a line in and returns what was stored, or "(nothing)".
    std::string enter(const std::string& line, int64_t now_s) {
        int before = ring.write_index;
        display_entry(clock, ring, line.c_str(), now_s);
        if (ring.write_index == before)
            return "(nothing)";
        return ring.slots[static_cast<size_t>(ring.write_index)].data();
    }
};

// Relative-time mode on, reference taken at ticks `base`, time 1000 s.
Annotator referenced_at(uint64_t base) {
    Annotator a;
    clock_toggle_relative_time(a.clock);
    a.enter(at_line(base), 1000);
    return a;
}

TEST(ClockAnnotation, DisplayDisabledStoresNothingAndTakesNoReference) {
    Annotator a;
    clock_toggle_relative_time(a.clock);
    clock_toggle_display(a.clock);
    EXPECT_EQ(a.enter(at_line(5), 1000), "(nothing)");
    EXPECT_EQ(a.enter("*AB;\r\n", 1000), "(nothing)");
    EXPECT_EQ(a.clock.reference_captured, 0);
    // Enabled again: the reference is taken from the first '@' line after that.
    clock_toggle_display(a.clock);
    EXPECT_EQ(a.enter(at_line(5), 1003), cp1251("прм = 0  комп = 0     ") + at_line(5));
}

TEST(ClockAnnotation, LinesPassUnchangedUnlessAtLinesInRelativeTime) {
    Annotator a;
    EXPECT_EQ(a.enter(at_line(5), 1000), at_line(5));
    clock_toggle_relative_time(a.clock);
    EXPECT_EQ(a.enter("*8D4840D6202CC3;\r\n", 1000), "*8D4840D6202CC3;\r\n");
    EXPECT_EQ(a.enter("MSG,3,1,1\r\n", 1000), "MSG,3,1,1\r\n");
    EXPECT_EQ(a.clock.reference_captured, 0);
}

TEST(ClockAnnotation, FirstAtLineTakesTheReferenceAndShowsZeros) {
    Annotator a;
    clock_toggle_relative_time(a.clock);
    EXPECT_EQ(a.enter(at_line(0x123456789ABCull), 1000),
              cp1251("прм = 0  комп = 0     ") + at_line(0x123456789ABCull));
    EXPECT_EQ(a.clock.reference_captured, 1);
    EXPECT_EQ(a.clock.reference_ticks, 0x123456789ABCull);
    EXPECT_EQ(a.clock.reference_time_s, 1000);
}

TEST(ClockAnnotation, ReceiverTimeAloneChoosesTheFormat) {
    const uint64_t base = 0x100000000ull;
    struct Case {
        int64_t receiver_s;
        int64_t computer_s;
        const char* prefix;
    };
    const Case cases[] = {
        {15, 15, "прм = 15  комп = 15     "},
        {59, 61, "прм = 59  комп = 61     "},
        {30, 4000, "прм = 30  комп = 4000     "},
        {60, 60, "прм = 01:00  комп = 01:00     "},
        {120, 75 * 60, "прм = 02:00  комп = 75:00     "},
        {3599, 3599, "прм = 59:59  комп = 59:59     "},
        {3600, 3600, "прм = 1:00:00  комп = 1:00:00     "},
        {3600, -61, "прм = 1:00:00  комп = 0:-1:-1     "},
        {90061, 59, "прм = 25:01:01  комп = 0:00:59     "},
        {-1, -5, "прм = -1  комп = -5     "},
    };
    for (const Case& c : cases) {
        Annotator a = referenced_at(base);
        uint64_t ticks = base + static_cast<uint64_t>(c.receiver_s * static_cast<int64_t>(kHz));
        EXPECT_EQ(a.enter(at_line(ticks), 1000 + c.computer_s), cp1251(c.prefix) + at_line(ticks))
            << c.prefix;
    }
}

TEST(ClockAnnotation, ReceiverSecondsTruncateTowardZero) {
    const uint64_t base = 0x100000000ull;
    Annotator a = referenced_at(base);
    EXPECT_EQ(a.enter(at_line(base - 1), 1000),
              cp1251("прм = 0  комп = 0     ") + at_line(base - 1));
    EXPECT_EQ(a.enter(at_line(base - kHz), 1000),
              cp1251("прм = -1  комп = 0     ") + at_line(base - kHz));
    EXPECT_EQ(a.enter(at_line(base + 2 * kHz - 1), 1000),
              cp1251("прм = 1  комп = 0     ") + at_line(base + 2 * kHz - 1));
}

TEST(ClockAnnotation, FullFortyEightBitDifferenceCounts) {
    // Timestamps that differ only in their top 16 bits.
    Annotator a = referenced_at(0x000000000005ull);
    uint64_t later = 0x000100000005ull;  // 2^32 ticks: 357 s at 12 MHz
    EXPECT_EQ(a.enter(at_line(later), 1357),
              cp1251("прм = 05:57  комп = 05:57     ") + at_line(later));
}

TEST(ClockAnnotation, NewReferenceWhenModeIsSwitchedOnOrFrequencySet) {
    Annotator a = referenced_at(0);
    EXPECT_EQ(a.enter(at_line(10 * kHz), 1010),
              cp1251("прм = 10  комп = 10     ") + at_line(10 * kHz));

    clock_set_frequency(a.clock, 6000000);
    EXPECT_EQ(a.enter(at_line(20 * kHz), 1020),
              cp1251("прм = 0  комп = 0     ") + at_line(20 * kHz));
    EXPECT_EQ(a.enter(at_line(21 * kHz), 1021),
              cp1251("прм = 2  комп = 1     ") + at_line(21 * kHz));

    // Off leaves the reference alone; on again takes a fresh one (key "5" twice).
    EXPECT_FALSE(clock_toggle_relative_time(a.clock));
    EXPECT_EQ(a.clock.reference_captured, 1);
    EXPECT_TRUE(clock_toggle_relative_time(a.clock));
    EXPECT_EQ(a.enter(at_line(40 * kHz), 1040),
              cp1251("прм = 0  комп = 0     ") + at_line(40 * kHz));
}

TEST(ClockAnnotation, ZeroFrequencyLeavesLinesUnannotatedAndNegativeIsUnsigned) {
    Annotator a;
    clock_toggle_relative_time(a.clock);
    clock_set_frequency(a.clock, 0);
    EXPECT_EQ(a.enter(at_line(5), 1000), at_line(5));

    clock_set_frequency(a.clock, -1);  // 4294967295 Hz
    a.enter(at_line(0), 1000);
    EXPECT_EQ(a.enter(at_line(0xFFFFFFFFull * 2), 1000),
              cp1251("прм = 2  комп = 0     ") + at_line(0xFFFFFFFFull * 2));
}

TEST(ClockAnnotation, TimestampFieldsEndWhereTheirDigitsOrTheLineEnd) {
    EXPECT_EQ(clock_line_timestamp("@0001000000FF8D;\r\n"), 0x1000000FFull);
    EXPECT_EQ(clock_line_timestamp("@ABCDEF012345;\r\n"), 0xABCDEF012345ull);
    EXPECT_EQ(clock_line_timestamp("@abcdef012345;\r\n"), 0xABCDEF012345ull);
    EXPECT_EQ(clock_line_timestamp("@12\r\n"), 0x12ull << 32);
    EXPECT_EQ(clock_line_timestamp("@ 1 2  00FF;\r\n"), (1ull << 32) | 0xFF);
    EXPECT_EQ(clock_line_timestamp("@zzzzzzzzzzzz;\r\n"), 0u);
    EXPECT_EQ(clock_line_timestamp("@0001;\r\n"), 1ull << 32);
    EXPECT_EQ(clock_line_timestamp("@"), 0u);
}

}  // namespace
