// The station's side of the push targets: which servers are set (initpush.ini, the
// dialog, --push), feeding them each chunk after the relay clients, their socket events,
// and what their status lines say.
#pragma once

#include <cstdint>
#include <span>

#include "base/socket_compat.h"
#include "net/link_table.h"
#include "settings/push_lines.h"

struct Station;

// Sets the targets to `lines[0..count)`: a target that is set already keeps its
// connection, one no longer set is closed, a new one is opened at once, and a line that
// does not read as a host and a port shows so on its status line and is not opened. UI
// thread.
void station_set_push_targets(Station& station, const PushLines& lines, int count);

// The targets set now, in the order they were given; returns how many.
int station_push_targets(const Station& station, PushLines& lines);

// Before a chunk joins the relay's history, and after the relay clients were fed. UI
// thread.
void push_chunk_arriving(Station& station);
void push_chunk_arrived(Station& station);

// A push target's socket notification. Events for a socket that is no longer a target's
// are stale and ignored. UI thread.
void push_event(Station& station, SOCKET s, unsigned event);

// What the status board shows of the targets: how many are set and how many connected.
void push_counts(const Station& station, int& set, int& connected);

// What the front ends show of one target.
struct PushFigures {
    LinkSlot link;                   // host, port, state, status text
    bool is_target = false;          // false: its line reads as no host and port
    uint64_t bytes_sent = 0;         // on the connection it has now
    uint64_t behind_bytes = 0;       // how far it is behind the stream's head
    uint64_t most_behind_bytes = 0;  // the farthest it has been on this connection
    int64_t connected_since_s = 0;   // calendar seconds; 0 while not connected
    int retry_in_s = 0;              // while its connector waits to try again
};
// The figures of target `index` in the order the targets were given; false past the
// last. UI thread.
bool station_push_figures(const Station& station, int index, PushFigures& figures);
