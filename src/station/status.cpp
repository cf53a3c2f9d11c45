#include "station/status.h"

#include <cstdio>
#include <cstring>

#include "base/file_system.h"
#include "base/text.h"
#include "settings/file_replace.h"
#include "station/station.h"
#include "station/station_frontend.h"

namespace {

// "Сервер: %5d " in Windows-1251.
constexpr char kServerLineFormat[] = "\xD1\xE5\xF0\xE2\xE5\xF0: %5d ";
// "Клиент: %5d  %s"
constexpr char kClientLineFormat[] = "\xCA\xEB\xE8\xE5\xED\xF2: %5d  %s";
// "Клиент: %5s  %s": the serial source's port name in place of the port number.
constexpr char kSerialClientLineFormat[] = "\xCA\xEB\xE8\xE5\xED\xF2: %5s  %s";
// About two lines a second while the receiver is unreachable: past this size the log
// becomes "connect.list.1" and a new one begins.
constexpr int64_t kClientLogLimitBytes = int64_t{16} << 20;
// "Потребитель: %5d  %s"
constexpr char kConsumerLineFormat[] = "\xCF\xEE\xF2\xF0\xE5\xE1\xE8\xF2\xE5\xEB\xFC: %5d  %s";
// ", повтор через %d с": after the consumer's link text while it waits to try again.
constexpr char kRetryFormat[] = ", \xEF\xEE\xE2\xF2\xEE\xF0 \xF7\xE5\xF0\xE5\xE7 %d \xF1";
// "Передача: %d из %d соединены"
constexpr char kPushSummaryFormat[] =
    "\xCF\xE5\xF0\xE5\xE4\xE0\xF7\xE0: %d \xE8\xE7 %d \xF1\xEE\xE5\xE4\xE8\xED\xE5\xED\xFB";
// "Передача: %s %d  %s": a push target's host, port and status text.
constexpr char kPushTargetFormat[] = "\xCF\xE5\xF0\xE5\xE4\xE0\xF7\xE0: %s %d  %s";
// "Передача: %s  %s": a line that is no target, and what is wrong with it.
constexpr char kPushBadLineFormat[] = "\xCF\xE5\xF0\xE5\xE4\xE0\xF7\xE0: %s  %s";

// A link's port and status text by `format`.
void format_link_line(std::span<char> line, const char* format, const LinkSlot& link) {
    text_format(line, format, static_cast<int>(link.port), link.status_text.data());
}

// Opens the client log for one line, with its time stamp written; nullptr when it
// cannot be opened. The log is a Windows text file everywhere: lines end in CR LF.
std::FILE* open_client_log_line(Station& station) {
    std::array<char, kFilePathSize> path;
    std::FILE* log = station_path(station, kClientLogFile, path)
                         ? file_append_rotating(path.data(), kClientLogLimitBytes)
                         : nullptr;
    if (log == nullptr)
        return nullptr;
    UtcTime now;
    station.clocks.utc(now);
    std::fprintf(log, "%02d/%02d/%02d %02d:%02d:%02d ", now.day, now.month, now.year, now.hour,
                 now.minute, now.second);
    return log;
}

// The server line, and the same clients on the client log line when it is open.
void build_server_line(Station& station, std::FILE* log) {
    std::array<ClientAddress, kRelaySlots> addresses;
    int live = relay_copy_addresses(station.relay, addresses);
    auto& server = station.status.server_line;
    text_format(server, kServerLineFormat, static_cast<int>(station.settings.relay_port.load()));
    size_t length = std::strlen(server.data());
    for (int i = 0; i < live; ++i) {
        const char* address = addresses[static_cast<size_t>(i)].data();
        if (log != nullptr)
            std::fprintf(log, i == 0 ? "|%s|" : "%s|", address);
        text_format(std::span(server).subspan(length), "%s ", address);
        length += std::strlen(server.data() + length);
    }
}

// Appends ", повтор через N с" while a backing-off connector waits to try again.
void append_retry(std::span<char> line, const Connector& connector) {
    status_append_retry(line, connector.retry_in_s.load());
}

// The push targets' summary line and one line a target, in the order they were given.
void build_push_lines(Station& station) {
    StatusBoard& board = station.status;
    int set = 0;
    int connected = 0;
    push_counts(station, set, connected);
    board.push_line[0] = '\0';
    if (set > 0)
        text_format(board.push_line, kPushSummaryFormat, connected, set);
    for (int j = 0; j < kPushTargets; ++j) {
        auto& line = board.push_target_lines[static_cast<size_t>(j)];
        line[0] = '\0';
        if (j >= station.push_count)
            continue;
        int target = station.push_order[static_cast<size_t>(j)];
        LinkSlot link = link_read(station.links, push_slot(target));
        if (link.port == 0) {
            text_format(line, kPushBadLineFormat, link.host.data(), link.status_text.data());
            continue;
        }
        text_format(line, kPushTargetFormat, link.host.data(), static_cast<int>(link.port),
                    link.status_text.data());
        append_retry(line, station.pushes.targets[static_cast<size_t>(target)].connector);
    }
}

}  // namespace

void status_refresh(Station& station) {
    {
        std::lock_guard board_guard(station.status.lock);
        std::FILE* log = open_client_log_line(station);
        build_server_line(station, log);
        if (log != nullptr) {
            std::fputs("\r\n", log);
            std::fclose(log);
        }
        Text256 serial_port;
        serial_link_port(station.serial, serial_port);
        if (serial_port[0] != '\0') {
            text_format(station.status.client_line, kSerialClientLineFormat, serial_port.data(),
                        link_read(station.links, LINK_SOURCE).status_text.data());
        } else {
            format_link_line(station.status.client_line, kClientLineFormat,
                             link_read(station.links, LINK_SOURCE));
        }
        if (feed_enabled(station)) {
            format_link_line(station.status.consumer_line, kConsumerLineFormat,
                             link_read(station.links, LINK_CONSUMER));
            append_retry(station.status.consumer_line, station.consumer_connector);
        } else {
            station.status.consumer_line[0] = '\0';
        }
        build_push_lines(station);
    }
    frontend_status_changed();
}

void status_refresh_soon(Station& station) {
    station.status.refresh_asked.store(true);
}

void status_refresh_if_asked(Station& station) {
    if (station.status.refresh_asked.exchange(false))
        status_refresh(station);
}

void status_board_read(StatusBoard& board, StatusTexts& texts) {
    std::lock_guard guard(board.lock);
    texts.server_line = board.server_line;
    texts.client_line = board.client_line;
    texts.consumer_line = board.consumer_line;
    texts.push_line = board.push_line;
    texts.push_target_lines = board.push_target_lines;
}

void status_append_retry(std::span<char> line, int retry_s) {
    size_t length = std::strlen(line.data());
    if (retry_s > 0)
        text_format(line.subspan(length), kRetryFormat, retry_s);
}
