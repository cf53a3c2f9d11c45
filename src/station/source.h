// The receiver's side of the station: the source link's events, the road of a source
// chunk from the TCP link or the serial port (the clock check's look, the framer, the
// consumer feed, the display entry, the silence counter, the fan-out to the relay
// clients, the raw feed to the consumer), dropping and restarting links, and the silence
// watchdog.
#pragma once

#include <cstdint>
#include <span>

#include "base/socket_compat.h"

struct Station;

constexpr int kSourceReceiveSize = 65535;
// The source link is dropped on the 391st tick without a decoded line.
constexpr int32_t kSilenceLimitTicks = 390;

// The source link's notification: a read event receives one chunk, decodes it and then
// relays it unchanged; a close event drops the link. Events for a socket that is no
// longer the source link's are stale and ignored. UI thread.
void source_event(Station& station, SOCKET s, unsigned event);

// One chunk of the source, from the TCP link or the serial port: decoded, then relayed
// unchanged, then forwarded to the consumer when it asks for the raw bytes. UI thread.
void source_chunk(Station& station, std::span<const char> chunk);

// Cuts a chunk into formatted lines: each goes to the display entry and then zeroes the
// silence counter. UI thread.
void source_decode(Station& station, std::span<const char> chunk);

// Sends a chunk, unchanged, to every relay client; the clients it had to close leave the
// server line at the next tick.
// UI thread.
void source_fan_out(Station& station, std::span<const char> chunk);

// Drops a link and shows it on the status lines. UI thread.
void station_drop_link(Station& station, int slot);
// Gives up an open of the link under way and drops its connection, so that the link
// starts afresh with the settings (or the source) it has now. Returns whether a
// connection was dropped. UI thread.
bool station_restart_link(Station& station, int slot);

// One timer tick of the silence watchdog. UI thread.
void watchdog_step(Station& station);
