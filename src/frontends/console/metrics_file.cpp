#include "frontends/console/metrics_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/file_system.h"
#include "base/text.h"
#include "settings/file_replace.h"

namespace {

// Metric names follow the Prometheus naming guide: a qalmor_ prefix, base units (bytes,
// seconds, ratios rather than ppm), _total on counters.
void describe(std::string& out, const char* name, const char* type, const char* help) {
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

void sample(std::string& out, const char* name, const char* labels, double value) {
    std::array<char, 64> number;
    text_format(number, "%.17g", value);
    out += name;
    out += labels;
    out += ' ';
    out += number.data();
    out += '\n';
}

void sample(std::string& out, const char* name, const char* labels, uint64_t value) {
    std::array<char, 32> number;
    text_format(number, "%llu", static_cast<unsigned long long>(value));
    out += name;
    out += labels;
    out += ' ';
    out += number.data();
    out += '\n';
}

void metric(std::string& out, const char* name, const char* type, const char* help,
            uint64_t value) {
    describe(out, name, type, help);
    sample(out, name, "", value);
}

// A label value as the format wants it: backslash, double quote and line feed escaped.
void escaped(std::string& out, const char* text) {
    for (; *text != '\0'; ++text) {
        if (*text == '\\' || *text == '"')
            out += '\\';
        if (*text == '\n')
            out += "\\n";
        else
            out += *text;
    }
}

void readers(std::string& out, const MetricsFigures& figures) {
    describe(out, "qalmor_relay_reader_behind_bytes", "gauge",
             "How far each reader of the stream (relay client or push target) is behind it.");
    for (int i = 0; i < figures.reader_count; ++i) {
        const MetricsReader& reader = figures.readers[static_cast<size_t>(i)];
        std::string labels =
            reader.push ? "{kind=\"push\",address=\"" : "{kind=\"client\",address=\"";
        escaped(labels, reader.address.data());
        labels += "\",port=\"" + std::to_string(reader.port) + "\"}";
        sample(out, "qalmor_relay_reader_behind_bytes", labels.c_str(), reader.behind_bytes);
    }
}

void refusals(std::string& out, const MetricsFigures& figures) {
    describe(out, "qalmor_relay_refused_total", "counter",
             "Relay clients closed at accept, before a byte, by cause.");
    const char* causes[] = {"not_allowed", "over_share", "full"};
    for (size_t i = 0; i < figures.refused.size(); ++i) {
        std::string labels = std::string("{cause=\"") + causes[i] + "\"}";
        sample(out, "qalmor_relay_refused_total", labels.c_str(), figures.refused[i]);
    }
}

constexpr ClockVerdict kVerdicts[] = {
    ClockVerdict::waiting,    ClockVerdict::measuring,     ClockVerdict::right,
    ClockVerdict::clock_off,  ClockVerdict::wrong_setting, ClockVerdict::gps,
    ClockVerdict::merged,     ClockVerdict::reset,         ClockVerdict::none,
    ClockVerdict::wrong_mode,
};

void clock(std::string& out, const MetricsFigures& figures) {
    describe(out, "qalmor_clock_verdict", "gauge",
             "The receiver clock check's verdict: 1 for the one that holds, 0 for the others.");
    for (ClockVerdict verdict : kVerdicts) {
        std::string labels = std::string("{verdict=\"") + clock_verdict_word(verdict) + "\"}";
        sample(out, "qalmor_clock_verdict", labels.c_str(),
               uint64_t{verdict == figures.verdict ? 1u : 0u});
    }
    if (!figures.have_rate)
        return;  // nothing measured yet: no figure rather than a made-up zero
    describe(out, "qalmor_clock_offset_ratio", "gauge",
             "How far the receiver's clock runs from the timer frequency setting (1e-6 is "
             "one ppm).");
    sample(out, "qalmor_clock_offset_ratio", "", figures.offset_ppm * 1e-6);
    describe(out, "qalmor_clock_offset_uncertainty_ratio", "gauge",
             "The uncertainty of that offset.");
    sample(out, "qalmor_clock_offset_uncertainty_ratio", "", figures.uncertainty_ppm * 1e-6);
}

}  // namespace

std::string metrics_text(const MetricsFigures& figures) {
    std::string out;
    describe(out, "qalmor_start_time_seconds", "gauge",
             "When the program started, in seconds since 1970.");
    sample(out, "qalmor_start_time_seconds", "", static_cast<uint64_t>(figures.started_s));
    metric(out, "qalmor_source_up", "gauge", "Whether the receiver link is connected.",
           figures.source_up ? 1 : 0);
    metric(out, "qalmor_consumer_up", "gauge",
           "Whether the link to the processing server is connected.", figures.consumer_up ? 1 : 0);
    metric(out, "qalmor_received_bytes_total", "counter", "Bytes received from the receiver.",
           figures.bytes_received);
    metric(out, "qalmor_received_messages_total", "counter", "Messages received from the receiver.",
           figures.messages_received);
    metric(out, "qalmor_relay_clients", "gauge", "Relay clients connected.",
           static_cast<uint64_t>(figures.relay_clients));
    readers(out, figures);
    metric(out, "qalmor_relay_readers_cut_total", "counter",
           "Readers closed for falling more than the relay's history behind.", figures.readers_cut);
    refusals(out, figures);
    clock(out, figures);
    return out;
}

bool document_write(const char* path, const std::string& text, std::span<char> why) {
    std::array<char, kFileSuffixedPathSize> temp_path;
    std::FILE* temp = file_create_beside(path, temp_path);
    if (temp == nullptr) {
        text_format(why, "%s", std::strerror(errno));
        return false;
    }
    std::fwrite(text.data(), 1, text.size(), temp);
    if (file_replace(temp, temp_path.data(), path))
        return true;
    text_format(why, "%s", std::strerror(errno));
    return false;
}
