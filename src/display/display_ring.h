// The scrolling display: a ring of lines waiting to be shown, and the tick that moves
// the newest of them onto the 18 display lines.
//
// Lines arrive at the receiver's pace and are shown at the timer's: the append only
// stores, and each tick shows the newest stored line if it has not been shown yet.
// Lines stored between two ticks other than the last are never shown. The display
// lines themselves are the history: the tick moves each one up by reading its text
// back through the front end.
#pragma once

#include <array>
#include <string_view>

constexpr int kRingSlots = 30;
constexpr int kRingSlotSize = 1024;  // a line of at most 1023 bytes and its NUL
constexpr int kDisplayLines = 18;

struct DisplayRing {
    std::array<std::array<char, kRingSlotSize>, kRingSlots> slots{};
    int write_index = 0;  // slot of the newest stored line
    int shown_index = 0;  // slot of the line last moved onto the screen
};

// Stores a line in the next slot. A line longer than 1023 bytes is cut to 1023.
void ring_append(DisplayRing& ring, std::string_view line);

// Shows the newest stored line at the bottom, moving the others up one line, unless it
// has been shown already. Compares indexes, not texts: after exactly 30, 60, ... lines
// the write index is back at the shown index and nothing is shown.
void ring_tick(DisplayRing& ring);
