// Starting with Windows: a value of the user's own Run key, named for the program's
// folder, that starts the program in the tray. The user's key needs no administrator,
// and a copy in another folder has a value of its own.
#pragma once

// Whether the entry for this program's folder is there and starts this very program. One
// that names another path (the folder was moved or the program renamed) does not count:
// Windows would start something else, or nothing.
bool autostart_is_set();
// Writes this folder's entry, or removes it. Returns whether that worked.
bool autostart_set(bool on);
