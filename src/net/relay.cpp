#include "net/relay.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "base/text.h"
#include "net/socket_watch.h"

namespace {

bool is_live(const RelayClient& client) {
    return client.address[0] != '\0';
}

// The clients in the slots that may be in use: those before `slots_used`.
std::span<RelayClient> used_slots(RelayServer& relay) {
    return std::span(relay.clients).first(static_cast<size_t>(relay.slots_used));
}

RelayClient* find_client(RelayServer& relay, SOCKET s) {
    if (s == INVALID_SOCKET)
        return nullptr;
    for (RelayClient& client : used_slots(relay)) {
        if (client.reader.socket == s)
            return &client;
    }
    return nullptr;
}

void free_slot(RelayServer& relay, RelayClient& client) {
    client.reader = HistoryReader{};
    {
        std::lock_guard guard(relay.address_lock);
        client.address[0] = '\0';
    }
    while (relay.slots_used > 0 &&
           relay.clients[static_cast<size_t>(relay.slots_used - 1)].reader.socket == INVALID_SOCKET)
        --relay.slots_used;
}

// Closes a client the relay gives up on (left behind by the history, or a broken
// socket) and frees its slot; it leaves the server line at the next refresh.
void disconnect_client(RelayServer& relay, RelayClient& client) {
    socket_close(client.reader.socket);
    free_slot(relay, client);
}

void watch_reader(HistoryReader& reader, SocketRole role, bool want_write) {
    if (reader.write_watched == want_write)
        return;
    reader.write_watched = want_write;
    unsigned events = kSocketRead | kSocketClose | (want_write ? kSocketWrite : 0u);
    frontend_watch_socket(reader.socket, role, events);
}

// Brings one reader as far towards the head as its socket takes; what is left goes on
// its write event. A reader the history no longer covers has to go: the bytes it still
// needs are gone, and it must never get a stream with a hole. Returns false then, or when
// its socket failed.
bool feed(RelayServer& relay, HistoryReader& reader, SocketRole role) {
    reader_note_behind(reader, relay.history.head);
    if (!history_holds(relay.history, reader.position) ||
        !history_send(relay.history, reader.socket, reader.position))
        return false;
    watch_reader(reader, role, reader.position != relay.history.head);
    return true;
}

// Returns false when the client was closed.
bool serve_client(RelayServer& relay, RelayClient& client) {
    if (feed(relay, client.reader, SocketRole::relay_client))
        return true;
    bool behind = !history_holds(relay.history, client.reader.position);
    relay_note_cut(relay, text_view(client.address), client.port, behind);
    disconnect_client(relay, client);
    return false;
}

void refuse(RelayServer& relay, const IpAddress& address, RelayRefusal cause) {
    ++relay.refused.counts[static_cast<size_t>(cause)];
    relay.refused.last_cause = cause;
    ip_format(address, relay.refused.last);
}

// Whether a client from `address` may have a slot, and which; a refusal is counted.
bool admitted(RelayServer& relay, const IpAddress& address, RelayClient*& slot) {
    if (!ip_allow_list_admits(relay.allow, address)) {
        refuse(relay, address, RelayRefusal::not_allowed);
        return false;
    }
    int held = 0;
    slot = nullptr;
    for (RelayClient& client : relay.clients) {
        if (client.reader.socket == INVALID_SOCKET)
            slot = slot != nullptr ? slot : &client;
        else if (client.peer == address)
            ++held;
    }
    if (slot == nullptr || held >= relay.share) {
        refuse(relay, address, slot == nullptr ? RelayRefusal::full : RelayRefusal::over_share);
        return false;
    }
    return true;
}

}  // namespace

void relay_init(RelayServer& relay) {
    history_init(relay.history, kRelayHistoryBytes);
}

