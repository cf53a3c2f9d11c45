// A poll loop that plays the part the window message queue plays for the Win32 program:
// it watches the sockets the core registers and hands each event to the station on the
// thread that runs it (the UI thread).
//
// Events follow Winsock's asynchronous selection: a read event repeats while data is
// waiting, a close event comes once when the peer has closed and everything sent before
// has been read, and a write event comes while the socket can take more and a write was
// asked for.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>

#include "app/frontend.h"

struct Station;

constexpr int kPollMaxSockets = 128;  // 100 relay clients, the listener and the links

struct PollWatch {
    SOCKET socket = INVALID_SOCKET;
    SocketRole role = SocketRole::relay_client;
    unsigned events = 0;
    uint32_t serial = 0;  // a new registration gets a new serial, so stale results are dropped
};

struct PollLoop {
    std::mutex lock;  // the connector thread registers sockets too
    std::array<PollWatch, kPollMaxSockets> watches{};
    uint32_t next_serial = 1;
};

// Any thread. Returns false when the table is full.
bool poll_loop_watch(PollLoop& loop, SOCKET s, SocketRole role, unsigned events);
void poll_loop_unwatch(PollLoop& loop, SOCKET s);

// Waits up to `timeout_ms` for socket events and hands each to the station. Returns the
// number of events handled. UI thread.
int poll_loop_run_once(PollLoop& loop, Station& station, int timeout_ms);
