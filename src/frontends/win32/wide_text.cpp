#include "frontends/win32/wide_text.h"

#include <array>

namespace {

constexpr UINT kCodePage = 1251;
// The longest texts shown: the server line (1614 characters) and the help text.
constexpr int kWideTextSize = 4096;

}  // namespace

void wide_from_cp1251(const char* text, std::span<wchar_t> wide) {
    if (wide.empty())
        return;
    // The conversion is byte for character, so a text cut to the buffer converts whole.
    int length = static_cast<int>(strnlen(text, wide.size() - 1));
    int written = MultiByteToWideChar(kCodePage, 0, text, length, wide.data(),
                                      static_cast<int>(wide.size() - 1));
    wide[static_cast<size_t>(written > 0 ? written : 0)] = L'\0';
}

void cp1251_from_wide(const wchar_t* wide, std::span<char> text) {
    if (text.empty())
        return;
    int length = static_cast<int>(wcsnlen(wide, text.size() - 1));
    int written = WideCharToMultiByte(kCodePage, 0, wide, length, text.data(),
                                      static_cast<int>(text.size() - 1), nullptr, nullptr);
    text[static_cast<size_t>(written > 0 ? written : 0)] = '\0';
}

void window_text_get(HWND window, std::span<char> text) {
    std::array<wchar_t, kWideTextSize> wide;
    wide[0] = L'\0';
    GetWindowTextW(window, wide.data(), static_cast<int>(wide.size()));
    cp1251_from_wide(wide.data(), text);
}

void window_text_set(HWND window, const char* text) {
    std::array<wchar_t, kWideTextSize> wide;
    wide_from_cp1251(text, wide);
    SetWindowTextW(window, wide.data());
}

void dialog_item_text_get(HWND dialog, int item, std::span<char> text) {
    std::array<wchar_t, kWideTextSize> wide;
    wide[0] = L'\0';
    GetDlgItemTextW(dialog, item, wide.data(), static_cast<int>(wide.size()));
    cp1251_from_wide(wide.data(), text);
}

void dialog_item_text_set(HWND dialog, int item, const char* text) {
    std::array<wchar_t, kWideTextSize> wide;
    wide_from_cp1251(text, wide);
    SetDlgItemTextW(dialog, item, wide.data());
}

int message_box_cp1251(HWND owner, const char* text, const char* caption, UINT style) {
    std::array<wchar_t, kWideTextSize> wide_text;
    std::array<wchar_t, 256> wide_caption;
    wide_from_cp1251(text, wide_text);
    wide_from_cp1251(caption, wide_caption);
    return MessageBoxW(owner, wide_text.data(), wide_caption.data(), style);
}
