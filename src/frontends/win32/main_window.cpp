#include "frontends/win32/main_window.h"

#include "frontends/win32/autostart.h"
#include "frontends/win32/clients_window.h"
#include "frontends/win32/clock_window.h"
#include "frontends/win32/settings_dialogs_win32.h"
#include "frontends/win32/single_copy.h"
#include "frontends/win32/tray.h"
#include "frontends/win32/wide_text.h"
#include "frontends/win32/win32_app.h"
#include "resource_ids.h"

namespace {

constexpr char kHelpCaption[] = "\xCC\xE5\xED\xFE";         // "Меню"
constexpr char kContactCaption[] = "\xC0\xE2\xF2\xEE\xF0";  // "Автор"

// The display font and the status font. Russian texts need glyphs from the Cyrillic
// character set whatever the system's own code page is.
HFONT make_font(int height, const wchar_t* face) {
    return CreateFontW(height, 0, 0, 0, 400, FALSE, FALSE, FALSE, RUSSIAN_CHARSET, 0, 0, 0, 0,
                       face);
}

HWND make_line(HWND main_window, int y, HFONT font) {
    auto instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(main_window, GWLP_HINSTANCE));
    HWND line =
        CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE, 0, y, kLineWidth, kLineHeight,
                        main_window, reinterpret_cast<HMENU>(INT_PTR{-1}), instance, nullptr);
    SendMessageW(line, WM_SETFONT, reinterpret_cast<WPARAM>(font), 0);
    return line;
}

Station* station() {
    return win32_app().station;
}

// A text resource of the program: NUL-terminated Windows-1251 bytes.
const char* text_resource(const wchar_t* name) {
    HINSTANCE instance = win32_app().instance;
    HRSRC found = FindResourceW(instance, name, MAKEINTRESOURCEW(10));  // RT_RCDATA
    HGLOBAL loaded = found != nullptr ? LoadResource(instance, found) : nullptr;
    return loaded != nullptr ? static_cast<const char*>(LockResource(loaded)) : "";
}

void set_check_mark(HWND window, UINT item, bool checked) {
    CheckMenuItem(GetMenu(window), item, MF_BYCOMMAND | (checked ? MF_CHECKED : MF_UNCHECKED));
}

void on_char(WPARAM character) {
    if (station() != nullptr && character < 0x80) {
        station_key(*station(), static_cast<char>(character));
    }
}

void toggle_binary_mode(HWND window) {
    set_check_mark(window, IDM_BINARY_MODE, station_toggle_binary_mode(*station()));
}

// Decides by the mode, not the mark, so the mark matches the mode again even after
// key "5" made them differ.
void toggle_relative_time(HWND window) {
    set_check_mark(window, IDM_RELATIVE_TIME, station_toggle_relative_time(*station()));
}

// Reads the entry back rather than trusting the write, so the mark shows what is there.
void toggle_autostart(HWND window) {
    autostart_set(!autostart_is_set());
    set_check_mark(window, IDM_AUTOSTART, autostart_is_set());
}

// The entry can change behind the program's back (another copy, the user, a cleaner
// tool), so its mark is read each time a menu opens.
void on_init_menu_popup(HWND window) {
    set_check_mark(window, IDM_AUTOSTART, autostart_is_set());
}

// From the tray menu, or asked by a second copy started in this folder.
void bring_forward(HWND window) {
    ShowWindow(window, IsIconic(window) ? SW_RESTORE : SW_SHOW);
    SetForegroundWindow(window);
}

// The boxes have no owner. While one is open its own loop goes on dispatching the main
// window's messages, so the display and the network carry on.
void show_help_box() {
    message_box_cp1251(nullptr, text_resource(L"HELP_TEXT"), kHelpCaption, MB_OK);
}

void show_contact_box() {
    message_box_cp1251(nullptr, text_resource(L"CONTACT_TEXT"), kContactCaption, MB_OK);
}

// Returns 1 for the program's commands and 0 for any other identifier.
LRESULT on_command(HWND window, WORD command) {
    switch (command) {
        case IDM_EXIT:
            DestroyWindow(window);
            return 1;
        case IDM_BINARY_MODE:
            toggle_binary_mode(window);
            return 1;
        case IDM_RELATIVE_TIME:
            toggle_relative_time(window);
            return 1;
        case IDM_HELP:
            show_help_box();
            return 1;
        case IDM_CONTACT:
            show_contact_box();
            return 1;
        case IDM_RECEIVER_CLOCK:
            clock_window_open(window);
            return 1;
        case IDM_RELAY_CLIENTS:
            clients_window_open(window);
            return 1;
        case IDM_AUTOSTART:
            toggle_autostart(window);
            return 1;
        case IDM_SHOW_WINDOW:
            bring_forward(window);
            return 1;
        default:
            return settings_dialog_open(window, command) ? 1 : 0;
    }
}

