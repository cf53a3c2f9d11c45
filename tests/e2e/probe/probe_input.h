// Keys and mouse clicks as a user makes them: through the system's input queue, so they
// reach whatever window has the keyboard focus or lies under the mouse, and nothing else.
#pragma once

#include "frontends/win32/windows_api.h"

#include <vector>

// Presses and releases the last key of `keys` while the ones before it are held down
// (Shift+Tab is {VK_SHIFT, VK_TAB}). Returns whether every event was queued.
bool press_keys(const std::vector<WORD>& keys);
// Moves the mouse to a screen point and clicks the left button there.
bool click_at(int x, int y);
// Moves the mouse without clicking.
bool move_mouse(int x, int y);
