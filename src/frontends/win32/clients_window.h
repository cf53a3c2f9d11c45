// The relay clients window: every reader of the relay (its clients and the push targets)
// with what it took and how far behind it is, and the relay's totals, refreshed each
// second while it is open.
#pragma once

#include "frontends/win32/windows_api.h"

// Menu command "Клиенты ретрансляции": opens the modeless dialog, or brings the open one
// to the front.
void clients_window_open(HWND owner);
