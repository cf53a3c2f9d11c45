// The compiled resources, read back from this test program's own module through the
// same calls the program uses. Texts are compared as UTF-16, so a resource script read
// in the wrong code page fails here, not only on a user's screen.

// Wide resource types (RT_DIALOG and the like), to match the wide calls used here.
#define UNICODE
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <iterator>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

HMODULE self() {
    return GetModuleHandleW(nullptr);
}

std::string utf8(std::wstring_view text) {
    std::string out(text.size() * 3, '\0');
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(),
                                static_cast<int>(out.size()), nullptr, nullptr);
    out.resize(n > 0 ? n : 0);
    return out;
}

std::wstring from_cp1251(std::string_view text) {
    std::wstring out(text.size(), L'\0');
    int n = MultiByteToWideChar(1251, 0, text.data(), static_cast<int>(text.size()), out.data(),
                                static_cast<int>(out.size()));
    out.resize(n > 0 ? n : 0);
    return out;
}

std::span<const unsigned char> resource_bytes(const wchar_t* name, const wchar_t* type) {
    HRSRC found = FindResourceW(self(), name, type);
    if (found == nullptr)
        return {};
    HGLOBAL loaded = LoadResource(self(), found);
    auto* data = static_cast<const unsigned char*>(LockResource(loaded));
    return {data, SizeofResource(self(), found)};
}

// ---- Menus ----

struct MenuEntry {
    UINT id = 0;  // 0 for a popup
    std::wstring text;
    bool separator = false;
    bool checked = false;
    std::vector<MenuEntry> items;  // a popup's items

    bool operator==(const MenuEntry&) const = default;
};

MenuEntry item(UINT id, std::wstring text) {
    MenuEntry e;
    e.id = id;
    e.text = std::move(text);
    return e;
}

MenuEntry popup(std::wstring text, std::vector<MenuEntry> items) {
    MenuEntry e;
    e.text = std::move(text);
    e.items = std::move(items);
    return e;
}

void PrintTo(const MenuEntry& e, std::ostream* os) {
    *os << (e.separator ? "separator" : "") << e.id << " \"" << utf8(e.text) << "\""
        << (e.checked ? " checked" : "");
    if (!e.items.empty()) {
        *os << " {";
        for (const MenuEntry& child : e.items) {
            *os << " ";
            PrintTo(child, os);
        }
        *os << " }";
    }
}

std::vector<MenuEntry> read_menu(HMENU menu) {
    std::vector<MenuEntry> entries;
    int count = GetMenuItemCount(menu);
    for (int pos = 0; pos < count; ++pos) {
        wchar_t text[128] = {};
        MENUITEMINFOW info{};
        info.cbSize = sizeof info;
        info.fMask = MIIM_FTYPE | MIIM_STATE | MIIM_ID | MIIM_STRING | MIIM_SUBMENU;
        info.dwTypeData = text;
        info.cch = static_cast<UINT>(std::size(text));
        if (!GetMenuItemInfoW(menu, static_cast<UINT>(pos), TRUE, &info)) {
            ADD_FAILURE() << "GetMenuItemInfoW failed at position " << pos;
            continue;
        }
        MenuEntry entry;
        entry.text = text;
        entry.separator = (info.fType & MFT_SEPARATOR) != 0;
        entry.checked = (info.fState & MFS_CHECKED) != 0;
        if (info.hSubMenu != nullptr)
            entry.items = read_menu(info.hSubMenu);
        else
            entry.id = info.wID;
        entries.push_back(entry);
    }
    return entries;
}

std::vector<MenuEntry> load_menu(const wchar_t* name) {
    HMENU menu = LoadMenuW(self(), name);
    if (menu == nullptr) {
        ADD_FAILURE() << "LoadMenuW could not load " << utf8(name);
        return {};
    }
    std::vector<MenuEntry> entries = read_menu(menu);
    DestroyMenu(menu);
    return entries;
}

