#include "net/links.h"

#include <cstring>

#include "app/station.h"
#include "app/text.h"

namespace {

// Link status texts in Windows-1251.
constexpr char kTextConnecting[] =  // "Идет установление связи"
    "\xC8\xE4\xE5\xF2 \xF3\xF1\xF2\xE0\xED\xEE\xE2\xEB\xE5\xED\xE8\xE5 \xF1\xE2\xFF\xE7\xE8";
constexpr char kTextSocketError[] =
    "\xCE\xF8\xE8\xE1\xEA\xE0 \xF1\xEE\xEA\xE5\xF2\xE0";          // "Ошибка сокета"
constexpr char kTextHostError[] = "\xCE\xF8\xE8\xE1\xEA\xE0 %s";  // "Ошибка %s"
constexpr char kTextConnectError[] = "\xCE\xF8\xE8\xE1\xEA\xE0 connect";  // "Ошибка connect"
constexpr char kTextRegisterError[] =  // "Ошибка WSAAsyncSelect(NETEVENT)"
    "\xCE\xF8\xE8\xE1\xEA\xE0 WSAAsyncSelect(NETEVENT)";
constexpr char kTextConnected[] = "\xD1\xEE\xE5\xE4\xE8\xED\xE5\xED\xE8\xE5 %s";  // "Соединение %s"
constexpr char kTextDropped[] =  // "Связь разорвана"
    "\xD1\xE2\xFF\xE7\xFC \xF0\xE0\xE7\xEE\xF0\xE2\xE0\xED\xE0";
constexpr char kTextWinsockError[] = "\xCE\xF8\xE8\xE1\xEA\xE0 WSAStartup";  // "Ошибка WSAStartup"

SocketRole link_role(int slot) {
    switch (slot) {
        case LINK_UPSTREAM:
            return SocketRole::link_upstream;
        case LINK_SOURCE:
            return SocketRole::link_source;
        default:
            return SocketRole::link_consumer;
    }
}

LinkSlot& slot_of(Station& station, int slot) {
    return station.links.slots[static_cast<size_t>(slot)];
}

void set_status(Station& station, int slot, const char* text) {
    link_set_status_text(station.links, slot, text);
}

// A failed step after the socket was made: close it, give the slot no socket, show why.
void fail_attempt(Station& station, int slot, SOCKET s, const char* text) {
    closesocket(s);
    {
        std::lock_guard guard(station.links.lock);
        LinkSlot& link = slot_of(station, slot);
        if (link.socket == s)
            link.socket = INVALID_SOCKET;
        text_copy(link.status_text, text);
    }
    status_refresh(station);
}

// Resolves a host name or dotted address to an IPv4 address, with a call that is safe on
// any thread. Dotted addresses never cause a name-server query.
bool resolve_host(const char* host, in_addr& address) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr) {
        return false;
    }
    address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
    freeaddrinfo(found);
    return true;
}

// Connects a non-blocking socket, waiting in short slices so that a stop request ends
// the wait quickly. Returns true when connected.
bool connect_within_limit(Station& station, SOCKET s, const sockaddr_in& address) {
    socket_set_nonblocking(s);
    if (connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        return true;
    }
    if (!socket_would_block())
        return false;
    for (int waited = 0; waited < kConnectTimeoutMs; waited += kConnectWaitSliceMs) {
        if (station.connector.stop.load() != 0)
            return false;
        int result = socket_wait_connected(s, kConnectWaitSliceMs);
        if (result != 0)
            return result > 0;
    }
    return false;
}

// Waits `pause`, or less when a stop is asked for. Returns false when it is.
bool connector_pause(Connector& connector, std::chrono::milliseconds pause) {
    std::unique_lock guard(connector.pause_lock);
    return !connector.pause_wake.wait_for(guard, pause, [&] { return connector.stop.load() != 0; });
}

