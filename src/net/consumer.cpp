#include "net/consumer.h"

#include "net/links.h"
#include "net/socket_watch.h"

namespace {

constexpr std::string_view kCommandOriginal = "#SET OUT DATE ORIGINAL";
constexpr std::string_view kCommandText = "#SET OUT DATE TEXT";

void watch_for_write(ConsumerLink& consumer, SOCKET s, bool want_write) {
    if (consumer.write_watched == want_write)
        return;
    consumer.write_watched = want_write;
    unsigned events = kSocketRead | kSocketClose | (want_write ? kSocketWrite : 0u);
    frontend_watch_socket(s, SocketRole::link_consumer, events);
}

// Sends what waits until the socket would block; asks for the write event while some
// is left. Returns false when the socket failed.
bool flush(ConsumerLink& consumer, SOCKET s) {
    if (!history_send(consumer.backlog, s, consumer.sent))
        return false;
    watch_for_write(consumer, s, consumer.sent != consumer.backlog.head);
    return true;
}

void end_command_line(ConsumerLink& consumer) {
    std::string_view line(consumer.command.data(), static_cast<size_t>(consumer.command_length));
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    if (!consumer.command_too_long) {
        if (line == kCommandOriginal)
            consumer.original_output = true;
        else if (line == kCommandText)
            consumer.original_output = false;
    }
    consumer.command_length = 0;
    consumer.command_too_long = false;
}

}  // namespace

void consumer_init(ConsumerLink& consumer) {
    history_init(consumer.backlog, kConsumerBacklogBytes);
}

void consumer_reset(ConsumerLink& consumer) {
    std::lock_guard guard(consumer.send_lock);
    consumer.original_output = false;
    consumer.sent = consumer.backlog.head;
    consumer.write_watched = false;
    consumer.command_length = 0;
    consumer.command_too_long = false;
}

void consumer_greet(ConsumerLink& consumer, const LinkTable& links, SOCKET s, uint32_t generation,
                    std::span<const char> greeting) {
    std::lock_guard guard(consumer.send_lock);
    if (link_drops(links, LINK_CONSUMER) != generation)
        return;
    // A fresh connection's socket takes a few hundred bytes at once.
    history_append(consumer.backlog, greeting);
    flush(consumer, s);
}

void consumer_drop(ConsumerLink& consumer, LinkTable& links) {
    std::lock_guard guard(consumer.send_lock);
    link_drop(links, LINK_CONSUMER);
}

bool consumer_send(ConsumerLink& consumer, SOCKET s, std::span<const char> bytes) {
    std::lock_guard guard(consumer.send_lock);
    uint64_t waiting = consumer.backlog.head - consumer.sent;
    if (bytes.size() > consumer.backlog.capacity - waiting)
        return false;  // it has stopped reading
    history_append(consumer.backlog, bytes);
    // While the write event is awaited the socket is full: the event sends it all.
    return consumer.write_watched || flush(consumer, s);
}

bool consumer_write_ready(ConsumerLink& consumer, SOCKET s) {
    std::lock_guard guard(consumer.send_lock);
    return flush(consumer, s);
}

void consumer_read(ConsumerLink& consumer, SOCKET s) {
    int received = socket_recv(s, consumer.receive_buffer.data(), kConsumerReadSize);
    if (received <= 0)
        return;
    std::lock_guard guard(consumer.send_lock);
    consumer_take_commands(consumer,
                           {consumer.receive_buffer.data(), static_cast<size_t>(received)});
}

void consumer_take_commands(ConsumerLink& consumer, std::span<const char> bytes) {
    for (char c : bytes) {
        if (c == '\n') {
            end_command_line(consumer);
        } else if (consumer.command_length < kConsumerCommandSize) {
            consumer.command[static_cast<size_t>(consumer.command_length++)] = c;
        } else {
            consumer.command_too_long = true;
        }
    }
}
