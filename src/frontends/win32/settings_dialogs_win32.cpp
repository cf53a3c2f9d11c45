#include "frontends/win32/settings_dialogs_win32.h"

#include <cstring>

#include "frontends/win32/wide_text.h"
#include "frontends/win32/win32_app.h"
#include "net/speed_hunt.h"
#include "resource_ids.h"
#include "station/settings_dialogs.h"

namespace {

// "Необходимо перезапустить программу", captioned "Внимание".
constexpr char kRestartText[] =
    "\xCD\xE5\xEE\xE1\xF5\xEE\xE4\xE8\xEC\xEE \xEF\xE5\xF0\xE5\xE7\xE0\xEF\xF3\xF1\xF2\xE8\xF2\xFC "
    "\xEF\xF0\xEE\xE3\xF0\xE0\xEC\xEC\xF3";
constexpr char kRestartCaption[] = "\xC2\xED\xE8\xEC\xE0\xED\xE8\xE5";

// The menu commands that open a settings dialog.
struct DialogCommand {
    int command;
    DialogId dialog;
};
constexpr DialogCommand kDialogCommands[] = {
    {IDM_SERVER_SETTINGS, DialogId::relay},      {IDM_SOURCE_SETTINGS, DialogId::source},
    {IDM_CONSUMER_SETTINGS, DialogId::consumer}, {IDM_COORDINATES, DialogId::coordinates},
    {IDM_RECEIVER_NAME, DialogId::name},         {IDM_THRESHOLD, DialogId::threshold},
    {IDM_TIMER_FREQUENCY, DialogId::frequency},  {IDM_SERIAL_SETTINGS, DialogId::serial},
    {IDM_PUSH_SETTINGS, DialogId::push},
};

// Edit control i of a dialog is 1000 + i.
constexpr int kFirstFieldId = 1000;
int field_id(int field) {
    return kFirstFieldId + field;
}

Station& station() {
    return *win32_app().station;
}

int control_id(DialogControl control) {
    switch (control) {
        case DialogControl::first_field:
            return field_id(0);
        case DialogControl::second_field:
            return field_id(1);
        case DialogControl::third_field:
            return field_id(2);
        case DialogControl::ok:
            return IDOK;
        case DialogControl::cancel:
            break;
    }
    return IDCANCEL;
}

// The row a dialog serves, stored when it opened.
DialogId dialog_id(HWND dialog) {
    return static_cast<DialogId>(GetWindowLongPtrW(dialog, DWLP_USER));
}

void add_choice(HWND list, const char* text) {
    std::array<wchar_t, kTextSize> wide;
    wide_from_cp1251(text, wide);
    SendMessageW(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(wide.data()));
}

// The serial ports Windows knows now: the values under HKLM\HARDWARE\DEVICEMAP\SERIALCOMM,
// which drivers keep current as adapters come and go.
void add_serial_ports(HWND list) {
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
        ERROR_SUCCESS)
        return;
    // Far more values than there are port numbers: the list ends even if the key keeps
    // answering.
    constexpr DWORD kMostValues = 1024;
    for (DWORD i = 0; i < kMostValues; ++i) {
        std::array<wchar_t, 256> name;
        std::array<wchar_t, 64> port{};
        DWORD name_size = static_cast<DWORD>(name.size());
        DWORD port_bytes = static_cast<DWORD>(sizeof(wchar_t) * (port.size() - 1));
        DWORD type = 0;
        LONG result = RegEnumValueW(key, i, name.data(), &name_size, nullptr, &type,
                                    reinterpret_cast<BYTE*>(port.data()), &port_bytes);
        // A value too long for the buffers names no port and is passed over. Any other
        // error would come back at every index (a key deleted while it is read answers
        // every read so), so it ends the list.
        if (result == ERROR_MORE_DATA)
            continue;
        if (result != ERROR_SUCCESS)
            break;
        if (type == REG_SZ)
            SendMessageW(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(port.data()));
    }
    RegCloseKey(key);
}

// The choices of a field that is an editable list; the text stays as it was set.
void fill_choices(HWND dialog, int field_id, FieldKind kind) {
    HWND list = GetDlgItem(dialog, field_id);
    if (kind == FieldKind::port_list) {
        add_serial_ports(list);
    } else if (kind == FieldKind::speed_list) {
        add_choice(list, kAutomaticSpeedText);
        for (int32_t speed : kHuntSpeeds) {
            Text256 text;
            text_format(text, "%d", static_cast<int>(speed));
            add_choice(list, text.data());
        }
    }
}

