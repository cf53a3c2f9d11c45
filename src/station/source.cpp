#include "station/source.h"

#include "station/station.h"

namespace {

bool is_source_socket(Station& station, SOCKET s) {
    return s != INVALID_SOCKET && link_socket(station.links, LINK_SOURCE) == s;
}

}  // namespace

void source_event(Station& station, SOCKET s, unsigned event) {
    // A late event for a socket that was closed meanwhile (its handle may even belong to
    // a newer connection by now) must neither read nor drop anything.
    if (!is_source_socket(station, s))
        return;
    if (event == kSocketRead) {
        int received = socket_recv(s, station.receive_buffer.data(), kSourceReceiveSize);
        if (received <= 0)
            return;  // an ended connection is handled by its close event
        source_chunk(station, {station.receive_buffer.data(), static_cast<size_t>(received)});
    } else if (event == kSocketClose) {
        station_drop_link(station, LINK_SOURCE);
    }
}

void source_chunk(Station& station, std::span<const char> chunk) {
    // The relay's readers get the bytes first, so that no reader's latency carries the
    // decode; the monitor, the consumer and the clock check then take the same bytes.
    source_fan_out(station, chunk);
    source_decode(station, chunk);
    feed_forward_chunk(station, chunk);
}

void source_decode(Station& station, std::span<const char> chunk) {
    bool binary = station.settings.binary_mode != 0;
    int64_t now_s = station.clocks.calendar_s();
    // One arrival time for the whole chunk: its last message is the least delayed.
    int64_t now_ns = station.clocks.monotonic_ns();
    clock_watch_chunk(station.clock_watch, chunk, binary, now_ns);
    bool consumer_on = feed_enabled(station);
    bool decoded = false;
    FormattedLine line;
    while (!chunk.empty()) {
        chunk = chunk.subspan(framer_scan(station.framer, chunk, binary, line));
        if (line.length != 0) {
            if (consumer_on)
                feed_forward_line(station, line, binary);
            display_entry(station.clock, station.ring, line.text.data(), now_s);
            clock_watch_line(station.clock_watch, line, now_ns);
            decoded = true;
        }
    }
    // Once per chunk is enough: the watchdog steps on this thread, never inside a chunk.
    if (decoded)
        station.silence_ticks.store(0);
}

void source_fan_out(Station& station, std::span<const char> chunk) {
    push_chunk_arriving(station);
    if (relay_fan_out(station.relay, chunk) > 0)
        status_refresh_soon(station);
    push_chunk_arrived(station);
}

void station_drop_link(Station& station, int slot) {
    if (slot == LINK_CONSUMER)
        consumer_drop(station.consumer, station.links);
    else
        link_drop(station.links, slot);
    status_refresh(station);
}

bool station_restart_link(Station& station, int slot) {
    // A connection being made meanwhile is not kept either.
    link_cancel_open(station.links, slot);
    if (link_state(station.links, slot) != LINK_CONNECTED)
        return false;
    station_drop_link(station, slot);
    return true;
}

void watchdog_step(Station& station) {
    int32_t ticks = station.silence_ticks.fetch_add(1) + 1;
    if (ticks <= kSilenceLimitTicks)
        return;
    station.silence_ticks.store(0);
    if (link_state(station.links, LINK_SOURCE) == LINK_CONNECTED) {
        station_drop_link(station, LINK_SOURCE);
    }
}
