#include "support/station/station_harness.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>

#include "station/settings_dialogs.h"
#include "support/station/test_frontend.h"

namespace {

// The held open's hand-over between the connector thread and the test thread.
std::mutex held_lock;
std::condition_variable held_changed;
enum class HeldStage { waiting, held, released } held_stage = HeldStage::released;

int64_t fixed_calendar() {
    return 1000;
}

void fixed_utc(UtcTime& now) {
    now = {2026, 12, 6, 7, 51, 29};
}

bool any_ends_with(const std::vector<std::string>& lines, const std::string& tail) {
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
        return line.size() >= tail.size() &&
               line.compare(line.size() - tail.size(), tail.size(), tail) == 0;
    });
}

}  // namespace

TestStation::TestStation(int64_t (*monotonic_ns)())
    : station(station_create(dir.path.c_str(), {fixed_calendar, fixed_utc, monotonic_ns})) {
    // Balances the clean-up in station_stop_network.
    sockets_start();
    test_frontend_attach(station.get());
}

TestStation::~TestStation() {
    station_stop_network(*station);
    test_frontend_attach(nullptr);
}

void TestStation::pass() {
    events_handled += poll_loop_run_once(test_poll_loop(), *station, 5);
    station_serial_ready(*station);
    status_refresh_if_asked(*station);
}

bool TestStation::run_until(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        pass();
    }
    return true;
}

void TestStation::run_for(std::chrono::milliseconds time) {
    auto deadline = std::chrono::steady_clock::now() + time;
    while (std::chrono::steady_clock::now() < deadline)
        pass();
}

std::string TestStation::server_line() {
    StatusTexts texts;
    status_board_read(station->status, texts);
    return texts.server_line.data();
}

std::string TestStation::client_line() {
    StatusTexts texts;
    status_board_read(station->status, texts);
    return texts.client_line.data();
}

std::string TestStation::consumer_line() {
    StatusTexts texts;
    status_board_read(station->status, texts);
    return texts.consumer_line.data();
}

size_t TestStation::refreshes() {
    std::lock_guard guard(test_status().lock);
    return test_status().server_lines.size();
}

void TestStation::set_relay_port(uint16_t port) {
    dialog_ok(*station, DialogId::relay, dialog_fields(std::to_string(port).c_str()));
}

std::vector<std::string> TestStation::client_log_lines() const {
    std::vector<std::string> lines;
    std::string log = dir.read("connect.list");
    size_t start = 0;
    for (size_t end; (end = log.find("\r\n", start)) != std::string::npos; start = end + 2) {
        lines.push_back(log.substr(start, end - start));
    }
    return lines;
}

bool client_line_showed(const std::string& tail) {
    std::lock_guard guard(test_status().lock);
    return any_ends_with(test_status().client_lines, tail);
}

bool consumer_line_showed(const std::string& tail) {
    std::lock_guard guard(test_status().lock);
    return any_ends_with(test_status().consumer_lines, tail);
}

void hold_next_open(Connector& connector) {
    {
        std::lock_guard guard(held_lock);
        held_stage = HeldStage::waiting;
    }
    connector.after_register_hook = [](void*) {
        std::unique_lock guard(held_lock);
        if (held_stage != HeldStage::waiting)
            return;
        held_stage = HeldStage::held;
        held_changed.notify_all();
        held_changed.wait(guard, [] { return held_stage == HeldStage::released; });
    };
}

bool wait_open_held() {
    std::unique_lock guard(held_lock);
    return held_changed.wait_for(guard, 10s, [] { return held_stage == HeldStage::held; });
}

void release_held_open() {
    {
        std::lock_guard guard(held_lock);
        held_stage = HeldStage::released;
    }
    held_changed.notify_all();
}
