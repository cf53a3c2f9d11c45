// The Win32 front end on real windows, in this test program's own process: the start-up
// of the program on a config directory of its own, then messages as the message loop
// would hand them over. Needs a display (Xvfb under Wine).
#include "frontends/win32/app_main.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "frontends/win32/main_window.h"
#include "frontends/win32/settings_dialogs_win32.h"
#include "frontends/win32/tray.h"
#include "frontends/win32/win32_app.h"
#include "resource_ids.h"
#include "station/settings_dialogs.h"
#include "station/source.h"
#include "support/base/net_helpers.h"

namespace {

// The program started once for the whole test program: a window class registers once.
class MainWindow : public testing::Test {
protected:
    static void SetUpTestSuite() {
        dir = new TempDir;
        receiver = new FakeReceiver;
        relay_port = free_port();
        dir->write("initsocket.ini", std::to_string(relay_port) + "\r\n127.0.0.1\r\n");
        dir->write("initmkp1.ini", std::to_string(receiver->port) + "\r\n127.0.0.1\r\n");
        ASSERT_TRUE(app_start(GetModuleHandleW(nullptr), SW_SHOWNORMAL, dir->path.c_str()));
        pump_until([] {
            return receiver->accept_pending() && status_text(1).find(L"127") != std::wstring::npos;
        });
    }
    static void TearDownTestSuite() {
        DestroyWindow(app().main_window);
        app_shutdown();
        delete receiver;
        delete dir;
    }

    static Win32App& app() { return win32_app(); }
    static Station& station() { return *app().station; }
    static HWND window() { return app().main_window; }

    // Hands queued messages to the program as its message loop does.
    static bool pump_until(const std::function<bool()>& done, int timeout_ms = 5000) {
        for (int waited = 0; waited <= timeout_ms; waited += 5) {
            MSG message;
            while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
                app_handle_message(message);
            if (done())
                return true;
            Sleep(5);
        }
        return false;
    }
    static void pump() {
        pump_until([] { return false; }, 50);
    }

    static std::wstring text_of(HWND w) {
        wchar_t text[2048] = {};
        GetWindowTextW(w, text, 2048);
        return text;
    }
    static std::wstring status_text(int k) {
        return text_of(app().status_lines[static_cast<size_t>(k)]);
    }
    static std::wstring display_text(int k) {
        return text_of(app().display_lines[static_cast<size_t>(k)]);
    }
    static LRESULT command(int id) {
        return SendMessageW(window(), WM_COMMAND, static_cast<WPARAM>(id), 0);
    }
    static bool checked(int item) {
        return (GetMenuState(GetMenu(window()), static_cast<UINT>(item), MF_BYCOMMAND) &
                MF_CHECKED) != 0;
    }
    // A typed Tab, as the message loop takes it from the queue.
    static void type_tab() {
        MSG tab{GetFocus(), WM_CHAR, '\t', 0, 0, {}};
        app_handle_message(tab);
    }
    // A dialog of this process: the tests of other processes run on the same desktop.
    static HWND find_dialog(const wchar_t* title) {
        struct Search {
            const wchar_t* title;
            HWND found;
        } search{title, nullptr};
        EnumWindows(
            [](HWND window, LPARAM context) -> BOOL {
                auto& wanted = *reinterpret_cast<Search*>(context);
                DWORD process = 0;
                GetWindowThreadProcessId(window, &process);
                wchar_t text[128] = {};
                wchar_t kind[16] = {};
                GetWindowTextW(window, text, 128);
                GetClassNameW(window, kind, 16);
                if (process != GetCurrentProcessId() || wcscmp(kind, L"#32770") != 0 ||
                    wcscmp(text, wanted.title) != 0)
                    return TRUE;
                wanted.found = window;
                return FALSE;
            },
            reinterpret_cast<LPARAM>(&search));
        return search.found;
    }
    static std::vector<std::wstring> split_columns(const std::wstring& row) {
        std::vector<std::wstring> columns;
        size_t start = 0;
        for (size_t tab; (tab = row.find(L'\t', start)) != std::wstring::npos; start = tab + 1)
            columns.push_back(row.substr(start, tab - start));
        columns.push_back(row.substr(start));
        return columns;
    }
    static int focused_id() { return GetDlgCtrlID(GetFocus()); }
    // The rows of a dialog's list box.
    static std::vector<std::wstring> list_rows(HWND dialog, int list) {
        std::vector<std::wstring> rows;
        LRESULT count = SendDlgItemMessageW(dialog, list, LB_GETCOUNT, 0, 0);
        for (LRESULT i = 0; i < count; ++i) {
            wchar_t row[1024] = {};
            SendDlgItemMessageW(dialog, list, LB_GETTEXT, static_cast<WPARAM>(i), LPARAM(row));
            rows.push_back(row);
        }
        return rows;
    }

