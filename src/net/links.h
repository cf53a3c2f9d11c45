// Outgoing links and the connector thread.
//
// The connector thread keeps the source link connected: about once a second it opens it
// when it is not connected, resolving the host and connecting with calls that may wait,
// so the UI thread never waits for the network. Once connected, the link's events reach
// the UI thread through the front end; the UI thread drops links.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

struct Station;

constexpr auto kConnectorPause = std::chrono::milliseconds(500);
// A connect that takes longer than this fails like a refused one.
constexpr int kConnectTimeoutMs = 20000;
constexpr int kConnectWaitSliceMs = 100;  // a stop request is seen within this time
constexpr int32_t kConnectorEnded = 10;

struct Connector {
    std::thread thread;
    std::atomic<int32_t> stop{0};  // non-zero asks the thread to end; it stores 10 when it ends
    std::mutex pause_lock;
    std::condition_variable pause_wake;                 // a stop request ends a pause at once
    std::chrono::milliseconds pause = kConnectorPause;  // between the passes' steps

    // Tests set this to act at the moment between an open link's registering its socket
    // events and marking the link connected.
    void (*after_register_hook)(Station& station) = nullptr;
};

// Starts Winsock (version 1.1). On failure shows "Ошибка WSAStartup" and returns false;
// the program runs on and every socket call fails.
bool winsock_start();
void winsock_stop();

// Opens one link slot; every outcome shows in its link status text and state, with
// exactly two status refreshes. Connector thread.
void link_open(Station& station, int slot);

// Closes a slot's socket and marks it closed ("Связь разорвана"); the connector thread
// opens it again about a second later. UI thread.
void link_drop(Station& station, int slot);

void connector_start(Station& station);
// Asks the connector thread to end and waits up to `wait` for it. Returns false if it
// did not end in time; it is then left to end on its own.
bool connector_stop(Station& station, std::chrono::milliseconds wait);
