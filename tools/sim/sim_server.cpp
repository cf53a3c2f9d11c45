// The simulator's server loop: one connection at a time, each served with select() so
// that the stop flag, a peer that closes and the next message due are all noticed
// without a second thread.
#include "sim/receiver_sim.h"

#include <algorithm>
#include <cstring>

namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr int kPollMs = 50;  // how soon the stop flag is noticed

#ifdef _WIN32
constexpr int kShutdownSend = SD_SEND;
#else
constexpr int kShutdownSend = SHUT_WR;
#endif

template <typename... Args>
void report(const SimServer& server, const char* format, Args... args) {
    if (server.log == nullptr)
        return;
    std::fputs("qalmor-sim: ", server.log);
    std::fprintf(server.log, format, args...);
    std::fputc('\n', server.log);
    std::fflush(server.log);
}

struct Ready {
    bool readable = false;
    bool writable = false;
};

// Waits until the socket can be read (data or its close), or written when asked.
Ready wait_socket(SOCKET s, bool want_write, int timeout_ms) {
    fd_set read_set;
    fd_set write_set;
    FD_ZERO(&read_set);
    FD_ZERO(&write_set);
    FD_SET(s, &read_set);
    if (want_write) {
        FD_SET(s, &write_set);
    }
    timeval timeout{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    // The first argument is ignored by Winsock; an interrupted wait reads as "nothing".
    int count = select(static_cast<int>(s) + 1, &read_set, &write_set, nullptr, &timeout);
    if (count <= 0)
        return {};
    return {FD_ISSET(s, &read_set) != 0, FD_ISSET(s, &write_set) != 0};
}

uint64_t messages_due(const SimOptions& options, SteadyClock::duration elapsed) {
    if (options.rate <= 0)
        return kSimNever;
    double seconds = std::chrono::duration<double>(elapsed).count();
    return static_cast<uint64_t>(seconds * options.rate) + 1;  // the first one at once
}

// How long until message number `index` of the connection is due, in whole ms.
int ms_until_due(const SimOptions& options, const SimConnection& c, uint64_t index) {
    double due_s = static_cast<double>(index) / options.rate;
    double elapsed_s = std::chrono::duration<double>(SteadyClock::now() - c.start).count();
    double wait_ms = (due_s - elapsed_s) * 1000.0 + 1.0;
    return wait_ms <= 0 ? 0 : static_cast<int>(std::min<double>(wait_ms, kPollMs));
}

bool cuts_stream(const SimConnection& c) {
    return c.chunker.fixed != 0 || c.chunker.max != 0;
}

// Moves the waiting bytes to the front when the next message might not fit behind them.
void make_room(SimConnection& c) {
    if (c.begin == c.end) {
        c.begin = c.end = 0;
    } else if (kSimSendBuffer - c.end < kSimLineSize && c.begin > 0) {
        std::memmove(c.pending.data(), c.pending.data() + c.begin, c.end - c.begin);
        c.end -= c.begin;
        c.begin = 0;
    }
}

// Writes the messages that are due by now, as many as fit, up to `limit` in all.
void produce_due(SimServer& server, const SimOptions& options, uint64_t limit) {
    SimConnection& c = server.connection;
    uint64_t due = std::min(limit, messages_due(options, SteadyClock::now() - c.start));
    if (c.messages >= due)
        return;
    make_room(c);
    uint64_t ticks = sim_clock_ticks(server.clock);
    uint64_t second = 0;
    if (server.stream.merge && !server.clock.frozen)
        second = sim_clock_stamp(server.clock, SteadyClock::now() - server.clock.start, 1);
    SimWallTime wall{};
    if (server.stream.format == SimFormat::basestation) {
        wall = sim_clock_wall(server.clock);
    }
    while (c.messages < due && kSimSendBuffer - c.end >= kSimLineSize) {
        std::span<char, kSimLineSize> out(c.pending.data() + c.end, kSimLineSize);
        if (server.stream.merge && sim_merge_pick(server.stream) == 1) {
            c.end += sim_write_second(server.stream, second, wall, out);
        } else {
            c.end += sim_write_message(server.stream, ticks, wall, out);
        }
        ++c.messages;
    }
}

// How many waiting bytes may go in the next send: all of them, or the rest of the
// current chunk once it is complete. When no more messages will come, a short last
// chunk goes too, so that a pause or close never holds back a message.
size_t sendable(const SimConnection& c, bool all_written) {
    size_t waiting = c.end - c.begin;
    if (!cuts_stream(c))
        return waiting;
    if (waiting >= c.chunk_left)
        return c.chunk_left;
    return all_written ? waiting : 0;
}

// --delay-max: the bytes waiting go only once a delay drawn for them has passed; until
// then nothing is sendable and the wait ends when it passes.
size_t held_back(SimConnection& c, const SimOptions& options, int& timeout_ms) {
    auto now = SteadyClock::now();
    if (c.hold_until == SteadyClock::time_point{}) {
        auto delay_us =
            sim_next_random(c.hold_random) % (uint64_t{options.delay_max_ms} * 1000 + 1);
        c.hold_until = now + std::chrono::microseconds(delay_us);
    }
    if (now >= c.hold_until)
        return sendable(c, c.messages >= std::min(options.pause_after, options.close_after));
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(c.hold_until - now);
    timeout_ms = std::min<int>(timeout_ms, static_cast<int>(left.count()) + 1);
    return 0;
}

// False when the connection has failed.
bool send_pending(SimConnection& c, size_t amount) {
    int sent = socket_send(c.socket, c.pending.data() + c.begin, amount);
    if (sent < 0)
        return socket_would_block();
    c.begin += static_cast<size_t>(sent);
    if (cuts_stream(c)) {
        c.chunk_left -= static_cast<size_t>(sent);
        if (c.chunk_left == 0) {
            c.chunk_left = sim_chunk_next(c.chunker);
        }
    }
    return true;
}

// Reads and drops whatever the peer sends. False when the peer has closed or failed.
bool drain_input(SimConnection& c) {
    std::array<char, 512> scratch;
    int got = socket_recv(c.socket, scratch.data(), scratch.size());
    return got > 0 || (got < 0 && socket_would_block());
}

void connection_open(SimServer& server, const SimOptions& options, SOCKET s) {
    SimConnection& c = server.connection;
    c.socket = s;
    c.begin = c.end = 0;
    c.messages = 0;
    c.chunker = sim_chunker(options);
    c.chunk_left = sim_chunk_next(c.chunker);
    c.start = SteadyClock::now();
    c.paused = false;
    server.stream.next = 0;
    socket_set_nonblocking(s);
    // Nagle's algorithm would merge small sends; without it each send leaves as cut.
    int on = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    report(server, "connection from %s", c.peer.data());
}

// Serves the open connection until it closes, from either side, or `stop` is set.
void serve_connection(SimServer& server, const SimOptions& options, const std::atomic<bool>& stop) {
    SimConnection& c = server.connection;
    const uint64_t limit = std::min(options.pause_after, options.close_after);
    auto count = [&c] { return static_cast<unsigned long long>(c.messages); };
    while (!stop) {
        produce_due(server, options, limit);
        bool all_written = c.messages >= limit;
        bool all_sent = all_written && c.begin == c.end;
        if (all_sent && c.messages == options.close_after) {
            report(server, "closing %s after %llu messages", c.peer.data(), count());
            break;
        }
        if (all_sent && !c.paused) {
            c.paused = true;
            report(server, "paused %s after %llu messages; keeping it open", c.peer.data(),
                   count());
        }
        size_t amount = sendable(c, all_written);
        int timeout_ms = kPollMs;
        if (amount == 0 && !all_written && options.rate > 0) {
            timeout_ms = ms_until_due(options, c, c.messages);
        }
        if (amount != 0 && options.delay_max_ms != 0)
            amount = held_back(c, options, timeout_ms);
        Ready ready = wait_socket(c.socket, amount != 0, timeout_ms);
        if (ready.readable && !drain_input(c)) {
            report(server, "%s closed the connection after %llu messages", c.peer.data(), count());
            break;
        }
        if (ready.writable && amount != 0)
            c.hold_until = {};  // the next send draws its own delay
        if (ready.writable && !send_pending(c, amount)) {
            report(server, "%s failed after %llu messages", c.peer.data(), count());
            break;
        }
    }
    sim_close_socket(c.socket);
}

}  // namespace

