// The display tests' front end: it implements the display surface
// (display/display_surface.h) by recording the lines the display writes, so tests read
// back what a window would show. The station's test front end shows its lines here too.
#pragma once

#include <array>
#include <string>

#include "display/display_ring.h"

struct TestSurface {
    std::array<std::array<char, kRingSlotSize>, kDisplayLines> display_lines{};
    int display_writes = 0;
};

// The one surface the display functions write to; tests reset it in their set-up.
TestSurface& test_surface();
void test_surface_reset();
std::string test_display_line(int line);