TEST(MenuResources, MainMenuHoldsBothPopupsWithTheirItemsInOrder) {
    // The TCP source item's two trailing blanks are part of its text.
    std::vector<MenuEntry> settings = {
        item(102, L"&Настройки Сервера"),               // relay port
        item(121, L"&Настройки передачи на серверы"),   // push targets
        item(122, L"&Клиенты ретрансляции"),            // relay clients window
        item(119, L"&Настройки COM источника"),         // serial port and speed
        item(108, L"&Настройки TCP источника  "),       // source host and port
        item(109, L"&Настройки TCP потребителя"),       // consumer host and port
        item(113, L"&Бинарный режим источника"),        // toggle
        item(116, L"&Нижний порог уровня приема"),      // threshold
        item(117, L"&Частота таймера"),                 // timer frequency
        item(120, L"&Часы приемника"),                  // receiver-clock window
        item(118, L"&Показывать относительное время"),  // toggle
        item(110, L"&Координаты приемника"),            // coordinates
        item(111, L"&Имя приемника"),                   // receiver name
        item(123, L"&Запускать при входе в Windows"),   // toggle: the autostart entry
    };
    std::vector<MenuEntry> about = {item(301, L"&Меню"), item(302, L"&Автор")};
    std::vector<MenuEntry> expected = {popup(L"&Настройки", settings),
                                       popup(L"&О программе", about)};
    EXPECT_EQ(load_menu(L"MENU_1"), expected);
}

TEST(MenuResources, TrayMenuLoadsByTheNameTheProgramUses) {
    std::vector<MenuEntry> expected = {
        popup(L"&Режимы", {item(124, L"&Открыть окно"), item(101, L"&Exit")})};
    EXPECT_EQ(load_menu(L"MENU_Tray"), expected);
}

// ---- Dialog templates ----

// Reads a classic (non-extended) dialog template the way the dialog manager does.
class TemplateReader {
public:
    explicit TemplateReader(std::span<const unsigned char> bytes) : bytes_(bytes) {}

    bool failed() const { return failed_; }
    size_t offset() const { return pos_; }

    uint16_t word() {
        if (pos_ + 2 > bytes_.size()) {
            failed_ = true;
            return 0;
        }
        uint16_t w = static_cast<uint16_t>(bytes_[pos_] | bytes_[pos_ + 1] << 8);
        pos_ += 2;
        return w;
    }
    uint32_t dword() {
        uint32_t low = word();
        return low | static_cast<uint32_t>(word()) << 16;
    }
    int16_t coord() { return static_cast<int16_t>(word()); }
    std::wstring text() {
        std::wstring s;
        for (uint16_t c = word(); c != 0 && !failed_; c = word())
            s += static_cast<wchar_t>(c);
        return s;
    }
    // A name or an ordinal; an ordinal comes back as "#<number>".
    std::wstring name_or_ordinal() {
        if (pos_ + 2 <= bytes_.size() && bytes_[pos_] == 0xFF && bytes_[pos_ + 1] == 0xFF) {
            word();
            return L"#" + std::to_wstring(word());
        }
        return text();
    }
    void align_dword() { pos_ = (pos_ + 3) & ~size_t{3}; }
    void skip(size_t n) { pos_ += n; }

private:
    std::span<const unsigned char> bytes_;
    size_t pos_ = 0;
    bool failed_ = false;
};

struct Control {
    uint32_t style = 0;
    int x = 0, y = 0, cx = 0, cy = 0;
    int id = 0;
    std::wstring window_class;  // "#128" button, "#129" edit, "#130" static
    std::wstring text;
};

struct DialogTemplate {
    uint32_t style = 0;
    uint32_t ex_style = 0;
    int cx = 0, cy = 0;
    std::wstring menu, window_class, title;
    int font_points = 0;
    std::wstring font;
    std::vector<Control> controls;
};

