// The consumer link: delivers the receiver's messages to a processing server.
//
// Once connected it gets a handshake (the receiver's name, coordinates, format and
// timer frequency), then each decoded line, or, after the server asks for
// "#SET OUT DATE ORIGINAL", the receiver's raw chunks. Sends go through a fixed backlog,
// never a blocking or partial send: what the socket cannot take at once waits there, in
// order, and a consumer whose backlog would overflow has stopped reading and is dropped
// (whole lines only ever reach it). What the server sends is read as lines; the two
// commands act, anything else is thrown away.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>
#include <string_view>

#include "net/link_table.h"
#include "net/stream_history.h"

constexpr size_t kConsumerBacklogBytes = 256 * 1024;
constexpr int kConsumerReadSize = 65535;
constexpr int kConsumerCommandSize = 64;  // longer lines are no command

struct ConsumerLink {
    // Set by "#SET OUT DATE ORIGINAL": raw chunks instead of lines; clear on every new
    // connection.
    std::atomic<bool> original_output{false};
    // Brackets every send and the commands' state: the consumer link's sends of this
    // process, one at a time, and never a close of its socket while one is under way.
    std::mutex send_lock;
    StreamHistory backlog;
    uint64_t sent = 0;  // backlog position the socket has taken
    bool write_watched = false;
    std::array<char, kConsumerCommandSize> command{};  // the line being received
    int command_length = 0;
    bool command_too_long = false;
    std::array<char, kConsumerReadSize> receive_buffer{};
};

// Allocates the backlog; once, when the station is made.
void consumer_init(ConsumerLink& consumer);

// A new connection: line format, nothing waiting, no command half read. Before its
// socket is watched, so that a command the server sends at once is not lost.
void consumer_reset(ConsumerLink& consumer);

// Sends the greeting on a new connection `s`, unless the link was dropped since the
// attempt began at `generation` (the socket may be closed, and its number another's).
// Connector thread.
void consumer_greet(ConsumerLink& consumer, const LinkTable& links, SOCKET s, uint32_t generation,
                    std::span<const char> greeting);

// Drops the consumer link; a greeting under way ends first. UI thread.
void consumer_drop(ConsumerLink& consumer, LinkTable& links);

// Queues `bytes` whole and sends what the socket takes. Returns false when they do not
// fit or the socket failed: the link is to be dropped.
bool consumer_send(ConsumerLink& consumer, SOCKET s, std::span<const char> bytes);

// The socket can take more: sends what waits. Returns false when the socket failed.
bool consumer_write_ready(ConsumerLink& consumer, SOCKET s);

// Reads what the server sent (one receive) and acts on every whole command line in it.
void consumer_read(ConsumerLink& consumer, SOCKET s);

// Takes received bytes as lines: "#SET OUT DATE ORIGINAL" and "#SET OUT DATE TEXT" (CR LF
// or LF ended) set and clear the original-output flag; other lines are thrown away.
void consumer_take_commands(ConsumerLink& consumer, std::span<const char> bytes);
