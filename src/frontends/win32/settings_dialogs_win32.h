// The settings dialogs' windows: one dialog procedure serves every row of the station's
// dialog table. Each menu command creates a new dialog, also when one of the same
// template is open; they are not tracked, apart from the last one of each Tab-cycling
// template, whose focus a typed Tab moves.
#pragma once

#include "frontends/win32/windows_api.h"

// Opens the settings dialog of a menu command. Returns false for a command that has
// no dialog.
bool settings_dialog_open(HWND main_window, int command);

// A typed Tab, offered to the relay, coordinates and source dialogs in this order; all
// three are asked. Returns whether any of them moved its focus.
bool settings_dialogs_take_tab();

// Every settings dialog's procedure; the dialog's row comes with WM_INITDIALOG. The Tab
// command (WM_COMMAND IDC_TAB_COMMAND) sent to one of the Tab-cycling dialogs moves the
// focus of its template as a typed Tab does, and answers 1; it answers 0 while no dialog
// of the template is open, and from every other dialog.
INT_PTR CALLBACK settings_dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);
