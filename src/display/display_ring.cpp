#include "display/display_ring.h"

#include <cstring>

#include "display/display_surface.h"

void ring_append(DisplayRing& ring, std::string_view line) {
    ring.write_index = ring.write_index >= kRingSlots - 1 ? 0 : ring.write_index + 1;
    auto& slot = ring.slots[static_cast<size_t>(ring.write_index)];
    size_t length = line.size() < slot.size() - 1 ? line.size() : slot.size() - 1;
    std::memcpy(slot.data(), line.data(), length);
    slot[length] = '\0';
}

void ring_tick(DisplayRing& ring) {
    if (ring.write_index == ring.shown_index) {
        return;
    }
    std::array<char, kRingSlotSize> new_line;
    std::array<char, kRingSlotSize> moved;
    new_line = ring.slots[static_cast<size_t>(ring.write_index)];
    ring.shown_index = ring.write_index;
    for (int k = 1; k < kDisplayLines; ++k) {
        frontend_display_line_read(k, moved);
        frontend_display_line_write(k - 1, moved.data());
    }
    frontend_display_line_write(kDisplayLines - 1, new_line.data());
}
