// The relay server: re-serves the receiver's raw bytes, unchanged, to up to 100 TCP
// clients, and the status refresh that shows them.
//
// The server keeps one history of the most recent source bytes for all clients, and
// each client only its position in the stream: how many bytes its socket has taken. A
// client that falls behind catches up from the history as its socket takes more, so a
// burst costs nobody anything. Only a client more than the whole history behind is
// closed; it has then received the exact stream up to the close, never one with a hole.
// A client that does not read never delays the source or the other clients.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string_view>

#include "base/ip_address.h"
#include "base/socket_compat.h"
#include "net/socket_watch.h"
#include "net/stream_history.h"

constexpr int kRelaySlots = 100;
// How far behind the source a client may fall before it is closed: seconds of even the
// busiest receiver, and a burst of several megabytes.
constexpr size_t kRelayHistoryBytes = 8 * 1024 * 1024;
// Each client's kernel send buffer is held to this, so that the kernel does not grow it
// to megabytes per client; the shared history holds what a slow client still needs.
constexpr int kRelaySocketSendBuffer = 64 * 1024;
// A client's address as text: dotted IPv4, or IPv6 in its short form (kIpTextSize).
constexpr int kClientAddressSize = 48;
static_assert(kClientAddressSize >= kIpTextSize);
// Clients reconnecting all at once after a restart wait in the listen queue, not on SYN
// retries.
constexpr int kRelayListenQueue = 128;
constexpr int kRelayReadSize = 1024;  // what relay clients send is read and thrown away
// After an accept that failed for want of resources (no descriptor left), the listening
// socket is not watched for this many timer ticks: its queue stays readable, and watching
// it would only repeat the failure as fast as the loop turns.
constexpr int kRelayAcceptPauseTicks = 10;

using ClientAddress = std::array<char, kClientAddressSize>;

// A reader of the shared history, fed as far as its socket takes: a relay client, or a
// push target's connection.
struct HistoryReader {
    SOCKET socket = INVALID_SOCKET;
    uint64_t position = 0;        // stream bytes its socket has taken
    bool write_watched = false;   // its socket was full: the rest goes on its write event
    uint64_t first_position = 0;  // where its connection began in the stream
    int64_t connected_at_s = 0;   // calendar seconds
    uint64_t most_behind = 0;     // the farthest it has been behind the head
};

// A new reader of the connection `s`, starting at the stream's head `head`.
HistoryReader history_reader_at(SOCKET s, uint64_t head, int64_t now_s);
// Bytes its connection has taken, and how far it is behind the stream's head now.
uint64_t reader_bytes_sent(const HistoryReader& reader);
uint64_t reader_behind(const HistoryReader& reader, uint64_t head);
// Keeps the farthest behind: called whenever the head moves past a reader.
void reader_note_behind(HistoryReader& reader, uint64_t head);

struct RelayClient {
    HistoryReader reader;     // in use when its socket is not INVALID_SOCKET
    ClientAddress address{};  // as ip_format writes it; live when not empty
    IpAddress peer{};
    uint16_t port = 0;  // the client's own port
};

// The last reader the relay gave up on: left more than the history behind, or its socket
// failed.
struct RelayCut {
    ClientAddress address{};  // a push target's host, cut to fit
    uint16_t port = 0;
    int64_t at_s = 0;     // calendar seconds; 0: none yet
    bool behind = false;  // else its socket failed
};

// How the relay's start went: listening, or the step that failed.
enum class RelayStart {
    not_started,
    listening,
    address_invalid,  // the listening address is no numeric IP address
    socket_failed,
    bind_failed,
    listen_failed,
};

// Why a client was closed at accept, before it got a byte.
enum class RelayRefusal { not_allowed, over_share, full };
constexpr int kRelayRefusals = 3;
struct RelayRefusals {
    std::array<uint64_t, kRelayRefusals> counts{};  // by RelayRefusal
    ClientAddress last{};                           // the last refused client's address
    RelayRefusal last_cause = RelayRefusal::full;
};

