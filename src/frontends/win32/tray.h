// The notification-area icon: a sign of life, its tip telling the links' state, balloons
// when the receiver is lost and back, and the tray menu on a right-button press.
#pragma once

#include <cstdint>

#include "frontends/win32/windows_api.h"

struct Station;

// Adds the icon with the window title as its tip. Returns whether it was added.
bool tray_add(HWND main_window, HINSTANCE instance);
// Removes it again. Returns whether it was removed.
bool tray_delete();
// Shows the tray menu at the mouse and returns when it closes; a chosen item reaches the
// main window as WM_COMMAND. Returns non-zero if the menu was shown.
LRESULT tray_menu(HWND main_window, HINSTANCE instance);

// Tells the station's state in the tip, with the status lines. UI thread.
void tray_show_status(const Station& station);
// Shows a balloon when one is due; `now_ms` from a clock that never steps. UI thread.
void tray_tick(const Station& station, int64_t now_ms);
// The tip as the icon has it now.
const wchar_t* tray_tip();
