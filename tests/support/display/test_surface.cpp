#include "support/display/test_surface.h"

#include "base/text.h"

#include "display/display_surface.h"

namespace {
TestSurface surface;
}  // namespace

TestSurface& test_surface() {
    return surface;
}

void test_surface_reset() {
    surface = TestSurface{};
}

std::string test_display_line(int line) {
    return surface.display_lines[static_cast<size_t>(line)].data();
}

void frontend_display_line_read(int line, std::span<char> text) {
    text_copy(text, text_view(surface.display_lines[static_cast<size_t>(line)]));
}

void frontend_display_line_write(int line, const char* text) {
    text_copy(surface.display_lines[static_cast<size_t>(line)], text);
    ++surface.display_writes;
}
