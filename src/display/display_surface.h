// Exports from the front end: the surface the display lines are drawn on.
//
// The display tick moves lines on a surface of 18 text lines that only the front end
// holds (STATIC windows in the Win32 program, rows of the console monitor, a recording in
// the tests). Each front end implements these two functions once.
#pragma once

#include <span>

// Display line `line` (0 = top, 17 = bottom): copies its text into `text`, cut to fit
// and always NUL-terminated. UI thread only.
void frontend_display_line_read(int line, std::span<char> text);

// Display line `line`: replaces its text with the NUL-terminated `text`. UI thread only.
void frontend_display_line_write(int line, const char* text);
