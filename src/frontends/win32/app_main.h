// Start-up, message loop and shutdown of the Win32 program, apart from WinMain so that
// tests can run the same start-up on a window of their own.
#pragma once

#include "frontends/win32/windows_api.h"

// Loads the settings from `config_dir`, makes the main window and its lines, and starts
// the timer, the tray icon, Winsock, the connector threads and the relay server. (The
// consumer link's sends are serialised inside the core, for this process only.) Returns false when
// the window class cannot be registered; then nothing but the settings has been touched.
bool app_start(HINSTANCE instance, int show, const char* config_dir);

// Handles one message as the message loop does: a typed Tab goes to the Tab-cycling
// dialogs first, everything else is translated and dispatched.
void app_handle_message(const MSG& message);

// Runs the message loop until WM_QUIT and returns its exit code.
int app_run_loop();

// Relay shutdown, both connectors' stop, Winsock clean-up, the timer and the tray icon.
void app_shutdown();
