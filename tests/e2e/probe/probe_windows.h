// Reading another process's windows from outside, the ways that work under Wine as on
// Windows: window texts, classes, styles, geometry and the keyboard focus.
#pragma once

#include "frontends/win32/windows_api.h"

#include <string>
#include <vector>

// A window's text without sending it a message, so a busy UI thread cannot block the
// probe. Right for STATIC lines, buttons and captions, whose text the window keeps.
std::wstring window_text_direct(HWND window);
// A window's text asked of the window itself (WM_GETTEXT), as edit controls need; empty
// when the window does not answer within `timeout_ms`.
std::wstring window_text_asked(HWND window, UINT timeout_ms);

// Every top-level window of a process, visible or not, as a JSON array.
std::string top_windows_json(DWORD process);
// The top-level windows whose class is `class_name`, in any process, as a JSON array.
std::string windows_of_class_json(const wchar_t* class_name);
// Every descendant of `parent`, with its id, class, text, style and its rectangle in the
// parent's client coordinates, as a JSON array in z-order.
std::string children_json(HWND parent);
// The STATIC children of `parent`, top to bottom, texts read directly (never blocks).
std::vector<HWND> static_children(HWND parent);
// The keyboard focus, active and foreground windows of a GUI thread, as a JSON object.
std::string focus_json(DWORD thread);
// One window's class, text, style, owner, process and screen rectangle.
std::string window_json(HWND window);
