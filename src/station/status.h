// The status lines and the client log: the server line (the relay port and the live
// clients), the client line (the source link's port and status text), the consumer line
// (the consumer link's, empty while it is off), and one line of "connect.list" for every
// refresh.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <span>

#include "net/link_table.h"
#include "net/relay.h"

struct Station;

constexpr int kServerLineSize = 14 + kRelaySlots * kClientAddressSize + 64;
constexpr int kClientLineSize = 300;
constexpr int kConsumerLineSize = 300;
constexpr int kPushLineSize = 600;
constexpr char kClientLogFile[] = "connect.list";

struct StatusBoard {
    // Held while a refresh builds the texts and writes its client log line, so the
    // refreshes of the two threads never interleave.
    std::mutex lock;
    std::array<char, kServerLineSize> server_line{};
    std::array<char, kClientLineSize> client_line{};
    // Empty while the consumer link is off. While its connector waits to try again, the
    // line ends in ", повтор через N с"; the front ends show it as it is, the Win32 program
    // in the third status line, the console program on its monitor and in its log.
    std::array<char, kConsumerLineSize> consumer_line{};
    // Empty without push targets; else "Передача: N из M соединены", and a line for each
    // target in the order they were given: "Передача: host port  <status>".
    std::array<char, kPushLineSize> push_line{};
    std::array<std::array<char, kPushLineSize>, kPushTargets> push_target_lines{};
    // A refresh asked for at the next timer tick.
    std::atomic<bool> refresh_asked{false};
};

// Rewrites the server line, the client line and the consumer line, appends one line to
// "connect.list", then asks the front end to show the new texts. Either thread.
void status_refresh(Station& station);

// Asks for a refresh at the next timer tick, for changes of the relay's client table:
// clients come and go as fast as anybody can connect, and each refresh appends a line to
// "connect.list", so a run of them is shown by one refresh a tick, of the state after the
// last. Either thread.
void status_refresh_soon(Station& station);
// The timer tick's part: one refresh, if any was asked for since the last tick. UI thread.
void status_refresh_if_asked(Station& station);

// The newest status texts, as the front end shows them.
struct StatusTexts {
    std::array<char, kServerLineSize> server_line{};
    std::array<char, kClientLineSize> client_line{};
    std::array<char, kConsumerLineSize> consumer_line{};
    std::array<char, kPushLineSize> push_line{};
    std::array<std::array<char, kPushLineSize>, kPushTargets> push_target_lines{};
};

// Copies the newest status texts; the front end calls it to show them.
void status_board_read(StatusBoard& board, StatusTexts& texts);

// Appends ", повтор через N с" to a link's text while its connector waits `retry_s`
// seconds to try again (nothing for 0), as the status lines and the readers' rows say it.
void status_append_retry(std::span<char> line, int retry_s);
