// The core's front-end functions for the Linux console program.
#include "frontends/console/console_frontend.h"

#include <cstring>
#include <ctime>

#include "base/utc_time.h"
#include "base/utf8_text.h"
#include "display/display_surface.h"
#include "net/socket_watch.h"
#include "station/station_frontend.h"

namespace {

// Logs the line or the summary, as the filter's verdict says.
void log_verdict(ConsoleFrontEnd& front, QuietVerdict verdict, std::span<const char> line,
                 std::span<const char> summary) {
    switch (verdict) {
        case QuietVerdict::log_text:
            // A line that went away (the consumer link off) has nothing to say.
            if (line[0] != '\0')
                console_log(front.log, line.data());
            break;
        case QuietVerdict::log_summary:
            console_log(front.log, summary.data());
            break;
        case QuietVerdict::quiet:
            break;
    }
}

// Logs a change of `line`, as its quiet log says.
void log_if_changed(ConsoleFrontEnd& front, std::span<const char> line, QuietLog& quiet,
                    int64_t now_s) {
    std::array<char, kQuietTextSize> summary;
    log_verdict(front, quiet_log_take(quiet, line.data(), now_s, summary), line, summary);
}

}  // namespace

ConsoleFrontEnd& console() {
    static ConsoleFrontEnd front;
    return front;
}

void console_log(std::FILE* log, const char* text) {
    std::array<char, kServerLineSize * 3> utf8;
    size_t length = utf8_from_cp1251(text, utf8);
    while (length > 0 && utf8[length - 1] == ' ')
        utf8[--length] = '\0';  // trailing blanks
    console_log_as_is(log, utf8.data());
}

void console_log_as_is(std::FILE* log, const char* text) {
    UtcTime utc = utc_time_of(static_cast<int64_t>(std::time(nullptr)));
    std::fprintf(log, "%04d-%02d-%02d %02d:%02d:%02d UTC  %s\n", utc.year, utc.month, utc.day,
                 utc.hour, utc.minute, utc.second, text);
    std::fflush(log);
}

void console_status_tick(ConsoleFrontEnd& front, int64_t now_s) {
    std::lock_guard guard(front.log_lock);
    std::array<char, kQuietTextSize> summary;
    log_verdict(front, change_run_tick(front.quiet_server, now_s, summary), {}, summary);
    if (front.station == nullptr)
        return;
    const RelayRefusals& refused = station_relay_refusals(*front.station);
    static_assert(kRefusalCauses == kRelayRefusals);
    if (refusal_log_take(front.refusals, refused.counts, refused.last.data(), now_s, summary))
        console_log(front.log, summary.data());
}

void frontend_display_line_read(int line, std::span<char> text) {
    text_copy(text, text_view(console().display_lines[static_cast<size_t>(line)]));
}

void frontend_display_line_write(int line, const char* text) {
    text_copy(console().display_lines[static_cast<size_t>(line)], text);
}

bool frontend_watch_socket(SOCKET s, SocketRole role, unsigned events) {
    return poll_loop_watch(console().loop, s, role, events);
}

void frontend_unwatch_socket(SOCKET s) {
    poll_loop_unwatch(console().loop, s);
}

bool frontend_serial_wake() {
    poll_loop_wake(console().loop);
    return true;
}

void frontend_status_changed() {
    ConsoleFrontEnd& front = console();
    if (front.station == nullptr)
        return;
    if (!front.log_status) {
        front.status_changed = true;
        poll_loop_wake(front.loop);
        return;
    }
    std::lock_guard guard(front.log_lock);
    station_status_texts(*front.station, front.texts);
    int64_t now_s = static_cast<int64_t>(std::time(nullptr));
    std::array<char, kQuietTextSize> summary;
    log_verdict(front,
                change_run_take(front.quiet_server, front.texts.server_line.data(), now_s, summary),
                front.texts.server_line, summary);
    log_if_changed(front, front.texts.client_line, front.quiet_client, now_s);
    log_if_changed(front, front.texts.consumer_line, front.quiet_consumer, now_s);
    for (size_t i = 0; i < front.quiet_push.size(); ++i)
        log_if_changed(front, front.texts.push_target_lines[i], front.quiet_push[i], now_s);
}

void frontend_message_box(const char* text, const char* caption) {
    std::array<char, 1024> utf8_text;
    std::array<char, 256> utf8_caption;
    utf8_from_cp1251(text, utf8_text);
    utf8_from_cp1251(caption, utf8_caption);
    std::fprintf(stderr, "qalmor: %s: %s\n", utf8_caption.data(), utf8_text.data());
}
