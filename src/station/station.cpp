#include "station/station.h"

#include <chrono>
#include <ctime>

#include "base/text.h"

namespace {

constexpr char kTextWinsockError[] = "\xCE\xF8\xE8\xE1\xEA\xE0 WSAStartup";  // "Ошибка WSAStartup"

int64_t system_calendar_seconds() {
    return static_cast<int64_t>(std::time(nullptr));
}

void system_utc(UtcTime& now) {
    now = utc_time_of(system_calendar_seconds());
}

// How long shutdown waits for the connector thread: one pause and one connect slice,
// with room to spare.
constexpr auto kConnectorStopWait = std::chrono::milliseconds(3000);

// What the links report from either thread.
void on_link_status_changed(void* owner) {
    status_refresh(*static_cast<Station*>(owner));
}

void on_link_prepared(void* owner, int slot, SOCKET s) {
    if (slot == LINK_CONSUMER)
        feed_prepare(*static_cast<Station*>(owner), s);
}

void on_link_opened(void* owner, int slot, SOCKET s, uint32_t generation) {
    if (slot == LINK_CONSUMER)
        feed_greet(*static_cast<Station*>(owner), s, generation);
}

void on_link_connected(void* owner, int slot) {
    // A fresh source connection starts with the silence counter at 0. Only the source's:
    // a consumer that connects again and again must not keep the watchdog quiet.
    if (slot == LINK_SOURCE)
        static_cast<Station*>(owner)->silence_ticks.store(0);
}

}  // namespace

int64_t system_monotonic_ns() {
    auto now = std::chrono::steady_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::nanoseconds>(now).count();
}

Clocks system_clocks() {
    return {system_calendar_seconds, system_utc, system_monotonic_ns};
}

std::unique_ptr<Station> station_create(const char* config_dir, Clocks clocks) {
    auto station = std::make_unique<Station>();
    text_copy(station->config_dir, config_dir);
    station->clocks = clocks;
    relay_init(station->relay);
    consumer_init(station->consumer);
    LinkReports reports{station.get(), on_link_status_changed, on_link_prepared, on_link_opened,
                        on_link_connected};
    station->connector.reports = reports;
    station->serial.reports = reports;
    station->consumer_connector.reports = reports;
    station->consumer_connector.slot = LINK_CONSUMER;
    station->consumer_connector.enabled = false;
    // A processing server serves many stations: after a failure the consumer link waits
    // longer each time. The source is the operator's own receiver: tried every second.
    station->consumer_connector.backs_off = true;
    push_init(station->pushes, reports);
    return station;
}

bool station_path(const Station& station, const char* file, std::span<char> path) {
    return settings_path(station.config_dir.data(), file, path);
}

void station_load_settings(Station& station) {
    bool consumer_on = station_startup_load(station.config_dir.data(), station.settings,
                                            station.links, station.clock);
    station.consumer_connector.enabled = consumer_on;
    station_settings_changed(station);
    if (station.settings.serial_port[0] != '\0')
        station_use_serial(station, text_view(station.settings.serial_port),
                           station.settings.serial_speed);
    PushLines pushes;
    int count = push_lines_load(station.config_dir.data(), pushes);
    station_set_push_targets(station, pushes, count);
    station.allow_load = allow_list_load(station.config_dir.data(), station.relay.allow);
    station.relay.share = station.settings.relay_share;
}

bool station_startup_load(const char* dir, Settings& settings, LinkTable& links,
                          ClockAnnotation& clock) {
    StartupValues values;
    for (int slot = 0; slot < kLinkFileSlots; ++slot) {
        values.links[static_cast<size_t>(slot)].port = link_port(links, slot);
        link_host(links, slot, values.links[static_cast<size_t>(slot)].host);
    }
    settings_startup_load(dir, settings, values);
    for (int slot = 0; slot < kLinkFileSlots; ++slot) {
        const LinkAddress& address = values.links[static_cast<size_t>(slot)];
        link_set_port(links, slot, address.port);
        link_set_host(links, slot, text_view(address.host));
    }
    if (values.frequency_read)
        clock_set_frequency(clock, values.frequency_hz);
    // An empty or one-line file names no server: the link stays off.
    return values.links_named[LINK_CONSUMER];
}

