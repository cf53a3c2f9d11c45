// The event loop's backend where the kernel keeps no watched set for us (Windows, where
// the tests' loop runs under Wine): each pass polls the watch table with WSAPoll
// (socket_poll). Its waits are short slices, so a wake has nothing to do.
#include <chrono>
#include <thread>

#include "frontends/loop/poll_loop.h"
#include "frontends/loop/poll_loop_backend.h"

using namespace poll_loop_detail;

namespace {

short poll_events_for(unsigned events) {
    short wanted = 0;
    if (events & (kSocketRead | kSocketAccept | kSocketClose))
        wanted |= POLLIN;
    if (events & kSocketWrite)
        wanted |= POLLOUT;
    return wanted;
}

// WSAPoll does not tell an orderly close apart from data everywhere (not under Wine):
// a peek finds bytes, or the end.
Readiness readiness_of(const PollWatch& taken, short revents) {
    Readiness ready;
    ready.writable = (revents & POLLOUT) != 0;
    bool signalled = (revents & (POLLIN | POLLERR | POLLHUP)) != 0;
    if (taken.role == SocketRole::relay_listener) {
        ready.readable = signalled;
    } else if (signalled) {
        char byte;
        int peeked = static_cast<int>(recv(taken.socket, &byte, 1, MSG_PEEK));
        ready.readable = peeked > 0;
        ready.hung_up = peeked == 0;
        ready.failed = peeked < 0 && !socket_would_block();
    }
    return ready;
}

}  // namespace

// The watch table is the watched set: nothing to make, register or forget.
bool poll_loop_detail::backend_open(PollLoop&) {
    return true;
}

bool poll_loop_detail::backend_watch(PollLoop&, size_t, bool) {
    return true;
}

void poll_loop_detail::backend_unwatch(PollLoop&, SOCKET) {}

void poll_loop_wake(PollLoop&) {}

void poll_loop_wake_on_input(PollLoop&, int) {}

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
        if (sockets[i].revents != 0 && still_watched(loop, taken[i])) {
            dispatch(loop, station, taken[i], readiness_of(taken[i], sockets[i].revents), handled);
        }
    }
    return handled;
}
