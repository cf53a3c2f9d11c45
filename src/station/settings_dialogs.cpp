#include "station/settings_dialogs.h"

#include <algorithm>

#include "station/station.h"

namespace {

// The kinds of field the dialogs have, by what a missing line shows and what opening does.
constexpr DialogField held(Setting setting, FieldKind kind) {
    return {.setting = setting, .kind = kind, .missing = MissingLine::held};
}
constexpr DialogField default_text(Setting setting, FieldKind kind, const char* text) {
    return {.setting = setting, .kind = kind, .missing = MissingLine::text, .default_text = text};
}
constexpr DialogField default_number(Setting setting, int32_t number) {
    return {.setting = setting,
            .kind = FieldKind::port,
            .missing = MissingLine::number,
            .default_number = number};
}
// Opening takes the file's value; a missing file shows the default and takes nothing.
constexpr DialogField taken_text(Setting setting, const char* text) {
    return {.setting = setting,
            .kind = FieldKind::text,
            .missing = MissingLine::text,
            .default_text = text,
            .opening_takes = true};
}
constexpr DialogField taken_number(Setting setting, int32_t number, int32_t minimum = INT32_MIN,
                                   int32_t maximum = INT32_MAX) {
    return {.setting = setting,
            .kind = FieldKind::number,
            .missing = MissingLine::number,
            .default_number = number,
            .opening_takes = true,
            .minimum = minimum,
            .maximum = maximum};
}

// The push targets' dialog: one line of "initpush.ini" a field, empty without the file.
constexpr std::array<DialogField, kDialogMaxFields> push_fields() {
    std::array<DialogField, kDialogMaxFields> fields{};
    for (DialogField& field : fields)
        field = default_text(Setting::push_target, FieldKind::text, "");
    return fields;
}

constexpr std::array<DialogRow, kDialogCount> kRows{{
    {.id = DialogId::relay,
     .template_name = "IDD_DIALOG2",
     .file = kRelaySettingsFile,
     .tab_cycling = true,
     .shown_fields = 3,
     .empty_line = 1,
     .fields = {held(Setting::relay_port, FieldKind::port),
                default_text(Setting::upstream_host, FieldKind::host, ""),
                held(Setting::relay_address, FieldKind::host),
                held(Setting::relay_share, FieldKind::number)},
     .after_ok = AfterOk::restart_notice},
    {.id = DialogId::coordinates,
     .template_name = "IDD_DIALOG3",
     .file = kPointFile,
     .tab_cycling = true,
     .shown_fields = 2,
     .fields = {default_text(Setting::latitude, FieldKind::degrees, kDefaultLatitudeText),
                default_text(Setting::longitude, FieldKind::degrees, kDefaultLongitudeText)}},
    {.id = DialogId::source,
     .template_name = "IDD_DIALOG8",
     .file = kSourceSettingsFile,
     .tab_cycling = true,
     .shown_fields = 2,
     .fields = {held(Setting::source_port, FieldKind::port),
                held(Setting::source_host, FieldKind::host)},
     .after_ok = AfterOk::reconnect_source},
    {.id = DialogId::consumer,
     .template_name = "IDD_DIALOG9",
     .file = kConsumerSettingsFile,
     .shown_fields = 2,
     .fields = {default_number(Setting::consumer_port, kDefaultConsumerPort),
                default_text(Setting::consumer_host, FieldKind::host, "")},
     .after_ok = AfterOk::reconfigure_consumer},
    {.id = DialogId::name,
     .template_name = "IDD_DIALOG4",
     .file = kNameFile,
     .fields = {taken_text(Setting::receiver_name, kDefaultReceiverName)}},
    {.id = DialogId::threshold,
     .template_name = "IDD_DIALOG_POROG",
     .file = kThresholdFile,
     .fields = {taken_number(Setting::signal_threshold, kDefaultSignalThreshold, 0, 255)}},
    {.id = DialogId::frequency,
     .template_name = "IDD_DIALOG_FREQ",
     .file = kFrequencyFile,
     .fields = {taken_number(Setting::timer_frequency, kDefaultTimerFrequencyHz)}},
    {.id = DialogId::serial,
     .template_name = "IDD_DIALOG_COM",
     .file = kSerialSettingsFile,
     .shown_fields = 2,
     .fields = {held(Setting::serial_port, FieldKind::port_list),
                held(Setting::serial_speed, FieldKind::speed_list)},
     .after_ok = AfterOk::switch_source},
    {.id = DialogId::push,
     .template_name = "IDD_DIALOG_PUSH",
     .file = kPushSettingsFile,
     .shown_fields = kDialogMaxFields,
     .fields = push_fields(),
     .after_ok = AfterOk::set_push_targets},
}};

// dialog_row looks a row up by its place.
constexpr bool rows_in_id_order() {
    for (size_t i = 0; i < kRows.size(); ++i) {
        if (kRows[i].id != static_cast<DialogId>(i))
            return false;
    }
    return true;
}
static_assert(rows_in_id_order(), "kRows must list the dialogs in DialogId order");

// A row's file lines, shown or written empty, each have a field.
constexpr bool rows_fit() {
    for (const DialogRow& row : kRows) {
        if (row.shown_fields + (row.empty_line >= 0 ? 1 : 0) > kDialogMaxFields)
            return false;
    }
    return true;
}
static_assert(rows_fit(), "a row has more file lines than fields");

void show_number(Text256& text, int32_t number) {
    text_format(text, "%d", static_cast<int>(number));
}

// The value the program holds now, for the settings whose dialogs show it.
void show_held(const Station& station, Setting setting, Text256& text) {
    if (setting == Setting::relay_port)
        show_number(text, station.settings.relay_port.load());
    else if (setting == Setting::relay_address)
        text = station.settings.relay_address;
    else if (setting == Setting::relay_share)
        show_number(text, station.settings.relay_share);
    else if (setting == Setting::source_port)
        show_number(text, link_port(station.links, LINK_SOURCE));
    else if (setting == Setting::source_host)
        link_host(station.links, LINK_SOURCE, text);
    else if (setting == Setting::serial_port)
        text = station.settings.serial_port;
    else if (setting == Setting::serial_speed && station.settings.serial_speed > 0)
        show_number(text, station.settings.serial_speed);
    else if (setting == Setting::serial_speed)
        text_copy(text, kAutomaticSpeedText);
}

// What a field shows for a line its file lacks.
void show_missing(const Station& station, const DialogField& field, Text256& text) {
    switch (field.missing) {
        case MissingLine::held:
            show_held(station, field.setting, text);
            break;
        case MissingLine::text:
            text_copy(text, field.default_text);
            break;
        case MissingLine::number:
            show_number(text, field.default_number);
            break;
    }
}

// What opening takes from the file into memory. The frequency is taken without a new
// reference: only OK starts the relative times again.
void take_file_value(Station& station, Setting setting, const Text256& text) {
    switch (setting) {
        case Setting::receiver_name:
            station.settings.receiver_name = text;
            break;
        case Setting::signal_threshold:
            station.settings.signal_threshold = settings_parse_int(text.data());
            break;
        case Setting::timer_frequency:
            station.clock.timer_frequency_hz = settings_parse_int(text.data());
            break;
        default:
            break;
    }
}

// A number from the file outside the field's limits: shown and taken as the default.
// The file keeps its value.
void clamp_to_default(const DialogField& field, Text256& text) {
    int32_t value = settings_parse_int(text.data());
    if (field.kind == FieldKind::number && (value < field.minimum || value > field.maximum))
        show_number(text, field.default_number);
}

// What OK applies of one typed text.
void apply_typed(Station& station, Setting setting, const char* text) {
    switch (setting) {
        case Setting::relay_port: {
            uint16_t port = settings_parse_port(text);
            link_set_port(station.links, LINK_UPSTREAM, port);
            station.settings.relay_port = port;
            break;
        }
        case Setting::upstream_host:
            link_set_host(station.links, LINK_UPSTREAM, text);
            break;
        case Setting::relay_address:  // listened on from the next start
            text_copy(station.settings.relay_address, text_trim(text));
            break;
        case Setting::relay_share:  // holds for the clients that come next
            station.settings.relay_share = settings_parse_share(text);
            station.relay.share = station.settings.relay_share;
            break;
        case Setting::source_port:
            link_set_port(station.links, LINK_SOURCE, settings_parse_port(text));
            break;
        case Setting::source_host:
            link_set_host(station.links, LINK_SOURCE, text);
            break;
        case Setting::consumer_port:
            link_set_port(station.links, LINK_CONSUMER, settings_parse_port(text));
            break;
        case Setting::consumer_host:
            link_set_host(station.links, LINK_CONSUMER, text);
            break;
        case Setting::latitude:
            station.settings.latitude_arcsec =
                settings_parse_coordinate(text, kLatitudeLimitDegrees, kDefaultLatitudeArcsec);
            break;
        case Setting::longitude:
            station.settings.longitude_arcsec =
                settings_parse_coordinate(text, kLongitudeLimitDegrees, kDefaultLongitudeArcsec);
            break;
        case Setting::receiver_name:
            text_copy(station.settings.receiver_name, text);
            break;
        case Setting::signal_threshold:
            station.settings.signal_threshold = settings_parse_int(text);
            break;
        case Setting::timer_frequency:
            station_use_timer_frequency(station, settings_parse_int(text));
            break;
        case Setting::serial_port:
            text_copy(station.settings.serial_port, text);
            break;
        case Setting::serial_speed:
            station.settings.serial_speed = settings_parse_speed(text);
            break;
        case Setting::push_target:
            break;  // taken together after OK
    }
}

// The push dialog's fields as the push targets: each text that names a target, as a line
// of "initpush.ini" would.
void set_push_targets_from(Station& station, const DialogFields& fields) {
    PushLines lines{};
    int count = 0;
    for (const Text256& text : fields.text) {
        PushLine line = push_line_parse(text_view(text));
        if (line.text[0] != '\0' && line.text[0] != '#')
            lines[static_cast<size_t>(count++)] = line;
    }
    station_set_push_targets(station, lines, count);
    status_refresh(station);
}

void after_ok(Station& station, AfterOk action, const DialogFields& fields) {
    switch (action) {
        case AfterOk::reconnect_source:
            // The new address is saved for the TCP link; while a serial port is the source,
            // that link is not running and the port is left alone.
            if (!serial_link_active(station.serial))
                station_restart_link(station, LINK_SOURCE);
            break;
        case AfterOk::reconfigure_consumer:
            feed_configure(station, fields.text[1][0] != '\0');
            break;
        case AfterOk::set_push_targets:
            set_push_targets_from(station, fields);
            break;
        case AfterOk::switch_source:
            station_use_serial(station, text_view(station.settings.serial_port),
                               station.settings.serial_speed);
            break;
        case AfterOk::nothing:
        case AfterOk::restart_notice:
            break;
    }
}

}  // namespace

