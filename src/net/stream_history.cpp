#include "net/stream_history.h"

#include <algorithm>
#include <cstring>

void history_init(StreamHistory& history, size_t capacity) {
    // Pages are touched only as the stream first fills the ring.
    history.memory = std::make_unique_for_overwrite<char[]>(capacity);
    history.capacity = capacity;
    history.head = 0;
}

void history_append(StreamHistory& history, std::span<const char> bytes) {
    uint64_t end = history.head + bytes.size();
    if (bytes.size() > history.capacity)
        bytes = bytes.last(history.capacity);
    size_t at = static_cast<size_t>((end - bytes.size()) % history.capacity);
    size_t first = std::min(bytes.size(), history.capacity - at);
    std::memcpy(history.memory.get() + at, bytes.data(), first);
    std::memcpy(history.memory.get(), bytes.data() + first, bytes.size() - first);
    history.head = end;
}

bool history_send(const StreamHistory& history, SOCKET s, uint64_t& position) {
    while (position < history.head) {
        HistoryPieces pieces = history_since(history, position);
        int sent = socket_send_pieces(s, pieces.first, pieces.second);
        if (sent > 0) {
            position += static_cast<uint64_t>(sent);
        } else {
            return sent < 0 && socket_would_block();
        }
    }
    return true;
}

bool history_holds(const StreamHistory& history, uint64_t position) {
    return position <= history.head && history.head - position <= history.capacity;
}

HistoryPieces history_since(const StreamHistory& history, uint64_t position) {
    size_t count = static_cast<size_t>(history.head - position);
    size_t at = static_cast<size_t>(position % history.capacity);
    size_t first = std::min(count, history.capacity - at);
    return {{history.memory.get() + at, first}, {history.memory.get(), count - first}};
}