void station_start_network(Station& station) {
    // On failure the program runs on, and every socket call fails.
    if (!sockets_start())
        frontend_message_box(kTextWinsockError, "Error");
    connector_start(station.links, station.connector);
    connector_start(station.links, station.consumer_connector);
    for (PushTarget& target : station.pushes.targets)
        connector_start(station.links, target.connector);
    serial_link_start(station.links, station.serial);
    if (kRelayServerMode)
        station_start_relay(station);
}

void station_start_relay(Station& station) {
    station.relay.now_s = station.clocks.calendar_s();
    if (relay_start(station.relay, text_view(station.settings.relay_address),
                    station.settings.relay_port.load()))
        status_refresh(station);
}

bool station_stop_network(Station& station) {
    if (kRelayServerMode) {
        relay_shutdown(station.relay);
    }
    // Every connector is asked at once, so shutdown waits for the slowest one only.
    connector_request_stop(station.connector);
    connector_request_stop(station.consumer_connector);
    for (PushTarget& target : station.pushes.targets)
        connector_request_stop(target.connector);
    bool ended = connector_stop(station.connector, kConnectorStopWait);
    ended = connector_stop(station.consumer_connector, kConnectorStopWait) && ended;
    for (PushTarget& target : station.pushes.targets)
        ended = connector_stop(target.connector, kConnectorStopWait) && ended;
    ended = serial_link_stop(station.serial, kConnectorStopWait) && ended;
    // Also closes the links' sockets, which nothing else closes at shutdown.
    socket_close(link_read(station.links, LINK_SOURCE).socket);
    socket_close(link_read(station.links, LINK_CONSUMER).socket);
    for (int i = 0; i < kPushTargets; ++i)
        socket_close(link_read(station.links, push_slot(i)).socket);
    sockets_stop();
    return ended;
}

void station_timer_tick(Station& station) {
    watchdog_step(station);
    ring_tick(station.ring);
    clock_watch_tick(station.clock_watch, station.clock.timer_frequency_hz,
                     station.clocks.monotonic_ns());
    relay_tick(station.relay, station.clocks.calendar_s());
    status_refresh_if_asked(station);
}

void station_socket_event(Station& station, SocketRole role, SOCKET s, unsigned event, int error) {
    switch (role) {
        case SocketRole::relay_listener:
            if (relay_accept(station.relay, error))
                status_refresh_soon(station);
            break;
        case SocketRole::relay_client:
            if (relay_client_event(station.relay, s, event))
                status_refresh_soon(station);
            break;
        case SocketRole::link_source:
            source_event(station, s, event);
            break;
        case SocketRole::link_consumer:
            feed_event(station, s, event);
            break;
        case SocketRole::push_target:
            push_event(station, s, event);
            break;
        // The upstream link is never opened while the relay server runs.
        case SocketRole::link_upstream:
            break;
    }
}

bool station_toggle_binary_mode(Station& station) {
    station.settings.binary_mode = station.settings.binary_mode != 0 ? 0 : 1;
    settings_save_binary_mode(station.config_dir.data(), station.settings.binary_mode);
    station_settings_changed(station);
    return station.settings.binary_mode != 0;
}

void station_override_binary_mode(Station& station, bool binary) {
    station.settings.binary_mode = binary ? 1 : 0;
    station_settings_changed(station);
}

bool station_binary_mode(const Station& station) {
    return station.settings.binary_mode != 0;
}

void station_settings_changed(Station& station) {
    feed_update_greeting(station);
    station.serial.binary.store(station.settings.binary_mode != 0);
}

void station_serial_ready(Station& station) {
    serial_link_woken(station.serial);
    auto buffer = std::span(station.receive_buffer).first(kSourceReceiveSize);
    for (size_t got; (got = serial_link_take(station.serial, buffer)) > 0;)
        source_chunk(station, buffer.first(got));
}

