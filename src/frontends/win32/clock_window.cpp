#include "frontends/win32/clock_window.h"

#include <array>

#include "frontends/win32/wide_text.h"
#include "frontends/win32/win32_app.h"
#include "resource_ids.h"

namespace {

constexpr wchar_t kClockWindowClass[] = L"QalmorReceiverClock";
constexpr char kClockCaption[] =
    "\xD7\xE0\xF1\xFB \xEF\xF0\xE8\xE5\xEC\xED\xE8\xEA\xE0";  // "Часы приемника"
constexpr UINT_PTR kRefreshTimer = 1;
constexpr int kWidth = 560;
constexpr int kHeight = 170;

HWND open_window = nullptr;

// The figures, one per line, and the button's offer.
void refresh(HWND window) {
    Station* station = win32_app().station;
    if (station == nullptr)
        return;
    const ClockWatch& watch = station_clock_watch(*station);
    const ClockReport& report = watch.report;
    std::array<char, 512> line;
    clock_report_line(report, line);
    std::array<char, 1024> text;
    // "Сообщений в секунду: N, принято байт: N"
    text_format(text,
                "%s\r\n\r\n\xD1\xEE\xEE\xE1\xF9\xE5\xED\xE8\xE9 \xE2 \xF1\xE5\xEA\xF3\xED\xE4\xF3: "
                "%.1f, \xEF\xF0\xE8\xED\xFF\xF2\xEE \xE1\xE0\xE9\xF2: %llu",
                line.data(), watch.lines_per_s, static_cast<unsigned long long>(watch.bytes));
    dialog_item_text_set(window, IDC_CLOCK_TEXT, text.data());
    HWND button = GetDlgItem(window, IDC_CLOCK_APPLY);
    bool offered = station_clock_offers_common(*station);
    std::array<char, 128> label;
    // "Записать N Гц в frequency.ini"
    text_format(label, "\xC7\xE0\xEF\xE8\xF1\xE0\xF2\xFC %lld \xC3\xF6 \xE2 frequency.ini",
                static_cast<long long>(report.common_hz));
    window_text_set(button, offered ? label.data() : "");
    ShowWindow(button, offered ? SW_SHOW : SW_HIDE);
}

HWND add_child(HWND window, const wchar_t* kind, DWORD style, int id, int x, int y, int w, int h) {
    HWND child = CreateWindowExW(0, kind, L"", WS_CHILD | WS_VISIBLE | style, x, y, w, h, window,
                                 reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                                 win32_app().instance, nullptr);
    SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)), 0);
    return child;
}

void on_create(HWND window) {
    add_child(window, L"STATIC", 0, IDC_CLOCK_TEXT, 8, 8, kWidth - 30, 70);
    add_child(window, L"BUTTON", BS_PUSHBUTTON, IDC_CLOCK_APPLY, 8, 86, 300, 24);
    refresh(window);
    SetTimer(window, kRefreshTimer, 1000, nullptr);
}

// The button: the same station function as the frequency dialog's OK, so the file, the
// new reference and the greeting follow alike.
void on_apply(HWND window) {
    if (win32_app().station != nullptr)
        station_clock_apply_common(*win32_app().station);
    refresh(window);
}

LRESULT CALLBACK clock_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
        case WM_CREATE:
            on_create(window);
            return 0;
        case WM_TIMER:
            refresh(window);
            return 0;
        case WM_COMMAND:
            if (LOWORD(wparam) == IDC_CLOCK_APPLY)
                on_apply(window);
            return 0;
        case WM_DESTROY:
            KillTimer(window, kRefreshTimer);
            open_window = nullptr;
            return 0;
        default:
            return DefWindowProcW(window, message, wparam, lparam);
    }
}

}  // namespace

void clock_window_open(HWND owner) {
    if (open_window != nullptr) {
        SetForegroundWindow(open_window);
        return;
    }
    static bool registered = false;
    if (!registered) {
        WNDCLASSW window_class{};
        window_class.lpfnWndProc = clock_window_proc;
        window_class.hInstance = win32_app().instance;
        window_class.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
        window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
        window_class.lpszClassName = kClockWindowClass;
        registered = RegisterClassW(&window_class) != 0;
    }
    wchar_t title[64];
    wide_from_cp1251(kClockCaption, title);
    open_window = CreateWindowExW(0, kClockWindowClass, title,
                                  WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_VISIBLE,
                                  CW_USEDEFAULT, CW_USEDEFAULT, kWidth, kHeight, owner, nullptr,
                                  win32_app().instance, nullptr);
}
