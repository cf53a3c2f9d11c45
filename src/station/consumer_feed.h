// The station's side of the consumer link: the greeting it sends first, what it
// forwards (decoded lines, or the raw chunks once the server asks for them), its socket
// events, and turning it on and off.
#pragma once

#include <cstdint>
#include <span>

#include "base/socket_compat.h"

struct FormattedLine;
struct Station;

// Rebuilds the greeting from the settings held now. UI thread, whenever the receiver's
// name, coordinates, format or timer frequency may have changed.
void feed_update_greeting(Station& station);

// A new connection of the consumer link, before its events are watched: line format,
// nothing waiting, the socket's send buffer. Connector thread.
void feed_prepare(Station& station, SOCKET s);
// ... and once they are watched: the greeting, while the attempt that began at
// `generation` still owns the link. Connector thread.
void feed_greet(Station& station, SOCKET s, uint32_t generation);

// A decoded line, before the display sees it: to the consumer while it takes lines; in
// binary mode only frames whose signal level reaches the threshold. UI thread.
void feed_forward_line(Station& station, const FormattedLine& line, bool binary);

// A source chunk, after the fan-out: unchanged, while the consumer takes raw chunks.
void feed_forward_chunk(Station& station, std::span<const char> chunk);

// The consumer link's notification. Events for a socket that is no longer the link's are
// stale and ignored. UI thread.
void feed_event(Station& station, SOCKET s, unsigned event);

// Whether the link runs: its settings file names a host.
bool feed_enabled(const Station& station);

// Turns the link on or off after its address changed: a connection to the old address
// is dropped, and the connector opens the new one at once. UI thread.
void feed_configure(Station& station, bool on);