// Fails the calling test when the bytes are not a complete classic template.
DialogTemplate parse_dialog(std::span<const unsigned char> bytes) {
    DialogTemplate dlg;
    TemplateReader in(bytes);
    dlg.style = in.dword();
    if (HIWORD(dlg.style) == 0xFFFF) {
        ADD_FAILURE() << "expected a classic dialog template, found an extended one";
        return dlg;
    }
    dlg.ex_style = in.dword();
    int count = in.word();
    in.coord();  // x and y: where the dialog opens is left to the platform
    in.coord();
    dlg.cx = in.coord();
    dlg.cy = in.coord();
    dlg.menu = in.name_or_ordinal();
    dlg.window_class = in.name_or_ordinal();
    dlg.title = in.text();
    if (dlg.style & DS_SETFONT) {
        dlg.font_points = in.word();
        dlg.font = in.text();
    }
    for (int i = 0; i < count && !in.failed(); ++i) {
        in.align_dword();
        Control c;
        c.style = in.dword();
        in.dword();  // extended style
        c.x = in.coord();
        c.y = in.coord();
        c.cx = in.coord();
        c.cy = in.coord();
        c.id = static_cast<int16_t>(in.word());
        c.window_class = in.name_or_ordinal();
        c.text = in.name_or_ordinal();
        in.skip(in.word());  // creation data
        dlg.controls.push_back(c);
    }
    EXPECT_FALSE(in.failed()) << "template ends before its last control";
    EXPECT_LE(in.offset(), bytes.size());
    return dlg;
}

enum class Kind { default_button, button, group_button, edit, label, editable_list, list };

struct ExpectedControl {
    int id;
    Kind kind;
    const wchar_t* text;  // empty for an edit field
    int x, y, cx, cy;
};

struct ExpectedDialog {
    const char* test_name;
    const wchar_t* name;
    const wchar_t* title;
    std::vector<ExpectedControl> controls;
    int height = 90;  // dialog units
    int width = 186;
};

void PrintTo(const ExpectedDialog& d, std::ostream* os) {
    *os << d.test_name;
}

// The source and consumer dialogs: port and address.
// clang-format off
const std::vector<ExpectedControl> kPortAndAddress = {
    {1, Kind::default_button, L"OK", 7, 69, 50, 14},
    {2, Kind::button, L"Cancel", 129, 69, 50, 14},
    {1000, Kind::edit, L"", 7, 7, 40, 14},
    {-1, Kind::label, L"Порт", 62, 7, 96, 8},
    {1001, Kind::edit, L"", 7, 23, 50, 14},
    {-1, Kind::label, L"IP адрес", 62, 25, 87, 8},
};
// clang-format on