    static TempDir* dir;
    static FakeReceiver* receiver;
    static uint16_t relay_port;
};

// This test program's autostart entry in the user's Run key (of the tests' Wine prefix).
// Removed again whatever happens, so no later start of the prefix runs the test program.
struct RunEntry {
    static constexpr wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
    std::wstring program;
    std::wstring name;

    RunEntry() {
        wchar_t path[1024] = {};
        program.assign(path, GetModuleFileNameW(nullptr, path, 1024));
        name = L"QALMOR link " + program.substr(0, program.find_last_of(L'\\'));
        remove();
    }
    ~RunEntry() { remove(); }
    // The value's text; empty when there is none.
    std::wstring read() const {
        wchar_t command[2048] = {};
        DWORD size = sizeof command;
        RegGetValueW(HKEY_CURRENT_USER, kRunKey, name.c_str(), RRF_RT_REG_SZ, nullptr, command,
                     &size);
        return command;
    }
    void write(const std::wstring& command) const {
        RegSetKeyValueW(HKEY_CURRENT_USER, kRunKey, name.c_str(), REG_SZ, command.c_str(),
                        static_cast<DWORD>((command.size() + 1) * sizeof(wchar_t)));
    }
    void remove() const {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, kRunKey, 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
            RegDeleteValueW(key, name.c_str());
            RegCloseKey(key);
        }
    }
};

TempDir* MainWindow::dir = nullptr;
FakeReceiver* MainWindow::receiver = nullptr;
uint16_t MainWindow::relay_port = 0;

TEST_F(MainWindow, HasItsClassTitleStyleSizeAndLines) {
    wchar_t name[64];
    GetClassNameW(window(), name, 64);
    EXPECT_STREQ(name, L"kavrelWindow");
    EXPECT_EQ(text_of(window()), L"Связыающая программа (QALMOR)");
    EXPECT_EQ(static_cast<DWORD>(GetWindowLongW(window(), GWL_STYLE)) & 0x10CA0080u, 0x10CA0080u);
    RECT frame;
    GetWindowRect(window(), &frame);
    EXPECT_EQ(frame.right - frame.left, 585);
    RECT client;
    GetClientRect(window(), &client);
    EXPECT_GE(client.bottom, 16 * (kDisplayLines + kStatusLines));  // every line shows whole
    for (int k = 0; k < kDisplayLines + kStatusLines; ++k) {
        HWND line = k < kDisplayLines ? app().display_lines[static_cast<size_t>(k)]
                                      : app().status_lines[static_cast<size_t>(k - kDisplayLines)];
        GetClassNameW(line, name, 64);
        EXPECT_STREQ(name, L"Static");
        RECT box;
        GetWindowRect(line, &box);
        MapWindowPoints(nullptr, window(), reinterpret_cast<POINT*>(&box), 2);
        EXPECT_EQ(box.left, 0);
        EXPECT_EQ(box.top, 16 * k);
        EXPECT_EQ(box.right - box.left, 676);
        EXPECT_EQ(box.bottom - box.top, 16);
        EXPECT_NE(SendMessageW(line, WM_GETFONT, 0, 0), 0);
    }
    EXPECT_EQ(status_text(2), L"");
    EXPECT_EQ(status_text(3), L"");  // no push targets
}

