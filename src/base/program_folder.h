// What ties a copy of the program to its folder, as text: its autostart entry, and the
// names the copies in one folder share so that only one of them runs. Paths are UTF-16,
// as Windows gives them, and compared as Windows compares them, without regard to case.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

// Started with it, the program runs in its own folder and shows only its tray icon.
constexpr wchar_t kStartMinimizedOption[] = L"--minimized";
// A folder path and a few words. A longer path gets no autostart entry.
constexpr int kFolderTextSize = 1024;

// The autostart entry's value name for the program in `folder`: "QALMOR link " and the
// folder, so that copies in two folders each have one. False when it does not fit.
bool autostart_value_name(std::wstring_view folder, std::span<wchar_t> name);
// The entry's command: the program's full path in quotes, then the start option.
bool autostart_command(std::wstring_view program, std::span<wchar_t> command);
// Whether an entry's command is the one that starts `program` in the tray: an entry that
// names another path (the folder moved, the program was renamed) is not.
bool autostart_starts(std::wstring_view command, std::wstring_view program);

// The same number for every spelling of the folder's path: letters of either case, "/"
// for "\", with or without a closing "\".
uint32_t folder_hash(std::wstring_view folder);
// The lock the copy in `folder` holds while it runs, and the window message that brings
// that copy's window forward. Both hold the folder's hash, as an object name cannot hold
// a path.
void single_copy_lock_name(std::wstring_view folder, std::span<wchar_t, 64> name);
void single_copy_show_message_name(std::wstring_view folder, std::span<wchar_t, 64> name);
