// The net tests' front end: it implements what the net layer asks of a front end
// (net/socket_watch.h, net/serial_link.h) by recording the calls, and runs no event loop.
// A net test drives its parts' functions itself; one that needs a station's events
// belongs with the station's tests, whose front end watches with the poll loop.
#pragma once

#include <mutex>
#include <vector>

#include "base/socket_compat.h"
#include "net/socket_watch.h"

struct NetWatchCall {
    SOCKET socket;
    SocketRole role;
    unsigned events;
};

// What the net layer asked for, in order; filled from any thread.
struct NetFrontendRecord {
    std::mutex lock;
    std::vector<NetWatchCall> watched;
    std::vector<SOCKET> unwatched;
    int serial_wakes = 0;
};
NetFrontendRecord& net_frontend_record();
void net_frontend_reset();
