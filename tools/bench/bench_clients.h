// The relay benchmark's clients: loopback connections to a relay port, read on a few
// threads. The receiver simulator (qalmor-sim --clock monotonic) sends the capture in
// order from its top, each Beast frame stamped with the monotonic clock as it is written.
// Each client compares every frame, byte for byte, with the one the simulator wrote (the
// capture's message due, its signal level, the stamp read from the frame), and times it
// from its stamp to the client's read. A byte-for-byte comparison costs a fraction of
// formatting each frame as a line, so the clients keep up with a fast relay.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "base/socket_compat.h"
#include "sim/receiver_stream.h"

// Nanoseconds of the steady (monotonic) clock, the simulator's stamps' clock.
int64_t bench_now_ns();

// Latencies with 1 us steps below 2 ms, then ten times coarser for each further decade
// up to 2 s; anything longer lands in the last bucket.
constexpr int kLatencyTiers = 4;
constexpr int kLatencyBuckets = 2000 + (kLatencyTiers - 1) * 1800 + 1;

struct LatencyHistogram {
    std::array<uint64_t, kLatencyBuckets> counts{};
    uint64_t total = 0;
};

void latency_add(LatencyHistogram& histogram, int64_t ns);
void latency_merge(LatencyHistogram& into, const LatencyHistogram& from);
// The smallest latency, in microseconds, that at least `fraction` of the samples do not
// exceed (the upper edge of its bucket); 0 without samples.
double latency_percentile_us(const LatencyHistogram& histogram, double fraction);

// What the simulator sends, and how the frames are timed.
struct FrameCheck {
    std::span<const ReceiverMessage> messages;
    // Frames sent this soon after a client's first one are checked but not timed: they
    // show how the relay took up the new source link, not how it keeps up.
    int64_t lead_in_ns = 0;
};

struct BenchClient {
    SOCKET socket = INVALID_SOCKET;
    uint16_t local_port = 0;  // how the relay's side of the connection is recognised
    // The start of a frame that the last read cut off.
    std::array<char, kMaxWireFrame> carry{};
    size_t carry_length = 0;
    uint64_t frames = 0;              // frames received exactly as written, in order
    std::atomic<bool> faulty{false};  // a frame differed; nothing after it is checked
    std::array<char, 96> fault{};
    std::atomic<uint64_t> bytes{0};        // received, for other threads
    std::atomic<uint64_t> frames_read{0};  // `frames`, for other threads
    std::atomic<bool> closed{false};       // the relay closed the connection
    uint64_t first_ticks = 0;              // stamps of the first and the latest frame
    uint64_t last_ticks = 0;
    int64_t first_sent_ns = 0;  // on the steady clock: the first frame's send
    int64_t last_read_ns = 0;   // and the latest read
};

// Connects to the port on 127.0.0.1; nullptr on failure.
std::unique_ptr<BenchClient> client_connect(uint16_t port);
// A push target's end: takes the connection the relay makes to `listener` within
// `timeout_ms`; nullptr when none came.
std::unique_ptr<BenchClient> client_accept(SOCKET listener, int timeout_ms);
void client_close(BenchClient& client);

// Reads a client that has not been read so far until the relay's close, or until
// `timeout_ms` passes. Returns whether the close came.
bool client_read_to_close(BenchClient& client, const FrameCheck& check, int timeout_ms);

// Reader threads, each serving its share of the clients with epoll.
struct ClientReaders {
    struct Share {
        std::thread thread;
        std::vector<BenchClient*> clients;
        LatencyHistogram latencies;
    };
    std::vector<std::unique_ptr<Share>> shares;
    std::atomic<bool> stop{false};
};

void readers_start(ClientReaders& readers, std::span<BenchClient* const> clients, int thread_count,
                   const FrameCheck& check);
// Ends the threads; their latencies are then final.
void readers_stop(ClientReaders& readers);
