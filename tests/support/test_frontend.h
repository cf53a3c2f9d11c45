// The tests' front end: it implements the core's front-end functions by recording what
// the core shows, so tests can read it back.
#pragma once

#include <array>
#include <string>

#include "app/display_ring.h"

struct TestSurface {
    std::array<std::array<char, kRingSlotSize>, kDisplayLines> display_lines{};
    int display_writes = 0;
};

// The one surface the front-end functions write to; tests reset it in their set-up.
TestSurface& test_surface();
void test_surface_reset();
std::string test_display_line(int line);
