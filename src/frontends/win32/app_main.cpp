#include "frontends/win32/app_main.h"

#include <memory>

#include "frontends/win32/main_window.h"
#include "frontends/win32/settings_dialogs_win32.h"
#include "frontends/win32/tray.h"
#include "frontends/win32/win32_app.h"
#include "resource_ids.h"

namespace {

// The one station of the program, for its whole run.
std::unique_ptr<Station> program_station;

}  // namespace

bool app_start(HINSTANCE instance, int show, const char* config_dir) {
    Win32App& app = win32_app();
    program_station = station_create(config_dir);
    app.station = program_station.get();
    app.ui_thread = GetCurrentThreadId();
    station_load_settings(*app.station);
    if (!main_window_register(instance))
        return false;

    app.instance = instance;
    HWND window = main_window_create(instance, show);
    app.main_window = window;
    main_window_create_lines(window);
    SetTimer(window, kTimerId, kTimerPeriodMs, nullptr);
    tray_add(window, instance);
    station_start_network(*app.station);
    if (station_binary_mode(*app.station)) {
        CheckMenuItem(GetMenu(window), IDM_BINARY_MODE, MF_BYCOMMAND | MF_CHECKED);
    }
    return true;
}

void app_handle_message(const MSG& message) {
    // The settings dialogs get no dialog keyboard handling; a typed Tab is their only
    // navigation, and a Tab that one of them took goes nowhere else.
    if (message.message == WM_CHAR && message.wParam == '\t' && settings_dialogs_take_tab()) {
        return;
    }
    TranslateMessage(&message);
    DispatchMessageW(&message);
}

int app_run_loop() {
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        app_handle_message(message);
    }
    return static_cast<int>(message.wParam);
}

void app_shutdown() {
    Win32App& app = win32_app();
    // A link's thread still inside a call that does not return uses the station until
    // the process ends: it is then never destroyed.
    if (!station_stop_network(*app.station))
        (void)program_station.release();
    KillTimer(app.main_window, kTimerId);
    tray_delete();
}
