// The notification-area icon: a sign of life, and "&Exit" on a right-button press.
#pragma once

#include "frontends/win32/windows_api.h"

// Adds the icon with the window title as its tip. Returns whether it was added.
bool tray_add(HWND main_window, HINSTANCE instance);
// Removes it again. Returns whether it was removed.
bool tray_delete();
// Shows the tray menu at the mouse and returns when it closes; a chosen item reaches the
// main window as WM_COMMAND. Returns non-zero if the menu was shown.
LRESULT tray_menu(HWND main_window, HINSTANCE instance);
