// An event loop that plays the part the window message queue plays for the Win32
// program: it watches the sockets the core registers and hands each event to the station
// on the thread that runs it (the UI thread).
//
// Events follow Winsock's asynchronous selection: a read event repeats while data is
// waiting, a close event comes once when the peer has closed and everything sent before
// has been read, and a write event comes while the socket can take more and a write was
// asked for.
//
// On Linux the kernel keeps the watched set (epoll), so a pass costs nothing per idle
// socket, and a socket the connector thread registers is watched at once, even by a wait
// already under way. Elsewhere (the tests' loop under Wine) each pass polls the set.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>

#include "net/socket_watch.h"

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
    int epoll_fd = -1;  // Linux: the kernel's watched set, made on first use
    int wake_fd = -1;   // Linux: an eventfd that ends a wait at once
};

// Any thread. Returns false when the table is full.
bool poll_loop_watch(PollLoop& loop, SOCKET s, SocketRole role, unsigned events);
void poll_loop_unwatch(PollLoop& loop, SOCKET s);
// Forgets every watch (the sockets stay open).
void poll_loop_clear(PollLoop& loop);

// Ends a wait under way (or the next one) at once. Any thread. Where the loop polls,
// its waits are short slices and this does nothing.
void poll_loop_wake(PollLoop& loop);
// Also ends waits when `fd` has input (a terminal's keys). Linux only.
void poll_loop_wake_on_input(PollLoop& loop, int fd);

// Waits up to `timeout_ms` for socket events and hands each to the station. Returns the
// number of events handled. UI thread.
int poll_loop_run_once(PollLoop& loop, Station& station, int timeout_ms);