TEST_F(MainWindow, StatusLinesShowTheRelayAndTheSourceInRussian) {
    wchar_t server[64];
    wchar_t client[64];
    swprintf(server, 64, L"Сервер: %5d ", relay_port);
    swprintf(client, 64, L"Клиент: %5d  Соединение 127.0.0.1", receiver->port);
    EXPECT_TRUE(pump_until([&] { return status_text(1) == client; }));
    EXPECT_EQ(status_text(0), server);
    // A direct status refresh rewrites them at once.
    SendMessageW(window(), WM_STATUS_REFRESH, 0, 0);
    EXPECT_EQ(status_text(1), client);
}

TEST_F(MainWindow, ReceivedLinesScrollUpOnePerTick) {
    receiver->send_all("*8D4840D6202CC3;\r\n*5D4840D6202CC3;\r\n");
    ASSERT_TRUE(pump_until([] { return station().ring.write_index == 2; }));
    SendMessageW(window(), WM_TIMER, 2, 0);  // not the program's timer: nothing
    EXPECT_EQ(display_text(17), L"");
    SendMessageW(window(), WM_TIMER, kTimerId, 0);
    EXPECT_EQ(display_text(17), L"*5D4840D6202CC3;\r\n");
    receiver->send_all("*8D4840D6202CC3;\r\n");
    ASSERT_TRUE(pump_until([] { return station().ring.write_index == 3; }));
    SendMessageW(window(), WM_TIMER, kTimerId, 0);
    EXPECT_EQ(display_text(16), L"*5D4840D6202CC3;\r\n");
    EXPECT_EQ(display_text(17), L"*8D4840D6202CC3;\r\n");
}

TEST_F(MainWindow, RelativeTimeLinesKeepTheirRussianPrefixAsTheyMoveUp) {
    EXPECT_EQ(command(IDM_RELATIVE_TIME), 1);
    EXPECT_TRUE(checked(IDM_RELATIVE_TIME));
    receiver->send_all("@0000000000018D4840D6202CC3;\r\n");
    ASSERT_TRUE(pump_until([] { return station().clock.reference_captured == 1; }));
    SendMessageW(window(), WM_TIMER, kTimerId, 0);
    std::wstring shown = L"прм = 0  комп = 0     @0000000000018D4840D6202CC3;\r\n";
    EXPECT_EQ(display_text(17), shown);
    // Moving up reads each line back from its window: the text must survive the trip.
    for (int i = 0; i < 17; ++i) {
        ring_append(station().ring, "*1;\r\n");
        SendMessageW(window(), WM_TIMER, kTimerId, 0);
    }
    EXPECT_EQ(display_text(0), shown);
    EXPECT_EQ(command(IDM_RELATIVE_TIME), 1);
    EXPECT_FALSE(checked(IDM_RELATIVE_TIME));
    EXPECT_EQ(station().clock.relative_time, 0);
}

TEST_F(MainWindow, KeysFourAndFiveFlipTheirFlagsWithoutTouchingTheMenu) {
    SendMessageW(window(), WM_CHAR, '4', 0);
    EXPECT_EQ(station().clock.display_enabled, 0);
    SendMessageW(window(), WM_CHAR, '4', 0);
    EXPECT_EQ(station().clock.display_enabled, 1);

    SendMessageW(window(), WM_CHAR, '5', 0);
    EXPECT_EQ(station().clock.relative_time, 1);
    EXPECT_FALSE(checked(IDM_RELATIVE_TIME));
    // The command decides by the mode: it switches it off and the mark stays off.
    command(IDM_RELATIVE_TIME);
    EXPECT_EQ(station().clock.relative_time, 0);
    EXPECT_FALSE(checked(IDM_RELATIVE_TIME));
    EXPECT_EQ(SendMessageW(window(), WM_CHAR, 'x', 0), 0);
}