void on_timer(WPARAM timer) {
    if (timer == kTimerId && station() != nullptr) {
        station_timer_tick(*station());
        tray_tick(*station(), static_cast<int64_t>(GetTickCount64()));
    }
}

// A socket notification. It can be stale: the socket may have been closed since Winsock
// posted it; the station's handlers check the socket against their tables.
void on_socket(SocketRole role, WPARAM socket, LPARAM event) {
    if (station() != nullptr) {
        station_socket_event(*station(), role, static_cast<SOCKET>(socket),
                             WSAGETSELECTEVENT(event), WSAGETSELECTERROR(event));
    }
}

LRESULT on_tray_notify(HWND window, LPARAM mouse) {
    if (mouse != WM_RBUTTONDOWN)
        return 0;
    return tray_menu(window, win32_app().instance);
}

void on_status_refresh() {
    if (station() != nullptr)
        status_refresh(*station());
}

// The frame is as tall as every line needs to show whole, the status lines too: the title
// and menu bars are not alike on every system.
int main_window_height() {
    RECT client{0, 0, kMainWindowWidth, kLineHeight * (kDisplayLines + kStatusLines)};
    AdjustWindowRectEx(&client, kMainWindowStyle, TRUE, 0);
    return client.bottom - client.top;
}

}  // namespace

bool main_window_register(HINSTANCE instance) {
    WNDCLASSW window_class{};
    window_class.style = CS_HREDRAW | CS_VREDRAW;
    window_class.lpfnWndProc = main_window_proc;
    window_class.hInstance = instance;
    window_class.hIcon = LoadIconW(instance, L"ICON_1");
    window_class.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    window_class.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    window_class.lpszMenuName = L"MENU_1";
    window_class.lpszClassName = kMainWindowClass;
    return RegisterClassW(&window_class) != 0;
}

HWND main_window_create(HINSTANCE instance, int show) {
    wchar_t title[64];
    wide_from_cp1251(kWindowTitle, title);
    // Started in the tray: not even a flash of the window.
    DWORD style = show == SW_HIDE ? kMainWindowStyle & ~WS_VISIBLE : kMainWindowStyle;
    HWND window = CreateWindowExW(0, kMainWindowClass, title, style, CW_USEDEFAULT, CW_USEDEFAULT,
                                  kMainWindowWidth, main_window_height(), nullptr, nullptr,
                                  instance, nullptr);
    ShowWindow(window, show);
    UpdateWindow(window);
    return window;
}

void main_window_create_lines(HWND main_window) {
    Win32App& app = win32_app();
    app.display_font = make_font(8, L"MS Sans Serif");
    app.status_font = make_font(12, L"Fixedsys");
    for (int k = 0; k < kDisplayLines; ++k) {
        app.display_lines[static_cast<size_t>(k)] =
            make_line(main_window, kLineHeight * k, app.display_font);
    }
    for (int k = 0; k < kStatusLines; ++k) {
        app.status_lines[static_cast<size_t>(k)] =
            make_line(main_window, kLineHeight * (kDisplayLines + k), app.status_font);
    }
}

LRESULT CALLBACK main_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        case WM_KEYDOWN:
            return 0;
        case WM_CHAR:
            on_char(wparam);
            return 0;
        case WM_COMMAND:
            return on_command(window, LOWORD(wparam));
        case WM_TIMER:
            on_timer(wparam);
            return 0;
        case WM_RELAY_ACCEPT:
            on_socket(SocketRole::relay_listener, wparam, lparam);
            return 0;
        case WM_RELAY_CLIENT:
            on_socket(SocketRole::relay_client, wparam, lparam);
            return 0;
        case WM_LINK_UPSTREAM:
            on_socket(SocketRole::link_upstream, wparam, lparam);
            return 0;
        case WM_LINK_SOURCE:
            on_socket(SocketRole::link_source, wparam, lparam);
            return 0;
        case WM_LINK_CONSUMER:
            on_socket(SocketRole::link_consumer, wparam, lparam);
            return 0;
        case WM_LINK_PUSH:
            on_socket(SocketRole::push_target, wparam, lparam);
            return 0;
        case WM_STATUS_REFRESH:
            on_status_refresh();
            return 0;
        case WM_STATUS_SHOW:
            status_lines_show();
            return 0;
        // May come after the source went back to TCP: the ring is then empty.
        case WM_SERIAL_DATA:
            station_serial_ready(*station());
            return 0;
        case WM_TRAY_NOTIFY:
            return on_tray_notify(window, lparam);
        case WM_INITMENUPOPUP:
            on_init_menu_popup(window);
            return 0;
        default:
            if (single_copy_is_show_request(message)) {
                bring_forward(window);
                return 0;
            }
            return DefWindowProcW(window, message, wparam, lparam);
    }
}
