// The relay benchmark's receiver: it plays a Mode S receiver that sends Beast binary
// frames of the real capture, paced or flat out, to the one station that connects. Each
// frame's 48-bit timestamp carries its sequence number, so a relay client can tell every
// frame apart, check that none is missing, and look up when it was sent.
//
// When the benchmark measures the program as a whole, the receiver simulator plays this
// part instead. The program and the simulator then run as child processes, started and
// stopped by the functions at the end of this header; flat out, the simulator's stream
// reaches the program through the valve declared here.
#pragma once

#include <sched.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "base/socket_compat.h"
#include "sim/receiver_stream.h"

// Nanoseconds of the steady clock, for durations.
int64_t bench_now_ns();
// Nanoseconds of the calendar clock, for latencies: the kernel stamps arriving bytes on
// this clock, so send times, arrivals and reads are all taken on it.
int64_t bench_wall_ns();

// An order-sensitive sum of a byte stream (Fletcher's, modulo 2^64): two streams with the
// same sum and length are, for this benchmark's purpose, the same bytes.
struct StreamSum {
    uint64_t low = 0;
    uint64_t high = 0;
    uint64_t bytes = 0;
    bool operator==(const StreamSum&) const = default;
};
void stream_sum_add(StreamSum& sum, std::span<const char> data);

// Frame `seq` of the stream: the capture's message seq % size, stamped with `seq`.
size_t bench_frame(std::span<const ReceiverMessage> messages, uint64_t seq,
                   std::span<uint8_t, kMaxWireFrame> out);

// When each frame was sent, by sequence number; slots are reused after kSendTimeSlots
// frames. One table serves every scenario and is filled before any is measured, so its
// 2 MB are part of each scenario's starting memory, not of its growth.
constexpr uint64_t kSendTimeSlots = 1 << 18;

struct SendTimes {
    std::unique_ptr<int64_t[]> ns = std::make_unique<int64_t[]>(kSendTimeSlots);
    std::atomic<uint64_t> stored{0};  // frames [0, stored) have their send times stored
};

// False when the frame's slot has been taken by a later frame: it arrived too late to time.
bool send_time_of(const SendTimes& times, uint64_t seq, int64_t& ns);

// Flat out, the receiver stays at most this many bytes ahead of the slowest client: below
// the relay's per-client backlog, so the run measures the most the chain delivers to every
// client rather than how soon the relay drops clients that cannot keep up.
constexpr uint64_t kFlatOutWindowBytes = 192 * 1024;

struct BenchReceiver {
    SOCKET listener = INVALID_SOCKET;
    SOCKET connection = INVALID_SOCKET;
    uint16_t port = 0;
    double rate = 0;  // frames per second; 0 sends flat out
    // Flat out: the bytes received by the slowest client still connected.
    std::function<uint64_t()> slowest_client_bytes;
    std::chrono::nanoseconds duration{};
    std::span<const ReceiverMessage> messages;
    SendTimes* times = nullptr;  // emptied (stored = 0) before the receiver starts
    std::thread thread;
    std::atomic<bool> connected{false};  // the station has connected
    std::atomic<bool> go{false};         // start sending
    std::atomic<bool> finished{false};   // sending is over; the results below are final
    std::atomic<bool> stop{false};
    // Written by the receiver's thread before `finished` is set.
    uint64_t frames = 0;
    StreamSum sum;
    int64_t start_ns = 0;
    int64_t end_ns = 0;
    bool send_failed = false;
};

// Listens on 127.0.0.1 (a port the system picks) and starts the thread, which accepts
// one connection and sends once `go` is set. False when it cannot listen.
bool receiver_start(BenchReceiver& receiver);
// Ends the thread and closes the sockets.
void receiver_stop(BenchReceiver& receiver);

// ---- Flat out through a valve ----

// When the program runs as a process, the simulator's flat-out stream reaches it through
// this valve, which holds the stream back while the slowest client is kFlatOutWindowBytes
// or more behind, as the benchmark's own receiver does. Sent open loop, flat out would
// only show how soon the relay drops clients slower than itself.
struct BenchValve {
    SOCKET listener = INVALID_SOCKET;  // the station's source link connects here
    SOCKET station = INVALID_SOCKET;
    SOCKET simulator = INVALID_SOCKET;
    uint16_t port = 0;
    uint16_t simulator_port = 0;
    std::function<uint64_t()> slowest_client_bytes;  // set before `go`
    std::thread thread;
    std::atomic<bool> connected{false};  // the station has connected
    std::atomic<bool> go{false};         // connect to the simulator and pass its stream on
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> passed{0};  // bytes passed on
};

// Listens on 127.0.0.1 and starts the thread, which accepts the station and, once `go`
// is set, connects to the simulator. False when it cannot listen.
bool valve_start(BenchValve& valve);
void valve_stop(BenchValve& valve);

// ---- Programs run as child processes ----

// A program the benchmark started, its standard output and error read through one pipe.
struct ChildProcess {
    pid_t pid = -1;
    int output = -1;   // the pipe's read end, non-blocking
    std::string text;  // everything the program has written so far
    bool ended = false;
    int exit_code = -1;  // once ended: its exit code, or -1 when a signal ended it
};

// Starts `args` (the program's path first) on the given cores, or on any when `cores` is
// null. The child inherits no descriptor but the pipe. False when it cannot start.
bool child_start(ChildProcess& child, const std::vector<std::string>& args, const cpu_set_t* cores);
// Appends what the program has written since the last call and notes whether it has
// ended; does not wait.
void child_poll(ChildProcess& child);
// Sends `signal` and waits up to `timeout_ms` for the program to end; then kills it.
// Returns the exit code, -1 when a signal ended it or it had to be killed.
int child_stop(ChildProcess& child, int signal, int timeout_ms);
