#include "frontends/console/clock_status.h"

#include <cerrno>
#include <cstring>

#include <nlohmann/json.hpp>

#include "base/utf8_text.h"
#include "frontends/console/console_frontend.h"
#include "frontends/console/metrics_file.h"
#include "settings/file_replace.h"
#include "station/station.h"

namespace {

std::string utf8(const char* cp1251) {
    std::array<char, 1024> text;
    size_t length = utf8_from_cp1251(cp1251, text);
    return std::string(text.data(), length);
}

const char* state_word(int32_t state) {
    switch (state) {
        case LINK_FAILED:
            return "failed";
        case LINK_CONNECTED:
            return "connected";
        case LINK_CLOSED:
            return "closed";
        default:
            return "idle";
    }
}

nlohmann::json link_json(const Station& station, int slot) {
    LinkSlot link = station_link(station, slot);
    return {{"port", link.port},
            {"host", utf8(link.host.data())},
            {"state", state_word(link.state)},
            {"status_text", utf8(link.status_text.data())}};
}

nlohmann::json clock_json(const ClockReport& report) {
    nlohmann::json clock = {
        {"verdict", clock_verdict_word(report.verdict)},
        {"verdict_text", utf8(clock_verdict_text(report.verdict))},
        {"setting_hz", report.setting_hz},
        {"stream_look", clock_look_word(report.look)},
        {"resets", report.resets},
        {"timestamps", report.timestamps},
        {"common_hz", nullptr},
    };
    if (report.common_hz != 0)
        clock["common_hz"] = report.common_hz;
    if (report.have_rate) {
        clock["measured_hz"] = report.measured_hz;
        clock["offset_ppm"] = report.offset_ppm;
        clock["uncertainty_ppm"] = report.uncertainty_ppm;
        clock["window_s"] = report.window_s;
        clock["pairs"] = report.pairs;
        clock["spread_s"] = report.spread_us * 1e-6;
    }
    return clock;
}

}  // namespace

void clock_log_step(ClockLog& log, const Station& station, std::FILE* out, int64_t now_ns) {
    const ClockReport& report = station_clock_watch(station).report;
    bool changed = !log.started || report.verdict != log.verdict;
    bool hourly = report.have_rate && now_ns >= log.next_figures_ns;
    if (!changed && !hourly)
        return;
    if (!log.started)
        log.next_figures_ns = now_ns + kClockFiguresEveryNs;
    log.started = true;
    log.verdict = report.verdict;
    if (hourly)
        log.next_figures_ns = now_ns + kClockFiguresEveryNs;
    std::array<char, 512> line;
    clock_report_line(report, line);
    console_log(out, line.data());
}

namespace {

nlohmann::json relay_json(const Station& station) {
    std::array<ReaderFigures, kRelaySlots> readers;
    int count = station_relay_readers(station, readers);
    nlohmann::json clients = nlohmann::json::array();
    for (int i = 0; i < count; ++i) {
        const ReaderFigures& reader = readers[static_cast<size_t>(i)];
        clients.push_back({{"address", reader.address.data()},
                           {"port", reader.port},
                           {"connected_since", reader.connected_since_s},
                           {"bytes_sent", reader.bytes_sent},
                           {"behind_bytes", reader.behind_bytes},
                           {"most_behind_bytes", reader.most_behind_bytes}});
    }
    std::array<char, 256> why{};
    bool listening = station_relay_listening(station, why);
    nlohmann::json relay = {
        {"port", station_relay_port(station)}, {"listening", listening}, {"clients", clients}};
    if (!listening)
        relay["error"] = why.data();
    RelayAccessFigures access = station_relay_access(station);
    relay["address"] = access.address.data();  // empty: every interface
    relay["share"] = access.share;
    relay["allowed_networks"] = access.restricts ? nlohmann::json(access.networks) : nullptr;
    relay["allow_list_errors"] = access.allow.bad_lines;
    if (access.ipv4_only)
        relay["warning"] = "this host has no IPv6: the relay listens for IPv4 alone";
    const RelayRefusals& refused = station_relay_refusals(station);
    relay["refused"] = {
        {"not_allowed", refused.counts[static_cast<size_t>(RelayRefusal::not_allowed)]},
        {"over_share", refused.counts[static_cast<size_t>(RelayRefusal::over_share)]},
        {"full", refused.counts[static_cast<size_t>(RelayRefusal::full)]}};
    relay["cut_total"] = station_relay_cut_total(station);
    const RelayCut& cut = station_relay_last_cut(station);
    relay["last_cut"] = nullptr;
    if (cut.at_s != 0)
        relay["last_cut"] = {{"address", utf8(cut.address.data())},
                             {"port", cut.port},
                             {"at", cut.at_s},
                             {"reason", cut.behind ? "behind" : "send_failed"}};
    return relay;
}

nlohmann::json push_json(const Station& station) {
    nlohmann::json targets = nlohmann::json::array();
    PushFigures figures;
    for (int i = 0; station_push_figures(station, i, figures); ++i) {
        nlohmann::json target = {
            {"host", utf8(figures.link.host.data())},
            {"port", figures.link.port},
            {"state", figures.is_target ? state_word(figures.link.state) : "not_a_target"},
            {"status_text", utf8(figures.link.status_text.data())},
            {"bytes_sent", figures.bytes_sent},
            {"behind_bytes", figures.behind_bytes},
            {"most_behind_bytes", figures.most_behind_bytes},
            {"connected_since", nullptr},
            {"retry_in_s", figures.retry_in_s},
        };
        if (figures.connected_since_s != 0)
            target["connected_since"] = figures.connected_since_s;
        targets.push_back(target);
    }
    return targets;
}

}  // namespace

