#include "net/relay.h"

#include <cstdio>
#include <cstring>

#include "app/station.h"
#include "app/text.h"
#include "settings/file_replace.h"

namespace {

// "Сервер: %5d " in Windows-1251.
constexpr char kServerLineFormat[] = "\xD1\xE5\xF0\xE2\xE5\xF0: %5d ";
// "Клиент: %5d  %s"
constexpr char kClientLineFormat[] = "\xCA\xEB\xE8\xE5\xED\xF2: %5d  %s";
constexpr char kClientLogFile[] = "connect.list";
// About two lines a second while the receiver is unreachable: past this size the log
// becomes "connect.list.1" and a new one begins.
constexpr int64_t kClientLogLimitBytes = int64_t{16} << 20;

bool is_live(const RelayClient& client) {
    return client.address[0] != '\0';
}

RelayClient* find_client(RelayServer& relay, SOCKET s) {
    if (s == INVALID_SOCKET)
        return nullptr;
    for (RelayClient& client : relay.clients) {
        if (client.socket == s)
            return &client;
    }
    return nullptr;
}

void free_slot(RelayServer& relay, RelayClient& client) {
    client.socket = INVALID_SOCKET;
    client.backlog.head = 0;
    client.backlog.size = 0;
    client.write_watched = false;
    std::lock_guard guard(relay.address_lock);
    client.address[0] = '\0';
}

// Closes a client the relay gives up on (a full backlog or a broken socket) and frees
// its slot; it leaves the server line at the next refresh.
void disconnect_client(Station& station, RelayClient& client) {
    socket_close(client.socket);
    free_slot(station.relay, client);
    status_refresh(station);
}

void watch_client(RelayClient& client, bool want_write) {
    if (client.write_watched == want_write)
        return;
    client.write_watched = want_write;
    unsigned events = kSocketRead | kSocketClose | (want_write ? kSocketWrite : 0u);
    frontend_watch_socket(client.socket, SocketRole::relay_client, events);
}

// Sends from the front of `bytes` until the socket would block. Returns the count sent,
// or -1 when the socket failed for good.
long send_what_fits(SOCKET s, std::span<const char> bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        int n = socket_send(s, bytes.data() + sent, bytes.size() - sent);
        if (n > 0) {
            sent += static_cast<size_t>(n);
        } else if (n < 0 && socket_would_block()) {
            break;
        } else {
            return -1;
        }
    }
    return static_cast<long>(sent);
}

// Sends what the backlog holds until the socket would block. Returns false when the
// socket failed for good.
bool flush_backlog(RelayClient& client) {
    while (client.backlog.size != 0) {
        auto front = backlog_front(client.backlog);
        long sent = send_what_fits(client.socket,
                                   {reinterpret_cast<const char*>(front.data()), front.size()});
        if (sent < 0)
            return false;
        backlog_pop(client.backlog, static_cast<size_t>(sent));
        if (static_cast<size_t>(sent) < front.size())
            break;
    }
    return true;
}

// One chunk to one client, in order after whatever it still has waiting. Returns false
// when the client has to go: its socket failed or its backlog would overflow.
bool send_to_client(RelayClient& client, std::span<const char> chunk) {
    if (client.backlog.size != 0 && !flush_backlog(client))
        return false;
    if (client.backlog.size == 0) {
        long sent = send_what_fits(client.socket, chunk);
        if (sent < 0)
            return false;
        chunk = chunk.subspan(static_cast<size_t>(sent));
    }
    if (chunk.empty())
        return true;
    if (!backlog_push(client.backlog, chunk))
        return false;
    watch_client(client, true);
    return true;
}

void write_client_log_line(Station& station, std::FILE* log) {
    UtcTime now;
    station.clocks.utc(now);
    std::fprintf(log, "%02d/%02d/%02d %02d:%02d:%02d ", now.day, now.month, now.year, now.hour,
                 now.minute, now.second);
}

}  // namespace

bool backlog_push(Backlog& backlog, std::span<const char> bytes) {
    if (bytes.size() > kRelayBacklogBytes - backlog.size)
        return false;
    size_t tail = (backlog.head + backlog.size) % kRelayBacklogBytes;
    size_t first = std::min(bytes.size(), kRelayBacklogBytes - tail);
    std::memcpy(backlog.memory + tail, bytes.data(), first);
    std::memcpy(backlog.memory, bytes.data() + first, bytes.size() - first);
    backlog.size += bytes.size();
    return true;
}

std::span<const uint8_t> backlog_front(const Backlog& backlog) {
    size_t first = std::min(backlog.size, kRelayBacklogBytes - backlog.head);
    return {backlog.memory + backlog.head, first};
}

void backlog_pop(Backlog& backlog, size_t count) {
    backlog.head = (backlog.head + count) % kRelayBacklogBytes;
    backlog.size -= count;
    if (backlog.size == 0)
        backlog.head = 0;
}

void relay_init(RelayServer& relay) {
    // Pages are touched only when a client's backlog first fills that far.
    relay.backlog_memory =
        std::make_unique_for_overwrite<uint8_t[]>(kRelaySlots * kRelayBacklogBytes);
    for (size_t i = 0; i < relay.clients.size(); ++i) {
        relay.clients[i].backlog.memory = relay.backlog_memory.get() + i * kRelayBacklogBytes;
    }
}

