#include "net/links.h"

#include <algorithm>
#include <cstring>

#include "base/ip_address.h"
#include "base/text.h"
#include "net/link_texts.h"
#include "net/socket_watch.h"

namespace {

// Link status texts in Windows-1251.
constexpr char kTextSocketError[] =
    "\xCE\xF8\xE8\xE1\xEA\xE0 \xF1\xEE\xEA\xE5\xF2\xE0";          // "Ошибка сокета"
constexpr char kTextHostError[] = "\xCE\xF8\xE8\xE1\xEA\xE0 %s";  // "Ошибка %s"
constexpr char kTextConnectError[] = "\xCE\xF8\xE8\xE1\xEA\xE0 connect";  // "Ошибка connect"
constexpr char kTextRegisterError[] =  // "Ошибка WSAAsyncSelect(NETEVENT)"
    "\xCE\xF8\xE8\xE1\xEA\xE0 WSAAsyncSelect(NETEVENT)";
constexpr char kTextConnected[] = "\xD1\xEE\xE5\xE4\xE8\xED\xE5\xED\xE8\xE5 %s";  // "Соединение %s"

SocketRole link_role(int slot) {
    if (link_is_push(slot))
        return SocketRole::push_target;
    switch (slot) {
        case LINK_UPSTREAM:
            return SocketRole::link_upstream;
        case LINK_SOURCE:
            return SocketRole::link_source;
        default:
            return SocketRole::link_consumer;
    }
}

LinkSlot& slot_of(LinkTable& table, int slot) {
    return table.slots[static_cast<size_t>(slot)];
}

void report_status(const Connector& connector) {
    link_report_status(connector.reports);
}

// Whether the attempt that began at `generation` still owns the slot. Under the lock.
bool is_current(const LinkSlot& link, uint32_t generation) {
    return link.drops == generation;
}

// A failed step after the socket was made: the attempt closes its socket, and, while it
// still owns the slot, shows why. Until the socket is placed in the slot it is the
// attempt's alone; once placed, a drop may have closed it already, and then it is no
// longer in the slot.
void fail_attempt(LinkTable& table, const Connector& connector, int slot, uint32_t generation,
                  SOCKET s, bool placed, const char* text) {
    bool owned = !placed;
    {
        std::lock_guard guard(table.lock);
        LinkSlot& link = slot_of(table, slot);
        if (link.socket == s) {
            link.socket = INVALID_SOCKET;
            owned = true;
        }
        if (is_current(link, generation))
            text_copy(link.status_text, text);
    }
    if (owned)
        socket_close(s);
    report_status(connector);
}

bool set_text_if_current(LinkTable& table, int slot, uint32_t generation, const char* text) {
    std::lock_guard guard(table.lock);
    LinkSlot& link = slot_of(table, slot);
    if (!is_current(link, generation))
        return false;
    text_copy(link.status_text, text);
    return true;
}

// Host texts are typed by hand: blanks around them are no part of the name, and an empty
// one means this computer.
void trim_host(const Text256& typed, Text256& host) {
    std::string_view text = text_trim(text_view(typed));
    text_copy(host, text.empty() ? std::string_view("127.0.0.1") : text);
}

// A host name can stand for several addresses (a server farm, a dual-homed host, a name
// with IPv6 and IPv4 addresses): each is tried in turn, up to this many.
constexpr int kAddressesTried = 4;
using ResolvedAddresses = std::array<IpAddress, kAddressesTried>;

// Resolves a host name or numeric address to its addresses of either family, in the order
// the system prefers, with a call that is safe on any thread; returns how many. Numeric
// addresses never cause a name-server query.
int resolve_host(const char* host, ResolvedAddresses& addresses) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr)
        return 0;
    int count = 0;
    for (addrinfo* entry = found; entry != nullptr && count < kAddressesTried;
         entry = entry->ai_next) {
        sockaddr_storage address{};
        if (entry->ai_addrlen > sizeof address)
            continue;
        std::memcpy(&address, entry->ai_addr, entry->ai_addrlen);
        if (ip_from_socket_address(address, addresses[static_cast<size_t>(count)]))
            ++count;
    }
    freeaddrinfo(found);
    return count;
}

// Connects a non-blocking socket, waiting in short slices so that a stop request, or a
// cancel of the attempt (new settings, another source), ends the wait quickly. Returns
// true when connected.
bool connect_within_limit(LinkTable& table, const Connector& connector, int slot,
                          uint32_t generation, SOCKET s, const IpAddress& address, uint16_t port) {
    socket_set_nonblocking(s);
    sockaddr_storage peer;
    socklen_t length = ip_socket_address(address, port, peer);
    if (connect(s, reinterpret_cast<const sockaddr*>(&peer), length) == 0) {
        return true;
    }
    if (!socket_would_block())
        return false;
    for (int waited = 0; waited < kConnectTimeoutMs; waited += kConnectWaitSliceMs) {
        if (!worker_running(connector.worker) || link_drops(table, slot) != generation)
            return false;
        int result = socket_wait_connected(s, kConnectWaitSliceMs);
        if (result != 0)
            return result > 0;
    }
    return false;
}

