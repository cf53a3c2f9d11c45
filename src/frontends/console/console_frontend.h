// The Linux console front end's state: the display lines it keeps in place of windows,
// the poll loop that watches the core's sockets, and how status changes are shown (on
// the terminal monitor, or as log lines when running as a service).
#pragma once

#include <array>
#include <atomic>
#include <cstdio>
#include <mutex>

#include "display/display_ring.h"
#include "frontends/console/quiet_log.h"
#include "frontends/loop/poll_loop.h"
#include "station/station.h"

struct ConsoleFrontEnd {
    Station* station = nullptr;
    PollLoop loop;
    std::array<std::array<char, kRingSlotSize>, kDisplayLines> display_lines{};
    // As a service each change of a status line is logged once, from whichever thread
    // made it, and a run of identical attempts is kept short (QuietLog); the lock keeps
    // the log in the order the texts were made.
    bool log_status = false;
    // On the monitor a status change is drawn at once: the changing thread sets this and
    // wakes the loop.
    std::atomic<bool> status_changed{false};
    // Set by a signal, the monitor's key or the Windows service's stop; the loop ends at
    // its next pass.
    std::atomic<bool> stop_requested{false};
    std::FILE* log = stdout;
    // The program's start and stop lines: the journal stamps them itself, a log file
    // needs the time written.
    bool stamp_program_lines = false;
    std::mutex log_lock;
    ChangeRun quiet_server;
    RefusalLog refusals;  // clients the relay refused at accept
    QuietLog quiet_client;
    QuietLog quiet_consumer;
    std::array<QuietLog, kPushTargets> quiet_push;  // one a push target's line
    StatusTexts texts;                              // the newest texts, read under log_lock
};

ConsoleFrontEnd& console();

// Writes one log line: the UTC time, two blanks, the Windows-1251 text in UTF-8.
void console_log(std::FILE* log, const char* text);
// The same for a text in the platform's own encoding (a folder's name).
void console_log_as_is(std::FILE* log, const char* text);

// As a service, about every tick: a run of server-line changes that has ended is logged.
void console_status_tick(ConsoleFrontEnd& front, int64_t now_s);
