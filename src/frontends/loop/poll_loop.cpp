#include "frontends/loop/poll_loop.h"

#include <chrono>
#include <thread>

#ifdef __linux__
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <cerrno>
#endif

#include "station/station.h"

namespace {

// What one wait found on one socket.
struct Readiness {
    bool readable = false;
    bool writable = false;
    bool hung_up = false;  // the peer has closed; what it sent before may still be waiting
    bool failed = false;   // the connection is broken; nothing more will come
};

PollWatch* find_watch(PollLoop& loop, SOCKET s) {
    for (PollWatch& watch : loop.watches) {
        if (watch.socket == s)
            return &watch;
    }
    return nullptr;
}

// Whether a registration is still the one a wait's result was taken for.
bool still_watched(PollLoop& loop, const PollWatch& taken) {
    std::lock_guard guard(loop.lock);
    PollWatch* watch = find_watch(loop, taken.socket);
    return watch != nullptr && watch->serial == taken.serial;
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

}  // namespace

#ifdef __linux__

namespace {

// Tags of the two descriptors that only end a wait; a socket's tag is its watch's index
// and serial, which never reach these values.
constexpr uint64_t kWakeTag = ~uint64_t{0};
constexpr uint64_t kInputTag = ~uint64_t{0} - 1;

uint64_t watch_tag(size_t index, uint32_t serial) {
    return (static_cast<uint64_t>(index) << 32) | serial;
}

// Makes the epoll set and the wake-up eventfd on first use. Called with the lock held.
bool open_backend(PollLoop& loop) {
    if (loop.epoll_fd >= 0)
        return true;
    loop.epoll_fd = epoll_create1(EPOLL_CLOEXEC);
    if (loop.epoll_fd < 0)
        return false;
    loop.wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (loop.wake_fd >= 0) {
        epoll_event entry{};
        entry.events = EPOLLIN;
        entry.data.u64 = kWakeTag;
        epoll_ctl(loop.epoll_fd, EPOLL_CTL_ADD, loop.wake_fd, &entry);
    }
    return true;
}

uint32_t epoll_events_for(unsigned events) {
    uint32_t wanted = 0;
    if (events & (kSocketRead | kSocketAccept | kSocketClose))
        wanted |= EPOLLIN | EPOLLRDHUP;
    if (events & kSocketWrite)
        wanted |= EPOLLOUT;
    return wanted;
}

// Registers or changes a socket in the kernel's set. A socket that was closed without
// being unwatched has left the set, and its handle may be back as a new socket: MOD and
// ADD each fall back on the other.
bool backend_watch(PollLoop& loop, size_t index, bool known) {
    const PollWatch& watch = loop.watches[index];
    epoll_event entry{};
    entry.events = epoll_events_for(watch.events);
    entry.data.u64 = watch_tag(index, watch.serial);
    int first = known ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
    if (epoll_ctl(loop.epoll_fd, first, watch.socket, &entry) == 0)
        return true;
    int second = known ? EPOLL_CTL_ADD : EPOLL_CTL_MOD;
    return epoll_ctl(loop.epoll_fd, second, watch.socket, &entry) == 0;
}

void backend_unwatch(PollLoop& loop, SOCKET s) {
    if (loop.epoll_fd >= 0)
        epoll_ctl(loop.epoll_fd, EPOLL_CTL_DEL, s, nullptr);
}

Readiness readiness_of(uint32_t events) {
    Readiness ready;
    ready.readable = (events & EPOLLIN) != 0;
    ready.writable = (events & EPOLLOUT) != 0;
    ready.hung_up = (events & (EPOLLRDHUP | EPOLLHUP)) != 0;
    ready.failed = (events & EPOLLERR) != 0;
    return ready;
}

// The watch a result was taken for, if it is still current.
bool current_watch(PollLoop& loop, uint64_t tag, PollWatch& taken) {
    size_t index = static_cast<size_t>(tag >> 32);
    uint32_t serial = static_cast<uint32_t>(tag);
    std::lock_guard guard(loop.lock);
    if (index >= loop.watches.size() || loop.watches[index].serial != serial)
        return false;
    taken = loop.watches[index];
    return taken.socket != INVALID_SOCKET;
}

}  // namespace

void poll_loop_wake(PollLoop& loop) {
    int wake_fd;
    {
        std::lock_guard guard(loop.lock);
        open_backend(loop);
        wake_fd = loop.wake_fd;
    }
    uint64_t one = 1;
    if (wake_fd >= 0 && write(wake_fd, &one, sizeof one) < 0) {
        // Full only after 2^64 - 2 wakes nobody took: the wait ends anyway.
    }
}

void poll_loop_wake_on_input(PollLoop& loop, int fd) {
    std::lock_guard guard(loop.lock);
    if (!open_backend(loop))
        return;
    epoll_event entry{};
    entry.events = EPOLLIN;
    entry.data.u64 = kInputTag;
    epoll_ctl(loop.epoll_fd, EPOLL_CTL_ADD, fd, &entry);
}

int poll_loop_run_once(PollLoop& loop, Station& station, int timeout_ms) {
    int epoll_fd;
    {
        std::lock_guard guard(loop.lock);
        open_backend(loop);
        epoll_fd = loop.epoll_fd;
    }
    if (epoll_fd < 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(timeout_ms));
        return 0;
    }
    std::array<epoll_event, kPollMaxSockets + 2> results;
    int count = epoll_wait(epoll_fd, results.data(), static_cast<int>(results.size()), timeout_ms);
    int handled = 0;
    for (int i = 0; i < count; ++i) {
        uint64_t tag = results[static_cast<size_t>(i)].data.u64;
        if (tag == kWakeTag) {
            uint64_t wakes;
            if (read(loop.wake_fd, &wakes, sizeof wakes) < 0) {
                // Already drained: nothing to take.
            }
            continue;
        }
        PollWatch taken;
        if (tag == kInputTag || !current_watch(loop, tag, taken))
            continue;
        dispatch(loop, station, taken, readiness_of(results[static_cast<size_t>(i)].events),
                 handled);
    }
    return handled;
}

#else

namespace {

bool backend_watch(PollLoop&, size_t, bool) {
    return true;
}

void backend_unwatch(PollLoop&, SOCKET) {}

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

#endif

bool poll_loop_watch(PollLoop& loop, SOCKET s, SocketRole role, unsigned events) {
    std::lock_guard guard(loop.lock);
#ifdef __linux__
    if (!open_backend(loop))
        return false;
#endif
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
