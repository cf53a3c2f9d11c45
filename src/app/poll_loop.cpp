#include "app/poll_loop.h"

#include <chrono>
#include <thread>

#include "app/station.h"

namespace {

PollWatch* find_watch(PollLoop& loop, SOCKET s) {
    for (PollWatch& watch : loop.watches) {
        if (watch.socket == s)
            return &watch;
    }
    return nullptr;
}

// Whether a registration is still the one a poll result was taken for.
bool still_watched(PollLoop& loop, const PollWatch& taken) {
    std::lock_guard guard(loop.lock);
    PollWatch* watch = find_watch(loop, taken.socket);
    return watch != nullptr && watch->serial == taken.serial;
}

short poll_events_for(unsigned events) {
    short wanted = 0;
    if (events & (kSocketRead | kSocketAccept | kSocketClose))
        wanted |= POLLIN;
    if (events & kSocketWrite)
        wanted |= POLLOUT;
    return wanted;
}

// Tells data from an orderly close the way Winsock does: a peek finds bytes, or the end.
void dispatch_readable(PollLoop& loop, Station& station, const PollWatch& taken, int& handled) {
    char byte;
    int peeked = static_cast<int>(recv(taken.socket, &byte, 1, MSG_PEEK));
    if (peeked > 0) {
        if (taken.events & kSocketRead) {
            station_socket_event(station, taken.role, taken.socket, kSocketRead, 0);
            ++handled;
        }
        return;
    }
    if (peeked < 0 && socket_would_block())
        return;
    // The close event comes once: the registration ends with it.
    poll_loop_unwatch(loop, taken.socket);
    if (taken.events & kSocketClose) {
        station_socket_event(station, taken.role, taken.socket, kSocketClose, 0);
        ++handled;
    }
}

void dispatch(PollLoop& loop, Station& station, const PollWatch& taken, short revents,
              int& handled) {
    if (!still_watched(loop, taken))
        return;
    if (taken.role == SocketRole::relay_listener) {
        if (revents & (POLLIN | POLLERR | POLLHUP)) {
            station_socket_event(station, taken.role, taken.socket, kSocketAccept, 0);
            ++handled;
        }
        return;
    }
    if ((revents & POLLOUT) && (taken.events & kSocketWrite)) {
        station_socket_event(station, taken.role, taken.socket, kSocketWrite, 0);
        ++handled;
        if (!still_watched(loop, taken))
            return;
    }
    if (revents & (POLLIN | POLLERR | POLLHUP)) {
        dispatch_readable(loop, station, taken, handled);
    }
}

}  // namespace

bool poll_loop_watch(PollLoop& loop, SOCKET s, SocketRole role, unsigned events) {
    std::lock_guard guard(loop.lock);
    PollWatch* watch = find_watch(loop, s);
    if (watch == nullptr)
        watch = find_watch(loop, INVALID_SOCKET);
    if (watch == nullptr)
        return false;
    *watch = {s, role, events, loop.next_serial++};
    return true;
}

void poll_loop_unwatch(PollLoop& loop, SOCKET s) {
    if (s == INVALID_SOCKET)
        return;
    std::lock_guard guard(loop.lock);
    if (PollWatch* watch = find_watch(loop, s)) {
        *watch = PollWatch{};
    }
}

int poll_loop_run_once(PollLoop& loop, Station& station, int timeout_ms) {
    std::array<PollWatch, kPollMaxSockets> taken;
    std::array<PollFd, kPollMaxSockets> sockets;
    size_t count = 0;
    {
        std::lock_guard guard(loop.lock);
        for (const PollWatch& watch : loop.watches) {
            if (watch.socket == INVALID_SOCKET || watch.events == 0)
                continue;
            taken[count] = watch;
            sockets[count] = PollFd{};
            sockets[count].fd = watch.socket;
            sockets[count].events = poll_events_for(watch.events);
            ++count;
        }
    }
    if (count == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(timeout_ms));
        return 0;
    }
    if (socket_poll(sockets.data(), count, timeout_ms) <= 0)
        return 0;
    int handled = 0;
    for (size_t i = 0; i < count; ++i) {
        if (sockets[i].revents != 0) {
            dispatch(loop, station, taken[i], sockets[i].revents, handled);
        }
    }
    return handled;
}
