#include "frontends/win32/tray.h"

#include <shellapi.h>

#include "frontends/win32/wide_text.h"
#include "frontends/win32/win32_app.h"

namespace {

constexpr UINT kTrayIconId = 1006;

// Filled by the add and used again unchanged by the delete.
NOTIFYICONDATAW tray_record{};

}  // namespace

bool tray_add(HWND main_window, HINSTANCE instance) {
    tray_record = NOTIFYICONDATAW{};
    // The original record layout (a 64-character tip), which every Windows accepts.
    tray_record.cbSize = NOTIFYICONDATAW_V1_SIZE;
    tray_record.hWnd = main_window;
    tray_record.uID = kTrayIconId;
    tray_record.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    tray_record.uCallbackMessage = WM_TRAY_NOTIFY;
    tray_record.hIcon = LoadIconW(instance, L"ICON_1");
    wide_from_cp1251(kWindowTitle, tray_record.szTip);
    return Shell_NotifyIconW(NIM_ADD, &tray_record) != FALSE;
}

bool tray_delete() {
    return Shell_NotifyIconW(NIM_DELETE, &tray_record) != FALSE;
}

LRESULT tray_menu(HWND main_window, HINSTANCE instance) {
    HMENU menu = LoadMenuW(instance, L"MENU_Tray");
    if (menu == nullptr)
        return 0;
    HMENU popup = GetSubMenu(menu, 0);
    if (popup == nullptr) {
        DestroyMenu(menu);
        return 0;
    }
    // Without this the popup would not close when the user clicks elsewhere.
    SetForegroundWindow(main_window);
    POINT mouse{};
    GetCursorPos(&mouse);
    BOOL shown = TrackPopupMenu(popup, 0, mouse.x, mouse.y, 0, main_window, nullptr);
    DestroyMenu(menu);
    return shown;
}