std::span<const DialogRow, kDialogCount> dialog_rows() {
    return kRows;
}

const DialogRow& dialog_row(DialogId id) {
    return kRows[dialog_index(id)];
}

const DialogField& dialog_shown_field(const DialogRow& row, int shown) {
    bool after_empty_line = row.empty_line >= 0 && shown >= row.empty_line;
    return row.fields[static_cast<size_t>(after_empty_line ? shown + 1 : shown)];
}

DialogFields dialog_fields(const char* first, const char* second) {
    DialogFields fields;
    fields.text[0] = text256(first);
    fields.text[1] = text256(second);
    return fields;
}

namespace {

// The lines of a row's file: the shown fields and the line written empty.
int file_lines(const DialogRow& row) {
    return row.shown_fields + (row.empty_line >= 0 ? 1 : 0);
}

// The edit control showing line `line` of the row's file; -1 for the line written empty.
int field_of_line(const DialogRow& row, int line) {
    if (row.empty_line < 0 || line < row.empty_line)
        return line;
    return line == row.empty_line ? -1 : line - 1;
}

}  // namespace

void dialog_open(Station& station, DialogId id, DialogFields& fields) {
    const DialogRow& row = dialog_row(id);
    Text256 unshown{};
    std::array<std::span<char>, kDialogMaxFields> lines;
    for (int line = 0; line < file_lines(row); ++line) {
        int field = field_of_line(row, line);
        lines[static_cast<size_t>(line)] =
            field < 0 ? std::span<char>(unshown) : fields.text[static_cast<size_t>(field)];
    }
    int read = settings_file_read(station.config_dir.data(), row.file,
                                  std::span(lines).first(static_cast<size_t>(file_lines(row))));
    for (int line = 0; line < file_lines(row); ++line) {
        int shown = field_of_line(row, line);
        if (shown < 0)
            continue;
        const DialogField& field = row.fields[static_cast<size_t>(line)];
        Text256& text = fields.text[static_cast<size_t>(shown)];
        if (read <= line) {
            show_missing(station, field, text);
        } else if (field.opening_takes) {
            clamp_to_default(field, text);
            take_file_value(station, field.setting, text);
        }
    }
    if (row.tab_cycling)
        station.tab_cycles[dialog_index(id)].state = static_cast<int>(DialogControl::first_field);
    station_settings_changed(station);
}

