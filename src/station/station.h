// The station: all of the program's state, one instance for the whole run, and the
// entry points a front end calls.
//
// The front end owns one station; tests make their own. The front end turns its
// platform's events (timer, socket notifications, keys, commands) into these calls.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "base/file_system.h"
#include "base/utc_time.h"
#include "decode/framer.h"
#include "display/clock_annotation.h"
#include "display/display_ring.h"
#include "net/consumer.h"
#include "net/link_table.h"
#include "net/links.h"
#include "net/push.h"
#include "net/relay.h"
#include "net/serial_link.h"
#include "net/socket_watch.h"
#include "settings/allow_list.h"
#include "settings/settings.h"
#include "station/clock_watch.h"
#include "station/consumer_feed.h"
#include "station/dialog_state.h"
#include "station/push_feed.h"
#include "station/source.h"
#include "station/station_frontend.h"
#include "station/status.h"

constexpr int kTimerPeriodMs = 100;
// The consumer link's greeting: five short lines and the receiver's name.
constexpr int kGreetingSize = kTextSize + 128;

int64_t system_monotonic_ns();

// The clocks the core reads, replaceable so tests pin them.
struct Clocks {
    int64_t (*calendar_s)();    // seconds of calendar time, as time() gives them
    void (*utc)(UtcTime& now);  // the current UTC time
    // Nanoseconds of a clock that never steps (std::chrono::steady_clock): when each
    // chunk arrived, for the receiver-clock check.
    int64_t (*monotonic_ns)() = system_monotonic_ns;
};
Clocks system_clocks();

struct Station {
    std::array<char, kFilePathSize> config_dir{};  // settings files and "connect.list"
    Settings settings;
    LinkTable links;
    ClockAnnotation clock;
    Framer framer;
    DisplayRing ring;
    RelayServer relay;
    StatusBoard status;
    Connector connector;  // keeps the source link open
    ConsumerLink consumer;
    Connector consumer_connector;  // keeps the consumer link open while it is on
    SerialLink serial;             // the source while a serial port is configured
    PushTargets pushes;            // the servers the relay dials out to
    AllowListLoad allow_load;      // what reading "allow.list" found wrong
    // What each push target's slot is set to (an empty text: free), and the slot of each
    // target in the order the targets were given.
    std::array<PushLine, kPushTargets> push_set{};
    std::array<int, kPushTargets> push_order{};
    int push_count = 0;
    // The consumer's greeting, built on the UI thread, sent by the consumer's connector.
    std::mutex greeting_lock;
    std::array<char, kGreetingSize> greeting{};
    // Ticks since the last decoded line or new connection; the connector thread zeroes it.
    std::atomic<int32_t> silence_ticks{0};
    Clocks clocks = system_clocks();
    std::array<TabCycle, kDialogCount> tab_cycles{};  // per dialog template
    ClockWatch clock_watch;
    std::array<char, kSourceReceiveSize + 1> receive_buffer{};
};

// Makes a station whose settings files live in `config_dir` ("" or "." for the current
// directory), reading the time from `clocks`. Nothing is read or started yet.
std::unique_ptr<Station> station_create(const char* config_dir, Clocks clocks = system_clocks());

// The path of a file in the config directory; false when it does not fit.
bool station_path(const Station& station, const char* file, std::span<char> path);

// Reads every settings file. Before the window exists.
void station_load_settings(Station& station);
// Reads every settings file of `dir` into the settings, the link table and the clock.
// Returns whether the consumer link is on: its file's line 2 names a host.
bool station_startup_load(const char* dir, Settings& settings, LinkTable& links,
                          ClockAnnotation& clock);
// Winsock, both connector threads and the relay server, in that order.
void station_start_network(Station& station);
// The relay server alone: listens on the relay port and shows the status.
void station_start_relay(Station& station);
// Relay shutdown, both connectors' stop, Winsock clean-up, in that order. Returns false
// when a link's thread did not end in time (inside a name lookup or a driver call that
// does not return): it is left running and still uses the station, which must then never
// be destroyed; the process is to end without it.
bool station_stop_network(Station& station);

