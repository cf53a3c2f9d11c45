// QALMOR link for Linux: the same station as the Windows program, behind a console
// front end. On a terminal it shows the monitor; as a service it logs status changes.
#include <unistd.h>
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "frontends/console/clock_status.h"
#include "frontends/console/console_frontend.h"
#include "frontends/console/console_options.h"
#include "frontends/console/terminal.h"
#include "qalmor_version.h"

namespace {

constexpr char kVersion[] = "qalmor " QALMOR_VERSION;

volatile sig_atomic_t stop_requested = 0;

void on_stop_request(int) {
    stop_requested = 1;
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

void apply_mode_override(Station& station, ModeOverride mode) {
    if (mode != ModeOverride::none)
        station_override_binary_mode(station, mode == ModeOverride::binary);
}

// --serial and --speed: for this run, over what "initcom.ini" says.
void apply_serial_override(Station& station, const ConsoleOptions& options) {
    Text256 port;
    int32_t speed;
    station_serial_setting(station, port, speed);
    if (options.serial_port[0] != '\0')
        port = options.serial_port;
    if (options.serial_speed >= 0)
        speed = options.serial_speed;
    bool changed = options.serial_port[0] != '\0' || options.serial_speed >= 0;
    if (changed && port[0] != '\0')
        station_use_serial(station, text_view(port), speed);
}

void handle_keys(Station& station) {
    for (int key; (key = terminal_read_key()) >= 0;) {
        if (key == 'q' || key == 'Q') {
            stop_requested = 1;
        } else {
            station_key(station, static_cast<char>(key));
        }
    }
}

// The status file and the metrics file, rewritten once a second. A failure to write one
// is logged once, and again only after it has been written in between.
struct OutputFile {
    const char* path = "";
    const char* what = "";  // for the log line
    bool (*write)(const Station&, const StatusTimes&, const char*, std::span<char>) = nullptr;
    bool failing = false;
};

struct OutputFiles {
    StatusTimes times;
    OutputFile status;
    OutputFile metrics;
};

void write_output(ConsoleFrontEnd& front, const StatusTimes& times, OutputFile& file) {
    if (file.path[0] == '\0')
        return;
    std::array<char, 256> why{};
    bool written = file.write(*front.station, times, file.path, why);
    if (!written && !file.failing) {
        std::array<char, kFilePathSize + 300> line;
        text_format(line, "qalmor: the %s %s cannot be written: %s", file.what, file.path,
                    why.data());
        console_log(front.log, line.data());
    }
    file.failing = !written;
}

// Once a second, after the tick that judged the receiver's clock: the status and metrics
// files, and as a service the clock's log lines.
void after_tick(ConsoleFrontEnd& front, OutputFiles& files, bool monitor, ClockLog& log) {
    const Station& station = *front.station;
    int64_t judged_ns = station_clock_watch(station).judged_ns;
    if (judged_ns == log.handled_ns)
        return;
    log.handled_ns = judged_ns;
    if (!monitor)
        clock_log_step(log, station, front.log, judged_ns);
    files.times.now_s = static_cast<int64_t>(std::time(nullptr));
    write_output(front, files.times, files.status);
    write_output(front, files.times, files.metrics);
}

// How the relay's start went, once in the service log: a relay that could not listen
// (the server line alone would show only its port), one that listens for IPv4 alone, and
// lines of "allow.list" that name no network.
void log_relay_start(ConsoleFrontEnd& front) {
    RelayAccessFigures access = station_relay_access(*front.station);
    std::array<char, 400> line;
    if (access.allow.bad_lines > 0) {
        text_format(line,
                    "qalmor: allow.list: %d line%s name no network and are left out, the "
                    "first is line %d: '%s'",
                    access.allow.bad_lines, access.allow.bad_lines == 1 ? "" : "s",
                    access.allow.first_bad_line, access.allow.first_bad_text.data());
        console_log(front.log, line.data());
    }
    if (access.allow.cut) {
        text_format(line, "qalmor: allow.list: only its first %d lines are read", kAllowFileLines);
        console_log(front.log, line.data());
    }
    if (access.ipv4_only)
        console_log(front.log, "qalmor: this host has no IPv6: the relay listens for IPv4 alone");
    std::array<char, 256> why;
    if (station_relay_listening(*front.station, why))
        return;
    const char* address = access.address[0] != '\0' ? access.address.data() : "";
    text_format(line, "qalmor: the relay cannot listen on %s%sport %d: %s", address,
                address[0] != '\0' ? " " : "", static_cast<int>(station_relay_port(*front.station)),
                why.data());
    console_log(front.log, line.data());
}

// The UI thread: socket events as they come, a timer tick every 100 ms, and on a
// terminal the keys and a redraw after each tick or status change. The wait ends at
// once for a socket event, a key, a status change or a signal, so it runs to the tick.
void run_loop(ConsoleFrontEnd& front, bool monitor, OutputFiles& files) {
    ClockLog clock_log;
    using clock = std::chrono::steady_clock;
    const auto period = std::chrono::milliseconds(kTimerPeriodMs);
    auto next_tick = clock::now() + period;
    if (monitor)
        poll_loop_wake_on_input(front.loop, STDIN_FILENO);
    while (!stop_requested) {
        auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next_tick - clock::now());
        int wait_ms = static_cast<int>(std::clamp<int64_t>(wait.count(), 0, kTimerPeriodMs));
        poll_loop_run_once(front.loop, *front.station, wait_ms);
        station_serial_ready(*front.station);
        if (monitor) {
            if (terminal_resumed())
                terminal_enter();
            handle_keys(*front.station);
            if (front.status_changed.exchange(false))
                terminal_draw(front);
        }
        auto now = clock::now();
        if (now < next_tick)
            continue;
        station_timer_tick(*front.station);
        if (!monitor)
            console_status_tick(front, static_cast<int64_t>(std::time(nullptr)));
        after_tick(front, files, monitor, clock_log);
        if (monitor)
            terminal_draw(front);
        // After a long stall the ticks start again from now rather than catching up.
        next_tick = now - next_tick > 5 * period ? now + period : next_tick + period;
    }
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

    install_stop_handlers();
    ConsoleFrontEnd& front = console();
    auto station = station_create(options.dir.data());
    front.station = station.get();
    station_load_settings(*station);
    apply_mode_override(*station, options.mode);
    apply_serial_override(*station, options);
    if (options.push_count > 0)
        station_set_push_targets(*station, options.push, options.push_count);

    bool monitor = isatty(STDIN_FILENO) && isatty(STDOUT_FILENO) && terminal_enter();
    front.log_status = !monitor;
    if (!monitor) {
        std::fprintf(front.log, "%s: settings and client log in '%s'\n", kVersion,
                     options.dir.data());
        std::fflush(front.log);
    }
    OutputFiles files{.times = {std::time(nullptr), 0},
                      .status = {options.status_file.data(), "status file", status_file_write},
                      .metrics = {options.prom_file.data(), "metrics file", metrics_file_write}};
    station_start_network(*station);
    if (!monitor)
        log_relay_start(front);
    run_loop(front, monitor, files);
    // In order: relay clients closed, then the connector stopped.
    bool all_ended = station_stop_network(*station);
    if (monitor) {
        terminal_restore();
    } else {
        std::fprintf(front.log, "%s: stopped\n", kVersion);
    }
    if (!all_ended) {
        // A link's thread still inside a call that does not return uses the station and
        // the front end: the process ends here, before anything is destroyed under it.
        std::fflush(nullptr);
        std::_Exit(0);
    }
    return 0;
}
