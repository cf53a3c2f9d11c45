// The receiver simulator: plays a Mode S receiver's data port.
//
// It listens on a TCP port and sends, to one connection at a time, the messages of a
// message file (by default the real capture), looping it, as AVR text lines, BaseStation
// lines or Beast binary frames, at a chosen rate or flat out. It can cut the stream into
// odd send sizes, fall silent after N messages on a connection (for the program's
// silence watchdog) or close it after N, and stamp messages with the computer's
// monotonic clock so that a program on the same computer can time their way. The logic lives here
// so that tests run the server on a thread; the program's main only parses, listens and serves.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/socket_compat.h"
#include "sim/basestation.h"
#include "sim/receiver_stream.h"

using SimText = std::array<char, 256>;
using SimEndpoint = std::array<char, 24>;  // "255.255.255.255:65535"

// A 64-bit linear congruential step (Knuth's MMIX constants), its high bits: the same
// numbers from the same seed on every platform, unlike the standard distributions.
uint64_t sim_next_random(uint64_t& state);

// ---- Options ----

enum class SimFormat { avr, avr_mlat, basestation, beast };

// What the 12 MHz timestamps count from: the simulator's start, or the computer's
// monotonic clock (std::chrono::steady_clock, CLOCK_MONOTONIC on Linux), modulo 2^48.
enum class SimClockSource { start, monotonic };

// What the stand-in processing server (--consumer) asks for after the greeting.
enum class SimCommand { none, original, text };

constexpr uint64_t kSimNever = UINT64_MAX;  // no pause or close after a count
constexpr size_t kSimMaxChunk = 65535;      // as much as the program takes in one receive
constexpr double kSimMinRate = 0.001;       // messages per second
constexpr double kSimMaxRate = 10000000;

struct SimOptions {
    uint32_t bind_address = 0x7F000001;  // host byte order: 127.0.0.1
    uint16_t port = 7777;                // the program's default source port
    SimFormat format = SimFormat::avr;
    double rate = 100;  // messages per second; 0 sends flat out
    std::string file;   // empty: the real capture built in
    std::string_view line_end = "\r\n";
    size_t chunk_size = 0;  // every send exactly this many bytes; 0: not cut
    size_t chunk_max = 0;   // sends of 1 to chunk_max bytes at random; 0: off
    uint32_t seed = 1;      // for the random send sizes
    uint64_t pause_after = kSimNever;
    uint64_t close_after = kSimNever;
    SimClockSource clock = SimClockSource::start;
    // The receiver's clock, for the program's clock check: its nominal rate, how many
    // ppm it runs off that, when its count restarts, and whether it sends GPS seconds
    // and nanoseconds instead of a count.
    double clock_hz = 12e6;
    double clock_ppm = 0;
    double clock_reset_s = 0;  // 0: never
    bool gps = false;
    bool merge = false;         // a second receiver, its clock apart, in the same stream
    uint32_t delay_max_ms = 0;  // each send held back up to this long, at random
    bool consumer = false;      // play a processing server instead of a receiver
    bool listen = false;        // play a server the program pushes its stream to
    SimCommand command = SimCommand::none;
    bool serial = false;       // play on a pseudo-terminal instead of a TCP port (Linux)
    int32_t serial_speed = 0;  // with serial: the only speed it plays at; 0 any
    std::string serial_link;   // with serial: a symbolic link to the device, made here
};

enum class SimParse { run, help, error };

// Reads the command-line arguments after the program name. On SimParse::error `error`
// holds a one-line reason naming the option.
SimParse sim_parse_options(std::span<const char* const> args, SimOptions& options, SimText& error);

// The --help text: every option, with examples.
std::string_view sim_help_text();

// The messages to play: the options' file or the built-in capture. False, with a reason,
// when the file cannot be read or holds no message.
bool sim_load_messages(const SimOptions& options, std::vector<ReceiverMessage>& messages,
                       SimText& error);

// "a.b.c.d" to an address in host byte order; names are not looked up.
bool sim_parse_ipv4(std::string_view text, uint32_t& address);
// "127.0.0.1:40123"
void sim_format_endpoint(uint32_t address, uint16_t port, SimEndpoint& out);

// ---- The stream ----

// The receiver's 12 MHz clock after `elapsed` of real time.
uint64_t sim_receiver_ticks(std::chrono::nanoseconds elapsed);

// With --merge the second receiver's clock runs this far ahead of the first, and this
// many ppm faster: under a second apart, which no jump rule sees.
constexpr double kSimMergeAheadS = 0.4;
constexpr double kSimMergePpm = 30;

// The clocks the stream reads: real ones, or frozen at fixed values so that tests can
// know every byte in advance.
struct SimClock {
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    bool frozen = false;
    uint64_t frozen_ticks = 0;
    SimWallTime frozen_wall{};
    double hz = 12e6;
    double ppm = 0;
    double reset_s = 0;
    bool gps = false;
    int64_t gps_start_ns = 0;  // GPS time of day at `start`
};

uint64_t sim_clock_ticks(const SimClock& clock);
// The timestamp of receiver 0 or (with --merge) 1 `elapsed` after the start: the count of
// a clock `hz` running `ppm` off, restarting at `reset_s`, or GPS time of day.
uint64_t sim_clock_stamp(const SimClock& clock, std::chrono::nanoseconds elapsed, int receiver);
SimWallTime sim_clock_wall(const SimClock& clock);

