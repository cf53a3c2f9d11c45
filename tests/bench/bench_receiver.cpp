#include "bench/bench_receiver.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <ctime>

#include "sim/receiver_sim.h"
#include "support/net_helpers.h"

namespace {

// Frames per send when flat out: big enough that the receiver is never the bottleneck.
constexpr uint64_t kFlatOutBatch = 256;
// A paced receiver sends what is due; after a stall it catches up at most this many at once.
constexpr uint64_t kMaxBatch = kFlatOutBatch;
constexpr int kAcceptWaitMs = 20;
// What the valve passes on at once: well inside the window.
constexpr size_t kValveChunk = 16 * 1024;

// Listens on 127.0.0.1, on a port the system picks; INVALID_SOCKET when it cannot.
SOCKET listen_on_loopback(uint16_t& port) {
    SOCKET listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener == INVALID_SOCKET ||
        bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (listener != INVALID_SOCKET)
            closesocket(listener);
        return INVALID_SOCKET;
    }
    port = ntohs(address.sin_port);
    return listener;
}

// Accepts the station's source link; INVALID_SOCKET once `stop` is set.
SOCKET accept_station(SOCKET listener, const std::atomic<bool>& stop) {
    while (!stop.load()) {
        PollFd entry{};
        entry.fd = listener;
        entry.events = POLLIN;
        if (socket_poll(&entry, 1, kAcceptWaitMs) <= 0)
            continue;
        SOCKET s = accept(listener, nullptr, nullptr);
        if (s == INVALID_SOCKET)
            continue;
        // A receiver writes each message as it comes; Nagle's delay would be ours, not the
        // relay's. The timeout only keeps a stuck station from hanging the benchmark.
        int on = 1;
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        timeval timeout{2, 0};
        setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
        return s;
    }
    return INVALID_SOCKET;
}

void close_socket(SOCKET& s) {
    if (s != INVALID_SOCKET)
        closesocket(s);
    s = INVALID_SOCKET;
}

bool send_all(SOCKET s, std::span<const char> bytes) {
    while (!bytes.empty()) {
        int sent = socket_send(s, bytes.data(), bytes.size());
        if (sent <= 0)
            return false;
        bytes = bytes.subspan(static_cast<size_t>(sent));
    }
    return true;
}

// Sends frames [first, first + count) in one write, stamping them all with the moment
// just before it.
bool send_batch(BenchReceiver& r, uint64_t first, uint64_t count) {
    std::array<uint8_t, kMaxBatch * kMaxWireFrame> buffer;
    size_t length = 0;
    for (uint64_t seq = first; seq < first + count; ++seq) {
        std::span<uint8_t, kMaxWireFrame> out(buffer.data() + length, kMaxWireFrame);
        length += bench_frame(r.messages, seq, out);
    }
    std::span<const char> bytes(reinterpret_cast<const char*>(buffer.data()), length);
    stream_sum_add(r.sum, bytes);
    int64_t now = bench_wall_ns();
    for (uint64_t seq = first; seq < first + count; ++seq) {
        std::atomic_ref<int64_t>(r.times->ns[seq % kSendTimeSlots])
            .store(now, std::memory_order_release);
    }
    r.times->stored.store(first + count, std::memory_order_release);
    r.frames = first + count;
    return send_all(r.connection, bytes);
}

// Frame i is due i / rate seconds after the start.
void send_paced(BenchReceiver& r, int64_t end_ns) {
    uint64_t seq = 0;
    const double frames_per_ns = r.rate / 1e9;
    while (!r.stop.load()) {
        int64_t now = bench_now_ns();
        if (now >= end_ns)
            return;
        auto due = static_cast<uint64_t>(static_cast<double>(now - r.start_ns) * frames_per_ns) + 1;
        if (due > seq) {
            uint64_t count = std::min(due - seq, kMaxBatch);
            if (!send_batch(r, seq, count)) {
                r.send_failed = true;
                return;
            }
            seq += count;
            continue;
        }
        auto next_ns = r.start_ns + static_cast<int64_t>(static_cast<double>(seq) / frames_per_ns);
        std::this_thread::sleep_for(std::chrono::nanoseconds(std::min(next_ns, end_ns) - now));
    }
}