// Waits `pause`, or less when a stop or a wake comes. Returns false on a stop.
bool connector_pause(Connector& connector, std::chrono::milliseconds pause) {
    std::unique_lock guard(connector.pause_lock);
    connector.pause_wake.wait_for(
        guard, pause, [&] { return !worker_running(connector.worker) || connector.woken; });
    if (connector.woken)
        backoff_reset(connector.backoff);  // the user asked for an attempt now
    connector.woken = false;
    return worker_running(connector.worker);
}

// After a failed attempt or a drop: waits as the back-off says, the status line showing
// when the next attempt comes. Returns false on a stop.
bool retry_pause(Connector& connector) {
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    int64_t wait_ms =
        backoff_next_wait_ms(connector.backoff, worker_now_ms(), unit(connector.chance));
    connector.retry_in_s = static_cast<int32_t>(std::max<int64_t>(1, (wait_ms + 500) / 1000));
    report_status(connector);
    bool going = connector_pause(connector, std::chrono::milliseconds(wait_ms));
    connector.retry_in_s = 0;
    return going;
}

// A connector that backs off: an attempt right after a wait, and a wait after every
// failed attempt and every drop. Whether the link was up is the back-off's own record,
// which a wake clears, so that the attempt after a wake comes at once.
void connector_run_backing_off(LinkTable& table, Connector& connector) {
    while (worker_running(connector.worker)) {
        if (!connector.enabled.load() || link_state(table, connector.slot) == LINK_CONNECTED) {
            int64_t connected_at_ms = connector.backoff.connected_at_ms;
            if (!connector_pause(connector, connector.pause))
                break;
            // A wake taken while the link stayed up (one sent as the attempt began, say)
            // asked for nothing: the link's drop, when it comes, is still waited after.
            if (link_state(table, connector.slot) == LINK_CONNECTED)
                connector.backoff.connected_at_ms = connected_at_ms;
        } else if (connector.backoff.connected_at_ms >= 0) {  // it dropped
            if (!retry_pause(connector))
                break;
        } else {
            link_open(table, connector, connector.slot);
            if (link_state(table, connector.slot) == LINK_CONNECTED) {
                backoff_connected(connector.backoff, worker_now_ms());
            } else if (!retry_pause(connector)) {
                break;
            }
        }
    }
}

// Starts an attempt: takes the slot's drop count as the attempt's generation and shows
// that it connects. False, with nothing changed, when the connector is not enabled: the
// enabled flag is read after the generation, so an attempt that begins while another
// source takes the slot over either sees the flag off or owns a generation that the
// takeover has already ended.
bool begin_attempt(LinkTable& table, const Connector& connector, int slot, uint32_t& generation) {
    std::lock_guard guard(table.lock);
    LinkSlot& link = slot_of(table, slot);
    generation = link.drops;
    if (!connector.enabled.load())
        return false;
    text_copy(link.status_text, kLinkTextConnecting);
    return true;
}

// Makes the attempt's socket for an address of the family of `address`; it stays the attempt's own
// until it is connected. Returns INVALID_SOCKET, with the slot marked failed, when none can be
// made.
SOCKET make_socket(LinkTable& table, const Connector& connector, int slot, uint32_t generation,
                   const IpAddress& address) {
    SOCKET s = socket(ip_is_v4(address) ? AF_INET : AF_INET6, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) {
        if (set_text_if_current(table, slot, generation, kTextSocketError)) {
            report_status(connector);
            std::lock_guard guard(table.lock);
            if (is_current(slot_of(table, slot), generation))
                slot_of(table, slot).state = LINK_FAILED;
        }
        return INVALID_SOCKET;
    }
    socket_no_delay(s);  // short lines go out at once
    socket_keepalive(s);
    return s;
}

// Resolves the slot's host and connects a socket of its own to one of its addresses, the
// one connected to in `address`. On failure the attempt is over: its socket is closed and
// the slot shows why.
bool resolve_and_connect(LinkTable& table, const Connector& connector, int slot,
                         uint32_t generation, SOCKET& s, IpAddress& address) {
    Text256 typed;
    link_host(table, slot, typed);
    Text256 host;
    trim_host(typed, host);
    ResolvedAddresses resolved;
    int count = resolve_host(host.data(), resolved);
    if (count == 0) {
        Text256 text;
        text_format(text, kTextHostError, host.data());
        fail_attempt(table, connector, slot, generation, INVALID_SOCKET, false, text.data());
        return false;
    }
    uint16_t port = link_port(table, slot);
    for (int i = 0; i < count; ++i) {
        // Each address has a socket of its family; one whose connect failed is not used
        // again.
        address = resolved[static_cast<size_t>(i)];
        s = make_socket(table, connector, slot, generation, address);
        if (s == INVALID_SOCKET)
            return false;
        if (connect_within_limit(table, connector, slot, generation, s, address, port))
            return true;
        if (!worker_running(connector.worker) || link_drops(table, slot) != generation ||
            i == count - 1)
            break;
        closesocket(s);
    }
    fail_attempt(table, connector, slot, generation, s, false, kTextConnectError);
    return false;
}