bool sim_listen(SimServer& server, const SimOptions& options, SimText& error) {
    server.port = options.port;
    server.listener = sim_listen_on(options.bind_address, server.port, &error);
    if (server.listener == INVALID_SOCKET)
        return false;
    server.address = options.bind_address;
    // The monotonic clock's ticks are counted from its own zero, the same for every
    // process on the computer.
    server.clock.start =
        options.clock == SimClockSource::monotonic ? SteadyClock::time_point{} : SteadyClock::now();
    server.clock.hz = options.clock_hz;
    server.clock.ppm = options.clock_ppm;
    server.clock.reset_s = options.clock_reset_s;
    server.clock.gps = options.gps;
    auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
    server.clock.gps_start_ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch).count() %
        (86400 * int64_t{1000000000});
    return true;
}

void sim_serve(SimServer& server, const SimOptions& options,
               std::span<const ReceiverMessage> messages, const std::atomic<bool>& stop) {
    if (messages.empty())
        return;
    server.stream = sim_stream(messages, options);
    while (!stop) {
        SOCKET s = sim_accept(server.listener, kPollMs, &server.connection.peer);
        if (s == INVALID_SOCKET)
            continue;
        connection_open(server, options, s);
        serve_connection(server, options, stop);
    }
}

void sim_close(SimServer& server) {
    sim_close_socket(server.connection.socket);
    sim_close_socket(server.listener);
}

