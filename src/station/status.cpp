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
            int retry_s = station.consumer_connector.retry_in_s.load();
            size_t length = std::strlen(station.status.consumer_line.data());
            if (retry_s > 0)
                text_format(std::span(station.status.consumer_line).subspan(length), kRetryFormat,
                            retry_s);
        } else {
            station.status.consumer_line[0] = '\0';
        }
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
}
