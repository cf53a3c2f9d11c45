#include "station/reader_rows.h"

#include <cstring>

#include "station/station.h"

namespace {

// "Клиенты ретрансляции: %d из %d"
constexpr char kClientsTitle[] =
    "\xCA\xEB\xE8\xE5\xED\xF2\xFB \xF0\xE5\xF2\xF0\xE0\xED\xF1\xEB\xFF\xF6\xE8\xE8: %d \xE8\xE7 "
    "%d";
// "Адрес, Порт, Подключен (UTC), Передано, байт, Отстает, байт, Макс. отставание"
constexpr char kClientColumns[] =
    "\xC0\xE4\xF0\xE5\xF1\t\xCF\xEE\xF0\xF2\t\xCF\xEE\xE4\xEA\xEB\xFE\xF7\xE5\xED (UTC)\t"
    "\xCF\xE5\xF0\xE5\xE4\xE0\xED\xEE, \xE1\xE0\xE9\xF2\t\xCE\xF2\xF1\xF2\xE0\xE5\xF2, "
    "\xE1\xE0\xE9\xF2\t\xCC\xE0\xEA\xF1. \xEE\xF2\xF1\xF2\xE0\xE2\xE0\xED\xE8\xE5";
// "Передача на серверы: %d"
constexpr char kPushTitle[] =
    "\xCF\xE5\xF0\xE5\xE4\xE0\xF7\xE0 \xED\xE0 \xF1\xE5\xF0\xE2\xE5\xF0\xFB: %d";
// The same columns with "Сервер" first and "Состояние" last.
constexpr char kPushColumns[] =
    "\xD1\xE5\xF0\xE2\xE5\xF0\t\xCF\xEE\xF0\xF2\t\xCF\xEE\xE4\xEA\xEB\xFE\xF7\xE5\xED (UTC)\t"
    "\xCF\xE5\xF0\xE5\xE4\xE0\xED\xEE, \xE1\xE0\xE9\xF2\t\xCE\xF2\xF1\xF2\xE0\xE5\xF2, "
    "\xE1\xE0\xE9\xF2\t\xCC\xE0\xEA\xF1. "
    "\xEE\xF2\xF1\xF2\xE0\xE2\xE0\xED\xE8\xE5\t\xD1\xEE\xF1\xF2\xEE\xFF\xED\xE8\xE5";
// "Отключено за отставание: %llu, последний отключенный: "
constexpr char kCutsFormat[] =
    "\xCE\xF2\xEA\xEB\xFE\xF7\xE5\xED\xEE \xE7\xE0 \xEE\xF2\xF1\xF2\xE0\xE2\xE0\xED\xE8\xE5: "
    "%llu, \xEF\xEE\xF1\xEB\xE5\xE4\xED\xE8\xE9 \xEE\xF2\xEA\xEB\xFE\xF7\xE5\xED\xED\xFB\xE9: ";
constexpr char kNone[] = "\xED\xE5\xF2";  // "нет"
// "%s %d в %s UTC, %s": who, when and why.
constexpr char kCutFormat[] = "%s %d \xE2 %s UTC, %s";
constexpr char kCutBehind[] = "\xEE\xF2\xF1\xF2\xE0\xEB \xEE\xF2 \xEF\xEE\xF2\xEE\xEA\xE0";
constexpr char kCutFailed[] = "\xEE\xF8\xE8\xE1\xEA\xE0 \xEF\xE5\xF0\xE5\xE4\xE0\xF7\xE8";
// "Отказано при подключении: не разрешен %llu, сверх доли адреса %llu, нет мест %llu"
constexpr char kRefusalsFormat[] =
    "\xCE\xF2\xEA\xE0\xE7\xE0\xED\xEE \xEF\xF0\xE8 \xEF\xEE\xE4\xEA\xEB\xFE\xF7\xE5\xED\xE8\xE8: "
    "\xED\xE5 \xF0\xE0\xE7\xF0\xE5\xF8\xE5\xED %llu, \xF1\xE2\xE5\xF0\xF5 \xE4\xEE\xEB\xE8 "
    "\xE0\xE4\xF0\xE5\xF1\xE0 %llu, \xED\xE5\xF2 \xEC\xE5\xF1\xF2 %llu";

using Count = unsigned long long;

// A calendar time as hh:mm:ss UTC, as "connect.list" and the service log give times;
// "-" for none.
std::array<char, 16> time_text(int64_t calendar_s) {
    std::array<char, 16> text{"-"};
    if (calendar_s != 0) {
        UtcTime at = utc_time_of(calendar_s);
        text_format(text, "%02d:%02d:%02d", at.hour, at.minute, at.second);
    }
    return text;
}

void client_row(const ReaderFigures& reader, ReaderRow& row) {
    text_format(row, "%s\t%d\t%s\t%llu\t%llu\t%llu", reader.address.data(),
                static_cast<int>(reader.port), time_text(reader.connected_since_s).data(),
                Count{reader.bytes_sent}, Count{reader.behind_bytes},
                Count{reader.most_behind_bytes});
}

void push_row(const PushFigures& target, ReaderRow& row) {
    text_format(row, "%s\t%d\t%s\t%llu\t%llu\t%llu\t%s", target.link.host.data(),
                static_cast<int>(target.link.port), time_text(target.connected_since_s).data(),
                Count{target.bytes_sent}, Count{target.behind_bytes},
                Count{target.most_behind_bytes}, target.link.status_text.data());
    status_append_retry(row, target.retry_in_s);
}

void cuts_row(const Station& station, ReaderRow& row) {
    text_format(row, kCutsFormat, Count{station_relay_cut_total(station)});
    size_t length = std::strlen(row.data());
    const RelayCut& cut = station_relay_last_cut(station);
    if (cut.at_s == 0) {
        text_format(std::span(row).subspan(length), "%s", kNone);
        return;
    }
    text_format(std::span(row).subspan(length), kCutFormat, cut.address.data(),
                static_cast<int>(cut.port), time_text(cut.at_s).data(),
                cut.behind ? kCutBehind : kCutFailed);
}

void refusals_row(const Station& station, ReaderRow& row) {
    const auto& counts = station_relay_refusals(station).counts;
    text_format(row, kRefusalsFormat, Count{counts[size_t(RelayRefusal::not_allowed)]},
                Count{counts[size_t(RelayRefusal::over_share)]},
                Count{counts[size_t(RelayRefusal::full)]});
}

}  // namespace

int station_reader_rows(const Station& station, ReaderRows& rows) {
    int count = 0;
    auto next = [&]() -> ReaderRow& { return rows[static_cast<size_t>(count++)]; };

    std::array<ReaderFigures, kRelaySlots> readers;
    int live = station_relay_readers(station, readers);
    text_format(next(), kClientsTitle, live, kRelaySlots);
    if (live > 0)
        text_copy(next(), kClientColumns);
    for (int i = 0; i < live; ++i)
        client_row(readers[static_cast<size_t>(i)], next());
    next()[0] = '\0';

    // The title counts the targets, so it is written after them.
    ReaderRow& push_title = next();
    PushFigures target;
    int targets = 0;
    for (; targets < kPushTargets && station_push_figures(station, targets, target); ++targets) {
        if (targets == 0)
            text_copy(next(), kPushColumns);
        push_row(target, next());
    }
    text_format(push_title, kPushTitle, targets);
    next()[0] = '\0';

    cuts_row(station, next());
    refusals_row(station, next());
    return count;
}