struct RelayServer {
    SOCKET listener = INVALID_SOCKET;
    RelayStart start = RelayStart::not_started;
    int start_error = 0;     // the platform's error code of the step that failed
    bool ipv4_only = false;  // listening everywhere, but the host has no IPv6
    std::array<RelayClient, kRelaySlots> clients;
    // Slots from this one on are free: a chunk visits only the slots before it. UI thread.
    int slots_used = 0;
    StreamHistory history;
    // Who is let in: the allow-list, and the slots one address may hold. Set before the
    // start; the share may change while it runs. UI thread.
    IpAllowList allow;
    int share = kRelaySlots;
    RelayRefusals refused;  // UI thread
    // Readers (relay clients and push targets) cut for being more than the history behind,
    // and the last reader given up on for any cause. UI thread.
    uint64_t cut_total = 0;
    RelayCut last_cut;
    int accept_paused_ticks = 0;  // while above 0, the listening socket is not watched
    int64_t now_s = 0;            // calendar seconds as of the last tick: when clients come and go
    // Addresses are written on the UI thread and read by status refreshes on both threads.
    mutable std::mutex address_lock;
};

// Allocates the stream history; called once when the station is made.
void relay_init(RelayServer& relay);

// Each call that changes the client table says so in its result: the caller refreshes
// the status lines.

// Listens on `address` and `port`. An empty address (or "::") is every interface: one
// IPv6 socket that takes IPv4 peers too, or IPv4 alone on a host without IPv6
// (`ipv4_only`). Returns false when it gave up without anything to show (no address, or
// bind or listen failed); the program then runs on without a server, and `start` with
// `start_error` say why.
bool relay_start(RelayServer& relay, std::string_view address, uint16_t port);
// What a failed start says, in English: "bind: Address already in use".
void relay_start_error_text(const RelayServer& relay, std::span<char> text);
// The listening socket's notification: accepts into the first free slot. A client the
// allow-list does not admit, one whose address holds its share of slots already, and
// one for whom no slot is free are closed at once and counted in `refused`. A
// notification with an error stops accepting. Returns whether a client was listed.
bool relay_accept(RelayServer& relay, int error);
// A client's notification: reads are discarded, a close frees the slot, a write event
// sends the client what it has not taken yet. Returns whether a client left.
bool relay_client_event(RelayServer& relay, SOCKET s, unsigned event);
// Adds one source chunk to the history and sends every live client what it has not
// taken yet, as far as its socket takes it; closes clients the history has left behind.
// Returns how many clients were closed.
int relay_fan_out(RelayServer& relay, std::span<const char> chunk);
// Timer tick, with the calendar time: watches the listening socket again once an accept
// pause is over. UI thread.
void relay_tick(RelayServer& relay, int64_t now_s);
// Feeds a reader that is no relay client (a push target's connection, watched for
// `role`): sends what its socket takes from `reader.position` on, and asks for the write
// event while some is left. Returns false when the history no longer holds what the
// reader needs (it fell too far behind) or its socket failed; the caller closes it.
bool relay_feed_reader(RelayServer& relay, HistoryReader& reader, SocketRole role);
// Keeps the record of a reader the relay gave up on (`behind`: more than the history).
void relay_note_cut(RelayServer& relay, std::string_view address, uint16_t port, bool behind);

// Closes every client and then the listening socket.
void relay_shutdown(RelayServer& relay);
// The figures of the live clients in slot order; returns how many. UI thread.
int relay_copy_clients(const RelayServer& relay, std::span<RelayClient, kRelaySlots> clients);
// Live clients (a non-empty address), for tests and status.
int relay_live_clients(const RelayServer& relay);
// Copies the live clients' addresses in slot order; returns how many. Either thread.
int relay_copy_addresses(const RelayServer& relay, std::span<ClientAddress, kRelaySlots> addresses);
