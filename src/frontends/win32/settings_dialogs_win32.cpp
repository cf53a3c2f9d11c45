#include "frontends/win32/settings_dialogs_win32.h"

#include "frontends/win32/wide_text.h"
#include "frontends/win32/win32_app.h"
#include "resource_ids.h"
#include "station/settings_dialogs.h"

namespace {

// "Необходимо перезапустить программу", captioned "Внимание".
constexpr char kRestartText[] =
    "\xCD\xE5\xEE\xE1\xF5\xEE\xE4\xE8\xEC\xEE \xEF\xE5\xF0\xE5\xE7\xE0\xEF\xF3\xF1\xF2\xE8\xF2\xFC "
    "\xEF\xF0\xEE\xE3\xF0\xE0\xEC\xEC\xF3";
constexpr char kRestartCaption[] = "\xC2\xED\xE8\xEC\xE0\xED\xE8\xE5";

// The Tab cycle of one Tab-cycling template: the dialog of that template opened last,
// and the position in its cycle, -1 while none is open.
struct TabCycle {
    HWND dialog = nullptr;
    int state = -1;
};

TabCycle relay_cycle;
TabCycle coordinates_cycle;
TabCycle source_cycle;

Station& station() {
    return *win32_app().station;
}

void show_fields(HWND dialog, const DialogFields& fields, bool two) {
    dialog_item_text_set(dialog, 1000, fields.first.data());
    if (two)
        dialog_item_text_set(dialog, 1001, fields.second.data());
}

// A field as the program takes it: Windows-1251, at most 255 characters.
Text256 field_text(HWND dialog, int item) {
    Text256 text{};
    dialog_item_text_get(dialog, item, text);
    return text;
}

void start_cycle(TabCycle& cycle, HWND dialog) {
    cycle.dialog = dialog;
    cycle.state = 0;
    SetFocus(GetDlgItem(dialog, 1000));
}

// Moves the focus to the control the cycle's state selects. The relay dialog has no
// second field, so its cycle skips state 1.
INT_PTR tab(TabCycle& cycle, bool has_second_field) {
    if (cycle.state == -1)
        return 0;
    int target;
    switch (cycle.state) {
        case 0:
            target = has_second_field ? 1001 : IDOK;
            cycle.state = has_second_field ? 1 : 2;
            break;
        case 1:
            target = IDOK;
            cycle.state = 2;
            break;
        case 2:
            target = IDCANCEL;
            cycle.state = 3;
            break;
        default:
            target = 1000;
            cycle.state = 0;
            break;
    }
    SetFocus(GetDlgItem(cycle.dialog, target));
    return 1;
}

// The part every dialog shares: OK and Cancel close it, the Tab command moves the focus
// in the Tab-cycling ones. `cycle` is null for the others.
INT_PTR answer_command(HWND dialog, WPARAM wparam, TabCycle* cycle, bool has_second_field,
                       void (*apply)(HWND dialog)) {
    switch (LOWORD(wparam)) {
        case IDOK:
            apply(dialog);
            if (cycle != nullptr)
                cycle->state = -1;
            DestroyWindow(dialog);
            return 1;
        case IDCANCEL:
            if (cycle != nullptr)
                cycle->state = -1;
            DestroyWindow(dialog);
            return 1;
        case IDC_TAB_COMMAND:
            return cycle != nullptr ? tab(*cycle, has_second_field) : 0;
        default:
            return 0;
    }
}

void apply_relay(HWND dialog) {
    Text256 port = field_text(dialog, IDC_RELAY_PORT);
    if (dialog_ok_relay(station(), port.data())) {
        // The dialog stays on screen until the box is closed.
        message_box_cp1251(win32_app().main_window, kRestartText, kRestartCaption, MB_OK);
    }
}

void apply_source(HWND dialog) {
    Text256 port = field_text(dialog, IDC_SOURCE_PORT);
    Text256 host = field_text(dialog, IDC_SOURCE_HOST);
    dialog_ok_source(station(), port.data(), host.data());
}

void apply_consumer(HWND dialog) {
    Text256 port = field_text(dialog, IDC_CONSUMER_PORT);
    Text256 host = field_text(dialog, IDC_CONSUMER_HOST);
    dialog_ok_consumer(station(), port.data(), host.data());
}

void apply_coordinates(HWND dialog) {
    Text256 latitude = field_text(dialog, IDC_LATITUDE);
    Text256 longitude = field_text(dialog, IDC_LONGITUDE);
    dialog_ok_coordinates(station(), latitude.data(), longitude.data());
}

void apply_name(HWND dialog) {
    dialog_ok_name(station(), field_text(dialog, IDC_RECEIVER_NAME).data());
}

void apply_threshold(HWND dialog) {
    dialog_ok_threshold(station(), field_text(dialog, IDC_THRESHOLD).data());
}

void apply_frequency(HWND dialog) {
    dialog_ok_frequency(station(), field_text(dialog, IDC_FREQUENCY).data());
}

// Fills a dialog when it opens; returns 0 so the platform sets no focus of its own.
INT_PTR open_dialog(HWND dialog, void (*open)(Station&, DialogFields&), bool two, TabCycle* cycle) {
    DialogFields fields;
    open(station(), fields);
    show_fields(dialog, fields, two);
    if (cycle != nullptr)
        start_cycle(*cycle, dialog);
    return 0;
}

struct DialogTemplate {
    int command;
    const wchar_t* name;
    DLGPROC procedure;
};

constexpr DialogTemplate kTemplates[] = {
    {IDM_SERVER_SETTINGS, L"IDD_DIALOG2", relay_dialog_proc},
    {IDM_SOURCE_SETTINGS, L"IDD_DIALOG8", source_dialog_proc},
    {IDM_CONSUMER_SETTINGS, L"IDD_DIALOG9", consumer_dialog_proc},
    {IDM_COORDINATES, L"IDD_DIALOG3", coordinates_dialog_proc},
    {IDM_RECEIVER_NAME, L"IDD_DIALOG4", name_dialog_proc},
    {IDM_THRESHOLD, L"IDD_DIALOG_POROG", threshold_dialog_proc},
    {IDM_TIMER_FREQUENCY, L"IDD_DIALOG_FREQ", frequency_dialog_proc},
};

}  // namespace