TEST_F(MainWindow, BinaryModeCommandSavesItsFileAndMark) {
    EXPECT_EQ(command(IDM_BINARY_MODE), 1);
    EXPECT_TRUE(checked(IDM_BINARY_MODE));
    EXPECT_EQ(station().settings.binary_mode, 1);
    EXPECT_EQ(dir->read("BinarComOn.ini"), "1\r\n");
    command(IDM_BINARY_MODE);
    EXPECT_FALSE(checked(IDM_BINARY_MODE));
    EXPECT_EQ(dir->read("BinarComOn.ini"), "0\r\n");
    EXPECT_EQ(command(999), 0);  // not a command of the program
}

TEST_F(MainWindow, TabCyclesFollowTheirOwnStatePerTemplate) {
    command(IDM_COORDINATES);
    HWND coordinates = find_dialog(L"Настройки координат приемника");
    ASSERT_NE(coordinates, nullptr);
    EXPECT_EQ(focused_id(), 1000);
    std::vector<int> visited;
    for (int i = 0; i < 4; ++i) {
        type_tab();
        visited.push_back(focused_id());
    }
    EXPECT_EQ(visited, (std::vector<int>{1001, IDOK, IDCANCEL, 1000}));

    // With the source dialog open too, one Tab moves both and the focus ends there.
    command(IDM_SOURCE_SETTINGS);
    HWND source = find_dialog(L"Настройки TCP");
    ASSERT_NE(source, nullptr);
    type_tab();
    EXPECT_EQ(GetFocus(), GetDlgItem(source, 1001));
    SendMessageW(source, WM_COMMAND, IDCANCEL, 0);
    SendMessageW(coordinates, WM_COMMAND, IDCANCEL, 0);
    EXPECT_FALSE(IsWindow(source));

    // Closed: a Tab is no longer taken by them.
    command(IDM_SERVER_SETTINGS);
    HWND relay = find_dialog(L"Настройки TCP");
    visited.clear();
    for (int i = 0; i < 5; ++i) {
        type_tab();
        visited.push_back(focused_id());
    }
    EXPECT_EQ(visited, (std::vector<int>{1001, 1002, IDOK, IDCANCEL, 1000}));
    SendMessageW(relay, WM_COMMAND, IDCANCEL, 0);
}

TEST_F(MainWindow, TabCommandMovesTheFocusAsATypedTabDoes) {
    auto tab_command = [](HWND dialog) {
        return settings_dialog_proc(dialog, WM_COMMAND, IDC_TAB_COMMAND, 0);
    };
    command(IDM_SOURCE_SETTINGS);
    HWND source = find_dialog(L"Настройки TCP");
    ASSERT_NE(source, nullptr);
    EXPECT_EQ(GetFocus(), GetDlgItem(source, 1000));
    SendMessageW(source, WM_COMMAND, IDC_TAB_COMMAND, 0);
    EXPECT_EQ(GetFocus(), GetDlgItem(source, 1001));
    EXPECT_EQ(tab_command(source), 1);
    EXPECT_EQ(GetFocus(), GetDlgItem(source, IDOK));
    type_tab();  // the same cycle
    EXPECT_EQ(GetFocus(), GetDlgItem(source, IDCANCEL));

    // A dialog without a Tab cycle takes no Tab command, and the source dialog's stays.
    command(IDM_CONSUMER_SETTINGS);
    HWND consumer = find_dialog(L"Настройки TCP потребителя");
    ASSERT_NE(consumer, nullptr);
    SetFocus(GetDlgItem(consumer, 1000));
    EXPECT_EQ(tab_command(consumer), 0);
    EXPECT_EQ(GetFocus(), GetDlgItem(consumer, 1000));
    SendMessageW(consumer, WM_COMMAND, IDCANCEL, 0);
    // Cancel of another dialog of the template ends the cycle: nothing takes it then.
    command(IDM_SOURCE_SETTINGS);
    SendMessageW(GetParent(GetFocus()), WM_COMMAND, IDCANCEL, 0);
    EXPECT_EQ(tab_command(source), 0);
    SendMessageW(source, WM_COMMAND, IDCANCEL, 0);
}

