// A fixed ring of the most recent bytes of a stream, and sending from it: the relay
// server keeps one for all its clients, each client only its position in the stream;
// the consumer link keeps one as the backlog of its own sends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "base/socket_compat.h"

// The most recent bytes of a stream, in a ring. Stream position p lives at p % capacity;
// the bytes from `head - capacity` (or 0) up to `head` are still there.
struct StreamHistory {
    std::unique_ptr<char[]> memory;
    size_t capacity = 0;
    uint64_t head = 0;  // bytes appended since the ring was made
};

// Allocates the ring once.
void history_init(StreamHistory& history, size_t capacity);
// Appends a chunk; a chunk longer than the ring keeps only its last `capacity` bytes.
void history_append(StreamHistory& history, std::span<const char> bytes);
// Whether the bytes from `position` to the head are all still held.
bool history_holds(const StreamHistory& history, uint64_t position);
// The bytes from `position` (which the history holds) to the head, as the piece up to
// the ring's end and the piece from its start; the second is empty unless they wrap.
struct HistoryPieces {
    std::span<const char> first;
    std::span<const char> second;
};
HistoryPieces history_since(const StreamHistory& history, uint64_t position);
// Sends `s` the bytes from `position` (which the history holds) on, until they are all
// sent or the socket would block, and moves `position` past what it took. Returns false
// when the socket failed for good.
bool history_send(const StreamHistory& history, SOCKET s, uint64_t& position);
