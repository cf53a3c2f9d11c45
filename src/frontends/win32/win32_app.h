// The Win32 program's own state: its window handles, fonts and the one station, and the
// window messages it uses. One instance for the whole run.
#pragma once

#include <array>
#include <atomic>

#include "frontends/win32/windows_api.h"
#include "station/station.h"

// Window messages of the program, all sent to the main window.
constexpr UINT WM_RELAY_ACCEPT = WM_USER + 1;     // the relay server's listening socket
constexpr UINT WM_RELAY_CLIENT = WM_USER + 2;     // each relay client's socket
constexpr UINT WM_LINK_UPSTREAM = WM_USER + 3;    // never opened while the relay server runs
constexpr UINT WM_LINK_SOURCE = WM_USER + 8;      // the receiver's link
constexpr UINT WM_LINK_CONSUMER = WM_USER + 9;    // the processing server's link, while on
constexpr UINT WM_STATUS_REFRESH = WM_USER + 10;  // called directly, never queued
constexpr UINT WM_LINK_PUSH = WM_USER + 12;       // each push target's link
constexpr UINT WM_TRAY_NOTIFY = WM_USER + 31;     // the tray icon
// Posted by a status refresh on the connector thread: show the newest status texts.
constexpr UINT WM_STATUS_SHOW = WM_USER + 40;
// Posted by the serial source's reader: bytes wait in its ring. One is on its way at a
// time, however fast the bytes come.
constexpr UINT WM_SERIAL_DATA = WM_USER + 41;

constexpr UINT_PTR kTimerId = 1;
// The server line, the client line, the consumer line (empty while that link is off) and
// the push targets' line (empty without targets).
constexpr int kStatusLines = 4;

// "Связыающая программа (QALMOR)", the main window's title and the tray tip.
constexpr char kWindowTitle[] =
    "\xD1\xE2\xFF\xE7\xFB\xE0\xFE\xF9\xE0\xFF \xEF\xF0\xEE\xE3\xF0\xE0\xEC\xEC\xE0 (QALMOR)";

struct Win32App {
    HINSTANCE instance = nullptr;
    HWND main_window = nullptr;
    DWORD ui_thread = 0;
    std::array<HWND, kDisplayLines> display_lines{};
    std::array<HWND, kStatusLines> status_lines{};
    HFONT display_font = nullptr;
    HFONT status_font = nullptr;
    Station* station = nullptr;
    // The dialog of each Tab-cycling template opened last: a typed Tab moves its focus.
    std::array<HWND, kDialogCount> tab_dialogs{};
    // Set while a WM_STATUS_SHOW is on its way, so a burst of refreshes posts one.
    std::atomic<bool> status_show_posted{false};
};

Win32App& win32_app();

// Shows the newest status texts in the three status lines. UI thread.
void status_lines_show();
