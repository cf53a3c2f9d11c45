#include "probe_input.h"

namespace {

INPUT key_event(WORD virtual_key, DWORD flags) {
    INPUT input{};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = virtual_key;
    input.ki.wScan = static_cast<WORD>(MapVirtualKeyW(virtual_key, MAPVK_VK_TO_VSC));
    input.ki.dwFlags = flags;
    return input;
}

INPUT button_event(DWORD flags) {
    INPUT input{};
    input.type = INPUT_MOUSE;
    input.mi.dwFlags = flags;
    return input;
}

}  // namespace

bool press_keys(const std::vector<WORD>& keys) {
    std::vector<INPUT> events;
    for (WORD key : keys)
        events.push_back(key_event(key, 0));
    for (auto key = keys.rbegin(); key != keys.rend(); ++key)
        events.push_back(key_event(*key, KEYEVENTF_KEYUP));
    UINT count = static_cast<UINT>(events.size());
    return SendInput(count, events.data(), sizeof(INPUT)) == count;
}

bool move_mouse(int x, int y) {
    return SetCursorPos(x, y) != FALSE;
}

bool click_at(int x, int y) {
    if (!move_mouse(x, y))
        return false;
    INPUT events[2] = {button_event(MOUSEEVENTF_LEFTDOWN), button_event(MOUSEEVENTF_LEFTUP)};
    return SendInput(2, events, sizeof(INPUT)) == 2;
}
