#include "support/station/test_frontend.h"

#include "net/serial_link.h"
#include "net/socket_watch.h"
#include "station/station.h"
#include "station/station_frontend.h"

namespace {
TestStatus status;
PollLoop loop;
Station* attached = nullptr;
TestSerialWakes serial_wakes;
}  // namespace

TestSerialWakes& test_serial_wakes() {
    return serial_wakes;
}

TestStatus& test_status() {
    return status;
}

PollLoop& test_poll_loop() {
    return loop;
}

void test_frontend_attach(Station* station) {
    attached = station;
    {
        std::lock_guard guard(status.lock);
        status.server_lines.clear();
        status.client_lines.clear();
        status.consumer_lines.clear();
        status.message_boxes.clear();
    }
    poll_loop_clear(loop);
}

bool frontend_watch_socket(SOCKET s, SocketRole role, unsigned events) {
    return poll_loop_watch(loop, s, role, events);
}

void frontend_unwatch_socket(SOCKET s) {
    poll_loop_unwatch(loop, s);
}

bool frontend_serial_wake() {
    ++serial_wakes.asked;
    if (serial_wakes.refuse_next.exchange(false))
        return false;
    poll_loop_wake(loop);
    return true;
}

void frontend_status_changed() {
    if (attached == nullptr)
        return;
    StatusTexts texts;
    std::lock_guard guard(status.lock);
    // Read under the record's lock, so the record keeps the order the texts were made in.
    status_board_read(attached->status, texts);
    status.server_lines.emplace_back(texts.server_line.data());
    status.client_lines.emplace_back(texts.client_line.data());
    status.consumer_lines.emplace_back(texts.consumer_line.data());
}

void frontend_message_box(const char* text, const char* caption) {
    std::lock_guard guard(status.lock);
    status.message_boxes.push_back(std::string(caption) + ": " + text);
}