void relay_start(Station& station) {
    RelayServer& relay = station.relay;
    relay.listener = socket(AF_INET, SOCK_STREAM, 0);
    if (relay.listener == INVALID_SOCKET) {
        status_refresh(station);
        return;
    }
#ifndef _WIN32
    // Lets a restarted program listen again while old connections linger in TIME_WAIT
    // (on Windows the option would let another program take the port instead).
    int reuse = 1;
    setsockopt(relay.listener, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
#endif
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(station.settings.relay_port.load());
    if (bind(relay.listener, reinterpret_cast<sockaddr*>(&address), sizeof address) ==
            SOCKET_ERROR ||
        listen(relay.listener, 1) == SOCKET_ERROR) {
        closesocket(relay.listener);
        relay.listener = INVALID_SOCKET;
        return;
    }
    socket_set_nonblocking(relay.listener);
    if (!frontend_watch_socket(relay.listener, SocketRole::relay_listener, kSocketAccept)) {
        closesocket(relay.listener);
        relay.listener = INVALID_SOCKET;
    }
    status_refresh(station);
}

void relay_accept(Station& station, int error) {
    RelayServer& relay = station.relay;
    if (relay.listener == INVALID_SOCKET)
        return;
    if (error != 0) {
        // The listening socket stays open, but nobody is accepted for the rest of the run.
        frontend_unwatch_socket(relay.listener);
        return;
    }
    RelayClient* free_client = nullptr;
    for (RelayClient& client : relay.clients) {
        if (client.socket == INVALID_SOCKET) {
            free_client = &client;
            break;
        }
    }
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    SOCKET s = accept(relay.listener, reinterpret_cast<sockaddr*>(&peer), &length);
    if (s == INVALID_SOCKET)
        return;
    if (free_client == nullptr) {
        closesocket(s);  // all slots in use: cut off at once, listed nowhere
        return;
    }
    socket_set_nonblocking(s);
    int send_buffer = kRelaySocketSendBuffer;
    setsockopt(s, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&send_buffer),
               sizeof send_buffer);
    if (!frontend_watch_socket(s, SocketRole::relay_client, kSocketRead | kSocketClose)) {
        closesocket(s);
        return;
    }
    free_client->socket = s;
    std::array<char, 16> dotted;
    socket_format_address(peer.sin_addr, dotted);
    {
        std::lock_guard guard(relay.address_lock);
        text_copy(free_client->address, dotted.data());
    }
    status_refresh(station);
}

void relay_client_event(Station& station, SOCKET s, unsigned event) {
    RelayClient* client = find_client(station.relay, s);
    if (event == kSocketRead) {
        char discarded[kRelayReadSize];
        socket_recv(s, discarded, sizeof discarded);
    } else if (event == kSocketClose) {
        // Only a socket the table holds is closed: a late close event can name a socket
        // that was closed before and whose handle now belongs to another connection.
        if (client != nullptr) {
            disconnect_client(station, *client);
        }
    } else if (event == kSocketWrite && client != nullptr) {
        if (!flush_backlog(*client)) {
            disconnect_client(station, *client);
        } else if (client->backlog.size == 0) {
            watch_client(*client, false);
        }
    }
}

void relay_fan_out(Station& station, std::span<const char> chunk) {
    for (RelayClient& client : station.relay.clients) {
        if (is_live(client) && !send_to_client(client, chunk)) {
            disconnect_client(station, client);
        }
    }
}

void relay_shutdown(Station& station) {
    RelayServer& relay = station.relay;
    for (RelayClient& client : relay.clients) {
        socket_close(client.socket);
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

void status_refresh(Station& station) {
    {
        std::lock_guard board_guard(station.status.lock);
        std::array<char, kPathSize> path;
        // The client log is a Windows text file everywhere: lines end in CR LF.
        std::FILE* log = station_path(station, kClientLogFile, path)
                             ? file_append_rotating(path.data(), kClientLogLimitBytes)
                             : nullptr;
        if (log != nullptr) {
            write_client_log_line(station, log);
        }
        auto& server = station.status.server_line;
        text_format(server, kServerLineFormat,
                    static_cast<int>(station.settings.relay_port.load()));
        size_t length = std::strlen(server.data());
        bool first = true;
        {
            std::lock_guard address_guard(station.relay.address_lock);
            for (const RelayClient& client : station.relay.clients) {
                if (!is_live(client))
                    continue;
                if (log != nullptr) {
                    std::fprintf(log, first ? "|%s|" : "%s|", client.address.data());
                }
                first = false;
                text_format(std::span(server).subspan(length), "%s ", client.address.data());
                length += std::strlen(server.data() + length);
            }
        }
        if (log != nullptr) {
            std::fputs("\r\n", log);
            std::fclose(log);
        }
        LinkSlot source = link_read(station.links, LINK_SOURCE);
        text_format(station.status.client_line, kClientLineFormat, static_cast<int>(source.port),
                    source.status_text.data());
        ++station.status.refreshes;
    }
    frontend_status_changed();
}

void status_board_read(StatusBoard& board, std::span<char> server_line,
                       std::span<char> client_line) {
    std::lock_guard guard(board.lock);
    text_copy(server_line, text_view(board.server_line));
    text_copy(client_line, text_view(board.client_line));
}
