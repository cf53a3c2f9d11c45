// Network test helpers: a station in a temporary config directory driven by the test
// thread as its UI thread, a fake receiver and relay clients, all on loopback.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/station.h"

using namespace std::chrono_literals;

// A port nobody listens on right now (the system's pick, released again).
uint16_t free_port();

// A temporary directory, removed with everything in it.
struct TempDir {
    std::string path;
    TempDir();
    ~TempDir();
    std::string read(const std::string& file) const;
    void write(const std::string& file, const std::string& bytes) const;
};

// A station whose settings and client log live in a temporary directory, with the UTC
// clock pinned to 06/12/2026 07:51:29 and the calendar clock at 1000 s.
struct TestStation {
    TempDir dir;
    std::unique_ptr<Station> station;
    TestStation();
    ~TestStation();

    // Plays the UI thread: hands socket events to the station until `done` holds or the
    // timeout passes. Returns whether `done` held.
    bool run_until(const std::function<bool()>& done, std::chrono::milliseconds timeout = 10s);
    void run_for(std::chrono::milliseconds time);

    std::string server_line();
    std::string client_line();
    std::vector<std::string> client_log_lines() const;
};

// Accepts connections and sends what the test gives it. Blocking calls, on the test thread.
struct FakeReceiver {
    SOCKET listener = INVALID_SOCKET;
    SOCKET connection = INVALID_SOCKET;
    uint16_t port = 0;
    FakeReceiver();
    ~FakeReceiver();
    // Takes a pending connection if there is one; returns whether one is open.
    bool accept_pending();
    void send_all(std::string_view bytes);
    void close_connection();
};

// A relay client that reads everything on a thread of its own until the server closes.
struct RelayReader {
    SOCKET socket = INVALID_SOCKET;
    std::thread thread;
    std::mutex lock;
    std::string received;
    std::atomic<bool> closed{false};
    std::atomic<bool> stopping{false};

    explicit RelayReader(uint16_t port);
    ~RelayReader();
    size_t size();
    std::string bytes();
};

// Connects a plain socket to 127.0.0.1:`port`; INVALID_SOCKET on failure.
SOCKET connect_to(uint16_t port);
