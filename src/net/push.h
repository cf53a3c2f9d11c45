// Push targets: servers the relay dials out to and feeds the receiver's stream, byte for
// byte, as it feeds a relay client. Most stations cannot be reached from outside (a home
// router, a carrier-grade NAT, an LTE modem), so the networks they feed expect them to
// connect out.
//
// Each target is a link of its own in the link table (slot LINK_PUSH + i), kept open by a
// connector that backs off as the consumer link's does. Once connected it is a reader of
// the relay's history: it starts at the head (no past), gets every byte from then on in
// order, and is dropped, having had the exact stream up to then, when it falls more than
// the whole history behind. What a target sends is read and thrown away.
#pragma once

#include <array>
#include <cstdint>

#include "net/link_table.h"
#include "net/links.h"
#include "net/relay.h"

struct PushTarget {
    Connector connector;   // keeps the target's link open while the target is set
    HistoryReader reader;  // the connection being fed, from the first chunk after it came
    // The slot's drop count when the connection was taken: a socket number the system
    // gives again after a drop is a new connection all the same.
    uint32_t drops = 0;
};

struct PushTargets {
    std::array<PushTarget, kPushTargets> targets;
};

constexpr int push_slot(int target) {
    return LINK_PUSH + target;
}

// Makes every target's connector a backing-off one of its slot, reporting to `reports`,
// and not enabled until a target is set.
void push_init(PushTargets& pushes, const LinkReports& reports);

// Before a chunk joins the history: a connection the connector has made since the last
// chunk starts being fed at the head, so it gets this chunk whole. UI thread.
void push_take_new_connections(PushTargets& pushes, const LinkTable& links, uint64_t head,
                               int64_t now_s);

// After the chunk joined the history: feeds every connected target. Returns a bit for
// each target that fell more than the history behind or whose socket failed; the caller
// drops those links. UI thread.
uint32_t push_feed(PushTargets& pushes, RelayServer& relay);

// A target's connection has ended (dropped, or the link closed): it is fed no more.
void push_forget_connection(PushTargets& pushes, int target);
