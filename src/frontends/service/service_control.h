// The Windows service's dealings with the service manager: installing and removing the
// service, and running as one (the dispatcher, the control handler, the states reported).
#pragma once

#include <span>

constexpr char kServiceName[] = "qalmor";
constexpr char kServiceDisplayName[] = "QALMOR link";

// Registers the service, started with Windows, to run this program with `arguments`
// (already quoted, "--service --dir ..."). On failure `why` says why.
bool service_install(const char* arguments, std::span<char> why);
// Stops the service if it runs, then removes it.
bool service_uninstall(std::span<char> why);

// What runs as the service, on the thread the dispatcher gives it: returns when
// `request_stop` has been called and the work has ended. Returns whether it ended
// cleanly (otherwise the process must end without destroying anything).
struct ServiceWork {
    bool (*start)();  // before the service reports itself running; false: it cannot run
    bool (*run)();
    void (*request_stop)();  // from the control handler's thread
};

// Hands this process to the service manager; returns when the service has stopped.
// False if the process was not started by the service manager.
bool service_dispatch(const ServiceWork& work);
