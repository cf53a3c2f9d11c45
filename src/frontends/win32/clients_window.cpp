#include "frontends/win32/clients_window.h"

#include <array>
#include <iterator>

#include "frontends/win32/wide_text.h"
#include "frontends/win32/win32_app.h"
#include "resource_ids.h"
#include "station/reader_rows.h"

namespace {

constexpr UINT_PTR kRefreshTimer = 1;
// Where each column after the first begins, in dialog units: port, connected since, bytes
// sent, behind, most behind, a push target's state.
constexpr int kTabStops[] = {100, 128, 196, 262, 328, 400};
// A push target's state is the last column and may be long: the list scrolls sideways to
// show this much of it.
constexpr int kStateWidth = 260;

HWND open_dialog = nullptr;

// The rows are rebuilt whole; the list keeps its scroll position, so that a reader far
// down is not thrown back to the top every second.
void refresh(HWND dialog) {
    Station* station = win32_app().station;
    if (station == nullptr)
        return;
    static ReaderRows rows;  // too big for the stack of a window procedure
    int count = station_reader_rows(*station, rows);
    HWND list = GetDlgItem(dialog, IDC_CLIENTS_LIST);
    LRESULT top = SendMessageW(list, LB_GETTOPINDEX, 0, 0);
    SendMessageW(list, WM_SETREDRAW, FALSE, 0);
    SendMessageW(list, LB_RESETCONTENT, 0, 0);
    for (int i = 0; i < count; ++i) {
        std::array<wchar_t, kReaderRowSize> wide;
        wide_from_cp1251(rows[static_cast<size_t>(i)].data(), wide);
        SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(wide.data()));
    }
    SendMessageW(list, LB_SETTOPINDEX, static_cast<WPARAM>(top), 0);
    SendMessageW(list, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(list, nullptr, TRUE);
}

// Returns 1: the list takes the focus, so the keys scroll it.
INT_PTR on_open(HWND dialog) {
    SendDlgItemMessageW(dialog, IDC_CLIENTS_LIST, LB_SETTABSTOPS, std::size(kTabStops),
                        reinterpret_cast<LPARAM>(kTabStops));
    RECT row{0, 0, kTabStops[std::size(kTabStops) - 1] + kStateWidth, 0};
    MapDialogRect(dialog, &row);
    SendDlgItemMessageW(dialog, IDC_CLIENTS_LIST, LB_SETHORIZONTALEXTENT,
                        static_cast<WPARAM>(row.right), 0);
    refresh(dialog);
    SetTimer(dialog, kRefreshTimer, 1000, nullptr);
    return 1;
}

// Close and the close box both come as IDCANCEL.
INT_PTR CALLBACK clients_dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
    switch (message) {
        case WM_INITDIALOG:
            return on_open(dialog);
        case WM_TIMER:
            if (wparam == kRefreshTimer)
                refresh(dialog);
            return 1;
        case WM_COMMAND:
            if (LOWORD(wparam) == IDCANCEL)
                DestroyWindow(dialog);
            return 1;
        case WM_DESTROY:
            KillTimer(dialog, kRefreshTimer);
            open_dialog = nullptr;
            return 1;
        default:
            return 0;
    }
}

}  // namespace

void clients_window_open(HWND owner) {
    if (open_dialog != nullptr) {
        SetForegroundWindow(open_dialog);
        return;
    }
    open_dialog = CreateDialogParamW(win32_app().instance, L"IDD_DIALOG_CLIENTS", owner,
                                     clients_dialog_proc, 0);
}