namespace {

// The listening socket for `address`: an IPv6 one for every interface takes IPv4 peers
// too; where the host has no IPv6 it falls back to IPv4 alone.
SOCKET listening_socket(RelayServer& relay, IpAddress& address, bool everywhere) {
    if (ip_is_v4(address))
        return socket(AF_INET, SOCK_STREAM, 0);
    SOCKET s = socket(AF_INET6, SOCK_STREAM, 0);
    if (!everywhere || (s != INVALID_SOCKET && socket_set_dual_stack(s)))
        return s;
    if (s != INVALID_SOCKET)
        closesocket(s);
    relay.ipv4_only = true;
    ip_parse("0.0.0.0", address);
    return socket(AF_INET, SOCK_STREAM, 0);
}

bool fail_start(RelayServer& relay, RelayStart step) {
    relay.start = step;
    relay.start_error = socket_last_error();
    closesocket(relay.listener);
    relay.listener = INVALID_SOCKET;
    return false;
}

}  // namespace

bool relay_start(RelayServer& relay, std::string_view address_text, uint16_t port) {
    IpAddress address{};  // "::": every interface
    if (!address_text.empty() && !ip_parse(address_text, address)) {
        relay.start = RelayStart::address_invalid;
        return false;
    }
    relay.listener = listening_socket(relay, address, address == IpAddress{});
    if (relay.listener == INVALID_SOCKET) {
        relay.start = RelayStart::socket_failed;
        relay.start_error = socket_last_error();
        return true;
    }
    socket_allow_rebind(relay.listener);
    sockaddr_storage bound_to;
    socklen_t length = ip_socket_address(address, port, bound_to);
    if (bind(relay.listener, reinterpret_cast<sockaddr*>(&bound_to), length) == SOCKET_ERROR)
        return fail_start(relay, RelayStart::bind_failed);
    if (listen(relay.listener, kRelayListenQueue) == SOCKET_ERROR)
        return fail_start(relay, RelayStart::listen_failed);
    socket_set_nonblocking(relay.listener);
    if (!frontend_watch_socket(relay.listener, SocketRole::relay_listener, kSocketAccept)) {
        fail_start(relay, RelayStart::listen_failed);
        return true;
    }
    relay.start = RelayStart::listening;
    return true;
}

void relay_start_error_text(const RelayServer& relay, std::span<char> text) {
    if (relay.start == RelayStart::address_invalid) {
        text_copy(text, "address: not a numeric IP address");
        return;
    }
    const char* step = relay.start == RelayStart::socket_failed ? "socket"
                       : relay.start == RelayStart::bind_failed ? "bind"
                                                                : "listen";
    std::array<char, 200> reason;
    socket_error_text(relay.start_error, reason);
    text_format(text, "%s: %s", step, reason.data());
}

bool relay_accept(RelayServer& relay, int error) {
    if (relay.listener == INVALID_SOCKET)
        return false;
    if (error != 0) {
        // The listening socket stays open, but nobody is accepted for the rest of the run.
        frontend_unwatch_socket(relay.listener);
        return false;
    }
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    SOCKET s = accept(relay.listener, reinterpret_cast<sockaddr*>(&peer), &length);
    if (s == INVALID_SOCKET) {
        if (socket_out_of_resources()) {
            frontend_unwatch_socket(relay.listener);
            relay.accept_paused_ticks = kRelayAcceptPauseTicks;
        }
        return false;
    }
    IpAddress address;
    RelayClient* free_client = nullptr;
    if (!ip_from_socket_address(peer, address) || !admitted(relay, address, free_client)) {
        closesocket(s);  // before it has had a byte
        return false;
    }
    socket_set_nonblocking(s);
    int send_buffer = kRelaySocketSendBuffer;
    setsockopt(s, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&send_buffer),
               sizeof send_buffer);
    socket_keepalive(s);  // a client that vanished is freed like one that closed
    socket_no_delay(s);   // each chunk leaves as it comes, as the receiver sent it
    if (!frontend_watch_socket(s, SocketRole::relay_client, kSocketRead | kSocketClose)) {
        closesocket(s);
        return false;
    }
    // A new client starts at the head.
    free_client->reader = history_reader_at(s, relay.history.head, relay.now_s);
    free_client->peer = address;
    relay.slots_used =
        std::max(relay.slots_used, static_cast<int>(free_client - relay.clients.data()) + 1);
    free_client->port = socket_address_port(peer);
    ClientAddress text;
    ip_format(address, text);
    {
        std::lock_guard guard(relay.address_lock);
        free_client->address = text;
    }
    return true;
}

