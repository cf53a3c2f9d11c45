#include "frontends/win32/autostart.h"

#include <string_view>

#include "base/program_folder.h"
#include "frontends/win32/windows_api.h"

namespace {

constexpr wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";

struct ThisProgram {
    wchar_t path[kFolderTextSize];
    wchar_t entry_name[kFolderTextSize + 16];
};

// This program's full path and its folder's entry name; false when the path is too long.
bool this_program(ThisProgram& program) {
    DWORD length = GetModuleFileNameW(nullptr, program.path, kFolderTextSize);
    if (length == 0 || length >= kFolderTextSize)
        return false;
    std::wstring_view path(program.path, length);
    size_t slash = path.find_last_of(L"\\/");
    return slash != std::wstring_view::npos &&
           autostart_value_name(path.substr(0, slash), program.entry_name);
}

}  // namespace

bool autostart_is_set() {
    ThisProgram program;
    HKEY key = nullptr;
    if (!this_program(program) ||
        RegOpenKeyExW(HKEY_CURRENT_USER, kRunKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return false;
    wchar_t command[kFolderTextSize + 32] = {};
    DWORD type = 0;
    DWORD size = sizeof command - sizeof(wchar_t);  // room for the NUL a value may lack
    LSTATUS read = RegQueryValueExW(key, program.entry_name, nullptr, &type,
                                    reinterpret_cast<BYTE*>(command), &size);
    RegCloseKey(key);
    return read == ERROR_SUCCESS && (type == REG_SZ || type == REG_EXPAND_SZ) &&
           autostart_starts(command, program.path);
}

bool autostart_set(bool on) {
    ThisProgram program;
    HKEY key = nullptr;
    if (!this_program(program) ||
        RegCreateKeyExW(HKEY_CURRENT_USER, kRunKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
        return false;
    LSTATUS done = ERROR_SUCCESS;
    wchar_t command[kFolderTextSize + 32];
    if (!on) {
        done = RegDeleteValueW(key, program.entry_name);
        if (done == ERROR_FILE_NOT_FOUND)
            done = ERROR_SUCCESS;
    } else if (autostart_command(program.path, command)) {
        auto bytes = static_cast<DWORD>((wcslen(command) + 1) * sizeof(wchar_t));
        done = RegSetValueExW(key, program.entry_name, 0, REG_SZ,
                              reinterpret_cast<const BYTE*>(command), bytes);
    } else {
        done = ERROR_FILENAME_EXCED_RANGE;
    }
    RegCloseKey(key);
    return done == ERROR_SUCCESS;
}
