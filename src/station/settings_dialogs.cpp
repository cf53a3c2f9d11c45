#include "station/settings_dialogs.h"

#include "station/station.h"

namespace {

constexpr int kThresholdMax = 255;

// Reads up to two lines of a settings file for a dialog. Returns how many lines the
// file had (0 when it is missing).
int read_dialog_lines(const Station& station, const char* file, Text256& first, Text256& second) {
    std::span<char> lines[] = {first, second};
    int read = settings_file_read(station.config_dir.data(), file, lines);
    return read < 0 ? 0 : read;
}

void show_number(Text256& field, int value) {
    text_format(field, "%d", value);
}

void save(const Station& station, const char* file, const char* first, const char* second) {
    const char* texts[] = {first, second};
    settings_file_save(station.config_dir.data(), file,
                       std::span<const char* const>(texts, second != nullptr ? 2 : 1));
}

}  // namespace

void dialog_open_relay(Station& station, DialogFields& fields) {
    Text256 unused;
    if (read_dialog_lines(station, kRelaySettingsFile, fields.first, unused) == 0) {
        show_number(fields.first, station.settings.relay_port.load());
    }
}

bool dialog_ok_relay(Station& station, const char* port_text) {
    // The dialog has no host field: the upstream host becomes the empty text.
    save(station, kRelaySettingsFile, port_text, "");
    uint16_t port = settings_parse_port(port_text);
    link_set_port(station.links, LINK_UPSTREAM, port);
    station.settings.relay_port = port;
    link_set_host(station.links, LINK_UPSTREAM, "");
    return kRelayServerMode;
}

void dialog_open_source(Station& station, DialogFields& fields) {
    int lines = read_dialog_lines(station, kSourceSettingsFile, fields.first, fields.second);
    if (lines < 1)
        show_number(fields.first, link_port(station.links, LINK_SOURCE));
    if (lines < 2)
        link_host(station.links, LINK_SOURCE, fields.second);
}

void dialog_ok_source(Station& station, const char* port_text, const char* host_text) {
    save(station, kSourceSettingsFile, port_text, host_text);
    link_set_port(station.links, LINK_SOURCE, settings_parse_port(port_text));
    link_set_host(station.links, LINK_SOURCE, host_text);
    // A connection made meanwhile to the old address is not kept.
    link_cancel_open(station.links, LINK_SOURCE);
    if (link_state(station.links, LINK_SOURCE) == LINK_CONNECTED) {
        station_drop_link(station, LINK_SOURCE);
    }
}

void dialog_open_consumer(Station& station, DialogFields& fields) {
    int lines = read_dialog_lines(station, kConsumerSettingsFile, fields.first, fields.second);
    if (lines < 1)
        show_number(fields.first, kDefaultConsumerPort);
    if (lines < 2)
        fields.second[0] = '\0';
}

void dialog_ok_consumer(Station& station, const char* port_text, const char* host_text) {
    save(station, kConsumerSettingsFile, port_text, host_text);
    link_set_port(station.links, LINK_CONSUMER, settings_parse_port(port_text));
    link_set_host(station.links, LINK_CONSUMER, host_text);
    consumer_configure(station, host_text[0] != '\0');
}

void dialog_open_coordinates(Station& station, DialogFields& fields) {
    int lines = read_dialog_lines(station, kPointFile, fields.first, fields.second);
    if (lines < 1)
        text_copy(fields.first, kDefaultLatitudeText);
    if (lines < 2)
        text_copy(fields.second, kDefaultLongitudeText);
}

void dialog_ok_coordinates(Station& station, const char* latitude_text,
                           const char* longitude_text) {
    station.settings.latitude_arcsec = settings_parse_arcsec(latitude_text);
    station.settings.longitude_arcsec = settings_parse_arcsec(longitude_text);
    save(station, kPointFile, latitude_text, longitude_text);
    consumer_update_greeting(station);
}

void dialog_open_name(Station& station, DialogFields& fields) {
    Text256 unused;
    if (read_dialog_lines(station, kNameFile, fields.first, unused) == 0) {
        text_copy(fields.first, kDefaultReceiverName);
        return;
    }
    station.settings.receiver_name = fields.first;
    consumer_update_greeting(station);
}

void dialog_ok_name(Station& station, const char* name_text) {
    text_copy(station.settings.receiver_name, name_text);
    save(station, kNameFile, name_text, nullptr);
    consumer_update_greeting(station);
}

void dialog_open_threshold(Station& station, DialogFields& fields) {
    Text256 unused;
    if (read_dialog_lines(station, kThresholdFile, fields.first, unused) == 0) {
        show_number(fields.first, kDefaultSignalThreshold);
        return;
    }
    int32_t threshold = settings_parse_int(fields.first.data());
    if (threshold < 0 || threshold > kThresholdMax) {
        // The file keeps its value; only memory and the field are set back.
        threshold = kDefaultSignalThreshold;
        show_number(fields.first, threshold);
    }
    station.settings.signal_threshold = threshold;
}

void dialog_ok_threshold(Station& station, const char* threshold_text) {
    station.settings.signal_threshold = settings_parse_int(threshold_text);
    save(station, kThresholdFile, threshold_text, nullptr);
}

void dialog_open_frequency(Station& station, DialogFields& fields) {
    Text256 unused;
    if (read_dialog_lines(station, kFrequencyFile, fields.first, unused) == 0) {
        show_number(fields.first, kDefaultTimerFrequencyHz);
        return;
    }
    station.clock.timer_frequency_hz = settings_parse_int(fields.first.data());
    consumer_update_greeting(station);
}

void dialog_ok_frequency(Station& station, const char* frequency_text) {
    clock_set_frequency(station.clock, settings_parse_int(frequency_text));
    save(station, kFrequencyFile, frequency_text, nullptr);
    consumer_update_greeting(station);
}
