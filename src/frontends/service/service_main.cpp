// QALMOR link as a Windows service: the console program's station and loop, run by the
// service manager, with the service log in a file of the settings folder.
#include "base/socket_compat.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string_view>

#include "frontends/console/console_run.h"
#include "frontends/service/service_control.h"
#include "qalmor_version.h"
#include "settings/file_replace.h"

namespace {

constexpr char kVersion[] = "qalmor-service " QALMOR_VERSION;
constexpr char kLogName[] = "qalmor-service.log";
constexpr char kStatusName[] = "qalmor-status.json";
constexpr int64_t kLogLimitBytes = 16 * 1024 * 1024;  // as "connect.list"

constexpr char kHelp[] = R"(Usage: qalmor-service [--install | --uninstall | --service] [options]

QALMOR link as a Windows service: the receiver link, the relay and the processing
server's link run with nobody logged in. Status changes go to "qalmor-service.log" in
the settings folder, one line each with a UTC time stamp; the status file is rewritten
once a second.

  --install     register the service "qalmor" (an administrator), started with
                Windows, with the --dir, --status-file and --prom-file given here;
                start it with: sc start qalmor
  --uninstall   stop the service and remove it
  --service     run as the service (the service manager starts it so)
  (none)        run on this console until Ctrl+C, logging to it

Options:
  --dir DIR     folder of the settings files, "connect.list" and the service log
                (default: the program's folder)
  --status-file PATH
                the status file (default: qalmor-status.json in that folder)
  --prom-file PATH
                the metrics file, in the Prometheus text format (default: none)
  --binary, --text, --serial PORT, --speed N, --push HOST:PORT
                as the Linux program has them (qalmor --help)
  --version     print the version and exit
  -h, --help    print this text and exit
)";

enum class Mode { console, service, install, uninstall };

struct ServiceProgram {
    ConsoleOptions options;
    std::unique_ptr<Station> station;
};

ServiceProgram& program() {
    static ServiceProgram state;
    return state;
}

// Takes --install, --uninstall and --service out of `argv`, leaving the console
// program's options; `count` becomes the number left.
Mode take_mode(char** argv, int& count) {
    Mode mode = Mode::console;
    int kept = 0;
    for (int i = 0; i < count; ++i) {
        std::string_view arg = argv[i];
        if (arg == "--install") {
            mode = Mode::install;
        } else if (arg == "--uninstall") {
            mode = Mode::uninstall;
        } else if (arg == "--service") {
            mode = Mode::service;
        } else {
            argv[kept++] = argv[i];
        }
    }
    count = kept;
    return mode;
}

// The service manager starts services in the system folder: every path becomes whole.
bool make_absolute(std::span<char> path) {
    char whole[kFilePathSize];
    DWORD length = GetFullPathNameA(path.data(), sizeof whole, whole, nullptr);
    if (length == 0 || length >= sizeof whole)
        return false;
    // A trailing backslash would escape the closing quote of the service's command line.
    if (whole[length - 1] == '\\' && length + 1 < sizeof whole) {
        whole[length] = '.';
        whole[length + 1] = '\0';
    }
    text_copy(path, whole);
    return true;
}

void program_folder(std::span<char> folder) {
    char path[kFilePathSize];
    DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    char* slash = length > 0 && length < sizeof path ? std::strrchr(path, '\\') : nullptr;
    if (slash == nullptr)
        return;
    *slash = '\0';
    text_copy(folder, path);
}

void default_status_file(ConsoleOptions& options) {
    if (options.status_file[0] == '\0')
        text_format(options.status_file, "%s\\%s", options.dir.data(), kStatusName);
}

bool given(const std::array<char, kFilePathSize>& path) {
    return path[0] != '\0';
}

int install(ConsoleOptions& options) {
    if (!make_absolute(options.dir) ||
        (given(options.status_file) && !make_absolute(options.status_file)) ||
        (given(options.prom_file) && !make_absolute(options.prom_file))) {
        std::fputs("qalmor-service: a path is too long\n", stderr);
        return 1;
    }
    char arguments[3 * kFilePathSize + 100];
    int used =
        std::snprintf(arguments, sizeof arguments, "--service --dir \"%s\"", options.dir.data());
    if (given(options.status_file))
        used += std::snprintf(arguments + used, sizeof arguments - static_cast<size_t>(used),
                              " --status-file \"%s\"", options.status_file.data());
    if (given(options.prom_file))
        std::snprintf(arguments + used, sizeof arguments - static_cast<size_t>(used),
                      " --prom-file \"%s\"", options.prom_file.data());
    std::array<char, 256> why{};
    if (!service_install(arguments, why)) {
        std::fprintf(stderr, "qalmor-service: %s\n", why.data());
        return 1;
    }
    std::printf(
        "qalmor-service: installed the service \"%s\" with settings in '%s'; "
        "start it with: sc start %s\n",
        kServiceName, options.dir.data(), kServiceName);
    return 0;
}

int uninstall() {
    std::array<char, 256> why{};
    if (!service_uninstall(why)) {
        std::fprintf(stderr, "qalmor-service: %s\n", why.data());
        return 1;
    }
    std::printf("qalmor-service: removed the service \"%s\"\n", kServiceName);
    return 0;
}

// The service log, appended; a log that cannot be opened must not keep the relay down.
std::FILE* open_service_log(const char* dir) {
    char path[kFilePathSize + sizeof kLogName];
    std::snprintf(path, sizeof path, "%s\\%s", dir, kLogName);
    std::FILE* log = file_append_rotating(path, kLogLimitBytes);
    return log != nullptr ? log : std::fopen("NUL", "w");
}

bool service_start() {
    ServiceProgram& state = program();
    ConsoleFrontEnd& front = console();
    front.log = open_service_log(state.options.dir.data());
    if (front.log == nullptr)
        return false;
    front.stamp_program_lines = true;
    state.station = console_open_station(front, state.options);
    return true;
}

bool service_run() {
    return console_run(console(), program().options, nullptr, kVersion);
}

void service_request_stop() {
    console().stop_requested = true;
    poll_loop_wake(console().loop);
}

BOOL WINAPI on_console_control(DWORD) {
    service_request_stop();
    return TRUE;
}

// Without --service: the same run on this console, for a look at what the service does.
int run_on_console() {
    SetConsoleCtrlHandler(on_console_control, TRUE);
    ConsoleFrontEnd& front = console();
    program().station = console_open_station(front, program().options);
    if (!service_run()) {
        std::fflush(nullptr);
        std::_Exit(0);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    int count = argc > 0 ? argc - 1 : 0;
    Mode mode = take_mode(argv + 1, count);
    ConsoleOptions& options = program().options;
    std::array<char, 512> error{};
    switch (console_parse_options({argv + 1, static_cast<size_t>(count)}, options, error)) {
        case OptionsResult::exit_error:
            std::fprintf(stderr, "qalmor-service: %s (see qalmor-service --help)\n", error.data());
            return 2;
        case OptionsResult::exit_ok:
            std::printf("%s\n", options.help ? kHelp : kVersion);
            return 0;
        case OptionsResult::run:
            break;
    }
    bool dir_given = false;
    for (int i = 1; i <= count; ++i)
        dir_given = dir_given || std::strncmp(argv[i], "--dir", 5) == 0;
    if (mode == Mode::uninstall)
        return uninstall();
    if (!dir_given)
        program_folder(options.dir);
    if (mode == Mode::install)
        return install(options);
    default_status_file(options);
    if (mode == Mode::console)
        return run_on_console();
    if (!service_dispatch({service_start, service_run, service_request_stop})) {
        std::fputs("qalmor-service: not started by the service manager (see --help)\n", stderr);
        return 1;
    }
    return 0;
}