// Waits while the slowest client is a window or more behind. Returns false at the end.
bool wait_for_clients(BenchReceiver& r, int64_t end_ns) {
    while (r.sum.bytes - std::min(r.sum.bytes, r.slowest_client_bytes()) >= kFlatOutWindowBytes) {
        if (r.stop.load() || bench_now_ns() >= end_ns)
            return false;
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    return true;
}

void send_flat_out(BenchReceiver& r, int64_t end_ns) {
    for (uint64_t seq = 0; bench_now_ns() < end_ns; seq += kFlatOutBatch) {
        if (!wait_for_clients(r, end_ns))
            return;
        if (!send_batch(r, seq, kFlatOutBatch)) {
            r.send_failed = true;
            return;
        }
    }
}

// Passes the simulator's stream on to the station while the slowest client keeps up.
void valve_run(BenchValve& v) {
    v.station = accept_station(v.listener, v.stop);
    if (v.station == INVALID_SOCKET)
        return;
    v.connected.store(true);
    while (!v.go.load()) {
        if (v.stop.load())
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    v.simulator = connect_to(v.simulator_port);
    std::array<char, kValveChunk> buffer;
    while (!v.stop.load() && v.simulator != INVALID_SOCKET) {
        uint64_t passed = v.passed.load();
        if (passed - std::min(passed, v.slowest_client_bytes()) >= kFlatOutWindowBytes) {
            std::this_thread::sleep_for(std::chrono::microseconds(50));
            continue;
        }
        PollFd entry{};
        entry.fd = v.simulator;
        entry.events = POLLIN;
        if (socket_poll(&entry, 1, kAcceptWaitMs) <= 0)
            continue;
        int n = socket_recv(v.simulator, buffer.data(), buffer.size());
        if (n <= 0 || !send_all(v.station, {buffer.data(), static_cast<size_t>(n)}))
            return;
        v.passed.store(passed + static_cast<uint64_t>(n));
    }
}

// In the child between fork and exec, where only system calls are safe.
[[noreturn]] void exec_child(int pipe_end, char* const* argv, const cpu_set_t* cores) {
    dup2(pipe_end, STDOUT_FILENO);
    dup2(pipe_end, STDERR_FILENO);
    // The benchmark's sockets must not live on in the child: a client's connection has
    // to close when the benchmark closes it.
    close_range(3, ~0u, 0);
    if (cores != nullptr)
        sched_setaffinity(0, sizeof *cores, cores);
    execv(argv[0], argv);
    _exit(127);
}

void record_end(ChildProcess& child, int status) {
    child.ended = true;
    child.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void receiver_run(BenchReceiver& r) {
    r.connection = accept_station(r.listener, r.stop);
    if (r.connection == INVALID_SOCKET)
        return;
    r.connected.store(true);
    while (!r.go.load()) {
        if (r.stop.load())
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    r.start_ns = bench_now_ns();
    int64_t end_ns = r.start_ns + r.duration.count();
    if (r.rate > 0) {
        send_paced(r, end_ns);
    } else {
        send_flat_out(r, end_ns);
    }
    r.end_ns = bench_now_ns();
    r.finished.store(true);
}

}  // namespace

int64_t bench_now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int64_t bench_wall_ns() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

void stream_sum_add(StreamSum& sum, std::span<const char> data) {
    uint64_t low = sum.low;
    uint64_t high = sum.high;
    for (char c : data) {
        low += static_cast<uint8_t>(c);
        high += low;
    }
    sum.low = low;
    sum.high = high;
    sum.bytes += data.size();
}

size_t bench_frame(std::span<const ReceiverMessage> messages, uint64_t seq,
                   std::span<uint8_t, kMaxWireFrame> out) {
    const ReceiverMessage& message = messages[seq % messages.size()];
    return stream_binary_frame(message, seq & kTimestampMask, sim_signal_level(seq), out);
}

bool send_time_of(const SendTimes& times, uint64_t seq, int64_t& ns) {
    ns = std::atomic_ref<int64_t>(times.ns[seq % kSendTimeSlots]).load(std::memory_order_acquire);
    // The slot is safe while the receiver is less than half the table ahead; a batch never
    // comes near the other half.
    uint64_t stored = times.stored.load(std::memory_order_acquire);
    return seq < stored && stored - seq < kSendTimeSlots / 2;
}

bool receiver_start(BenchReceiver& r) {
    r.listener = listen_on_loopback(r.port);
    if (r.listener == INVALID_SOCKET)
        return false;
    r.thread = std::thread(receiver_run, std::ref(r));
    return true;
}

void receiver_stop(BenchReceiver& r) {
    r.stop.store(true);
    if (r.thread.joinable())
        r.thread.join();
    close_socket(r.connection);
    close_socket(r.listener);
}

bool child_start(ChildProcess& child, const std::vector<std::string>& args,
                 const cpu_set_t* cores) {
    int ends[2];
    if (args.empty() || pipe2(ends, O_CLOEXEC) != 0)
        return false;
    // Built before the fork: the child may not allocate.
    std::vector<char*> argv;
    for (const std::string& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0)
        exec_child(ends[1], argv.data(), cores);
    close(ends[1]);
    if (pid < 0) {
        close(ends[0]);
        return false;
    }
    fcntl(ends[0], F_SETFL, O_NONBLOCK);
    child = {};
    child.pid = pid;
    child.output = ends[0];
    return true;
}

void child_poll(ChildProcess& child) {
    if (child.pid < 0)
        return;
    std::array<char, 4096> buffer;
    ssize_t n;
    while (child.output >= 0 && (n = read(child.output, buffer.data(), buffer.size())) > 0) {
        child.text.append(buffer.data(), static_cast<size_t>(n));
    }
    int status = 0;
    if (!child.ended && waitpid(child.pid, &status, WNOHANG) == child.pid)
        record_end(child, status);
}

int child_stop(ChildProcess& child, int signal, int timeout_ms) {
    if (child.pid < 0)
        return -1;
    if (!child.ended)
        kill(child.pid, signal);
    int64_t deadline_ns = bench_now_ns() + int64_t{timeout_ms} * 1000000;
    while (!child.ended && bench_now_ns() < deadline_ns) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        child_poll(child);
    }
    if (!child.ended) {
        kill(child.pid, SIGKILL);
        int status = 0;
        waitpid(child.pid, &status, 0);
        record_end(child, status);
        child.exit_code = -1;
    }
    child_poll(child);  // its last words
    close(child.output);
    child.output = -1;
    child.pid = -1;
    return child.exit_code;
}

bool valve_start(BenchValve& v) {
    v.listener = listen_on_loopback(v.port);
    if (v.listener == INVALID_SOCKET)
        return false;
    v.thread = std::thread(valve_run, std::ref(v));
    return true;
}

void valve_stop(BenchValve& v) {
    v.stop.store(true);
    if (v.thread.joinable())
        v.thread.join();
    close_socket(v.station);
    close_socket(v.simulator);
    close_socket(v.listener);
}