constexpr UINT_PTR kPushStatusTimer = 1;

// The push dialog's list of the targets' states: their status lines, one a target.
void show_push_status(HWND dialog) {
    static StatusTexts texts;
    station_status_texts(station(), texts);
    std::array<char, kPushLineSize * kPushTargets> list{};
    size_t length = 0;
    for (const auto& line : texts.push_target_lines) {
        if (line[0] == '\0')
            continue;
        text_format(std::span(list).subspan(length), "%s\r\n", line.data());
        length += std::strlen(list.data() + length);
    }
    dialog_item_text_set(dialog, IDC_PUSH_STATUS, list.data());
}

// Fills a dialog when it opens; returns 0 so the platform sets no focus of its own.
INT_PTR on_open(HWND dialog, DialogId id) {
    SetWindowLongPtrW(dialog, DWLP_USER, static_cast<LONG_PTR>(id));
    const DialogRow& row = dialog_row(id);
    DialogFields fields;
    dialog_open(station(), id, fields);
    for (int i = 0; i < row.shown_fields; ++i) {
        fill_choices(dialog, field_id(i), dialog_shown_field(row, i).kind);
        dialog_item_text_set(dialog, field_id(i), fields.text[static_cast<size_t>(i)].data());
    }
    if (row.tab_cycling) {
        win32_app().tab_dialogs[dialog_index(id)] = dialog;
        SetFocus(GetDlgItem(dialog, field_id(0)));
    }
    if (id == DialogId::push) {
        show_push_status(dialog);
        SetTimer(dialog, kPushStatusTimer, 1000, nullptr);
    }
    return 0;
}

// The fields as the program takes them: Windows-1251, at most 255 characters each.
void on_ok(HWND dialog, DialogId id) {
    DialogFields fields;
    for (int i = 0; i < dialog_row(id).shown_fields; ++i)
        dialog_item_text_get(dialog, field_id(i), fields.text[static_cast<size_t>(i)]);
    if (dialog_ok(station(), id, fields)) {
        // The dialog stays on screen until the box is closed.
        message_box_cp1251(win32_app().main_window, kRestartText, kRestartCaption, MB_OK);
    }
    DestroyWindow(dialog);
}

// A Tab for the template of `id`, typed or the Tab command: the focus of its dialog
// opened last moves on. Returns whether one took it: false while none of the template
// is open, and always for a dialog without a Tab cycle.
bool tab_move(DialogId id) {
    DialogControl focus;
    if (!dialog_row(id).tab_cycling || !dialog_tab(station(), id, focus))
        return false;
    SetFocus(GetDlgItem(win32_app().tab_dialogs[dialog_index(id)], control_id(focus)));
    return true;
}

}  // namespace

bool settings_dialog_open(HWND main_window, int command) {
    for (const DialogCommand& entry : kDialogCommands) {
        if (entry.command != command)
            continue;
        std::array<wchar_t, 64> name;
        wide_from_cp1251(dialog_row(entry.dialog).template_name, name);
        CreateDialogParamW(win32_app().instance, name.data(), main_window, settings_dialog_proc,
                           static_cast<LPARAM>(entry.dialog));
        return true;
    }
    return false;
}

bool settings_dialogs_take_tab() {
    // All are asked, whatever the earlier ones answer, in the table's order.
    bool taken = false;
    for (const DialogRow& row : dialog_rows()) {
        if (tab_move(row.id))
            taken = true;
    }
    return taken;
}

INT_PTR CALLBACK settings_dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_INITDIALOG)
        return on_open(dialog, static_cast<DialogId>(lparam));
    if (message == WM_TIMER && wparam == kPushStatusTimer) {
        show_push_status(dialog);
        return 1;
    }
    if (message != WM_COMMAND)
        return 0;
    switch (LOWORD(wparam)) {
        case IDOK:
            on_ok(dialog, dialog_id(dialog));
            return 1;
        case IDCANCEL:
            dialog_cancel(station(), dialog_id(dialog));
            DestroyWindow(dialog);
            return 1;
        case IDC_TAB_COMMAND:
            return tab_move(dialog_id(dialog)) ? 1 : 0;
        default:
            return 0;
    }
}
