// The relay benchmark's clients: loopback connections to the relay port, read on a few
// threads. Each client cuts its stream into frames with the program's own framer, checks
// that every frame is the one sent, in order, sums the bytes, and times each frame from
// the receiver's send to its own receipt. Frames come stamped one of two ways: with a
// sequence number by the benchmark's own receiver, or with the monotonic clock by the
// receiver simulator (qalmor-sim --clock monotonic), whose frames carry the capture in
// order from its top.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_receiver.h"
#include "decode/framer.h"

// Latencies with 1 us steps below 2 ms, then ten times coarser for each further decade
// up to 2 s; anything longer lands in the last bucket.
constexpr int kLatencyTiers = 4;
constexpr int kLatencyBuckets = 2000 + (kLatencyTiers - 1) * 1800 + 1;

struct LatencyHistogram {
    std::array<uint64_t, kLatencyBuckets> counts{};
    uint64_t total = 0;
    int64_t max_ns = 0;
};

void latency_add(LatencyHistogram& histogram, int64_t ns);
void latency_merge(LatencyHistogram& into, const LatencyHistogram& from);
// The smallest latency, in microseconds, that at least `fraction` of the samples do not
// exceed (the upper edge of its bucket); 0 without samples.
double latency_percentile_us(const LatencyHistogram& histogram, double fraction);
double latency_max_us(const LatencyHistogram& histogram);

enum class FrameStamp {
    sequence,         // the timestamp field is the frame's sequence number
    monotonic_clock,  // 12 MHz ticks of the sender's steady clock, modulo 2^48
};

// What each frame must look like once the framer has made a line of it: the hex digits
// of every capture message, in the framer's upper case.
struct FrameCheck {
    std::span<const ReceiverMessage> messages;
    std::vector<std::string> hex;
    FrameStamp stamp = FrameStamp::sequence;
    // Clock-stamped frames sent this soon after the first one are checked but timed
    // apart: they show how the link started, not how the relay keeps up.
    int64_t lead_in_ns = 0;
};
FrameCheck frame_check(std::span<const ReceiverMessage> messages);

struct BenchClient {
    SOCKET socket = INVALID_SOCKET;
    uint16_t local_port = 0;  // how the relay's side of the connection is recognised
    Framer framer;
    FormattedLine line;
    uint64_t frames = 0;      // frames seen, in order or not
    uint64_t next_seq = 0;    // the sequence number the next frame must carry
    uint64_t bad_frames = 0;  // out of order, or with a message other than the one sent
    std::array<char, 96> first_fault{};
    StreamSum sum;
    std::atomic<uint64_t> bytes{0};
    std::atomic<uint64_t> frames_read{0};  // `frames`, for other threads
    std::atomic<bool> closed{false};       // the relay closed the connection
    // Clock-stamped frames only: the sum of the bytes the sender wrote for the frames
    // seen (rebuilt from each frame's timestamp), the first and the latest timestamp,
    // and, on the steady clock, when the first frame was sent and the latest read.
    StreamSum expected;
    uint64_t first_ticks = 0;
    uint64_t last_ticks = 0;
    int64_t first_sent_ns = 0;
    int64_t last_read_ns = 0;
};

// Connects to the relay port on 127.0.0.1, asking the kernel to stamp arriving bytes;
// nullptr on failure.
std::unique_ptr<BenchClient> client_connect(uint16_t port);
void client_close(BenchClient& client);

// When the bytes of one read came, in calendar-clock nanoseconds: the kernel's stamp of
// their arrival at the client's socket (0 when unknown), and the moment the client's
// thread read them, also on the steady clock. The kernel stamps a read with its last
// piece's arrival, so an earlier frame in the same read is stamped a little late.
struct Receipt {
    int64_t arrival_ns = 0;
    int64_t read_ns = 0;
    int64_t read_steady_ns = 0;
};

struct Latencies {
    LatencyHistogram arrival;
    LatencyHistogram read;
    uint64_t untimed = 0;        // frames whose send time had been overwritten
    int64_t lead_in_max_ns = 0;  // the slowest frame of the lead-in
};

// Takes bytes received: sums them, frames them and checks each frame; each completed
// frame is timed into `latencies` when given.
void client_take(BenchClient& client, std::span<const char> bytes, const Receipt& receipt,
                 const FrameCheck& check, const SendTimes* times, Latencies* latencies);

// Reads a client that has not been read so far until the relay's close, or until
// `timeout_ms` passes. Returns whether the close came.
bool client_read_to_close(BenchClient& client, const FrameCheck& check, int timeout_ms);

// Reader threads, each serving its share of the clients with epoll.
struct ClientReaders {
    struct Share {
        std::thread thread;
        std::vector<BenchClient*> clients;
        Latencies latencies;
    };
    std::vector<std::unique_ptr<Share>> shares;
    std::atomic<bool> stop{false};
};

void readers_start(ClientReaders& readers, std::span<BenchClient* const> clients, int thread_count,
                   const FrameCheck& check, const SendTimes& times);
// Ends the threads; their latencies and untimed counts are then final.
void readers_stop(ClientReaders& readers);
