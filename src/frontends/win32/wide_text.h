// The window boundary: every text of the program is Windows-1251 in memory, in its
// files and in the client log; windows take and give UTF-16. Converting here lets the
// Russian texts read correctly on every Windows, whatever its own code page.
#pragma once

#include "frontends/win32/windows_api.h"

#include <span>

// Converts a NUL-terminated Windows-1251 text; the result is cut to fit and always
// NUL-terminated.
void wide_from_cp1251(const char* text, std::span<wchar_t> wide);

// Converts a NUL-terminated UTF-16 text to Windows-1251 ('?' for what it cannot
// hold); cut to fit and always NUL-terminated.
void cp1251_from_wide(const wchar_t* wide, std::span<char> text);

// A window's text, as Windows-1251, cut to fit `text`.
void window_text_get(HWND window, std::span<char> text);
void window_text_set(HWND window, const char* text);

// A dialog control's text, as Windows-1251.
void dialog_item_text_get(HWND dialog, int item, std::span<char> text);
void dialog_item_text_set(HWND dialog, int item, const char* text);

// A message box with Windows-1251 texts; returns what MessageBoxW returns.
int message_box_cp1251(HWND owner, const char* text, const char* caption, UINT style);
