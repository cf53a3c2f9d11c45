// What the event loop's shared part and its backend share; private to this folder.
//
// poll_loop.cpp keeps the watch table and turns what a wait found on a socket into the
// station's events. One backend per platform waits on the sockets: poll_loop_epoll.cpp
// (Linux: the kernel keeps the watched set) or poll_loop_wsapoll.cpp (elsewhere: each pass
// polls the table); CMake builds the one that fits. Besides the functions below, a
// backend defines poll_loop_wake, poll_loop_wake_on_input and poll_loop_run_once.
#pragma once

#include <cstddef>

#include "frontends/loop/poll_loop.h"

namespace poll_loop_detail {

// What one wait found on one socket.
struct Readiness {
    bool readable = false;
    bool writable = false;
    bool hung_up = false;  // the peer has closed; what it sent before may still be waiting
    bool failed = false;   // the connection is broken; nothing more will come
};

// The shared part, for the backend.

// Whether a registration is still the one a wait's result was taken for.
bool still_watched(PollLoop& loop, const PollWatch& taken);
// Hands what a wait found on `taken`'s socket to the station as its events; counts each
// event handed in `handled`.
void dispatch(PollLoop& loop, Station& station, const PollWatch& taken, Readiness ready,
              int& handled);

// The backend, for the shared part; each is called with the loop's lock held.

// Makes what the backend needs on first use; false if it cannot.
bool backend_open(PollLoop& loop);
// Starts or changes the watch of `loop.watches[index]`; `known` when its socket was
// already watched. False if the socket cannot be watched.
bool backend_watch(PollLoop& loop, size_t index, bool known);
void backend_unwatch(PollLoop& loop, SOCKET s);

}  // namespace poll_loop_detail