const ExpectedDialog kDialogs[] = {
    {"RelaySettings",
     L"IDD_DIALOG2",
     L"Настройки TCP",
     {
         {1, Kind::default_button, L"OK", 7, 69, 50, 14},
         {2, Kind::button, L"Cancel", 129, 69, 50, 14},
         {1000, Kind::edit, L"", 7, 7, 40, 14},
         {-1, Kind::label, L"Порт", 62, 7, 96, 8},
         {1001, Kind::edit, L"", 7, 23, 100, 14},
         {-1, Kind::label, L"Адрес (пусто - все)", 112, 25, 70, 8},
         {1002, Kind::edit, L"", 7, 39, 40, 14},
         {-1, Kind::label, L"Клиентов с одного адреса", 62, 41, 120, 8},
     }},
    {"SourceSettings", L"IDD_DIALOG8", L"Настройки TCP", kPortAndAddress},
    {"ConsumerSettings", L"IDD_DIALOG9", L"Настройки TCP потребителя", kPortAndAddress},
    {"Coordinates",
     L"IDD_DIALOG3",
     L"Настройки координат приемника",
     {
         {1, Kind::group_button, L"OK", 7, 69, 50, 14},
         {1000, Kind::edit, L"", 7, 7, 60, 14},
         {-1, Kind::label, L"Широта", 82, 7, 96, 8},
         {1001, Kind::edit, L"", 7, 23, 60, 14},
         {-1, Kind::label, L"Долгота", 82, 25, 96, 8},
         {2, Kind::group_button, L"Cancel", 129, 69, 50, 14},
     }},
    {"ReceiverName",
     L"IDD_DIALOG4",
     L"Настройки имени приемника",
     {
         {1, Kind::default_button, L"OK", 7, 69, 50, 14},
         {2, Kind::button, L"Cancel", 129, 69, 50, 14},
         {1000, Kind::edit, L"", 7, 7, 60, 14},
         {-1, Kind::label, L"Имя", 82, 7, 96, 8},
     }},
    {"Threshold",
     L"IDD_DIALOG_POROG",
     L"Нижний порог уровня приема",
     {
         {1, Kind::default_button, L"OK", 7, 69, 50, 14},
         {2, Kind::button, L"Cancel", 129, 69, 50, 14},
         {1000, Kind::edit, L"", 7, 7, 60, 14},
         {-1, Kind::label, L"Нижний порог", 82, 7, 96, 8},
     }},
    {"SerialSettings",
     L"IDD_DIALOG_COM",
     L"Настройки COM источника",
     {
         {1, Kind::default_button, L"OK", 7, 69, 50, 14},
         {2, Kind::button, L"Cancel", 129, 69, 50, 14},
         {1000, Kind::editable_list, L"", 7, 7, 110, 100},
         {-1, Kind::label, L"Порт", 125, 9, 54, 8},
         {1001, Kind::editable_list, L"", 7, 25, 110, 100},
         {-1, Kind::label, L"Скорость", 125, 27, 54, 8},
     }},
    {"TimerFrequency",
     L"IDD_DIALOG_FREQ",
     L"Частота таймера",
     {
         {1, Kind::default_button, L"OK", 7, 69, 50, 14},
         {2, Kind::button, L"Cancel", 129, 69, 50, 14},
         {1000, Kind::edit, L"", 7, 7, 60, 14},
         {-1, Kind::label, L"Частота таймера", 82, 7, 96, 8},
     }},
    {"PushTargets",
     L"IDD_DIALOG_PUSH",
     L"Настройки передачи на серверы",
     {
         {-1, Kind::label, L"Адрес и порт сервера, по одному в строке", 7, 7, 172, 8},
         {1000, Kind::edit, L"", 7, 20, 172, 14},
         {1001, Kind::edit, L"", 7, 36, 172, 14},
         {1002, Kind::edit, L"", 7, 52, 172, 14},
         {1003, Kind::edit, L"", 7, 68, 172, 14},
         {1004, Kind::edit, L"", 7, 84, 172, 14},
         {1005, Kind::edit, L"", 7, 100, 172, 14},
         {1006, Kind::edit, L"", 7, 116, 172, 14},
         {1007, Kind::edit, L"", 7, 132, 172, 14},
         {1010, Kind::label, L"", 7, 152, 172, 68},
         {1, Kind::default_button, L"OK", 7, 225, 50, 14},
         {2, Kind::button, L"Cancel", 129, 225, 50, 14},
     },
     246},
    {"RelayClients",
     L"IDD_DIALOG_CLIENTS",
     L"Клиенты ретрансляции",
     {
         {1000, Kind::list, L"", 7, 7, 486, 215},
         {2, Kind::default_button, L"Закрыть", 443, 229, 50, 14},
     },
     250,
     500},
};

void expect_control(const Control& got, const ExpectedControl& want) {
    EXPECT_EQ(got.id, want.id);
    EXPECT_EQ(utf8(got.text), utf8(want.text));
    EXPECT_EQ((std::vector<int>{got.x, got.y, got.cx, got.cy}),
              (std::vector<int>{want.x, want.y, want.cx, want.cy}));
    EXPECT_EQ(got.style & (WS_CHILD | WS_VISIBLE), DWORD{WS_CHILD | WS_VISIBLE});
    switch (want.kind) {
        case Kind::default_button:
        case Kind::button:
        case Kind::group_button:
            EXPECT_EQ(got.window_class, L"#128");  // button
            EXPECT_EQ(got.style & BS_TYPEMASK,
                      DWORD(want.kind == Kind::default_button ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON));
            EXPECT_TRUE(got.style & WS_TABSTOP);
            if (want.kind == Kind::group_button) {
                EXPECT_TRUE(got.style & WS_GROUP);
            }
            break;
        case Kind::edit:
            EXPECT_EQ(got.window_class, L"#129");  // edit
            EXPECT_TRUE(got.style & WS_BORDER);
            EXPECT_TRUE(got.style & ES_AUTOHSCROLL);
            EXPECT_TRUE(got.style & WS_TABSTOP);
            EXPECT_FALSE(got.style & ES_MULTILINE);
            EXPECT_EQ(got.style & (ES_CENTER | ES_RIGHT), 0u);
            break;
        case Kind::editable_list:
            EXPECT_EQ(got.window_class, L"#133");            // combo box
            EXPECT_EQ(got.style & 3u, DWORD{CBS_DROPDOWN});  // typed or chosen
            EXPECT_TRUE(got.style & WS_TABSTOP);
            break;
        case Kind::label:
            EXPECT_EQ(got.window_class, L"#130");  // static
            EXPECT_EQ(got.style & SS_TYPEMASK, DWORD{SS_LEFT});
            break;
        case Kind::list:
            EXPECT_EQ(got.window_class, L"#131");  // list box
            // Rows in the order the program adds them, columns at its tab stops, and no
            // selection: it only shows.
            EXPECT_FALSE(got.style & LBS_SORT);
            EXPECT_TRUE(got.style & LBS_USETABSTOPS);
            EXPECT_TRUE(got.style & LBS_NOSEL);
            EXPECT_TRUE(got.style & WS_VSCROLL);
            break;
    }
}

