// QALMOR link: the program's entry point.
#include "frontends/win32/app_main.h"

#include <shellapi.h>

#include <cwchar>
#include <string_view>

#include "base/program_folder.h"
#include "frontends/win32/single_copy.h"

namespace {

bool started_minimized() {
    int count = 0;
    wchar_t** words = CommandLineToArgvW(GetCommandLineW(), &count);
    bool found = false;
    for (int i = 1; words != nullptr && i < count; ++i)
        found = found || std::wcscmp(words[i], kStartMinimizedOption) == 0;
    LocalFree(words);
    return found;
}

// Windows starts an autostart entry in a folder of its own choosing; the settings files
// live beside the program.
void enter_program_folder() {
    wchar_t path[kFolderTextSize];
    DWORD length = GetModuleFileNameW(nullptr, path, kFolderTextSize);
    if (length == 0 || length >= kFolderTextSize)
        return;
    size_t slash = std::wstring_view(path, length).find_last_of(L"\\/");
    if (slash == std::wstring_view::npos)
        return;
    path[slash == 2 && path[1] == L':' ? 3 : slash] = L'\0';  // "C:\" keeps its "\"
    SetCurrentDirectoryW(path);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show) {
    bool minimized = started_minimized();
    if (minimized)
        enter_program_folder();
    // Settings files and the client log live in the current directory, and so one copy
    // runs there at a time.
    if (!single_copy_claim())
        return 0;
    if (!app_start(instance, minimized ? SW_HIDE : show, ""))
        return 0;
    int exit_code = app_run_loop();
    app_shutdown();
    return exit_code;
}
