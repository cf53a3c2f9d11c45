// The event loop's Linux backend: the kernel keeps the watched set (epoll), so a pass
// costs nothing per idle socket, and a socket the connector thread registers is watched
// at once, even by a wait already under way. An eventfd ends a wait at once.
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "frontends/loop/poll_loop.h"
#include "frontends/loop/poll_loop_backend.h"

using namespace poll_loop_detail;

namespace {

// Tags of the two descriptors that only end a wait; a socket's tag is its watch's index
// and serial, which never reach these values.
constexpr uint64_t kWakeTag = ~uint64_t{0};
constexpr uint64_t kInputTag = ~uint64_t{0} - 1;

uint64_t watch_tag(size_t index, uint32_t serial) {
    return (static_cast<uint64_t>(index) << 32) | serial;
}

uint32_t epoll_events_for(unsigned events) {
    uint32_t wanted = 0;
    if (events & (kSocketRead | kSocketAccept | kSocketClose))
        wanted |= EPOLLIN | EPOLLRDHUP;
    if (events & kSocketWrite)
        wanted |= EPOLLOUT;
    return wanted;
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

// Makes the epoll set and the wake-up eventfd on first use.
bool poll_loop_detail::backend_open(PollLoop& loop) {
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

// Registers or changes a socket in the kernel's set. A socket that was closed without
// being unwatched has left the set, and its handle may be back as a new socket: MOD and
// ADD each fall back on the other.
bool poll_loop_detail::backend_watch(PollLoop& loop, size_t index, bool known) {
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

void poll_loop_detail::backend_unwatch(PollLoop& loop, SOCKET s) {
    if (loop.epoll_fd >= 0)
        epoll_ctl(loop.epoll_fd, EPOLL_CTL_DEL, s, nullptr);
}

void poll_loop_wake(PollLoop& loop) {
    int wake_fd;
    {
        std::lock_guard guard(loop.lock);
        backend_open(loop);
        wake_fd = loop.wake_fd;
    }
    uint64_t one = 1;
    if (wake_fd >= 0 && write(wake_fd, &one, sizeof one) < 0) {
        // Full only after 2^64 - 2 wakes nobody took: the wait ends anyway.
    }
}

void poll_loop_wake_on_input(PollLoop& loop, int fd) {
    std::lock_guard guard(loop.lock);
    if (!backend_open(loop))
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
        backend_open(loop);
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
