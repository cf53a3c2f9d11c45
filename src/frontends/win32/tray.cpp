#include "frontends/win32/tray.h"

#include <shellapi.h>

#include <cstring>

#include "frontends/win32/wide_text.h"
#include "frontends/win32/win32_app.h"
#include "station/tray_status.h"

namespace {

constexpr UINT kTrayIconId = 1006;

// Filled by the add; the tip and balloons change its texts, the delete needs only its
// window and id.
NOTIFYICONDATAW tray_record{};
// The tip last given, as the station wrote it: the shell is told only of a change.
char shown_tip[kTrayTipSize] = "";
TrayBalloons balloons;

bool tray_modify(UINT flags) {
    tray_record.uFlags = flags;
    return Shell_NotifyIconW(NIM_MODIFY, &tray_record) != FALSE;
}

}  // namespace

bool tray_add(HWND main_window, HINSTANCE instance) {
    tray_record = NOTIFYICONDATAW{};
    // The layout with a 127-character tip and balloons, which every Windows since 2000
    // accepts.
    tray_record.cbSize = NOTIFYICONDATAW_V2_SIZE;
    tray_record.hWnd = main_window;
    tray_record.uID = kTrayIconId;
    tray_record.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    tray_record.uCallbackMessage = WM_TRAY_NOTIFY;
    tray_record.hIcon = LoadIconW(instance, L"ICON_1");
    wide_from_cp1251(kWindowTitle, tray_record.szTip);
    shown_tip[0] = '\0';
    balloons = TrayBalloons{};
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

void tray_show_status(const Station& station) {
    char tip[kTrayTipSize];
    tray_tip_text(station_tray_facts(station), tip);
    if (std::strcmp(tip, shown_tip) == 0)
        return;
    std::memcpy(shown_tip, tip, sizeof tip);
    wide_from_cp1251(tip, tray_record.szTip);
    tray_modify(NIF_TIP);
}

void tray_tick(const Station& station, int64_t now_ms) {
    bool connected = link_state(station.links, LINK_SOURCE) == LINK_CONNECTED;
    TrayBalloon due = tray_balloon_due(balloons, connected, now_ms);
    if (due == TrayBalloon::none)
        return;
    wide_from_cp1251("QALMOR link", tray_record.szInfoTitle);
    wide_from_cp1251(tray_balloon_text(due), tray_record.szInfo);
    tray_record.dwInfoFlags = due == TrayBalloon::receiver_lost ? NIIF_WARNING : NIIF_INFO;
    tray_record.uTimeout = 10000;  // ms; the shell may keep it shorter or longer
    tray_modify(NIF_INFO);
}

const wchar_t* tray_tip() {
    return tray_record.szTip;
}
