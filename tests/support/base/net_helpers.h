// Network test helpers on loopback: free ports, temporary directories, a fake receiver
// and relay clients. They need no station and no front end.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <thread>

#include "base/ip_address.h"
#include "base/socket_compat.h"
#include "sim/receiver_sim.h"

using namespace std::chrono_literals;

// A port nobody listens on right now, from below the system's ephemeral range, so that
// nothing but a test takes it before the test that asked for it does.
uint16_t free_port();

// A temporary directory, removed with everything in it.
struct TempDir {
    std::string path;
    TempDir();
    ~TempDir();
    std::string read(const std::string& file) const;
    void write(const std::string& file, const std::string& bytes) const;
};

// Accepts connections and sends what the test gives it, as the simulator's server does.
// Blocking calls, on the test thread.
struct FakeReceiver {
    uint16_t port = 0;  // before the listener: the system picks it when that opens
    SOCKET listener = INVALID_SOCKET;
    SOCKET connection = INVALID_SOCKET;
    FakeReceiver();
    explicit FakeReceiver(const char* address);  // a numeric address of either family
    ~FakeReceiver();
    // Takes a pending connection if there is one; returns whether one is open.
    bool accept_pending();
    void send_all(std::string_view bytes);
    void close_connection();
};

// A port on loopback whose connects neither succeed nor fail for a long while, as a host
// that does not answer: its listen queue is full and never taken from, so new SYNs are
// dropped. `hangs` says whether this system behaves so (else tests that need it skip).
struct SilentListener {
    uint16_t port = 0;
    SOCKET listener = INVALID_SOCKET;
    SOCKET filler = INVALID_SOCKET;  // the one connection the queue holds
    bool hangs = false;
    SilentListener();
    ~SilentListener();
};

// ---- Relay clients ----
// The connecting and reading core of the tests' readers and the relay benchmark's clients.

// Connects a plain socket to 127.0.0.1:`port`; INVALID_SOCKET on failure. `local_port`,
// when given, gets the socket's own port.
SOCKET connect_to(uint16_t port, uint16_t* local_port = nullptr);
// Connects from the numeric address `from` (nullptr: any) to `to`:`port`, either family.
SOCKET connect_between(const char* from, const char* to, uint16_t port);
// A listening socket on the numeric address `address`; the system picks `port`.
SOCKET listen_at(const char* address, uint16_t& port);
// Reads what has come into `buffer`, first waiting up to `wait_ms` for it (with 0 it reads
// at once, as after epoll). The count read, 0 when nothing came, -1 once the relay has
// closed the connection or it failed.
int relay_client_read(SOCKET s, std::span<char> buffer, int wait_ms);

// A relay client that reads everything on a thread of its own until the server closes.
struct RelayReader {
    SOCKET socket = INVALID_SOCKET;
    std::thread thread;
    std::mutex lock;
    std::string received;
    std::atomic<bool> closed{false};
    std::atomic<bool> stopping{false};
    std::atomic<bool> paused{false};  // while set, reads nothing (its socket fills up)

    explicit RelayReader(uint16_t port);
    RelayReader(const char* from, const char* to, uint16_t port);
    ~RelayReader();
    size_t size();
    std::string bytes();
};

// Reads until `size` bytes have come (SIZE_MAX: until the peer closes), the peer closes or
// `timeout` passes; what came.
std::string recv_within(SOCKET s, size_t size, std::chrono::milliseconds timeout);

// Bytes `offset` to `offset + length` of an endless test stream in which every byte
// depends on its position, so that a lost, repeated or reordered piece shows.
std::string stream_bytes(uint64_t offset, size_t length);
