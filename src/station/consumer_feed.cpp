#include "station/consumer_feed.h"

#include "base/text.h"
#include "station/station.h"

namespace {

// Sends a whole text to a connected consumer; one that cannot take it has stopped
// reading, and is dropped (the connector opens it again with a fresh greeting).
void deliver(Station& station, SOCKET s, std::span<const char> bytes) {
    if (!consumer_send(station.consumer, s, bytes))
        station_drop_link(station, LINK_CONSUMER);
}

// Appends "#<text>\r\n" to the greeting.
template <typename... Args>
void greeting_line(std::span<char> greeting, size_t& length, const char* format, Args... args) {
    text_format(greeting.subspan(length), format, args...);
    length += std::strlen(greeting.data() + length);
}

}  // namespace

void feed_update_greeting(Station& station) {
    std::array<char, kGreetingSize> greeting;
    size_t length = 0;
    const Settings& settings = station.settings;
    greeting_line(greeting, length, "#%s\r\n", settings.receiver_name.data());
    greeting_line(greeting, length, "#%.6f\r\n", settings.latitude_arcsec * (1.0 / 3600));
    greeting_line(greeting, length, "#%.6f\r\n", settings.longitude_arcsec * (1.0 / 3600));
    greeting_line(greeting, length, "#%s\r\n", settings.binary_mode != 0 ? "BINARY" : "TEXT");
    greeting_line(greeting, length, "#%d\r\n", station.clock.timer_frequency_hz);
    std::lock_guard guard(station.greeting_lock);
    station.greeting = greeting;
}

void feed_prepare(Station& station, SOCKET s) {
    consumer_reset(station.consumer);
    // As for relay clients: the backlog, not a kernel buffer grown to megabytes, bounds
    // what a consumer that stops reading holds.
    int send_buffer = kRelaySocketSendBuffer;
    setsockopt(s, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&send_buffer),
               sizeof send_buffer);
}

void feed_greet(Station& station, SOCKET s, uint32_t generation) {
    std::array<char, kGreetingSize> greeting;
    {
        std::lock_guard guard(station.greeting_lock);
        greeting = station.greeting;
    }
    consumer_greet(station.consumer, station.links, s, generation, text_view(greeting));
}

void feed_forward_line(Station& station, const FormattedLine& line, bool binary) {
    if (station.consumer.original_output)
        return;
    // Compared as unsigned numbers: a threshold of 0 passes every frame, and one outside
    // 0 to 255 none.
    if (binary && static_cast<uint32_t>(line.signal) <
                      static_cast<uint32_t>(station.settings.signal_threshold))
        return;
    SOCKET s = link_connected_socket(station.links, LINK_CONSUMER);
    if (s != INVALID_SOCKET)
        deliver(station, s, line.view());
}

void feed_forward_chunk(Station& station, std::span<const char> chunk) {
    if (!station.consumer.original_output)
        return;
    SOCKET s = link_connected_socket(station.links, LINK_CONSUMER);
    if (s != INVALID_SOCKET)
        deliver(station, s, chunk);
}

void feed_event(Station& station, SOCKET s, unsigned event) {
    if (s == INVALID_SOCKET || link_read(station.links, LINK_CONSUMER).socket != s)
        return;
    if (event == kSocketRead) {
        consumer_read(station.consumer, s);
    } else if (event == kSocketWrite) {
        if (!consumer_write_ready(station.consumer, s))
            station_drop_link(station, LINK_CONSUMER);
    } else if (event == kSocketClose) {
        station_drop_link(station, LINK_CONSUMER);
    }
}

bool feed_enabled(const Station& station) {
    return station.consumer_connector.enabled.load();
}

void feed_configure(Station& station, bool on) {
    station.consumer_connector.enabled = on;
    if (!station_restart_link(station, LINK_CONSUMER))
        status_refresh(station);  // the consumer's line appears or goes
    if (on)
        connector_wake(station.consumer_connector);
}