bool relay_client_event(RelayServer& relay, SOCKET s, unsigned event) {
    RelayClient* client = find_client(relay, s);
    if (event == kSocketRead) {
        char discarded[kRelayReadSize];
        socket_recv(s, discarded, sizeof discarded);
    } else if (event == kSocketClose) {
        // Only a socket the table holds is closed: a late close event can name a socket
        // that was closed before and whose handle now belongs to another connection.
        if (client != nullptr) {
            disconnect_client(relay, *client);
            return true;
        }
    } else if (event == kSocketWrite && client != nullptr && is_live(*client)) {
        return !serve_client(relay, *client);
    }
    return false;
}

int relay_fan_out(RelayServer& relay, std::span<const char> chunk) {
    history_append(relay.history, chunk);
    int closed = 0;
    for (RelayClient& client : used_slots(relay)) {
        if (!is_live(client))
            continue;
        // A client waiting for its write event is only checked for having been left
        // behind; the event sends it the rest, so a full socket costs no failed send.
        if (client.reader.write_watched && history_holds(relay.history, client.reader.position)) {
            reader_note_behind(client.reader, relay.history.head);
            continue;
        }
        closed += serve_client(relay, client) ? 0 : 1;
    }
    return closed;
}

bool relay_feed_reader(RelayServer& relay, HistoryReader& reader, SocketRole role) {
    return feed(relay, reader, role);
}

void relay_note_cut(RelayServer& relay, std::string_view address, uint16_t port, bool behind) {
    relay.cut_total += behind ? 1 : 0;
    text_copy(relay.last_cut.address, address);
    relay.last_cut.port = port;
    relay.last_cut.at_s = relay.now_s;
    relay.last_cut.behind = behind;
}

HistoryReader history_reader_at(SOCKET s, uint64_t head, int64_t now_s) {
    HistoryReader reader;
    reader.socket = s;
    reader.position = head;
    reader.first_position = head;
    reader.connected_at_s = now_s;
    return reader;
}

uint64_t reader_bytes_sent(const HistoryReader& reader) {
    return reader.position - reader.first_position;
}

uint64_t reader_behind(const HistoryReader& reader, uint64_t head) {
    return head - reader.position;
}

void reader_note_behind(HistoryReader& reader, uint64_t head) {
    reader.most_behind = std::max(reader.most_behind, head - reader.position);
}

int relay_copy_clients(const RelayServer& relay, std::span<RelayClient, kRelaySlots> clients) {
    int live = 0;
    for (const RelayClient& client : relay.clients) {
        if (is_live(client))
            clients[static_cast<size_t>(live++)] = client;
    }
    return live;
}

void relay_tick(RelayServer& relay, int64_t now_s) {
    relay.now_s = now_s;
    if (relay.accept_paused_ticks > 0 && --relay.accept_paused_ticks == 0 &&
        relay.listener != INVALID_SOCKET)
        frontend_watch_socket(relay.listener, SocketRole::relay_listener, kSocketAccept);
}

void relay_shutdown(RelayServer& relay) {
    for (RelayClient& client : relay.clients) {
        socket_close(client.reader.socket);
        free_slot(relay, client);
    }
    if (relay.listener != INVALID_SOCKET) {
        socket_close(relay.listener);
        relay.listener = INVALID_SOCKET;
    }
}

int relay_live_clients(const RelayServer& relay) {
    std::lock_guard guard(relay.address_lock);
    int live = 0;
    for (const RelayClient& client : relay.clients) {
        live += is_live(client) ? 1 : 0;
    }
    return live;
}

int relay_copy_addresses(const RelayServer& relay,
                         std::span<ClientAddress, kRelaySlots> addresses) {
    std::lock_guard guard(relay.address_lock);
    int live = 0;
    for (const RelayClient& client : relay.clients) {
        if (is_live(client))
            addresses[static_cast<size_t>(live++)] = client.address;
    }
    return live;
}
