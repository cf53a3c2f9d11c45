// The console program's run, alike on Linux (on a terminal or as a systemd service) and
// on Windows (as a service): the station made from the options, the loop until a stop is
// asked for (ConsoleFrontEnd::stop_requested), the links closed.
#pragma once

#include <memory>

#include "frontends/console/console_frontend.h"
#include "frontends/console/console_options.h"

// What the terminal monitor adds to the loop. None as a service: then each status change
// is a line in the front end's log.
struct ConsoleMonitor {
    void (*each_pass)(ConsoleFrontEnd& front);   // keys, and a redraw after a status change
    void (*after_tick)(ConsoleFrontEnd& front);  // the redraw after a tick
    int input_fd = -1;                           // keys end the loop's wait (Linux)
};

// Makes the station of `options.dir`, loads its settings and applies the options that
// override them for this run.
std::unique_ptr<Station> console_open_station(ConsoleFrontEnd& front,
                                              const ConsoleOptions& options);

// Starts the network, runs the loop until a stop is asked for, then closes the relay
// clients and stops the links. `monitor` null as a service. Returns whether every link's
// thread ended; if not, the caller ends the process before anything is destroyed.
bool console_run(ConsoleFrontEnd& front, const ConsoleOptions& options,
                 const ConsoleMonitor* monitor, const char* version);