bool settings_dialog_open(HWND main_window, int command) {
    for (const DialogTemplate& t : kTemplates) {
        if (t.command == command) {
            CreateDialogParamW(win32_app().instance, t.name, main_window, t.procedure, 0);
            return true;
        }
    }
    return false;
}

bool settings_dialogs_take_tab(HWND typed_in) {
    // All three are asked, whatever the earlier ones answer.
    bool taken = relay_dialog_proc(typed_in, WM_COMMAND, IDC_TAB_COMMAND, 0) != 0;
    taken = coordinates_dialog_proc(typed_in, WM_COMMAND, IDC_TAB_COMMAND, 0) != 0 || taken;
    taken = source_dialog_proc(typed_in, WM_COMMAND, IDC_TAB_COMMAND, 0) != 0 || taken;
    return taken;
}

INT_PTR CALLBACK relay_dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
    if (message == WM_INITDIALOG)
        return open_dialog(dialog, dialog_open_relay, false, &relay_cycle);
    if (message == WM_COMMAND)
        return answer_command(dialog, wparam, &relay_cycle, false, apply_relay);
    return 0;
}

INT_PTR CALLBACK source_dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
    if (message == WM_INITDIALOG)
        return open_dialog(dialog, dialog_open_source, true, &source_cycle);
    if (message == WM_COMMAND)
        return answer_command(dialog, wparam, &source_cycle, true, apply_source);
    return 0;
}

INT_PTR CALLBACK consumer_dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
    if (message == WM_INITDIALOG)
        return open_dialog(dialog, dialog_open_consumer, true, nullptr);
    if (message == WM_COMMAND)
        return answer_command(dialog, wparam, nullptr, true, apply_consumer);
    return 0;
}

INT_PTR CALLBACK coordinates_dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
    if (message == WM_INITDIALOG) {
        return open_dialog(dialog, dialog_open_coordinates, true, &coordinates_cycle);
    }
    if (message == WM_COMMAND) {
        return answer_command(dialog, wparam, &coordinates_cycle, true, apply_coordinates);
    }
    return 0;
}

INT_PTR CALLBACK name_dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
    if (message == WM_INITDIALOG)
        return open_dialog(dialog, dialog_open_name, false, nullptr);
    if (message == WM_COMMAND)
        return answer_command(dialog, wparam, nullptr, false, apply_name);
    return 0;
}

INT_PTR CALLBACK threshold_dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
    if (message == WM_INITDIALOG)
        return open_dialog(dialog, dialog_open_threshold, false, nullptr);
    if (message == WM_COMMAND)
        return answer_command(dialog, wparam, nullptr, false, apply_threshold);
    return 0;
}

INT_PTR CALLBACK frequency_dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
    if (message == WM_INITDIALOG)
        return open_dialog(dialog, dialog_open_frequency, false, nullptr);
    if (message == WM_COMMAND)
        return answer_command(dialog, wparam, nullptr, false, apply_frequency);
    return 0;
}
