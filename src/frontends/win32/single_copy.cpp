#include "frontends/win32/single_copy.h"

#include "base/program_folder.h"

namespace {

// Registered from the folder's name, so only the copy of the same folder answers a
// broadcast of it. 0 until claimed (and in the tests, which claim nothing).
UINT show_request = 0;

}  // namespace

bool single_copy_claim() {
    wchar_t folder[kFolderTextSize];
    DWORD length = GetCurrentDirectoryW(kFolderTextSize, folder);
    if (length == 0 || length >= kFolderTextSize)
        return true;  // a folder too deep to name: run unguarded rather than not at all
    wchar_t name[64];
    single_copy_show_message_name(folder, name);
    show_request = RegisterWindowMessageW(name);
    single_copy_lock_name(folder, name);
    // Held until the process ends; the system lets it go then, however the process ends.
    HANDLE lock = CreateMutexW(nullptr, FALSE, name);
    if (lock == nullptr || GetLastError() != ERROR_ALREADY_EXISTS)
        return true;
    // The running copy may take the foreground only if the one the user just started,
    // which has it, lets it.
    AllowSetForegroundWindow(ASFW_ANY);
    PostMessageW(HWND_BROADCAST, show_request, 0, 0);
    return false;
}

bool single_copy_is_show_request(UINT message) {
    return show_request != 0 && message == show_request;
}
