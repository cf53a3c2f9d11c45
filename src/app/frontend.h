// Exports from the front end.
//
// These are the only things the portable core needs from its platform. Every front end
// (the Win32 program, the tests' recording front end) implements each of them once,
// and the linker picks the one the program is built with. The core calls them; it never
// touches a window or an event loop itself.
#pragma once

#include <span>

// Display line `line` (0 = top, 17 = bottom): copies its text into `text`, cut to fit
// and always NUL-terminated.
void frontend_display_line_read(int line, std::span<char> text);

// Display line `line`: replaces its text with the NUL-terminated `text`.
void frontend_display_line_write(int line, const char* text);
