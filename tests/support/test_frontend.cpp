#include "support/test_frontend.h"

#include <cstring>

#include "app/frontend.h"

namespace {
TestSurface surface;
}

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
    if (text.empty())
        return;
    const char* shown = surface.display_lines[static_cast<size_t>(line)].data();
    size_t length = strnlen(shown, text.size() - 1);
    std::memcpy(text.data(), shown, length);
    text[length] = '\0';
}

void frontend_display_line_write(int line, const char* text) {
    auto& shown = surface.display_lines[static_cast<size_t>(line)];
    size_t length = strnlen(text, shown.size() - 1);
    std::memcpy(shown.data(), text, length);
    shown[length] = '\0';
    ++surface.display_writes;
}

bool frontend_watch_socket(SOCKET, SocketRole, unsigned) {
    return true;
}
void frontend_unwatch_socket(SOCKET) {}
void frontend_status_changed() {}
void frontend_message_box(const char*, const char*) {}
