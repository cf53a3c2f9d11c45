// A station in a temporary config directory, driven by the test thread as its UI
// thread through the tests' recording front end.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "station/station.h"
#include "support/base/net_helpers.h"

// A station whose settings and client log live in a temporary directory, with the UTC
// clock pinned to 06/12/2026 07:51:29, the calendar clock at 1000 s, and the monotonic
// clock the given one.
struct TestStation {
    TempDir dir;
    std::unique_ptr<Station> station;
    explicit TestStation(int64_t (*monotonic_ns)() = system_monotonic_ns);
    ~TestStation();

    // Plays the UI thread: hands socket events to the station, and shows the status the
    // relay asked for after every pass (as the timer tick does, only sooner), until `done`
    // holds or the timeout passes. Returns whether `done` held.
    bool run_until(const std::function<bool()>& done, std::chrono::milliseconds timeout = 10s);
    void run_for(std::chrono::milliseconds time);
    void pass();
    int events_handled = 0;  // socket events the passes have handed to the station

    std::string server_line();
    std::string client_line();
    std::string consumer_line();
    // How many status refreshes the front end was told of.
    size_t refreshes();
    // The relay port the next station_start_relay listens on, as its dialog's OK sets it.
    void set_relay_port(uint16_t port);
    std::vector<std::string> client_log_lines() const;
};

// Whether a client line (or a consumer line) the front end showed ended in `tail`. Reads
// the record of every refresh, not the newest line: a connector thread may already have
// moved on to its next attempt.
bool client_line_showed(const std::string& tail);
bool consumer_line_showed(const std::string& tail);

// Holds the connector's next open once its socket is registered, until released, so that
// the test thread can act in the middle of an open.
void hold_next_open(Connector& connector);
// Waits until the open is held; false after 10 s.
bool wait_open_held();
void release_held_open();
