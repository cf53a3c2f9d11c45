#include "net/serial_link.h"

#include <algorithm>
#include <cstring>

#include "net/link_texts.h"
#include "net/speed_hunt.h"

namespace {

// Link status texts in Windows-1251.
constexpr char kTextTrying[] =  // "Идет установление связи, проба %d бод"
    "\xC8\xE4\xE5\xF2 \xF3\xF1\xF2\xE0\xED\xEE\xE2\xEB\xE5\xED\xE8\xE5 \xF1\xE2\xFF\xE7\xE8, "
    "\xEF\xF0\xEE\xE1\xE0 %d \xE1\xEE\xE4";
constexpr char kTextConnected[] =  // "Соединение %d бод"
    "\xD1\xEE\xE5\xE4\xE8\xED\xE5\xED\xE8\xE5 %d \xE1\xEE\xE4";
constexpr char kTextLostSync[] =  // "Соединение %d бод, нет кадров: проверьте скорость и
                                  // бинарный режим"
    "\xD1\xEE\xE5\xE4\xE8\xED\xE5\xED\xE8\xE5 %d \xE1\xEE\xE4, \xED\xE5\xF2 "
    "\xEA\xE0\xE4\xF0\xEE\xE2: \xEF\xF0\xEE\xE2\xE5\xF0\xFC\xF2\xE5 "
    "\xF1\xEA\xEE\xF0\xEE\xF1\xF2\xFC \xE8 \xE1\xE8\xED\xE0\xF0\xED\xFB\xE9 \xF0\xE5\xE6\xE8\xEC";
constexpr char kTextMissing[] =  // "Ошибка: нет такого порта"
    "\xCE\xF8\xE8\xE1\xEA\xE0: \xED\xE5\xF2 \xF2\xE0\xEA\xEE\xE3\xEE \xEF\xEE\xF0\xF2\xE0";
constexpr char kTextBusy[] =  // "Ошибка: порт занят"
    "\xCE\xF8\xE8\xE1\xEA\xE0: \xEF\xEE\xF0\xF2 \xE7\xE0\xED\xFF\xF2";
constexpr char kTextDenied[] =  // "Ошибка: нет доступа к порту"
    "\xCE\xF8\xE8\xE1\xEA\xE0: \xED\xE5\xF2 \xE4\xEE\xF1\xF2\xF3\xEF\xE0 \xEA "
    "\xEF\xEE\xF0\xF2\xF3";
constexpr char kTextNotSerial[] =  // "Ошибка: не последовательный порт"
    "\xCE\xF8\xE8\xE1\xEA\xE0: \xED\xE5 "
    "\xEF\xEE\xF1\xEB\xE5\xE4\xEE\xE2\xE0\xF2\xE5\xEB\xFC\xED\xFB\xE9 \xEF\xEE\xF0\xF2";
constexpr char kTextSpeedRefused[] =  // "Ошибка: скорость %d не принята"
    "\xCE\xF8\xE8\xE1\xEA\xE0: \xF1\xEA\xEE\xF0\xEE\xF1\xF2\xFC %d \xED\xE5 "
    "\xEF\xF0\xE8\xED\xFF\xF2\xE0";
constexpr char kTextNameTooLong[] =  // "Ошибка: слишком длинное имя порта"
    "\xCE\xF8\xE8\xE1\xEA\xE0: \xF1\xEB\xE8\xF8\xEA\xEE\xEC \xE4\xEB\xE8\xED\xED\xEE\xE5 "
    "\xE8\xEC\xFF \xEF\xEE\xF0\xF2\xE0";
constexpr char kTextOpenFailed[] =  // "Ошибка открытия порта"
    "\xCE\xF8\xE8\xE1\xEA\xE0 \xEE\xF2\xEA\xF0\xFB\xF2\xE8\xFF \xEF\xEE\xF0\xF2\xE0";

void report_status(const SerialLink& link) {
    link_report_status(link.reports);
}

// What a failed open shows.
void format_open_error(Text256& text, SerialOpen why, int32_t speed) {
    switch (why) {
        case SerialOpen::ok:
            text[0] = '\0';
            break;
        case SerialOpen::name_too_long:
            text_copy(text, kTextNameTooLong);
            break;
        case SerialOpen::missing:
            text_copy(text, kTextMissing);
            break;
        case SerialOpen::busy:
            text_copy(text, kTextBusy);
            break;
        case SerialOpen::denied:
            text_copy(text, kTextDenied);
            break;
        case SerialOpen::not_serial:
            text_copy(text, kTextNotSerial);
            break;
        case SerialOpen::speed_refused:
            text_format(text, kTextSpeedRefused, static_cast<int>(speed));
            break;
        case SerialOpen::failed:
            text_copy(text, kTextOpenFailed);
            break;
    }
}

// One session of the port: what the reader knows while it holds it open.
struct Session {
    SerialLink& link;
    LinkTable& table;
    SerialPort port;
    SpeedHunt hunt;
    uint32_t drops_before = 0;
    uint32_t config_serial = 0;
};

// Shows the session's state in the source slot; false once the UI thread has dropped
// the link, which ends the session.
bool show(Session& session, int32_t state, const char* format, int32_t speed) {
    Text256 text;
    text_format(text, format, static_cast<int>(speed));
    bool current = link_set_unless_dropped(session.table, LINK_SOURCE, session.drops_before, state,
                                           text.data());
    if (current && state == LINK_CONNECTED)
        link_report_connected(session.link.reports, LINK_SOURCE);
    report_status(session.link);
    return current;
}

// Waits `pause`, or less when new settings or a stop come.
void pause_for(SerialLink& link, std::chrono::milliseconds pause, uint32_t config_serial) {
    std::unique_lock guard(link.config_lock);
    link.config_wake.wait_for(guard, pause, [&] {
        return !worker_running(link.worker) || link.config_serial.load() != config_serial;
    });
}

// Whether the session is still the source: no stop, no new settings, no drop.
bool session_current(const Session& session) {
    return worker_running(session.link.worker) &&
           session.link.config_serial.load() == session.config_serial &&
           link_drops(session.table, LINK_SOURCE) == session.drops_before;
}

// Wakes the UI thread unless a wake is already on its way. A wake that could not be
// delivered is not on its way: the next bytes try again.
void wake_ui(SerialLink& link) {
    if (byte_ring_wake_needed(link.ring) && !frontend_serial_wake())
        byte_ring_wake_lost(link.ring);
}

// Puts bytes in the ring, waiting while it is full: the driver's queue holds what comes
// in meanwhile. False when the session ended while it waited.
bool ring_put(Session& session, std::span<const char> bytes) {
    SerialLink& link = session.link;
    while (!bytes.empty()) {
        if (!session_current(session))
            return false;
        size_t put = byte_ring_put(link.ring, bytes);
        wake_ui(link);
        if (put == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        bytes = bytes.subspan(put);
    }
    return true;
}

// Moves the hunt on from a speed the driver refused, to the next candidate it has not
// refused since the port was opened. False, with the refusal shown, when there is none
// (or the speed was a fixed one).
bool skip_refused_speed(Session& session) {
    int32_t refused = session.hunt.speed;
    if (speed_hunt_refused(session.hunt, worker_now_ms()) == HuntVerdict::try_speed)
        return true;
    Text256 text;
    format_open_error(text, SerialOpen::speed_refused, refused);
    show(session, LINK_FAILED, text.data(), 0);
    return false;
}

// Sets the hunt's new candidate on the port, passing over those the driver refuses.
// False when the session is to end.
bool try_speed(Session& session) {
    while (serial_set_speed(session.port, session.hunt.speed) != SerialOpen::ok) {
        if (!skip_refused_speed(session))
            return false;
    }
    return show(session, LINK_CLOSED, kTextTrying, session.hunt.speed);
}

// Handles one chunk read from the port; false when the session is to end.
bool take_chunk(Session& session, std::span<const char> chunk) {
    size_t from = 0;
    bool was_locked = session.hunt.locked;
    HuntVerdict verdict =
        speed_hunt_feed(session.hunt, chunk, session.link.binary.load(), worker_now_ms(), from);
    int32_t speed = session.hunt.speed;
    switch (verdict) {
        case HuntVerdict::try_speed:  // an automatic speed lost sync: hunt again
            return try_speed(session);
        case HuntVerdict::accepted:
            session.link.found_speed = speed;
            if (!show(session, LINK_CONNECTED, kTextConnected, speed))
                return false;
            return ring_put(session, chunk.subspan(from));
        case HuntVerdict::lost_sync:
            if (!show(session, LINK_CONNECTED, kTextLostSync, speed))
                return false;
            break;
        case HuntVerdict::sync_back:
            if (!show(session, LINK_CONNECTED, kTextConnected, speed))
                return false;
            break;
        case HuntVerdict::keep:
            break;
    }
    return !was_locked || ring_put(session, chunk);
}

// Reads until the port fails, the link is dropped, the settings change or a stop.
void read_port(Session& session) {
    SerialLink& link = session.link;
    while (session_current(session)) {
        int got = serial_read(session.port, link.read_buffer.data(), link.read_buffer.size(),
                              kSerialReadWaitMs);
        if (got < 0) {
            // Unplugged: shown as a drop, and opened again after the pause. The reader
            // closes only its own port: the slot's socket, if any, is not its to close.
            show(session, LINK_CLOSED, kLinkTextDropped, 0);
            return;
        }
        if (speed_hunt_tick(session.hunt, worker_now_ms()) == HuntVerdict::try_speed) {
            if (!try_speed(session))
                return;
            continue;  // what was read belongs to the old speed
        }
        if (got > 0 && !take_chunk(session, std::span<const char>(link.read_buffer.data(),
                                                                  static_cast<size_t>(got))))
            return;
    }
}

// Opens the port at the hunt's first speed, passing over speeds the driver refuses while
// the speed is automatic.
SerialOpen open_port(Session& session, const Text256& name) {
    SerialOpen opened = serial_open(session.port, name.data(), session.hunt.speed);
    while (opened == SerialOpen::speed_refused && session.hunt.fixed_speed == 0 &&
           speed_hunt_refused(session.hunt, worker_now_ms()) == HuntVerdict::try_speed)
        opened = serial_open(session.port, name.data(), session.hunt.speed);
    return opened;
}

// Opens the port, reads it while it lasts, and closes it.
void run_session(SerialLink& link, LinkTable& table, const Text256& name, int32_t speed,
                 uint32_t config_serial) {
    Session session{link, table, {}, {}, link_drops(table, LINK_SOURCE), config_serial};
    show(session, LINK_CLOSED, kLinkTextConnecting, 0);
    speed_hunt_start(session.hunt, speed, link.found_speed, worker_now_ms());
    SerialOpen opened = open_port(session, name);
    if (opened != SerialOpen::ok) {
        Text256 text;
        format_open_error(text, opened, session.hunt.speed);
        show(session, LINK_FAILED, text.data(), 0);
        return;
    }
    bool shown = session.hunt.locked ? show(session, LINK_CONNECTED, kTextConnected, speed)
                                     : show(session, LINK_CLOSED, kTextTrying, session.hunt.speed);
    if (shown)
        read_port(session);
    serial_close(session.port);
}

void reader_run(LinkTable& table, SerialLink& link) {
    uint32_t last_serial = link.config_serial.load();
    while (worker_running(link.worker)) {
        Text256 name;
        int32_t speed;
        uint32_t config_serial;
        {
            std::lock_guard guard(link.config_lock);
            name = link.port_name;
            speed = link.speed;
            config_serial = link.config_serial.load();
        }
        // Bytes of a port that is no longer the source are not taken any more, even those
        // put in the ring just before the change was seen.
        if (config_serial != last_serial)
            byte_ring_mark_stale(link.ring);
        last_serial = config_serial;
        if (name[0] == '\0') {
            pause_for(link, std::chrono::hours(1), config_serial);
            continue;
        }
        run_session(link, table, name, speed, config_serial);
        if (link.config_serial.load() == config_serial)
            pause_for(link, link.retry_pause, config_serial);
    }
}

}  // namespace

void serial_link_configure(SerialLink& link, std::string_view port, int32_t speed) {
    {
        std::lock_guard guard(link.config_lock);
        text_copy(link.port_name, port);
        link.speed = speed > 0 ? speed : 0;
        link.found_speed = 0;
        link.config_serial.fetch_add(1);
    }
    link.config_wake.notify_all();
}

bool serial_link_active(SerialLink& link) {
    std::lock_guard guard(link.config_lock);
    return link.port_name[0] != '\0';
}

void serial_link_port(SerialLink& link, Text256& port) {
    std::lock_guard guard(link.config_lock);
    port = link.port_name;
}

void serial_link_start(LinkTable& table, SerialLink& link) {
    if (link.worker.thread.joinable())
        return;
    worker_start(link.worker, [&table, &link] { reader_run(table, link); });
}

bool serial_link_stop(SerialLink& link, std::chrono::milliseconds wait) {
    {
        std::lock_guard guard(link.config_lock);
        worker_request_stop(link.worker);
    }
    link.config_wake.notify_all();
    return worker_join(link.worker, wait);
}

void serial_link_woken(SerialLink& link) {
    byte_ring_woken(link.ring);
}

void serial_link_discard(SerialLink& link) {
    byte_ring_discard(link.ring);
}

size_t serial_link_take(SerialLink& link, std::span<char> out) {
    return byte_ring_take(link.ring, out);
}