std::string status_json(const Station& station, const StatusTimes& times) {
    const ClockWatch& watch = station_clock_watch(station);
    nlohmann::json document = {
        {"now", times.now_s},
        {"started", times.started_s},
        {"source", link_json(station, LINK_SOURCE)},
        {"consumer", link_json(station, LINK_CONSUMER)},
        {"relay", relay_json(station)},
        {"push", push_json(station)},
        {"binary_mode", station_binary_mode(station)},
        {"messages_per_s", watch.lines_per_s},
        {"messages_received", watch.lines},
        {"bytes_received", watch.bytes},
        {"clock", clock_json(watch.report)},
    };
    return document.dump(2) + "\n";
}

bool status_file_write(const Station& station, const StatusTimes& times, const char* path,
                       std::span<char> why) {
    return document_write(path, status_json(station, times), why);
}

static_assert(kMetricsReaders == kRelaySlots + kPushTargets);

bool metrics_file_write(const Station& station, const StatusTimes& times, const char* path,
                        std::span<char> why) {
    MetricsFigures figures;
    figures.started_s = times.started_s;
    figures.source_up = station_link(station, LINK_SOURCE).state == LINK_CONNECTED;
    figures.consumer_up = station_link(station, LINK_CONSUMER).state == LINK_CONNECTED;
    const ClockWatch& watch = station_clock_watch(station);
    figures.bytes_received = watch.bytes;
    figures.messages_received = watch.lines;
    std::array<ReaderFigures, kRelaySlots> clients;
    figures.relay_clients = station_relay_readers(station, clients);
    for (int i = 0; i < figures.relay_clients; ++i) {
        MetricsReader& reader = figures.readers[static_cast<size_t>(figures.reader_count++)];
        const ReaderFigures& client = clients[static_cast<size_t>(i)];
        text_copy(reader.address, client.address.data());
        reader.port = client.port;
        reader.behind_bytes = client.behind_bytes;
    }
    PushFigures target;
    for (int i = 0; station_push_figures(station, i, target); ++i) {
        if (target.link.state != LINK_CONNECTED || figures.reader_count >= kMetricsReaders)
            continue;
        MetricsReader& reader = figures.readers[static_cast<size_t>(figures.reader_count++)];
        reader.push = true;
        text_copy(reader.address, utf8(target.link.host.data()));
        reader.port = target.link.port;
        reader.behind_bytes = target.behind_bytes;
    }
    figures.readers_cut = station_relay_cut_total(station);
    figures.refused = station_relay_refusals(station).counts;
    figures.verdict = watch.report.verdict;
    figures.have_rate = watch.report.have_rate;
    figures.offset_ppm = watch.report.offset_ppm;
    figures.uncertainty_ppm = watch.report.uncertainty_ppm;
    return document_write(path, metrics_text(figures), why);
}
