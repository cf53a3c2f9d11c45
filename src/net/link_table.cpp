#include "net/link_table.h"

#include "base/default_ports.h"

std::array<LinkSlot, kLinkSlots> link_default_slots() {
    std::array<LinkSlot, kLinkSlots> slots{};
    const uint16_t ports[kLinkFileSlots] = {kDefaultUpstreamPort, kDefaultSourcePort,
                                            kDefaultConsumerPort};
    for (int i = 0; i < kLinkFileSlots; ++i) {
        slots[static_cast<size_t>(i)].port = ports[i];
        text_copy(slots[static_cast<size_t>(i)].host, kDefaultLinkHost);
    }
    return slots;
}

LinkSlot link_read(const LinkTable& table, int slot) {
    std::lock_guard guard(table.lock);
    return table.slots[static_cast<size_t>(slot)];
}

int32_t link_state(const LinkTable& table, int slot) {
    std::lock_guard guard(table.lock);
    return table.slots[static_cast<size_t>(slot)].state;
}

SOCKET link_connected_socket(const LinkTable& table, int slot) {
    std::lock_guard guard(table.lock);
    const LinkSlot& link = table.slots[static_cast<size_t>(slot)];
    return link.state == LINK_CONNECTED ? link.socket : INVALID_SOCKET;
}

SOCKET link_socket(const LinkTable& table, int slot) {
    std::lock_guard guard(table.lock);
    return table.slots[static_cast<size_t>(slot)].socket;
}

LinkConnection link_connection(const LinkTable& table, int slot) {
    std::lock_guard guard(table.lock);
    const LinkSlot& link = table.slots[static_cast<size_t>(slot)];
    return {link.state == LINK_CONNECTED ? link.socket : INVALID_SOCKET, link.drops};
}

uint16_t link_port(const LinkTable& table, int slot) {
    std::lock_guard guard(table.lock);
    return table.slots[static_cast<size_t>(slot)].port;
}

void link_host(const LinkTable& table, int slot, Text256& host) {
    std::lock_guard guard(table.lock);
    host = table.slots[static_cast<size_t>(slot)].host;
}

void link_set_port(LinkTable& table, int slot, uint16_t port) {
    std::lock_guard guard(table.lock);
    table.slots[static_cast<size_t>(slot)].port = port;
}

void link_set_host(LinkTable& table, int slot, std::string_view host) {
    std::lock_guard guard(table.lock);
    text_copy(table.slots[static_cast<size_t>(slot)].host, host);
}

void link_set_address(LinkTable& table, int slot, std::string_view host, uint16_t port) {
    std::lock_guard guard(table.lock);
    text_copy(table.slots[static_cast<size_t>(slot)].host, host);
    table.slots[static_cast<size_t>(slot)].port = port;
}

void link_set_status_text(LinkTable& table, int slot, std::string_view text) {
    std::lock_guard guard(table.lock);
    text_copy(table.slots[static_cast<size_t>(slot)].status_text, text);
}

uint32_t link_drops(const LinkTable& table, int slot) {
    std::lock_guard guard(table.lock);
    return table.slots[static_cast<size_t>(slot)].drops;
}

bool link_set_unless_dropped(LinkTable& table, int slot, uint32_t drops_before, int32_t state,
                             std::string_view text) {
    std::lock_guard guard(table.lock);
    LinkSlot& link = table.slots[static_cast<size_t>(slot)];
    if (link.drops != drops_before)
        return false;
    link.state = state;
    text_copy(link.status_text, text);
    return true;
}
