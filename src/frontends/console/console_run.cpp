#include "frontends/console/console_run.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>

#include "frontends/console/clock_status.h"

namespace {

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
void run_loop(ConsoleFrontEnd& front, const ConsoleMonitor* monitor, OutputFiles& files) {
    ClockLog clock_log;
    using clock = std::chrono::steady_clock;
    const auto period = std::chrono::milliseconds(kTimerPeriodMs);
    auto next_tick = clock::now() + period;
    if (monitor != nullptr && monitor->input_fd >= 0)
        poll_loop_wake_on_input(front.loop, monitor->input_fd);
    while (!front.stop_requested) {
        auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next_tick - clock::now());
        int wait_ms = static_cast<int>(std::clamp<int64_t>(wait.count(), 0, kTimerPeriodMs));
        poll_loop_run_once(front.loop, *front.station, wait_ms);
        station_serial_ready(*front.station);
        if (monitor != nullptr)
            monitor->each_pass(front);
        auto now = clock::now();
        if (now < next_tick)
            continue;
        station_timer_tick(*front.station);
        if (monitor == nullptr)
            console_status_tick(front, static_cast<int64_t>(std::time(nullptr)));
        after_tick(front, files, monitor != nullptr, clock_log);
        if (monitor != nullptr)
            monitor->after_tick(front);
        // After a long stall the ticks start again from now rather than catching up.
        next_tick = now - next_tick > 5 * period ? now + period : next_tick + period;
    }
}

void log_program_line(ConsoleFrontEnd& front, const char* text) {
    if (front.stamp_program_lines) {
        console_log_as_is(front.log, text);
    } else {
        std::fprintf(front.log, "%s\n", text);
        std::fflush(front.log);
    }
}

}  // namespace

std::unique_ptr<Station> console_open_station(ConsoleFrontEnd& front,
                                              const ConsoleOptions& options) {
    auto station = station_create(options.dir.data());
    front.station = station.get();
    station_load_settings(*station);
    apply_mode_override(*station, options.mode);
    apply_serial_override(*station, options);
    if (options.push_count > 0)
        station_set_push_targets(*station, options.push, options.push_count);
    return station;
}

bool console_run(ConsoleFrontEnd& front, const ConsoleOptions& options,
                 const ConsoleMonitor* monitor, const char* version) {
    front.log_status = monitor == nullptr;
    std::array<char, kFilePathSize + 100> line;
    if (monitor == nullptr) {
        text_format(line, "%s: settings and client log in '%s'", version, options.dir.data());
        log_program_line(front, line.data());
    }
    OutputFiles files{.times = {std::time(nullptr), 0},
                      .status = {options.status_file.data(), "status file", status_file_write},
                      .metrics = {options.prom_file.data(), "metrics file", metrics_file_write}};
    station_start_network(*front.station);
    if (monitor == nullptr)
        log_relay_start(front);
    run_loop(front, monitor, files);
    // In order: relay clients closed, then the connector stopped.
    bool all_ended = station_stop_network(*front.station);
    if (monitor == nullptr) {
        text_format(line, "%s: stopped", version);
        log_program_line(front, line.data());
    }
    return all_ended;
}
