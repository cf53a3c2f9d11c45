// The core's front-end functions for the Win32 program: display and status lines are
// STATIC windows, socket events arrive as window messages through WSAAsyncSelect.
#include "display/display_surface.h"
#include "net/socket_watch.h"
#include "station/station_frontend.h"

#include "frontends/win32/tray.h"
#include "frontends/win32/wide_text.h"
#include "frontends/win32/win32_app.h"

namespace {

UINT message_for(SocketRole role) {
    switch (role) {
        case SocketRole::relay_listener:
            return WM_RELAY_ACCEPT;
        case SocketRole::relay_client:
            return WM_RELAY_CLIENT;
        case SocketRole::link_upstream:
            return WM_LINK_UPSTREAM;
        case SocketRole::link_source:
            return WM_LINK_SOURCE;
        case SocketRole::link_consumer:
            return WM_LINK_CONSUMER;
        case SocketRole::push_target:
            return WM_LINK_PUSH;
    }
    return 0;
}

}  // namespace

Win32App& win32_app() {
    static Win32App app;
    return app;
}

void frontend_display_line_read(int line, std::span<char> text) {
    window_text_get(win32_app().display_lines[static_cast<size_t>(line)], text);
}

void frontend_display_line_write(int line, const char* text) {
    window_text_set(win32_app().display_lines[static_cast<size_t>(line)], text);
}

bool frontend_watch_socket(SOCKET s, SocketRole role, unsigned events) {
    return WSAAsyncSelect(s, win32_app().main_window, message_for(role),
                          static_cast<long>(events)) != SOCKET_ERROR;
}

void frontend_unwatch_socket(SOCKET s) {
    if (s != INVALID_SOCKET) {
        WSAAsyncSelect(s, win32_app().main_window, 0, 0);
    }
}

void status_lines_show() {
    Win32App& app = win32_app();
    if (app.station == nullptr)
        return;
    app.status_show_posted = false;
    StatusTexts texts;
    station_status_texts(*app.station, texts);
    window_text_set(app.status_lines[0], texts.server_line.data());
    window_text_set(app.status_lines[1], texts.client_line.data());
    window_text_set(app.status_lines[2], texts.consumer_line.data());
    window_text_set(app.status_lines[3], texts.push_line.data());
    tray_show_status(*app.station);
}

void frontend_status_changed() {
    Win32App& app = win32_app();
    if (GetCurrentThreadId() == app.ui_thread) {
        status_lines_show();
        return;
    }
    // From the connector thread the texts are shown by the UI thread, which always shows
    // the newest ones, so a later refresh is never overwritten by an earlier one. Posting
    // keeps this thread from waiting for the UI thread, which may be waiting for it.
    if (!app.status_show_posted.exchange(true)) {
        PostMessageW(app.main_window, WM_STATUS_SHOW, 0, 0);
    }
}

bool frontend_serial_wake() {
    return PostMessageW(win32_app().main_window, WM_SERIAL_DATA, 0, 0) != 0;
}

void frontend_message_box(const char* text, const char* caption) {
    message_box_cp1251(nullptr, text, caption, MB_OK);
}
