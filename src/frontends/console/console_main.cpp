// QALMOR link for Linux: the same station as the Windows program, behind a console
// front end. On a terminal it shows the monitor; as a service it logs status changes.
#include <unistd.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "frontends/console/console_frontend.h"
#include "frontends/console/console_options.h"
#include "frontends/console/console_run.h"
#include "frontends/console/terminal.h"
#include "qalmor_version.h"

namespace {

constexpr char kVersion[] = "qalmor " QALMOR_VERSION;

void on_stop_request(int) {
    console().stop_requested = true;  // lock-free, so safe in a signal handler
}

void install_stop_handlers() {
    struct sigaction action {};
    action.sa_handler = on_stop_request;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a signal ends the loop's wait at once.
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);  // a closed log pipe must not end the relay
}

void handle_keys(Station& station) {
    for (int key; (key = terminal_read_key()) >= 0;) {
        if (key == 'q' || key == 'Q') {
            console().stop_requested = true;
        } else {
            station_key(station, static_cast<char>(key));
        }
    }
}

void monitor_each_pass(ConsoleFrontEnd& front) {
    if (terminal_resumed())
        terminal_enter();
    handle_keys(*front.station);
    if (front.status_changed.exchange(false))
        terminal_draw(front);
}

void monitor_after_tick(ConsoleFrontEnd& front) {
    terminal_draw(front);
}

}  // namespace

int main(int argc, char** argv) {
    ConsoleOptions options;
    std::array<char, 512> error{};
    std::span<char*> arguments(argv + 1, static_cast<size_t>(argc > 0 ? argc - 1 : 0));
    switch (console_parse_options(arguments, options, error)) {
        case OptionsResult::exit_error:
            std::fprintf(stderr, "qalmor: %s (see qalmor --help)\n", error.data());
            return 2;
        case OptionsResult::exit_ok:
            std::fputs(options.help ? console_help_text() : kVersion, stdout);
            if (options.version)
                std::fputs("\n", stdout);
            return 0;
        case OptionsResult::run:
            break;
    }

    ConsoleFrontEnd& front = console();  // made before a signal handler can reach it
    install_stop_handlers();
    auto station = console_open_station(front, options);

    const ConsoleMonitor terminal_monitor{monitor_each_pass, monitor_after_tick, STDIN_FILENO};
    bool monitor = isatty(STDIN_FILENO) && isatty(STDOUT_FILENO) && terminal_enter();
    bool all_ended = console_run(front, options, monitor ? &terminal_monitor : nullptr, kVersion);
    if (monitor)
        terminal_restore();
    if (!all_ended) {
        // A link's thread still inside a call that does not return uses the station and
        // the front end: the process ends here, before anything is destroyed under it.
        std::fflush(nullptr);
        std::_Exit(0);
    }
    return 0;
}