class DialogResources : public testing::TestWithParam<ExpectedDialog> {};

TEST_P(DialogResources, TemplateMatchesItsLayout) {
    const ExpectedDialog& want = GetParam();
    std::span<const unsigned char> bytes = resource_bytes(want.name, RT_DIALOG);
    ASSERT_FALSE(bytes.empty()) << "no dialog resource " << utf8(want.name);
    DialogTemplate got = parse_dialog(bytes);

    // Popup, visible, caption, system menu, modal frame, and a font of its own.
    EXPECT_EQ(got.style, 0x90C800C0u);
    EXPECT_EQ(got.ex_style, 0u);
    EXPECT_EQ(got.cx, want.width);
    EXPECT_EQ(got.cy, want.height);
    EXPECT_EQ(got.menu, L"");
    EXPECT_EQ(got.window_class, L"");
    EXPECT_EQ(utf8(got.title), utf8(want.title));
    EXPECT_EQ(got.font_points, 8);
    EXPECT_EQ(got.font, L"MS Sans Serif");

    ASSERT_EQ(got.controls.size(), want.controls.size());
    for (size_t i = 0; i < want.controls.size(); ++i) {
        SCOPED_TRACE("control " + std::to_string(i));
        expect_control(got.controls[i], want.controls[i]);
    }
}

INSTANTIATE_TEST_SUITE_P(EveryTemplate, DialogResources, testing::ValuesIn(kDialogs),
                         [](const auto& p) { return std::string(p.param.test_name); });

// ---- Help and contact texts ----

// The text of a NUL-terminated RCDATA resource, without its terminator.
std::string text_resource(const wchar_t* name) {
    std::span<const unsigned char> bytes = resource_bytes(name, RT_RCDATA);
    if (bytes.empty()) {
        ADD_FAILURE() << "no RCDATA resource " << utf8(name);
        return {};
    }
    EXPECT_EQ(bytes.back(), 0) << "not NUL-terminated";
    std::string text(reinterpret_cast<const char*>(bytes.data()), bytes.size() - 1);
    EXPECT_EQ(text.find('\0'), std::string::npos) << "NUL inside the text";
    return text;
}

// The texts use printable ASCII and Russian letters only. In Windows-1251 the Russian
// letters are 0xC0-0xFF, Ё 0xA8 and ё 0xB8; UTF-8 Cyrillic always has a byte in
// 0x80-0xBF other than those two, so a UTF-8 text fails here.
void expect_plain_cp1251(const std::string& text) {
    for (size_t i = 0; i < text.size(); ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        bool ok = c == '\n' || (c >= 0x20 && c < 0x7F) || c >= 0xC0 || c == 0xA8 || c == 0xB8;
        EXPECT_TRUE(ok) << "byte 0x" << std::hex << int{c} << " at offset " << std::dec << i;
    }
}

