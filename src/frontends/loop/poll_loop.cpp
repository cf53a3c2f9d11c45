// The event loop's shared part: the watch table, and what a wait found on a socket
// turned into the station's events. The waiting itself is the backend's
// (poll_loop_backend.h).
#include "frontends/loop/poll_loop.h"

#include "frontends/loop/poll_loop_backend.h"
#include "station/station.h"

namespace poll_loop_detail {

namespace {

PollWatch* find_watch(PollLoop& loop, SOCKET s) {
    for (PollWatch& watch : loop.watches) {
        if (watch.socket == s)
            return &watch;
    }
    return nullptr;
}

void deliver(Station& station, const PollWatch& taken, unsigned event, int& handled) {
    station_socket_event(station, taken.role, taken.socket, event, 0);
    ++handled;
}

// The close event comes once, after everything the peer sent has been read: a read
// event first while bytes are still waiting.
void dispatch_readable(PollLoop& loop, Station& station, const PollWatch& taken, Readiness ready,
                       int& handled) {
    bool closed = ready.failed || (ready.hung_up && socket_pending_bytes(taken.socket) == 0);
    if (!closed) {
        if (taken.events & kSocketRead)
            deliver(station, taken, kSocketRead, handled);
        return;
    }
    poll_loop_unwatch(loop, taken.socket);
    if (taken.events & kSocketClose)
        deliver(station, taken, kSocketClose, handled);
}

}  // namespace

bool still_watched(PollLoop& loop, const PollWatch& taken) {
    std::lock_guard guard(loop.lock);
    PollWatch* watch = find_watch(loop, taken.socket);
    return watch != nullptr && watch->serial == taken.serial;
}

void dispatch(PollLoop& loop, Station& station, const PollWatch& taken, Readiness ready,
              int& handled) {
    if (taken.role == SocketRole::relay_listener) {
        if (ready.readable || ready.hung_up || ready.failed)
            deliver(station, taken, kSocketAccept, handled);
        return;
    }
    if (ready.writable && (taken.events & kSocketWrite)) {
        deliver(station, taken, kSocketWrite, handled);
        if (!still_watched(loop, taken))
            return;
    }
    if (ready.readable || ready.hung_up || ready.failed)
        dispatch_readable(loop, station, taken, ready, handled);
}

}  // namespace poll_loop_detail

using namespace poll_loop_detail;

bool poll_loop_watch(PollLoop& loop, SOCKET s, SocketRole role, unsigned events) {
    std::lock_guard guard(loop.lock);
    if (!backend_open(loop))
        return false;
    PollWatch* watch = find_watch(loop, s);
    bool known = watch != nullptr;
    if (watch == nullptr)
        watch = find_watch(loop, INVALID_SOCKET);
    if (watch == nullptr)
        return false;
    *watch = {s, role, events, loop.next_serial++};
    if (loop.next_serial == 0)
        loop.next_serial = 1;
    size_t index = static_cast<size_t>(watch - loop.watches.data());
    if (!backend_watch(loop, index, known)) {
        *watch = PollWatch{};
        return false;
    }
    return true;
}

void poll_loop_unwatch(PollLoop& loop, SOCKET s) {
    if (s == INVALID_SOCKET)
        return;
    std::lock_guard guard(loop.lock);
    if (PollWatch* watch = find_watch(loop, s)) {
        *watch = PollWatch{};
        backend_unwatch(loop, s);
    }
}

void poll_loop_clear(PollLoop& loop) {
    std::lock_guard guard(loop.lock);
    for (PollWatch& watch : loop.watches) {
        if (watch.socket != INVALID_SOCKET)
            backend_unwatch(loop, watch.socket);
        watch = PollWatch{};
    }
}
