#include "station/push_feed.h"

#include "station/station.h"

// The settings file holds at most one line a target.
static_assert(kPushLines == kPushTargets);

namespace {

constexpr char kTextBadLine[] =  // "Ошибка: нужны адрес и порт"
    "\xCE\xF8\xE8\xE1\xEA\xE0: \xED\xF3\xE6\xED\xFB \xE0\xE4\xF0\xE5\xF1 \xE8 \xEF\xEE\xF0\xF2";
constexpr char kTextFellBehind[] =  // "Связь разорвана: отстал от потока"
    "\xD1\xE2\xFF\xE7\xFC \xF0\xE0\xE7\xEE\xF0\xE2\xE0\xED\xE0: \xEE\xF2\xF1\xF2\xE0\xEB \xEE\xF2 "
    "\xEF\xEE\xF2\xEE\xEA\xE0";

PushTarget& target_at(Station& station, int target) {
    return station.pushes.targets[static_cast<size_t>(target)];
}

// Closes a target's slot: its connector stops trying, a connection is dropped.
void free_target(Station& station, int target) {
    target_at(station, target).connector.enabled = false;
    station_restart_link(station, push_slot(target));
    push_forget_connection(station.pushes, target);
    link_set_address(station.links, push_slot(target), "", 0);
    link_set_status_text(station.links, push_slot(target), "");
    station.push_set[static_cast<size_t>(target)] = PushLine{};
}

// Puts a line in a free slot: a target is opened at once, a line that is none says so.
void take_target(Station& station, int target, const PushLine& line) {
    station.push_set[static_cast<size_t>(target)] = line;
    int slot = push_slot(target);
    if (!line.parsed) {
        link_set_address(station.links, slot, text_view(line.text), 0);
        link_set_status_text(station.links, slot, kTextBadLine);
        return;
    }
    link_set_address(station.links, slot, text_view(line.host), line.port);
    target_at(station, target).connector.enabled = true;
    connector_wake(target_at(station, target).connector);
}

bool is_free(const PushLine& line) {
    return line.text[0] == '\0';
}

// Drops a target the relay could not feed: one left more than the history behind has had
// the exact stream up to here, and its status line says why; the connector opens it
// again after its wait.
void drop_unfed(Station& station, int target) {
    bool behind = !history_holds(station.relay.history, target_at(station, target).reader.position);
    LinkSlot link = link_read(station.links, push_slot(target));
    relay_note_cut(station.relay, text_view(link.host), link.port, behind);
    push_forget_connection(station.pushes, target);
    if (behind) {
        link_drop_saying(station.links, push_slot(target), kTextFellBehind);
        status_refresh(station);
    } else {
        station_drop_link(station, push_slot(target));
    }
}

}  // namespace

void station_set_push_targets(Station& station, const PushLines& lines, int count) {
    std::array<int, kPushTargets> slot_of_line;
    slot_of_line.fill(-1);
    std::array<bool, kPushTargets> kept{};
    // A target set already keeps its slot, and so its connection.
    for (int j = 0; j < count; ++j) {
        for (int i = 0; i < kPushTargets && slot_of_line[static_cast<size_t>(j)] < 0; ++i) {
            if (!kept[static_cast<size_t>(i)] &&
                push_line_same_target(station.push_set[static_cast<size_t>(i)],
                                      lines[static_cast<size_t>(j)])) {
                kept[static_cast<size_t>(i)] = true;
                slot_of_line[static_cast<size_t>(j)] = i;
            }
        }
    }
    for (int i = 0; i < kPushTargets; ++i) {
        if (!kept[static_cast<size_t>(i)] && !is_free(station.push_set[static_cast<size_t>(i)]))
            free_target(station, i);
    }
    for (int j = 0; j < count; ++j) {
        if (slot_of_line[static_cast<size_t>(j)] >= 0)
            continue;
        for (int i = 0; i < kPushTargets; ++i) {
            if (!kept[static_cast<size_t>(i)] &&
                is_free(station.push_set[static_cast<size_t>(i)])) {
                kept[static_cast<size_t>(i)] = true;
                slot_of_line[static_cast<size_t>(j)] = i;
                take_target(station, i, lines[static_cast<size_t>(j)]);
                break;
            }
        }
    }
    station.push_order = slot_of_line;
    station.push_count = count;
}

int station_push_targets(const Station& station, PushLines& lines) {
    for (int j = 0; j < station.push_count; ++j) {
        int slot = station.push_order[static_cast<size_t>(j)];
        lines[static_cast<size_t>(j)] = station.push_set[static_cast<size_t>(slot)];
    }
    return station.push_count;
}

void push_chunk_arriving(Station& station) {
    push_take_new_connections(station.pushes, station.links, station.relay.history.head,
                              station.clocks.calendar_s());
}

void push_chunk_arrived(Station& station) {
    uint32_t failed = push_feed(station.pushes, station.relay);
    for (int i = 0; failed != 0; ++i, failed >>= 1) {
        if ((failed & 1u) != 0)
            drop_unfed(station, i);
    }
}

namespace {

// The target whose link's socket is `s`, or -1. Its connection may not be fed yet (it is
// taken with the next chunk), but its events are its own all the same.
int target_of_socket(const Station& station, SOCKET s) {
    for (int i = 0; s != INVALID_SOCKET && i < kPushTargets; ++i) {
        if (link_socket(station.links, push_slot(i)) == s)
            return i;
    }
    return -1;
}

}  // namespace

void push_event(Station& station, SOCKET s, unsigned event) {
    int target = target_of_socket(station, s);
    if (target < 0)
        return;
    PushTarget& pushed = target_at(station, target);
    if (event == kSocketRead) {
        char discarded[kRelayReadSize];
        socket_recv(s, discarded, sizeof discarded);
    } else if (event == kSocketWrite) {
        if (pushed.reader.socket == s &&
            !relay_feed_reader(station.relay, pushed.reader, SocketRole::push_target))
            drop_unfed(station, target);
    } else if (event == kSocketClose) {
        push_forget_connection(station.pushes, target);
        station_drop_link(station, push_slot(target));
    }
}

void push_counts(const Station& station, int& set, int& connected) {
    set = 0;
    connected = 0;
    for (int j = 0; j < station.push_count; ++j) {
        int slot = push_slot(station.push_order[static_cast<size_t>(j)]);
        ++set;
        connected += link_state(station.links, slot) == LINK_CONNECTED ? 1 : 0;
    }
}

bool station_push_figures(const Station& station, int index, PushFigures& figures) {
    if (index < 0 || index >= station.push_count)
        return false;
    int target = station.push_order[static_cast<size_t>(index)];
    const PushTarget& pushed = station.pushes.targets[static_cast<size_t>(target)];
    figures.link = link_read(station.links, push_slot(target));
    figures.is_target = station.push_set[static_cast<size_t>(target)].parsed;
    bool connected = pushed.reader.socket != INVALID_SOCKET;
    figures.bytes_sent = connected ? reader_bytes_sent(pushed.reader) : 0;
    figures.behind_bytes = connected ? reader_behind(pushed.reader, station.relay.history.head) : 0;
    figures.most_behind_bytes = connected ? pushed.reader.most_behind : 0;
    figures.connected_since_s = connected ? pushed.reader.connected_at_s : 0;
    figures.retry_in_s = pushed.connector.retry_in_s.load();
    return true;
}
