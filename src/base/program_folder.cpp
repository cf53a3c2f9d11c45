#include "base/program_folder.h"

#include <cwchar>
#include <initializer_list>

namespace {

constexpr std::wstring_view kAutostartPrefix = L"QALMOR link ";

// A path character as Windows compares it: Latin and Cyrillic letters in lower case, "/"
// as "\".
wchar_t path_fold(wchar_t c) {
    if ((c >= L'A' && c <= L'Z') || (c >= 0x410 && c <= 0x42F))
        return static_cast<wchar_t>(c + 0x20);
    if (c >= 0x400 && c <= 0x40F)  // Ѐ to Џ
        return static_cast<wchar_t>(c + 0x50);
    return c == L'/' ? L'\\' : c;
}

bool same_path_text(std::wstring_view a, std::wstring_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (path_fold(a[i]) != path_fold(b[i]))
            return false;
    }
    return true;
}

// Copies the parts one after another; false, with an empty text, when they do not fit.
bool join(std::span<wchar_t> target, std::initializer_list<std::wstring_view> parts) {
    size_t length = 0;
    for (std::wstring_view part : parts) {
        if (target.size() - length <= part.size()) {
            if (!target.empty())
                target[0] = L'\0';
            return false;
        }
        part.copy(target.data() + length, part.size());
        length += part.size();
    }
    target[length] = L'\0';
    return true;
}

}  // namespace

bool autostart_value_name(std::wstring_view folder, std::span<wchar_t> name) {
    return join(name, {kAutostartPrefix, folder});
}

bool autostart_command(std::wstring_view program, std::span<wchar_t> command) {
    return join(command, {L"\"", program, L"\" ", kStartMinimizedOption});
}

bool autostart_starts(std::wstring_view command, std::wstring_view program) {
    wchar_t wanted[kFolderTextSize + 32];
    return autostart_command(program, wanted) && same_path_text(command, wanted);
}

uint32_t folder_hash(std::wstring_view folder) {
    while (folder.size() > 1 && path_fold(folder.back()) == L'\\')
        folder.remove_suffix(1);
    uint32_t hash = 2166136261u;  // FNV-1a, over the 16-bit characters
    for (wchar_t c : folder) {
        hash = (hash ^ static_cast<uint16_t>(path_fold(c))) * 16777619u;
    }
    return hash;
}

void single_copy_lock_name(std::wstring_view folder, std::span<wchar_t, 64> name) {
    // "Local\": the copies of one user's session; another user's copy in the same folder
    // would fail at the relay port anyway.
    std::swprintf(name.data(), name.size(), L"Local\\QALMOR link %08x",
                  static_cast<unsigned>(folder_hash(folder)));
}

void single_copy_show_message_name(std::wstring_view folder, std::span<wchar_t, 64> name) {
    std::swprintf(name.data(), name.size(), L"QALMOR link show %08x",
                  static_cast<unsigned>(folder_hash(folder)));
}