// The port list of the COM dialog, from HKLM\HARDWARE\DEVICEMAP\SERIALCOMM. The test
// changes that key (volatile: Wine writes it anew at each start) and puts it back.
TEST_F(MainWindow, PortListPassesOverAnOverlongValueAndEndsOnALastingError) {
    static const wchar_t* path = L"HARDWARE\\DEVICEMAP\\SERIALCOMM";
    HKEY ports = nullptr;
    HKEY saved = nullptr;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\qalmor-test", 0, nullptr,
                    REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, &saved, nullptr);
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS, &ports), ERROR_SUCCESS);
    ASSERT_EQ(RegCopyTreeW(ports, nullptr, saved), ERROR_SUCCESS);
    std::wstring overlong = L"COM" + std::wstring(100, L'9');
    for (const std::wstring& port : {overlong, std::wstring(L"COM250")}) {
        std::wstring name = L"\\Device\\QalmorTest" + std::to_wstring(port.size());
        RegSetValueExW(ports, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(port.c_str()),
                       static_cast<DWORD>(sizeof(wchar_t) * (port.size() + 1)));
    }
    auto open_port_list = [] {
        command(IDM_SERIAL_SETTINGS);
        return GetParent(GetFocus());
    };
    HWND dialog = open_port_list();
    HWND list = GetDlgItem(dialog, IDC_SERIAL_PORT);
    EXPECT_NE(SendMessageW(list, CB_FINDSTRINGEXACT, -1, LPARAM(L"COM250")), CB_ERR);
    EXPECT_EQ(SendMessageW(list, CB_FINDSTRINGEXACT, -1, LPARAM(overlong.c_str())), CB_ERR);
    SendMessageW(dialog, WM_COMMAND, IDCANCEL, 0);

    // The key vanishes as the first port is listed: every later read fails, and the
    // list must end there (else the dialog never opens and the test runs out of time).
    static bool deleted;
    deleted = false;
    HHOOK hook = SetWindowsHookExW(
        WH_CALLWNDPROC,
        [](int code, WPARAM wparam, LPARAM lparam) -> LRESULT {
            if (reinterpret_cast<CWPSTRUCT*>(lparam)->message == CB_ADDSTRING && !deleted)
                deleted = RegDeleteKeyW(HKEY_LOCAL_MACHINE, path) == ERROR_SUCCESS;
            return CallNextHookEx(nullptr, code, wparam, lparam);
        },
        nullptr, GetCurrentThreadId());
    dialog = open_port_list();
    UnhookWindowsHookEx(hook);
    EXPECT_TRUE(deleted);
    EXPECT_EQ(SendMessageW(GetDlgItem(dialog, IDC_SERIAL_PORT), CB_GETCOUNT, 0, 0), 1);
    SendMessageW(dialog, WM_COMMAND, IDCANCEL, 0);

    RegCloseKey(ports);
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS,
                    nullptr, &ports, nullptr);
    EXPECT_EQ(RegCopyTreeW(saved, nullptr, ports), ERROR_SUCCESS);
    RegCloseKey(ports);
    RegCloseKey(saved);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\qalmor-test");
}

