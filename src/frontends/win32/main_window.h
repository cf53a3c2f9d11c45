// The main window: its class, its STATIC display and status lines, and its window
// procedure, which turns every message into a call of the station or a settings dialog.
#pragma once

#include "frontends/win32/windows_api.h"

constexpr wchar_t kMainWindowClass[] = L"kavrelWindow";
constexpr DWORD kMainWindowStyle = 0x10CA0080;  // visible, caption, system menu, minimise box
constexpr int kMainWindowWidth = 585;

constexpr int kLineWidth = 676;
constexpr int kLineHeight = 16;

// Registers the window class. Returns false when the platform refuses.
bool main_window_register(HINSTANCE instance);
// Creates the main window, shows it with `show` and updates it.
HWND main_window_create(HINSTANCE instance, int show);
// Creates the two fonts, the 18 display lines and the four status lines.
void main_window_create_lines(HWND main_window);

LRESULT CALLBACK main_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