// Puts the connected socket in the slot, from where its events are recognised, while the
// attempt still owns the slot. False, with the socket closed, when it no longer does.
bool place_socket(LinkTable& table, const Connector& connector, int slot, uint32_t generation,
                  SOCKET s) {
    {
        std::lock_guard guard(table.lock);
        LinkSlot& link = slot_of(table, slot);
        if (is_current(link, generation)) {
            link.socket = s;
            return true;
        }
    }
    closesocket(s);
    report_status(connector);
    return false;
}

// Marks the slot connected, unless it was dropped or its open cancelled since the
// attempt began. A drop in the meantime has closed the socket and taken it out of the
// slot; a cancel has not, so the attempt closes it here. Either way the slot is left as
// its new owner has it, and the next pass opens it again if need be.
void mark_connected(LinkTable& table, const Connector& connector, int slot, uint32_t generation,
                    SOCKET s, const IpAddress& address) {
    std::array<char, kIpTextSize> dotted;
    ip_format(address, dotted);
    bool connected = false;
    SOCKET abandoned = INVALID_SOCKET;
    {
        std::lock_guard guard(table.lock);
        LinkSlot& link = slot_of(table, slot);
        if (is_current(link, generation)) {
            text_format(link.status_text, kTextConnected, dotted.data());
            link.state = LINK_CONNECTED;
            connected = true;
        } else if (link.socket == s) {
            abandoned = s;
            link.socket = INVALID_SOCKET;
        }
    }
    if (abandoned != INVALID_SOCKET)
        socket_close(abandoned);
    if (connected)
        link_report_connected(connector.reports, slot);
    report_status(connector);
}

// A connector that keeps trying: an attempt about once a second while the link is down.
void connector_run_steadily(LinkTable& table, Connector& connector) {
    while (worker_running(connector.worker)) {
        if (!connector_pause(connector, connector.pause))
            break;
        if (connector.enabled.load() && link_state(table, connector.slot) != LINK_CONNECTED) {
            link_open(table, connector, connector.slot);
        }
        if (!connector_pause(connector, connector.pause))
            break;
    }
}

void connector_run(LinkTable& table, Connector& connector) {
    if (connector.backs_off)
        connector_run_backing_off(table, connector);
    else
        connector_run_steadily(table, connector);
}

}  // namespace

void link_open(LinkTable& table, Connector& connector, int slot) {
    uint32_t generation;
    if (!begin_attempt(table, connector, slot, generation))
        return;
    report_status(connector);
    SOCKET s = INVALID_SOCKET;
    IpAddress address;
    if (!resolve_and_connect(table, connector, slot, generation, s, address))
        return;
    if (!place_socket(table, connector, slot, generation, s))
        return;
    if (connector.reports.prepared != nullptr)
        connector.reports.prepared(connector.reports.owner, slot, s);
    if (!frontend_watch_socket(s, link_role(slot), kSocketRead | kSocketClose)) {
        fail_attempt(table, connector, slot, generation, s, true, kTextRegisterError);
        return;
    }
    // From here the socket's events reach the UI thread, which may drop the link before
    // it is marked connected; the hook lets tests do exactly that.
    if (connector.after_register_hook != nullptr)
        connector.after_register_hook(connector.reports.owner);
    if (connector.reports.opened != nullptr)
        connector.reports.opened(connector.reports.owner, slot, s, generation);
    mark_connected(table, connector, slot, generation, s, address);
}

void link_cancel_open(LinkTable& table, int slot) {
    std::lock_guard guard(table.lock);
    ++slot_of(table, slot).drops;
}

void link_drop(LinkTable& table, int slot) {
    link_drop_saying(table, slot, kLinkTextDropped);
}

void link_drop_saying(LinkTable& table, int slot, const char* text) {
    SOCKET s;
    {
        std::lock_guard guard(table.lock);
        LinkSlot& link = slot_of(table, slot);
        s = link.socket;
        link.socket = INVALID_SOCKET;
        text_copy(link.status_text, text);
        link.state = LINK_CLOSED;
        ++link.drops;
    }
    socket_close(s);
}

void connector_start(LinkTable& table, Connector& connector) {
    worker_start(connector.worker, [&table, &connector] { connector_run(table, connector); });
}

void connector_request_stop(Connector& connector) {
    {
        std::lock_guard guard(connector.pause_lock);
        worker_request_stop(connector.worker);
    }
    connector.pause_wake.notify_all();
}

bool connector_stop(Connector& connector, std::chrono::milliseconds wait) {
    connector_request_stop(connector);
    return worker_join(connector.worker, wait);
}

void connector_wake(Connector& connector) {
    {
        std::lock_guard guard(connector.pause_lock);
        connector.woken = true;
    }
    connector.pause_wake.notify_all();
}