bool dialog_ok(Station& station, DialogId id, const DialogFields& fields) {
    const DialogRow& row = dialog_row(id);
    // The file's lines: the shown fields as typed, the line written empty.
    std::array<const char*, kDialogMaxFields> texts{};
    int lines = file_lines(row);
    for (int line = 0; line < lines; ++line) {
        int field = field_of_line(row, line);
        texts[static_cast<size_t>(line)] =
            field < 0 ? "" : fields.text[static_cast<size_t>(field)].data();
    }
    settings_file_save(station.config_dir.data(), row.file,
                       std::span<const char* const>(texts.data(), static_cast<size_t>(lines)));
    for (int line = 0; line < lines; ++line)
        apply_typed(station, row.fields[static_cast<size_t>(line)].setting,
                    texts[static_cast<size_t>(line)]);
    after_ok(station, row.after_ok, fields);
    station.tab_cycles[dialog_index(id)].state = -1;
    station_settings_changed(station);
    return row.after_ok == AfterOk::restart_notice && kRelayServerMode;
}

void dialog_cancel(Station& station, DialogId id) {
    station.tab_cycles[dialog_index(id)].state = -1;
}

bool dialog_tab(Station& station, DialogId id, DialogControl& focus) {
    TabCycle& cycle = station.tab_cycles[dialog_index(id)];
    if (cycle.state < 0)
        return false;
    // The fields in order (a Tab-cycling template has at most three), then OK and Cancel.
    int fields = std::min(dialog_row(id).shown_fields, 3);
    int next = cycle.state + 1;
    if (cycle.state == static_cast<int>(DialogControl::cancel))
        next = static_cast<int>(DialogControl::first_field);
    else if (cycle.state < static_cast<int>(DialogControl::ok) && next >= fields)
        next = static_cast<int>(DialogControl::ok);
    focus = static_cast<DialogControl>(next);
    cycle.state = next;
    return true;
}
