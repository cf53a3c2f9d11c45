// Check marks of an open popup menu, read from its pixels.
#pragma once

#include "frontends/win32/windows_api.h"

#include <string>
#include <vector>

#include "screen_capture.h"

struct MarkReading {
    std::vector<bool> marked;   // one per item row, top to bottom
    std::vector<int> row_tops;  // where each row's ink begins, in client pixels
    int text_x = 0;             // where the item texts begin
    std::string error;          // set when the picture is not a readable menu
};

// Reads the popup menu window `popup` (class "#32768") as it is on screen; `picture`
// receives what was read.
MarkReading read_menu_marks(HWND popup, Capture& picture);