SOCKET sim_listen_on(uint32_t address, uint16_t& port, SimText* error) {
    SimText ignored;
    error = error != nullptr ? error : &ignored;
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        std::snprintf(error->data(), error->size(), "cannot make a TCP socket");
        return INVALID_SOCKET;
    }
#ifndef _WIN32
    // A restarted simulator may take its port back at once. (On Windows this option
    // would let another program take a port in use, so it is left off there.)
    int on = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
#endif
    sockaddr_in local = socket_ipv4_address(address, port);
    socklen_t length = sizeof local;
    if (bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
        listen(s, 4) != 0 || getsockname(s, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        closesocket(s);
        SimEndpoint endpoint;
        sim_format_endpoint(address, port, endpoint);
        std::snprintf(error->data(), error->size(),
                      "cannot listen on %s: the port is in use or the address is not local",
                      endpoint.data());
        return INVALID_SOCKET;
    }
    port = ntohs(local.sin_port);
    return s;
}

SOCKET sim_accept(SOCKET listener, int timeout_ms, SimEndpoint* peer) {
    if (!wait_socket(listener, false, timeout_ms).readable)
        return INVALID_SOCKET;
    // Room for a peer of either family: Winsock refuses an accept whose room is short.
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    SOCKET s = accept(listener, reinterpret_cast<sockaddr*>(&address), &length);
    if (s != INVALID_SOCKET && peer != nullptr && address.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
        sim_format_endpoint(ntohl(v4.sin_addr.s_addr), ntohs(v4.sin_port), *peer);
    }
    return s;
}

bool sim_send_all(SOCKET s, std::span<const char> bytes) {
    while (!bytes.empty()) {
        int sent = socket_send(s, bytes.data(), bytes.size());
        if (sent <= 0)
            return false;
        bytes = bytes.subspan(static_cast<size_t>(sent));
    }
    return true;
}

void sim_close_socket(SOCKET& s) {
    if (s == INVALID_SOCKET)
        return;
    // Sending ends first, so the peer reads every byte sent before it sees the close. (A
    // listener has nothing to end: its shutdown fails, harmlessly.)
    shutdown(s, kShutdownSend);
    closesocket(s);
    s = INVALID_SOCKET;
}
