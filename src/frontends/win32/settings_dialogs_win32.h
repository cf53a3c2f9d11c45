// The seven modeless settings dialogs. Each menu command creates a new one, also when one
// of the same template is open; they are not tracked. Three of them answer the Tab
// command that the message loop makes of a typed Tab, their only keyboard navigation.
#pragma once

#include "frontends/win32/windows_api.h"

// Opens the settings dialog of a menu command. Returns false for a command that has
// no dialog.
bool settings_dialog_open(HWND main_window, int command);

// A typed Tab, offered to the relay, coordinates and source dialogs in this order; all
// three are asked. Returns whether any of them moved its focus.
bool settings_dialogs_take_tab(HWND typed_in);

INT_PTR CALLBACK relay_dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);
INT_PTR CALLBACK source_dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);
INT_PTR CALLBACK consumer_dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);
INT_PTR CALLBACK coordinates_dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);
INT_PTR CALLBACK name_dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);
INT_PTR CALLBACK threshold_dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);
INT_PTR CALLBACK frequency_dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);