TEST_F(MainWindow, DialogFieldsAreConvertedBothWays) {
    dir->write("porog.ini", "300\r\n");
    command(IDM_THRESHOLD);
    HWND threshold = find_dialog(L"Нижний порог уровня приема");
    ASSERT_NE(threshold, nullptr);
    wchar_t field[64];
    GetDlgItemTextW(threshold, 1000, field, 64);
    EXPECT_STREQ(field, L"50");
    EXPECT_EQ(station().settings.signal_threshold, 50);
    SetDlgItemTextW(threshold, 1000, L"42abc");
    SendMessageW(threshold, WM_COMMAND, IDOK, 0);
    EXPECT_FALSE(IsWindow(threshold));
    EXPECT_EQ(dir->read("porog.ini"), "42abc\r\n");
    EXPECT_EQ(station().settings.signal_threshold, 42);

    command(IDM_RECEIVER_NAME);
    HWND name = find_dialog(L"Настройки имени приемника");
    ASSERT_NE(name, nullptr);
    GetDlgItemTextW(name, 1000, field, 64);
    EXPECT_STREQ(field, L"Varnholm");
    SetDlgItemTextW(name, 1000, (L"Пулково-" + std::wstring(300, L'Ж')).c_str());
    SendMessageW(name, WM_COMMAND, IDOK, 0);
    std::string saved = dir->read("name.ini");
    EXPECT_EQ(saved.size(), 255u + 2);  // only the first 255 characters, then CR LF
    EXPECT_EQ(saved.substr(0, 8), "\xCF\xF3\xEB\xEA\xEE\xE2\xEE-");  // "Пулково-" in 1251
}

TEST_F(MainWindow, RelayDialogOkWarnsThatARestartIsNeeded) {
    command(IDM_SERVER_SETTINGS);
    HWND relay = find_dialog(L"Настройки TCP");
    ASSERT_NE(relay, nullptr);
    SetDlgItemTextW(relay, 1000, L"5000");
    SetDlgItemTextW(relay, 1001, L"127.0.0.2");
    // The box is modal: another thread reads and closes it while OK waits for it.
    std::wstring box_text;
    bool dialog_still_open = false;
    std::thread closer([&] {
        for (int i = 0; i < 500; ++i) {
            HWND box = find_dialog(L"Внимание");
            if (box != nullptr) {
                wchar_t text[128] = {};
                GetDlgItemTextW(box, 0xFFFF, text, 128);
                box_text = text;
                dialog_still_open = IsWindow(relay) != FALSE;
                PostMessageW(box, WM_COMMAND, IDOK, 0);
                return;
            }
            Sleep(10);
        }
    });
    SendMessageW(relay, WM_COMMAND, IDOK, 0);
    closer.join();
    EXPECT_EQ(box_text, L"Необходимо перезапустить программу");
    EXPECT_TRUE(dialog_still_open);
    EXPECT_FALSE(IsWindow(relay));
    EXPECT_EQ(dir->read("initsocket.ini"), "5000\r\n\r\n127.0.0.2\r\n100\r\n");
    SendMessageW(window(), WM_STATUS_REFRESH, 0, 0);
    EXPECT_EQ(status_text(0).substr(0, 13), L"Сервер:  5000");
}

