#include "support/net/net_frontend.h"

#include "net/serial_link.h"

namespace {
NetFrontendRecord record;
}  // namespace

NetFrontendRecord& net_frontend_record() {
    return record;
}

void net_frontend_reset() {
    std::lock_guard guard(record.lock);
    record.watched.clear();
    record.unwatched.clear();
    record.serial_wakes = 0;
}

bool frontend_watch_socket(SOCKET s, SocketRole role, unsigned events) {
    std::lock_guard guard(record.lock);
    record.watched.push_back({s, role, events});
    return true;
}

void frontend_unwatch_socket(SOCKET s) {
    std::lock_guard guard(record.lock);
    record.unwatched.push_back(s);
}

bool frontend_serial_wake() {
    std::lock_guard guard(record.lock);
    ++record.serial_wakes;
    return true;
}
