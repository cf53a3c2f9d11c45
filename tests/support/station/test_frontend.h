// The station tests' front end: it implements the core's front-end functions by
// recording what the station shows and by watching sockets with the portable poll loop,
// so tests read back the status lines and play the UI thread themselves. The display
// lines go to the display tests' surface (support/display/test_surface.h).
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "frontends/loop/poll_loop.h"

struct Station;

// What the status lines showed, in order; filled from either thread.
struct TestStatus {
    std::mutex lock;
    std::vector<std::string> server_lines;
    std::vector<std::string> client_lines;
    std::vector<std::string> consumer_lines;
    std::vector<std::string> message_boxes;  // "caption: text"
};
TestStatus& test_status();

// The serial reader's wakes of the UI thread: how many it asked for, and a refusal of the
// next one, as a full message queue refuses a posted message.
struct TestSerialWakes {
    std::atomic<int> asked{0};
    std::atomic<bool> refuse_next{false};
};
TestSerialWakes& test_serial_wakes();

// Attaches the station whose status board the front end shows, and clears the status
// record and the socket watches. nullptr detaches.
void test_frontend_attach(Station* station);

// The poll loop behind frontend_watch_socket.
PollLoop& test_poll_loop();
