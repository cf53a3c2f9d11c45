// QALMOR link: the program's entry point.
#include "frontends/win32/app_main.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show) {
    // Settings files and the client log live in the current directory.
    if (!app_start(instance, show, ""))
        return 0;
    int exit_code = app_run_loop();
    app_shutdown();
    return exit_code;
}
