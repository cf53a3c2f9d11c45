// The receiver-clock window: the clock check's figures and verdict, refreshed each
// second, and a button that writes a fitting common timer frequency.
#pragma once

#include "frontends/win32/windows_api.h"

// Menu command "Часы приемника": opens the modeless window, or brings the open one
// to the front.
void clock_window_open(HWND owner);
