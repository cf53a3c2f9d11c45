// One copy of the program per folder: the first copy started in a folder holds a lock
// named for it for its whole run; a later one asks that copy to show its window and ends.
// Copies in other folders have locks of their own and run side by side.
#pragma once

#include "frontends/win32/windows_api.h"

// Takes the current folder's lock. False when another copy holds it: that copy has been
// asked to come forward, and this one is to end at once.
bool single_copy_claim();
// Whether `message` is the request of a later copy in this folder to come forward.
bool single_copy_is_show_request(UINT message);
