// The link table: the system's three outgoing TCP links, with their ports, hosts,
// sockets, link status texts and states.
//
// The connector thread writes sockets, status texts and states while it opens a link;
// the UI thread writes ports and hosts (settings) and drops links. One lock guards the
// table, so a reader always sees a whole slot and a whole host text, old or new. Never
// hold it across a call that waits for the other thread.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <string_view>

#include "base/socket_compat.h"
#include "base/text.h"

enum LinkIndex : int { LINK_UPSTREAM = 0, LINK_SOURCE = 1, LINK_CONSUMER = 2, LINK_PUSH = 3 };
// The links with a settings file of their own ("initsocket.ini", "initmkp1.ini",
// "initmkp2.ini").
constexpr int kLinkFileSlots = 3;
// The servers the relay pushes the receiver's stream to, slots LINK_PUSH and on.
constexpr int kPushTargets = 8;
constexpr int kLinkSlots = LINK_PUSH + kPushTargets;

constexpr bool link_is_push(int slot) {
    return slot >= LINK_PUSH && slot < kLinkSlots;
}

enum LinkState : int32_t {
    LINK_IDLE = 0,       // initial value only
    LINK_FAILED = 1,     // no socket could be made
    LINK_CONNECTED = 9,  // connected and its notifications registered
    LINK_CLOSED = 10,    // dropped; the connector thread opens it again
};

struct LinkSlot {
    uint16_t port = 0;  // host byte order
    SOCKET socket = INVALID_SOCKET;
    Text256 host{};
    Text256 status_text{};
    int32_t state = LINK_IDLE;
    // Raised by every drop, so that an open under way can tell that its slot was dropped.
    uint32_t drops = 0;
};

// Start values: 127.0.0.1 with ports 9999, 7777 and 8888, no socket, LINK_IDLE; the push
// targets' slots without host or port.
std::array<LinkSlot, kLinkSlots> link_default_slots();

struct LinkTable {
    mutable std::mutex lock;
    std::array<LinkSlot, kLinkSlots> slots = link_default_slots();
};

// A copy of one whole slot.
LinkSlot link_read(const LinkTable& table, int slot);
int32_t link_state(const LinkTable& table, int slot);
// The slot's socket while it is connected, else INVALID_SOCKET.
SOCKET link_connected_socket(const LinkTable& table, int slot);
// The slot's socket, connected or still being set up; INVALID_SOCKET when none. These
// few fields are all a socket event or a chunk needs, without copying the texts.
SOCKET link_socket(const LinkTable& table, int slot);
// The connected socket and the drop count, read together.
struct LinkConnection {
    SOCKET socket = INVALID_SOCKET;  // INVALID_SOCKET unless connected
    uint32_t drops = 0;
};
LinkConnection link_connection(const LinkTable& table, int slot);
uint16_t link_port(const LinkTable& table, int slot);
// Copies the slot's host into `host`.
void link_host(const LinkTable& table, int slot, Text256& host);

void link_set_port(LinkTable& table, int slot, uint16_t port);
// Host and status texts are cut to 255 characters.
void link_set_host(LinkTable& table, int slot, std::string_view host);
// Host and port at once, so that an attempt never reads one without the other.
void link_set_address(LinkTable& table, int slot, std::string_view host, uint16_t port);
void link_set_status_text(LinkTable& table, int slot, std::string_view text);

// How often the slot has been dropped so far.
uint32_t link_drops(const LinkTable& table, int slot);
// Sets the slot's state and status text, unless it was dropped since `drops_before` was
// read: a drop by the UI thread wins over a late report of the serial reader.
bool link_set_unless_dropped(LinkTable& table, int slot, uint32_t drops_before, int32_t state,
                             std::string_view text);
