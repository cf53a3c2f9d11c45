#include "net/source.h"

#include "app/station.h"

namespace {

bool is_source_socket(Station& station, SOCKET s) {
    return s != INVALID_SOCKET && link_read(station.links, LINK_SOURCE).socket == s;
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
        std::span<const char> chunk(station.receive_buffer.data(), static_cast<size_t>(received));
        // Decoding comes first, so the monitor never lags behind the relay clients.
        FramerOutput output{station.clock, station.ring, station.silence_ticks,
                            station.clocks.calendar_s()};
        framer_feed(station.framer, chunk, station.settings.binary_mode != 0, output);
        relay_fan_out(station, chunk);
    } else if (event == kSocketClose) {
        link_drop(station, LINK_SOURCE);
    }
}

void watchdog_step(Station& station) {
    int32_t ticks = station.silence_ticks.fetch_add(1) + 1;
    if (ticks <= kSilenceLimitTicks)
        return;
    station.silence_ticks.store(0);
    if (link_state(station.links, LINK_SOURCE) == LINK_CONNECTED) {
        link_drop(station, LINK_SOURCE);
    }
}
