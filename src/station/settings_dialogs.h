// The settings dialogs as data: one row per dialog says which template it is, which file
// it reads and writes, what each field shows and sets, and what OK does besides. One
// open function and one OK function serve every row; the Win32 program has one dialog
// procedure that reads and writes the fields (Windows-1251 texts of at most 255
// characters) and calls them. A new dialog is a new row.
//
// A dialog reads its file when it opens; a line the file does not have (or a missing
// file) shows the value the program holds or a compiled-in default instead. OK rewrites
// the file whole with the texts as typed and applies them in memory.
#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <span>

#include "base/text.h"
#include "station/dialog_state.h"

struct Station;

// A value the program holds that a dialog field shows and sets.
enum class Setting {
    relay_port,     // also the upstream link's port
    upstream_host,  // never shown: the relay dialog saves it empty
    relay_address,  // where the relay listens; empty: every interface
    relay_share,    // the relay slots one address may hold
    source_port,
    source_host,
    consumer_port,
    consumer_host,
    latitude,
    longitude,
    receiver_name,
    signal_threshold,
    timer_frequency,
    serial_port,   // the serial source's port; empty: the TCP source
    serial_speed,  // the serial source's speed; not a positive number: automatic
    push_target,   // a line of "initpush.ini"; the lines are taken together after OK
};

// How a field's text is read. Nothing typed is ever refused: a text that is not a number
// reads as the C library's atoi or atof would read it (0 without a digit).
enum class FieldKind {
    port,     // the low 16 bits of the number, so 70000 is 4464
    host,     // a host name or dotted address, as typed
    degrees,  // decimal degrees, held as arc-seconds
    text,     // as typed
    number,   // a 32-bit integer
    // Editable lists: the text as typed, with choices offered. The front end fills them.
    port_list,   // the serial ports present
    speed_list,  // "Авто" and the receivers' usual speeds (kHuntSpeeds)
};

// "Авто": what the serial speed field shows, and its list offers first, for an automatic
// speed.
inline constexpr char kAutomaticSpeedText[] = "\xC0\xE2\xF2\xEE";

// What a field shows when the file lacks its line.
enum class MissingLine {
    held,    // the value the program holds now
    text,    // the field's default text
    number,  // the field's default number
};

struct DialogField {
    Setting setting = Setting::relay_port;
    FieldKind kind = FieldKind::text;
    MissingLine missing = MissingLine::text;
    const char* default_text = "";
    int32_t default_number = 0;
    // Whether opening takes the file's value into memory (without anything else OK does).
    bool opening_takes = false;
    // A number the file gives outside these limits is shown and taken as the default
    // number when the dialog opens; OK takes any number.
    int32_t minimum = INT32_MIN;
    int32_t maximum = INT32_MAX;
};

// What OK does after the fields are saved and applied.
enum class AfterOk {
    nothing,
    restart_notice,        // the relay listens on the new port only after a restart
    reconnect_source,      // a source connection to the old address is not kept
    reconfigure_consumer,  // an empty host turns the consumer link off, any other opens it
    switch_source,         // a port makes it the source at once; an empty one brings TCP back
    set_push_targets,      // the lines as the push targets: unchanged ones stay connected
};

struct DialogRow {
    DialogId id;
    const char* template_name;  // the dialog template in the resources
    const char* file;
    bool tab_cycling = false;  // the typed Tab moves its focus round its fields, OK and Cancel
    int shown_fields = 1;      // edit controls 1000 and on
    // A line of the file that is never shown, which OK writes empty (the relay file's
    // upstream host: that link is never opened) and applies as its field's setting; -1
    // when there is none. The shown fields fill the other lines in order.
    int empty_line = -1;
    std::array<DialogField, kDialogMaxFields> fields{};  // one a line of the file
    AfterOk after_ok = AfterOk::nothing;
};

// Every settings dialog, in DialogId order.
std::span<const DialogRow, kDialogCount> dialog_rows();
const DialogRow& dialog_row(DialogId id);

// The field edit control 1000 + `shown` shows (the line written empty is none of them).
const DialogField& dialog_shown_field(const DialogRow& row, int shown);

// The texts of a dialog's fields: edit controls 1000, 1001 and on.
struct DialogFields {
    std::array<Text256, kDialogMaxFields> text{};
};
DialogFields dialog_fields(const char* first, const char* second = "");

// Fills the fields of a dialog that opens, takes what the row says into memory, and
// starts its Tab cycle.
void dialog_open(Station& station, DialogId id, DialogFields& fields);
// Saves and applies the typed texts and ends the dialog's Tab cycle. Returns whether the
// user must be told to restart the program.
bool dialog_ok(Station& station, DialogId id, const DialogFields& fields);
// Cancel: only the Tab cycle ends.
void dialog_cancel(Station& station, DialogId id);

// A typed Tab for the dialog `id`: whether a dialog of it took it, and where the focus
// goes.
bool dialog_tab(Station& station, DialogId id, DialogControl& focus);