std::vector<std::wstring> split_lines(const std::wstring& text) {
    std::vector<std::wstring> lines;
    size_t start = 0;
    for (size_t end; (end = text.find(L'\n', start)) != std::wstring::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    if (start < text.size())
        lines.push_back(text.substr(start));  // a last line without its LF
    return lines;
}

TEST(HelpText, ElevenSectionsInOrderEachAHeadingAndItsParagraphs) {
    std::string bytes = text_resource(L"HELP_TEXT");
    expect_plain_cp1251(bytes);
    std::wstring text = from_cp1251(bytes);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), L'\n') << "the last line must end with LF";

    // Each heading with one fact its paragraphs must state.
    const std::pair<std::wstring, std::wstring> expected[] = {
        {L"\"НАСТРОЙКИ СОМ ИСТОЧНИКА\"", L"COM"},
        {L"\"НАСТРОЙКИ ТСР ИСТОЧНИКА\"", L"IP"},
        {L"\"БИНАРНЫЙ РЕЖИМ ИСТОЧНИКА\"", L"бинарн"},
        {L"\"НАСТРОЙКИ СЕРВЕРА\"", L"100"},
        {L"\"НАСТРОЙКИ ПЕРЕДАЧИ НА СЕРВЕРЫ\"", L"initpush.ini"},
        {L"\"НАСТРОЙКИ ТСР ПОТРЕБИТЕЛЯ\"", L"адрес"},
        {L"\"НИЖНИЙ ПОРОГ УРОВНЯ ПРИЕМА\"", L"255"},
        {L"\"ЧАСТОТА ТАЙМЕРА\"", L"MLAT"},
        {L"\"ПОКАЗЫВАТЬ ОТНОСИТЕЛЬНОЕ ВРЕМЯ\"", L"\"прм\" и \"комп\""},
        {L"\"КООРДИНАТЫ ПРИЕМНИКА\"", L"3600"},
        {L"\"ИМЯ ПРИЕМНИКА\"", L"разные имена"},
    };

    // Sections are the runs of non-empty lines; exactly one empty line separates two.
    std::vector<std::vector<std::wstring>> sections(1);
    for (const std::wstring& line : split_lines(text)) {
        if (line.empty())
            sections.emplace_back();
        else
            sections.back().push_back(line);
    }
    ASSERT_EQ(sections.size(), std::size(expected));
    for (size_t i = 0; i < sections.size(); ++i) {
        SCOPED_TRACE("section " + std::to_string(i + 1));
        ASSERT_GE(sections[i].size(), 2u) << "a heading and at least one paragraph line";
        EXPECT_EQ(utf8(sections[i][0]), utf8(expected[i].first));
        std::wstring paragraphs;
        for (size_t k = 1; k < sections[i].size(); ++k)
            paragraphs += sections[i][k] + L"\n";
        EXPECT_NE(paragraphs.find(expected[i].second), std::wstring::npos)
            << utf8(paragraphs) << "does not mention " << utf8(expected[i].second);
    }
}

TEST(ContactText, ThreeLinesNamingTheProgram) {
    std::string bytes = text_resource(L"CONTACT_TEXT");
    expect_plain_cp1251(bytes);
    std::vector<std::wstring> lines = split_lines(from_cp1251(bytes));
    ASSERT_EQ(lines.size(), 3u);
    for (const std::wstring& line : lines)
        EXPECT_FALSE(line.empty());
    EXPECT_NE(lines[0].find(L"QALMOR"), std::wstring::npos);
}

// ---- Icon ----

TEST(IconResource, OneImageOf32By32In16Colours) {
    // The icon group's directory: reserved 0, type 1 (icon), one entry of 14 bytes.
    std::span<const unsigned char> group = resource_bytes(L"ICON_1", RT_GROUP_ICON);
    ASSERT_EQ(group.size(), 6u + 14u);
    EXPECT_EQ(group[2] | group[3] << 8, 1);
    EXPECT_EQ(group[4] | group[5] << 8, 1);
    const unsigned char* entry = group.data() + 6;
    EXPECT_EQ(entry[0], 32);                 // width
    EXPECT_EQ(entry[1], 32);                 // height
    EXPECT_EQ(entry[2], 16);                 // colours
    EXPECT_EQ(entry[6] | entry[7] << 8, 4);  // bits per pixel

    // The image itself, as LoadIconA in the tray code will see it.
    HICON icon = LoadIconW(self(), L"ICON_1");
    ASSERT_NE(icon, nullptr);
    ICONINFO info{};
    ASSERT_TRUE(GetIconInfo(icon, &info));
    BITMAP bitmap{};
    ASSERT_NE(info.hbmColor, nullptr);
    GetObjectW(info.hbmColor, sizeof bitmap, &bitmap);
    EXPECT_EQ(bitmap.bmWidth, 32);
    EXPECT_EQ(bitmap.bmHeight, 32);
    DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);
}

}  // namespace
