#include "display/display_ring.h"

#include <gtest/gtest.h>

#include <string>

#include "support/display/test_surface.h"

namespace {

class DisplayRingTest : public testing::Test {
protected:
    void SetUp() override { test_surface_reset(); }

    void store(const std::string& line) { ring_append(ring, line); }
    void store_numbered(int from, int to) {
        for (int i = from; i <= to; ++i)
            store("line " + std::to_string(i));
    }
    std::vector<std::string> shown() {
        std::vector<std::string> lines;
        for (int k = 0; k < kDisplayLines; ++k)
            lines.push_back(test_display_line(k));
        return lines;
    }

    DisplayRing ring;
};

TEST_F(DisplayRingTest, NothingStoredMeansNothingChanges) {
    for (int i = 0; i < 5; ++i)
        ring_tick(ring);
    EXPECT_EQ(test_surface().display_writes, 0);
    EXPECT_EQ(shown(), std::vector<std::string>(kDisplayLines, ""));
}

TEST_F(DisplayRingTest, OneLineAppearsAtTheBottomAndFirstUsesSlotOne) {
    store("*AB;\r\n");
    EXPECT_EQ(ring.write_index, 1);
    EXPECT_EQ(test_surface().display_writes, 0);  // storing draws nothing
    ring_tick(ring);
    std::vector<std::string> expected(kDisplayLines, "");
    expected[17] = "*AB;\r\n";
    EXPECT_EQ(shown(), expected);
    ring_tick(ring);  // nothing new: nothing moves
    EXPECT_EQ(shown(), expected);
}

TEST_F(DisplayRingTest, OnlyTheNewestLineOfATickIsShownAndOthersMoveUpByOne) {
    store("old");
    ring_tick(ring);
    store_numbered(1, 5);
    ring_tick(ring);
    EXPECT_EQ(test_display_line(17), "line 5");
    EXPECT_EQ(test_display_line(16), "old");
    EXPECT_EQ(test_display_line(15), "");
}

TEST_F(DisplayRingTest, ThirtyLinesBetweenTicksShowNothingThirtyOneShowTheLast) {
    store_numbered(1, 30);
    ring_tick(ring);
    EXPECT_EQ(test_surface().display_writes, 0);
    store("line 31");
    ring_tick(ring);
    EXPECT_EQ(test_display_line(17), "line 31");
    EXPECT_EQ(ring.write_index, 1);
}

TEST_F(DisplayRingTest, TheSameTextIsShownAgain) {
    store("same");
    ring_tick(ring);
    store("same");
    ring_tick(ring);
    EXPECT_EQ(test_display_line(16), "same");
    EXPECT_EQ(test_display_line(17), "same");
}

TEST_F(DisplayRingTest, LongestLineIsKeptWholeAndLongerOnesAreCut) {
    std::string longest(1023, 'x');
    store(longest);
    ring_tick(ring);
    store("next");
    ring_tick(ring);
    EXPECT_EQ(test_display_line(16), longest);
    store(std::string(1500, 'y'));
    ring_tick(ring);
    EXPECT_EQ(test_display_line(17), std::string(1023, 'y'));
    EXPECT_EQ(test_display_line(15), longest);
}

TEST_F(DisplayRingTest, ALineClimbsToTheTopAndLeavesOnTheEighteenthTick) {
    store("first");
    ring_tick(ring);
    for (int i = 1; i <= 17; ++i) {
        store("line " + std::to_string(i));
        ring_tick(ring);
    }
    EXPECT_EQ(test_display_line(0), "first");
    EXPECT_EQ(test_display_line(17), "line 17");
    store("line 18");
    ring_tick(ring);
    EXPECT_EQ(test_display_line(0), "line 1");
    for (const std::string& line : shown())
        EXPECT_NE(line, "first");
}

}  // namespace