void connector_run(Station& station) {
    Connector& connector = station.connector;
    while (connector.stop.load() == 0) {
        if (!kRelayServerMode && link_state(station.links, LINK_UPSTREAM) != LINK_CONNECTED) {
            link_open(station, LINK_UPSTREAM);
        }
        if (!connector_pause(connector, connector.pause))
            break;
        if (link_state(station.links, LINK_SOURCE) != LINK_CONNECTED) {
            link_open(station, LINK_SOURCE);
        }
        if (!connector_pause(connector, connector.pause))
            break;
    }
    connector.stop.store(kConnectorEnded);
}

}  // namespace

bool winsock_start() {
    if (sockets_start())
        return true;
    frontend_message_box(kTextWinsockError, "Error");
    return false;
}

void winsock_stop() {
    sockets_stop();
}

void link_open(Station& station, int slot) {
    set_status(station, slot, kTextConnecting);
    status_refresh(station);

    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    uint32_t drops_before;
    {
        std::lock_guard guard(station.links.lock);
        slot_of(station, slot).socket = s;
        drops_before = slot_of(station, slot).drops;
        if (s == INVALID_SOCKET) {
            text_copy(slot_of(station, slot).status_text, kTextSocketError);
        }
    }
    if (s == INVALID_SOCKET) {
        status_refresh(station);
        std::lock_guard guard(station.links.lock);
        slot_of(station, slot).state = LINK_FAILED;
        return;
    }

    int no_delay = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&no_delay),
               sizeof no_delay);

    Text256 host;
    link_host(station.links, slot, host);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    if (!resolve_host(host.data(), address.sin_addr)) {
        Text256 text;
        text_format(text, kTextHostError, host.data());
        fail_attempt(station, slot, s, text.data());
        return;
    }
    address.sin_port = htons(link_port(station.links, slot));
    if (!connect_within_limit(station, s, address)) {
        fail_attempt(station, slot, s, kTextConnectError);
        return;
    }
    if (!frontend_watch_socket(s, link_role(slot), kSocketRead | kSocketClose)) {
        fail_attempt(station, slot, s, kTextRegisterError);
        return;
    }
    // From here the socket's events reach the UI thread, which may drop the link before
    // it is marked connected; the hook lets tests do exactly that.
    if (station.connector.after_register_hook != nullptr) {
        station.connector.after_register_hook(station);
    }
    std::array<char, 16> dotted;
    socket_format_address(address.sin_addr, dotted);
    {
        std::lock_guard guard(station.links.lock);
        LinkSlot& link = slot_of(station, slot);
        // A drop in the meantime has closed the socket: the slot stays closed so that the
        // next pass opens it again.
        if (link.drops == drops_before) {
            text_format(link.status_text, kTextConnected, dotted.data());
            link.state = LINK_CONNECTED;
            station.silence_ticks.store(0);
        }
    }
    status_refresh(station);
}

void link_drop(Station& station, int slot) {
    SOCKET s;
    {
        std::lock_guard guard(station.links.lock);
        LinkSlot& link = slot_of(station, slot);
        s = link.socket;
        link.socket = INVALID_SOCKET;
        text_copy(link.status_text, kTextDropped);
        link.state = LINK_CLOSED;
        ++link.drops;
    }
    socket_close(s);
    status_refresh(station);
}

void connector_start(Station& station) {
    if (station.connector.stop.load() != 0) {
        station.connector.stop.store(kConnectorEnded);
        return;
    }
    station.connector.thread = std::thread(connector_run, std::ref(station));
}

bool connector_stop(Station& station, std::chrono::milliseconds wait) {
    Connector& connector = station.connector;
    if (!connector.thread.joinable())
        return true;
    {
        std::lock_guard guard(connector.pause_lock);
        if (connector.stop.load() == 0)
            connector.stop.store(1);
    }
    connector.pause_wake.notify_all();
    auto deadline = std::chrono::steady_clock::now() + wait;
    while (connector.stop.load() != kConnectorEnded) {
        if (std::chrono::steady_clock::now() >= deadline) {
            // Still inside a call that does not return; it ends with the process.
            connector.thread.detach();
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    connector.thread.join();
    return true;
}
