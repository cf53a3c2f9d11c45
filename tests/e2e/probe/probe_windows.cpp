#include "probe_windows.h"

#include <algorithm>

#include "json_writer.h"

namespace {

constexpr int kTextSize = 4096;

int64_t handle_number(HWND window) {
    return static_cast<int64_t>(reinterpret_cast<intptr_t>(window));
}

std::wstring class_of(HWND window) {
    wchar_t name[256] = {};
    GetClassNameW(window, name, 256);
    return name;
}

bool is_edit(HWND window) {
    return lstrcmpiW(class_of(window).c_str(), L"Edit") == 0;
}

// Edit controls keep their text to themselves; everything else keeps it in the window.
std::wstring text_of(HWND window) {
    return is_edit(window) ? window_text_asked(window, 2000) : window_text_direct(window);
}

// Adds a rectangle to `json` and returns the finished object.
std::string with_rect(JsonObject& json, const RECT& r) {
    json.add("x", r.left).add("y", r.top).add("w", r.right - r.left).add("h", r.bottom - r.top);
    return json.str();
}

struct EnumList {
    std::vector<HWND> windows;
    DWORD process = 0;
    const wchar_t* class_name = nullptr;
};

BOOL CALLBACK collect_child(HWND window, LPARAM list) {
    reinterpret_cast<EnumList*>(list)->windows.push_back(window);
    return TRUE;
}

BOOL CALLBACK collect_top(HWND window, LPARAM param) {
    auto* list = reinterpret_cast<EnumList*>(param);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    bool wanted = list->class_name != nullptr
                      ? lstrcmpiW(class_of(window).c_str(), list->class_name) == 0
                      : process == list->process;
    if (wanted)
        list->windows.push_back(window);
    return TRUE;
}

std::string list_json(const std::vector<HWND>& windows) {
    std::vector<std::string> items;
    for (HWND w : windows)
        items.push_back(window_json(w));
    return json_array(items);
}

// A child's rectangle in its parent's client coordinates.
RECT rect_in_parent(HWND child, HWND parent) {
    RECT r{};
    GetWindowRect(child, &r);
    MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&r), 2);
    return r;
}

}  // namespace

std::wstring window_text_direct(HWND window) {
    std::wstring text(kTextSize, L'\0');
    int length = InternalGetWindowText(window, text.data(), kTextSize);
    text.resize(static_cast<size_t>(std::max(length, 0)));
    return text;
}

std::wstring window_text_asked(HWND window, UINT timeout_ms) {
    std::wstring text(kTextSize, L'\0');
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXT, kTextSize, reinterpret_cast<LPARAM>(text.data()),
                             SMTO_ABORTIFHUNG, timeout_ms, &length)) {
        return L"";
    }
    text.resize(std::min<size_t>(length, kTextSize));
    return text;
}

std::string window_json(HWND window) {
    DWORD process = 0;
    DWORD thread = GetWindowThreadProcessId(window, &process);
    RECT r{};
    GetWindowRect(window, &r);
    RECT client{};
    GetClientRect(window, &client);
    POINT origin{0, 0};
    ClientToScreen(window, &origin);
    JsonObject json;
    json.add("hwnd", handle_number(window))
        .add("class", json_string(class_of(window)))
        .add("text", json_string(text_of(window)))
        .add("visible", json_bool(IsWindowVisible(window) != FALSE))
        .add("style", static_cast<int64_t>(GetWindowLongW(window, GWL_STYLE) & 0xFFFFFFFFu))
        .add("id", GetDlgCtrlID(window))
        .add("owner", handle_number(GetWindow(window, GW_OWNER)))
        .add("pid", process)
        .add("tid", thread)
        .add("client_x", origin.x)
        .add("client_y", origin.y)
        .add("client_w", client.right)
        .add("client_h", client.bottom);
    return with_rect(json, r);
}

std::string top_windows_json(DWORD process) {
    EnumList list;
    list.process = process;
    EnumWindows(collect_top, reinterpret_cast<LPARAM>(&list));
    return list_json(list.windows);
}

std::string windows_of_class_json(const wchar_t* class_name) {
    EnumList list;
    list.class_name = class_name;
    EnumWindows(collect_top, reinterpret_cast<LPARAM>(&list));
    return list_json(list.windows);
}

std::string children_json(HWND parent) {
    EnumList list;
    EnumChildWindows(parent, collect_child, reinterpret_cast<LPARAM>(&list));
    std::vector<std::string> items;
    for (HWND child : list.windows) {
        JsonObject json;
        json.add("hwnd", handle_number(child))
            .add("id", GetDlgCtrlID(child))
            .add("class", json_string(class_of(child)))
            .add("text", json_string(text_of(child)))
            .add("visible", json_bool(IsWindowVisible(child) != FALSE))
            .add("style", static_cast<int64_t>(GetWindowLongW(child, GWL_STYLE) & 0xFFFFFFFFu));
        items.push_back(with_rect(json, rect_in_parent(child, parent)));
    }
    return json_array(items);
}

std::vector<HWND> static_children(HWND parent) {
    EnumList list;
    EnumChildWindows(parent, collect_child, reinterpret_cast<LPARAM>(&list));
    std::vector<HWND> statics;
    for (HWND child : list.windows) {
        if (lstrcmpiW(class_of(child).c_str(), L"Static") == 0)
            statics.push_back(child);
    }
    std::stable_sort(statics.begin(), statics.end(), [parent](HWND a, HWND b) {
        return rect_in_parent(a, parent).top < rect_in_parent(b, parent).top;
    });
    return statics;
}

std::string focus_json(DWORD thread) {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    bool known = GetGUIThreadInfo(thread, &info) != FALSE;
    HWND focus = known ? info.hwndFocus : nullptr;
    JsonObject json;
    json.add("known", json_bool(known))
        .add("focus", handle_number(focus))
        .add("focus_id", focus != nullptr ? GetDlgCtrlID(focus) : 0)
        .add("focus_parent", handle_number(focus != nullptr ? GetParent(focus) : nullptr))
        .add("active", handle_number(known ? info.hwndActive : nullptr))
        .add("menu_owner", handle_number(known ? info.hwndMenuOwner : nullptr))
        .add("in_menu", json_bool(known && (info.flags & GUI_INMENUMODE) != 0))
        .add("foreground", handle_number(GetForegroundWindow()));
    return json.str();
}