// Timer tick: the silence watchdog, then the display tick, then the clock check, then the
// status refresh the relay asked for since the last tick.
void station_timer_tick(Station& station);
// A socket notification for the handler of `role`. UI thread.
void station_socket_event(Station& station, SocketRole role, SOCKET s, unsigned event, int error);

// The serial reader has bytes waiting: takes them all and sends each chunk down the
// source's road, as for a TCP chunk. UI thread.
void station_serial_ready(Station& station);
// Makes `port` at `speed` (0: automatic) the source from now on; an empty port makes the
// TCP link the source again. Settings files are not touched. UI thread.
void station_use_serial(Station& station, std::string_view port, int32_t speed);

// Menu command 113: flips binary mode and saves it; returns the new mode.
bool station_toggle_binary_mode(Station& station);
// Sets binary mode for this run only, leaving "BinarComOn.ini" as it is.
void station_override_binary_mode(Station& station, bool binary);
bool station_binary_mode(const Station& station);
// Whatever follows the settings is brought up to date after any of them may have
// changed: the consumer link's greeting. UI thread.
void station_settings_changed(Station& station);
// How long the connectors wait between attempts; tests shorten it.
void station_set_retry_pause(Station& station, std::chrono::milliseconds pause);
// Menu command 118 and key "5": returns the new relative-time mode.
bool station_toggle_relative_time(Station& station);
// A typed character: "4" flips the display, "5" relative time; others do nothing.
void station_key(Station& station, char key);

// ---- The receiver's clock ----

// The timer frequency: saved in "frequency.ini", set on the receiver-clock annotation
// (relative times start from a new reference), and told in the consumer link's greeting.
void station_set_timer_frequency(Station& station, int32_t hz);
// The same but for the file, which the frequency dialog's OK writes as typed.
void station_use_timer_frequency(Station& station, int32_t hz);
// The newest judgement of the receiver's clock, for the front ends.
const ClockWatch& station_clock_watch(const Station& station);
// Whether a common frequency fits the measurement and the setting is another: what the
// clock window's button offers.
bool station_clock_offers_common(const Station& station);
// Takes that frequency as the timer frequency, as the frequency dialog's OK would, and
// judges against it at once. False when none is offered.
bool station_clock_apply_common(Station& station);

// ---- What the front ends show ----

void station_status_texts(Station& station, StatusTexts& texts);
LinkSlot station_link(const Station& station, int slot);
uint16_t station_relay_port(const Station& station);
// Whether the relay server listens; when not, `why` says why ("bind: ...").
bool station_relay_listening(const Station& station, std::span<char> why);
// The live relay clients' addresses in slot order; returns how many.
int station_relay_clients(const Station& station, std::span<ClientAddress, kRelaySlots> clients);
// Who may reach the relay, as it was set and as it turned out.
struct RelayAccessFigures {
    Text256 address{};       // where it listens; empty: every interface
    bool ipv4_only = false;  // every interface, but the host has no IPv6
    int share = 0;           // the slots one address may hold
    bool restricts = false;  // "allow.list" names networks (or tried to)
    int networks = 0;
    AllowListLoad allow;  // what reading "allow.list" found wrong
};
RelayAccessFigures station_relay_access(const Station& station);
// The clients the relay refused at accept, by cause. UI thread.
const RelayRefusals& station_relay_refusals(const Station& station);

// One relay client as the status shows it.
struct ReaderFigures {
    ClientAddress address{};
    uint16_t port = 0;
    int64_t connected_since_s = 0;  // calendar seconds
    uint64_t bytes_sent = 0;
    uint64_t behind_bytes = 0;  // how far it is behind the stream's head now
    uint64_t most_behind_bytes = 0;
};
// The live relay clients in slot order; returns how many. UI thread.
int station_relay_readers(const Station& station, std::span<ReaderFigures, kRelaySlots> readers);
// Readers (relay clients and push targets) cut for being more than the history behind,
// and the last reader the relay gave up on. UI thread.
uint64_t station_relay_cut_total(const Station& station);
const RelayCut& station_relay_last_cut(const Station& station);
// The serial source as "initcom.ini" gives it: an empty port means the TCP source.
void station_serial_setting(const Station& station, Text256& port, int32_t& speed);
