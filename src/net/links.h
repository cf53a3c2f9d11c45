// Outgoing TCP links and the connector threads that open them.
//
// Each link has a connector thread of its own: the source link's (the receiver) opens it
// about once a second while it is down; the consumer link's (a processing server) opens it
// while it is on, waiting longer after each failure. A connector resolves the host and
// connects with calls that may wait, so the UI thread never waits for the network. Once
// connected, the link's events reach the UI thread through the front end; the UI thread
// drops links.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <random>
#include <thread>

#include "net/backoff.h"
#include "net/link_table.h"
#include "net/worker.h"

// Source data always goes to the relay server's clients, and the upstream link is
// never opened.
constexpr bool kRelayServerMode = true;

constexpr auto kConnectorPause = std::chrono::milliseconds(500);
// A connect that takes longer than this fails like a refused one.
constexpr int kConnectTimeoutMs = 20000;
constexpr int kConnectWaitSliceMs = 100;  // a stop request is seen within this time

// How the links tell their owner what changed; each is called on the thread that made
// the change, with no lock held.
struct LinkReports {
    void* owner = nullptr;
    // A link status text or state changed: the status lines are to be refreshed.
    void (*status_changed)(void* owner) = nullptr;
    // A link's socket is connected and its events are not watched yet: the moment to start
    // the connection's own state afresh, since nothing of it can reach the UI thread
    // before. Connector thread.
    void (*prepared)(void* owner, int slot, SOCKET s) = nullptr;
    // The socket's events are watched, and the link is not yet marked connected: the
    // moment for a greeting. `generation` is the slot's drop count the attempt began
    // with; a greeting goes out only while it is still the slot's. Connector thread.
    void (*opened)(void* owner, int slot, SOCKET s, uint32_t generation) = nullptr;
    // A link connected (before its final status refresh).
    void (*connected)(void* owner, int slot) = nullptr;
};

// Tells the reports' owner that a status text or state changed, and that a link connected.
inline void link_report_status(const LinkReports& reports) {
    if (reports.status_changed != nullptr)
        reports.status_changed(reports.owner);
}
inline void link_report_connected(const LinkReports& reports, int slot) {
    if (reports.connected != nullptr)
        reports.connected(reports.owner, slot);
}

// A connector thread keeps one link open: about once a second it opens the link while
// the link is enabled and not connected. One that backs off waits longer and longer after
// each failed attempt or drop instead (Backoff), and a wake starts its waits afresh.
struct Connector {
    int slot = LINK_SOURCE;
    std::atomic<bool> enabled{true};
    LinkReports reports;
    Worker worker;
    std::mutex pause_lock;
    std::condition_variable pause_wake;  // a stop request or a wake ends a pause at once
    bool woken = false;                  // under pause_lock
    std::chrono::milliseconds pause = kConnectorPause;  // between the passes' steps
    bool backs_off = false;
    Backoff backoff;  // connector thread only
    std::minstd_rand chance{std::random_device{}()};
    // While a backing-off connector waits: the wait in whole seconds, for the status line;
    // 0 otherwise.
    std::atomic<int32_t> retry_in_s{0};

    // Tests set this to act at the moment between an open link's registering its socket
    // events and marking the link connected; it gets the reports' owner. It stays because
    // no other seam reaches that instant, where the races with a drop or a new address lie.
    void (*after_register_hook)(void* owner) = nullptr;
};

// Opens one link slot while the connector is enabled; every outcome shows in its link
// status text and state, with exactly two status reports. The attempt owns the slot only
// as long as the slot's drop count is the one it began with: once the slot is dropped,
// or its open cancelled, the attempt changes nothing in it any more and closes only its
// own socket. Connector thread.
void link_open(LinkTable& table, Connector& connector, int slot);

// Makes an open of the slot that is under way give up at once instead of marking the
// link connected, because the settings it was made with have changed or another source
// owns the slot now. UI thread.
void link_cancel_open(LinkTable& table, int slot);

// Closes a slot's socket and marks it closed ("Связь разорвана"); the connector thread
// opens it again about a second later. The caller refreshes the status lines. UI thread.
void link_drop(LinkTable& table, int slot);
// The same, showing `text` instead: why the link was dropped.
void link_drop_saying(LinkTable& table, int slot, const char* text);

void connector_start(LinkTable& table, Connector& connector);
// Asks the connector thread to end, without waiting. Any thread.
void connector_request_stop(Connector& connector);
// Asks the connector thread to end and waits up to `wait` for it. Returns false if it
// did not end in time; it is then left to end on its own.
bool connector_stop(Connector& connector, std::chrono::milliseconds wait);
// Ends a pause under way, so that a link just enabled is opened at once; a connector that
// backs off starts its waits again from the first. Any thread.
void connector_wake(Connector& connector);
