#include "bench/bench_receiver.h"

#include <algorithm>
#include <array>
#include <ctime>

#include "sim/receiver_sim.h"

namespace {

// Frames per send when flat out: big enough that the receiver is never the bottleneck.
constexpr uint64_t kFlatOutBatch = 256;
// A paced receiver sends what is due; after a stall it catches up at most this many at once.
constexpr uint64_t kMaxBatch = kFlatOutBatch;
constexpr int kAcceptWaitMs = 20;

bool accept_station(BenchReceiver& r) {
    while (!r.stop.load()) {
        PollFd entry{};
        entry.fd = r.listener;
        entry.events = POLLIN;
        if (socket_poll(&entry, 1, kAcceptWaitMs) <= 0)
            continue;
        r.connection = accept(r.listener, nullptr, nullptr);
        if (r.connection == INVALID_SOCKET)
            continue;
        // A receiver writes each message as it comes; Nagle's delay would be ours, not the
        // relay's. The timeout only keeps a stuck station from hanging the benchmark.
        int on = 1;
        setsockopt(r.connection, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        timeval timeout{2, 0};
        setsockopt(r.connection, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
        return true;
    }
    return false;
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

void receiver_run(BenchReceiver& r) {
    if (!accept_station(r))
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
    r.listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (r.listener == INVALID_SOCKET ||
        bind(r.listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(r.listener, 1) != 0 ||
        getsockname(r.listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return false;
    }
    r.port = ntohs(address.sin_port);
    r.thread = std::thread(receiver_run, std::ref(r));
    return true;
}

void receiver_stop(BenchReceiver& r) {
    r.stop.store(true);
    if (r.thread.joinable())
        r.thread.join();
    if (r.connection != INVALID_SOCKET)
        closesocket(r.connection);
    if (r.listener != INVALID_SOCKET)
        closesocket(r.listener);
    r.connection = INVALID_SOCKET;
    r.listener = INVALID_SOCKET;
}