void station_use_serial(Station& station, std::string_view port, int32_t speed) {
    bool serial = !port.empty();
    // The old source is dropped before the new one is configured, so that the drop ends
    // the old one's session and never the new one's.
    station.connector.enabled = !serial;
    // Also ends a serial session that is still opening or hunting.
    station_restart_link(station, LINK_SOURCE);
    // What the old port left in the ring is not the new source's.
    serial_link_discard(station.serial);
    serial_link_configure(station.serial, port, speed);
    if (!serial)
        connector_wake(station.connector);
}

void station_set_retry_pause(Station& station, std::chrono::milliseconds pause) {
    station.connector.pause = pause;
    station.serial.retry_pause = pause;
    station.consumer_connector.pause = pause;
    for (PushTarget& target : station.pushes.targets)
        target.connector.pause = pause;
}

bool station_toggle_relative_time(Station& station) {
    return clock_toggle_relative_time(station.clock);
}

void station_key(Station& station, char key) {
    if (key == '4') {
        clock_toggle_display(station.clock);
    } else if (key == '5') {
        clock_toggle_relative_time(station.clock);
    }
}

void station_set_timer_frequency(Station& station, int32_t hz) {
    settings_save_number(station.config_dir.data(), kFrequencyFile, hz);
    station_use_timer_frequency(station, hz);
}

void station_use_timer_frequency(Station& station, int32_t hz) {
    clock_set_frequency(station.clock, hz);
    station_settings_changed(station);
}

const ClockWatch& station_clock_watch(const Station& station) {
    return station.clock_watch;
}

bool station_clock_offers_common(const Station& station) {
    return clock_watch_offered_hz(station.clock_watch, station.clock.timer_frequency_hz) != 0;
}

bool station_clock_apply_common(Station& station) {
    int64_t hz = clock_watch_offered_hz(station.clock_watch, station.clock.timer_frequency_hz);
    if (hz == 0)
        return false;
    station_set_timer_frequency(station, static_cast<int32_t>(hz));
    clock_watch_judge_soon(station.clock_watch);
    clock_watch_tick(station.clock_watch, station.clock.timer_frequency_hz,
                     station.clocks.monotonic_ns());
    return true;
}

void station_status_texts(Station& station, StatusTexts& texts) {
    status_board_read(station.status, texts);
}

LinkSlot station_link(const Station& station, int slot) {
    return link_read(station.links, slot);
}

uint16_t station_relay_port(const Station& station) {
    return station.settings.relay_port.load();
}

bool station_relay_listening(const Station& station, std::span<char> why) {
    RelayStart start = station.relay.start;
    if (start == RelayStart::listening || start == RelayStart::not_started)
        return true;
    relay_start_error_text(station.relay, why);
    return false;
}

int station_relay_clients(const Station& station, std::span<ClientAddress, kRelaySlots> clients) {
    return relay_copy_addresses(station.relay, clients);
}

RelayAccessFigures station_relay_access(const Station& station) {
    return {.address = station.settings.relay_address,
            .ipv4_only = station.relay.ipv4_only,
            .share = station.relay.share,
            .restricts = station.relay.allow.restricts,
            .networks = station.relay.allow.count,
            .allow = station.allow_load};
}

const RelayRefusals& station_relay_refusals(const Station& station) {
    return station.relay.refused;
}

int station_relay_readers(const Station& station, std::span<ReaderFigures, kRelaySlots> readers) {
    std::array<RelayClient, kRelaySlots> clients;
    int live = relay_copy_clients(station.relay, clients);
    uint64_t head = station.relay.history.head;
    for (int i = 0; i < live; ++i) {
        const RelayClient& client = clients[static_cast<size_t>(i)];
        readers[static_cast<size_t>(i)] = {.address = client.address,
                                           .port = client.port,
                                           .connected_since_s = client.reader.connected_at_s,
                                           .bytes_sent = reader_bytes_sent(client.reader),
                                           .behind_bytes = reader_behind(client.reader, head),
                                           .most_behind_bytes = client.reader.most_behind};
    }
    return live;
}

uint64_t station_relay_cut_total(const Station& station) {
    return station.relay.cut_total;
}

const RelayCut& station_relay_last_cut(const Station& station) {
    return station.relay.last_cut;
}

void station_serial_setting(const Station& station, Text256& port, int32_t& speed) {
    port = station.settings.serial_port;
    speed = station.settings.serial_speed;
}