// The message producer. The file position starts again for every connection; the
// timestamps belong to the receiver and keep rising across connections.
struct SimStream {
    std::span<const ReceiverMessage> messages;
    SimFormat format = SimFormat::avr;
    std::string_view line_end = "\r\n";
    size_t next = 0;          // index of the next message in the file
    uint64_t written = 0;     // messages written since the stream was made
    uint64_t last_ticks = 0;  // timestamp of the last message written
    bool gps = false;         // timestamps hold nanoseconds in their low 30 bits
    bool merge = false;       // each message from one of two receivers, at random
    bool restarts = false;    // --clock-reset: a step back of over a second is kept
    uint64_t pick = 1;
    uint64_t last_second = 0;  // the second receiver's last timestamp
};

SimStream sim_stream(std::span<const ReceiverMessage> messages, const SimOptions& options);

// Writes the next message of the file, looping at its end, in the stream's form. Its
// timestamp is `ticks`, or one tick after the previous one if the clock has not moved
// on. Returns the bytes written.
size_t sim_write_message(SimStream& stream, uint64_t ticks, const SimWallTime& wall,
                         std::span<char, kSimLineSize> out);
// With --merge: which receiver sends the next message, 0 or 1.
int sim_merge_pick(SimStream& stream);
// The next message from the second receiver, stamped `ticks` on its own clock.
size_t sim_write_second(SimStream& stream, uint64_t ticks, const SimWallTime& wall,
                        std::span<char, kSimLineSize> out);

// The signal level sent with the i-th binary frame: varied, and now and then 0x1A.
uint8_t sim_signal_level(uint64_t index);

// Send sizes: fixed, random from 1 to a maximum, or 0 for "all that is waiting".
struct SimChunker {
    size_t fixed = 0;
    size_t max = 0;
    uint64_t state = 1;
};

SimChunker sim_chunker(const SimOptions& options);
size_t sim_chunk_next(SimChunker& chunker);

// ---- The server ----

constexpr size_t kSimSendBuffer = 2 * kSimMaxChunk + 2;

// The one connection being served.
struct SimConnection {
    SOCKET socket = INVALID_SOCKET;
    SimEndpoint peer{};
    std::array<char, kSimSendBuffer> pending{};
    size_t begin = 0;  // pending bytes are [begin, end)
    size_t end = 0;
    uint64_t messages = 0;  // written into pending on this connection
    size_t chunk_left = 0;  // bytes still to send of the current chunk
    SimChunker chunker;
    std::chrono::steady_clock::time_point start;
    bool paused = false;
    std::chrono::steady_clock::time_point hold_until{};  // --delay-max: the send waits
    uint64_t hold_random = 1;
};

struct SimServer {
    SOCKET listener = INVALID_SOCKET;
    uint32_t address = 0;  // where it listens; port 0 is replaced by the port chosen
    uint16_t port = 0;
    SimClock clock;
    SimStream stream;
    SimConnection connection;
    FILE* log = nullptr;  // connections are reported here when set
};

// Opens the listening socket. False, with a reason, when it cannot.
bool sim_listen(SimServer& server, const SimOptions& options, SimText& error);

// Serves connections one after another until `stop` is set; notices it within 50 ms.
void sim_serve(SimServer& server, const SimOptions& options,
               std::span<const ReceiverMessage> messages, const std::atomic<bool>& stop);

// Closes the listening socket and any connection left open.
void sim_close(SimServer& server);

// ---- The processing server ----

// Plays a processing server for the program's consumer link: takes connections one
// after another on the listening socket and prints every line each sends to `out`
// (Windows-1251 in UTF-8); after the greeting's five lines it sends the command the
// options ask for. Until `stop` is set; notices it within 50 ms.
void sim_consume(SimServer& server, const SimOptions& options, FILE* out,
                 const std::atomic<bool>& stop);

// Plays a server the program pushes the receiver's stream to: takes connections one
// after another and prints to `out`, once a second while one lasts, how many bytes it
// has brought. Until `stop` is set.
void sim_listen_count(SimServer& server, FILE* out, const std::atomic<bool>& stop);

// ---- The receiver's side of a socket ----
// Also the tests' fake receiver's and the relay benchmark's, so that every stand-in for a
// receiver listens, accepts, sends and closes the same way.

// Listens on `address` (host byte order) and `port`, 0 for one the system picks, which is
// then written back. INVALID_SOCKET, with a reason when asked, when it cannot.
SOCKET sim_listen_on(uint32_t address, uint16_t& port, SimText* error = nullptr);
// Takes a connection (blocking, as the listener is) within `timeout_ms`; INVALID_SOCKET
// when none came. `peer`, when given, gets its address.
SOCKET sim_accept(SOCKET listener, int timeout_ms, SimEndpoint* peer = nullptr);
// Sends all of `bytes` on a blocking socket; false when the connection fails.
bool sim_send_all(SOCKET s, std::span<const char> bytes);
// Closes so that everything sent still arrives; leaves INVALID_SOCKET.
void sim_close_socket(SOCKET& s);
