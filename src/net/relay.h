// The relay server: re-serves the receiver's raw bytes, unchanged, to up to 100 TCP
// clients, and the status refresh that shows them.
//
// Each client has a fixed backlog for the bytes its socket has not taken yet, kept in
// order and sent when the socket can take more. A client whose backlog would overflow
// is disconnected: every client receives either the exact stream or a clean close, and
// a client that does not read never delays the source or the other clients.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>

#include "net/socket_compat.h"

struct Station;

constexpr int kRelaySlots = 100;
constexpr size_t kRelayBacklogBytes = 256 * 1024;
// Each client's kernel send buffer is held to this, so that the fixed backlog, not a
// buffer the kernel grows to megabytes, bounds what a slow client holds. It is still
// far more than a receiver's stream needs in flight on any network.
constexpr int kRelaySocketSendBuffer = 64 * 1024;
constexpr int kClientAddressSize = 32;
constexpr int kRelayReadSize = 1024;  // what relay clients send is read and thrown away

// Bytes not yet taken by a client's socket: a ring over memory the relay server owns.
struct Backlog {
    uint8_t* memory = nullptr;
    size_t head = 0;  // index of the oldest byte
    size_t size = 0;  // bytes held
};

// Appends all of `bytes`, or nothing when they do not fit. Returns whether they fit.
bool backlog_push(Backlog& backlog, std::span<const char> bytes);
// The oldest bytes that lie in one piece of memory.
std::span<const uint8_t> backlog_front(const Backlog& backlog);
void backlog_pop(Backlog& backlog, size_t count);

struct RelayClient {
    SOCKET socket = INVALID_SOCKET;                  // in use when not INVALID_SOCKET
    std::array<char, kClientAddressSize> address{};  // dotted IPv4; live when not empty
    Backlog backlog;
    bool write_watched = false;  // asked for a write event because the backlog is not empty
};

struct RelayServer {
    SOCKET listener = INVALID_SOCKET;
    std::array<RelayClient, kRelaySlots> clients;
    // The backlogs of all slots, allocated once when the server is made.
    std::unique_ptr<uint8_t[]> backlog_memory;
    // Addresses are written on the UI thread and read by status refreshes on both threads.
    mutable std::mutex address_lock;
};

// Allocates the backlogs; called once when the station is made.
void relay_init(RelayServer& relay);

// Listens on the relay port on all interfaces (backlog 1) and shows the status.
void relay_start(Station& station);
// The listening socket's notification: accepts into the first free slot; the 101st
// client is accepted and closed at once. A notification with an error stops accepting.
void relay_accept(Station& station, int error);
// A client's notification: reads are discarded, a close frees the slot, a write event
// sends what the backlog holds.
void relay_client_event(Station& station, SOCKET s, unsigned event);
// Sends one source chunk to every live client, keeping what a socket cannot take yet.
void relay_fan_out(Station& station, std::span<const char> chunk);
// Closes every client and then the listening socket.
void relay_shutdown(Station& station);
// Live clients (a non-empty address), for tests and status.
int relay_live_clients(const RelayServer& relay);

// The status lines, built by the status refresh and shown by the front end.
constexpr int kServerLineSize = 14 + kRelaySlots * 16 + 64;
constexpr int kClientLineSize = 300;

struct StatusBoard {
    // Held while a refresh builds the texts and writes its client log line, so the
    // refreshes of the two threads never interleave.
    std::mutex lock;
    std::array<char, kServerLineSize> server_line{};
    std::array<char, kClientLineSize> client_line{};
    uint32_t refreshes = 0;
};

// Rewrites the server line and the client line, appends one line to "connect.list",
// then asks the front end to show the new texts. Either thread.
void status_refresh(Station& station);

// Copies the newest status texts; the front end calls it to show them.
void status_board_read(StatusBoard& board, std::span<char> server_line,
                       std::span<char> client_line);
