#include "net/push.h"

void push_init(PushTargets& pushes, const LinkReports& reports) {
    for (int i = 0; i < kPushTargets; ++i) {
        Connector& connector = pushes.targets[static_cast<size_t>(i)].connector;
        connector.slot = push_slot(i);
        connector.reports = reports;
        connector.enabled = false;
        // A server many stations feed is not hammered: longer and longer waits.
        connector.backs_off = true;
    }
}

void push_take_new_connections(PushTargets& pushes, const LinkTable& links, uint64_t head,
                               int64_t now_s) {
    for (int i = 0; i < kPushTargets; ++i) {
        PushTarget& target = pushes.targets[static_cast<size_t>(i)];
        // This runs with every chunk: a slot no target uses costs no lock.
        if (!target.connector.enabled.load() && target.reader.socket == INVALID_SOCKET)
            continue;
        LinkConnection link = link_connection(links, push_slot(i));
        SOCKET s = link.socket;
        if (s == target.reader.socket && link.drops == target.drops)
            continue;
        target.reader = s != INVALID_SOCKET ? history_reader_at(s, head, now_s) : HistoryReader{};
        target.drops = link.drops;
    }
}

uint32_t push_feed(PushTargets& pushes, RelayServer& relay) {
    uint32_t failed = 0;
    for (int i = 0; i < kPushTargets; ++i) {
        HistoryReader& reader = pushes.targets[static_cast<size_t>(i)].reader;
        if (reader.socket == INVALID_SOCKET)
            continue;
        // A target waiting for its write event is only checked for having been left
        // behind; the event sends it the rest.
        if (reader.write_watched && history_holds(relay.history, reader.position)) {
            reader_note_behind(reader, relay.history.head);
            continue;
        }
        if (!relay_feed_reader(relay, reader, SocketRole::push_target))
            failed |= 1u << i;
    }
    return failed;
}

void push_forget_connection(PushTargets& pushes, int target) {
    PushTarget& pushed = pushes.targets[static_cast<size_t>(target)];
    pushed.reader = HistoryReader{};
}