// The relay clients window: one row a relay client, written anew each second.
TEST_F(MainWindow, RelayClientsWindowShowsEachReaderAndRefreshesEverySecond) {
    RelayReader first(relay_port);
    RelayReader second(relay_port);
    ASSERT_TRUE(pump_until([] {
        std::array<ReaderFigures, kRelaySlots> readers;
        return station_relay_readers(station(), readers) == 2;
    }));
    auto rows_of = [](HWND dialog, const std::wstring& prefix) {
        std::vector<std::vector<std::wstring>> rows;
        for (const std::wstring& row : list_rows(dialog, IDC_CLIENTS_LIST)) {
            if (row.starts_with(prefix))
                rows.push_back(split_columns(row));
        }
        return rows;
    };
    auto prefix_of = [](RelayReader& reader) {
        sockaddr_in own{};
        int size = sizeof own;
        getsockname(reader.socket, reinterpret_cast<sockaddr*>(&own), &size);
        return L"127.0.0.1\t" + std::to_wstring(ntohs(own.sin_port)) + L"\t";
    };
    // The bytes sent (the fourth column) of the one row of `reader`.
    auto bytes_sent = [&](HWND dialog, RelayReader& reader) {
        auto rows = rows_of(dialog, prefix_of(reader));
        return rows.size() == 1 && rows[0].size() >= 4 ? rows[0][3] : L"no single row";
    };

    command(IDM_RELAY_CLIENTS);
    HWND clients = find_dialog(L"Клиенты ретрансляции");
    ASSERT_NE(clients, nullptr);
    EXPECT_EQ(rows_of(clients, L"127.0.0.1\t").size(), 2u);
    EXPECT_EQ(bytes_sent(clients, first), L"0");
    EXPECT_EQ(bytes_sent(clients, second), L"0");

    std::string chunk = "*8D4840D6202CC371C32CE0576098;\r\n";
    for (size_t total : {chunk.size(), 2 * chunk.size()}) {
        source_fan_out(station(), chunk);
        std::wstring sent = std::to_wstring(total);
        EXPECT_TRUE(pump_until(
            [&] {
                return bytes_sent(clients, first) == sent && bytes_sent(clients, second) == sent;
            },
            3000));
        EXPECT_EQ(rows_of(clients, L"127.0.0.1\t").size(), 2u);
    }

    // A second pick brings the open window forward rather than opening another.
    command(IDM_RELAY_CLIENTS);
    SendMessageW(clients, WM_COMMAND, IDCANCEL, 0);
    EXPECT_FALSE(IsWindow(clients));
    EXPECT_EQ(find_dialog(L"Клиенты ретрансляции"), nullptr);
}

// The mark is read from the Run key each time the menu opens, so it shows what is there.
TEST_F(MainWindow, AutostartItemWritesAndRemovesTheRunEntryAndItsMarkShowsWhatIsThere) {
    RunEntry entry;
    auto marked_when_opened = [] {
        HMENU settings = GetSubMenu(GetMenu(window()), 0);
        SendMessageW(window(), WM_INITMENUPOPUP, reinterpret_cast<WPARAM>(settings), 0);
        return checked(IDM_AUTOSTART);
    };
    const std::wstring in_the_tray = L"\"" + entry.program + L"\" --minimized";
    EXPECT_FALSE(marked_when_opened());

    EXPECT_EQ(command(IDM_AUTOSTART), 1);
    EXPECT_EQ(entry.read(), in_the_tray);
    EXPECT_TRUE(checked(IDM_AUTOSTART));
    EXPECT_TRUE(marked_when_opened());

    // The folder was moved: the entry names the old place, and starts nothing here.
    entry.write(L"\"C:\\old place\\qalmor.exe\" --minimized");
    EXPECT_FALSE(marked_when_opened());
    command(IDM_AUTOSTART);
    EXPECT_EQ(entry.read(), in_the_tray);
    EXPECT_TRUE(marked_when_opened());

    command(IDM_AUTOSTART);
    EXPECT_EQ(entry.read(), L"");
    EXPECT_FALSE(checked(IDM_AUTOSTART));
    EXPECT_FALSE(marked_when_opened());
}

// The tip follows the status lines, in Russian whatever the system's code page.
TEST_F(MainWindow, TrayTipTellsTheReceiverAndTheRelayClients) {
    RelayReader reader(relay_port);
    EXPECT_TRUE(pump_until(
        [] {
            return std::wstring(tray_tip()) ==
                   L"QALMOR link\nПриемник: есть связь\nКлиентов: 1 из 100";
        },
        3000))
        << std::wstring(tray_tip()).size();
}

// Started in the tray the window is hidden; the tray menu's first item shows it.
TEST_F(MainWindow, TrayMenuItemShowsTheHiddenWindow) {
    ShowWindow(window(), SW_HIDE);
    EXPECT_EQ(command(IDM_SHOW_WINDOW), 1);
    EXPECT_TRUE(IsWindowVisible(window()));
}

}  // namespace
