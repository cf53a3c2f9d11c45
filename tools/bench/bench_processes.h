// The relay benchmark's processes: the relays and the receiver simulator run as child
// processes, started and stopped by PID, and measured from outside through /proc. Flat
// out, the simulator's stream reaches a relay through the valve declared here.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "base/socket_compat.h"

// ---- Programs run as child processes ----

// A program the benchmark started, its standard output and error read through one pipe.
struct ChildProcess {
    pid_t pid = -1;
    int output = -1;   // the pipe's read end, non-blocking
    std::string text;  // everything the program has written so far
    bool ended = false;
    int exit_code = -1;  // once ended: its exit code, or -1 when a signal ended it
};

// Starts `args` (the program's path first). The child inherits no descriptor but the
// pipe. False when it cannot start.
bool child_start(ChildProcess& child, const std::vector<std::string>& args);
// Appends what the program has written since the last call and notes whether it has
// ended; does not wait.
void child_poll(ChildProcess& child);
// Reads both programs' output (a full pipe would stall them) until `done` holds. False when
// the timeout passes first or one of them has ended; one never started is no hindrance.
bool children_wait(ChildProcess& a, ChildProcess& b, const std::function<bool()>& done,
                   int64_t timeout_ns);
// Sends `signal` and waits up to `timeout_ms` for the program to end; then kills it.
// Returns the exit code, -1 when a signal ended it or it had to be killed.
int child_stop(ChildProcess& child, int signal, int timeout_ms);

// ---- Measured from outside ----

// User and system CPU time of the whole process so far (/proc/PID/stat, in clock ticks).
int64_t process_cpu_ns(pid_t pid);
// A "VmXXX:  1234 kB" line of /proc/PID/status, in MB (10^6 bytes); 0 when unreadable.
double process_status_mb(pid_t pid, const char* field);
// Whether a process holds its end of the connection from 127.0.0.1:`client_port` to its
// port `relay_port`: the connection is listed in /proc/net/tcp (or tcp6) with a socket
// inode, which it has from the relay's accept until its close.
bool relay_holds_client(uint16_t relay_port, uint16_t client_port);

// ---- Flat out through a valve ----

// Passes the simulator's stream on to the relay while the slowest client is less than
// `window` bytes behind. Sent open loop, flat out would only show how soon a relay cuts
// clients slower than itself; held back, it shows the most the chain delivers.
struct BenchValve {
    uint64_t window = 0;
    SOCKET listener = INVALID_SOCKET;  // the relay's source link connects here
    SOCKET relay = INVALID_SOCKET;
    SOCKET simulator = INVALID_SOCKET;
    uint16_t port = 0;
    uint16_t simulator_port = 0;
    std::function<uint64_t()> slowest_client_bytes;  // set before `go`
    std::thread thread;
    std::atomic<bool> connected{false};  // the relay has connected
    std::atomic<bool> go{false};         // connect to the simulator and pass its stream on
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> passed{0};  // bytes passed on
};

// Listens on 127.0.0.1 and starts the thread, which accepts the relay and, once `go` is
// set, connects to the simulator. False when it cannot listen.
bool valve_start(BenchValve& valve);
void valve_stop(BenchValve& valve);
