// What each settings dialog shows when it opens and does when the user presses OK,
// apart from the windows themselves: the Win32 dialogs read and write their fields
// (Windows-1251 texts of at most 255 characters) and call these.
//
// A dialog reads its file when it opens; a missing file, or a line the file does not
// have, shows the value the program holds (or the compiled-in default) instead. OK
// applies the typed texts in memory and rewrites the file whole with them as typed.
#pragma once

#include "base/text.h"

struct Station;

// The texts of a dialog's edit fields: 1000 and, where the dialog has one, 1001.
struct DialogFields {
    Text256 first{};
    Text256 second{};
};

// Relay settings: the relay port. The second line of its file is read but not shown.
void dialog_open_relay(Station& station, DialogFields& fields);
// Saves the port with an empty second line and applies it to the relay port and the
// upstream link; listening moves to it at the next start only. Returns whether the
// user must be told to restart the program.
bool dialog_ok_relay(Station& station, const char* port_text);

// Source settings: the receiver's port and host.
void dialog_open_source(Station& station, DialogFields& fields);
// Saves and applies both; a connected source link is dropped so that the connector
// thread opens it on the new address.
void dialog_ok_source(Station& station, const char* port_text, const char* host_text);

// Consumer link settings: the processing server's port and host, 8888 and empty when
// its file is missing.
void dialog_open_consumer(Station& station, DialogFields& fields);
// Saves and applies both; an empty host turns the link off, any other (re)opens it at
// once.
void dialog_ok_consumer(Station& station, const char* port_text, const char* host_text);

// Coordinates in decimal degrees, as typed.
void dialog_open_coordinates(Station& station, DialogFields& fields);
void dialog_ok_coordinates(Station& station, const char* latitude_text, const char* longitude_text);

// The receiver name; opening takes the file's name into memory.
void dialog_open_name(Station& station, DialogFields& fields);
void dialog_ok_name(Station& station, const char* name_text);

// The signal threshold; opening takes the file's value into memory, or 50 (shown as
// "50") when that value is outside 0 to 255.
void dialog_open_threshold(Station& station, DialogFields& fields);
void dialog_ok_threshold(Station& station, const char* threshold_text);

// The timer frequency; opening takes the file's value into memory, OK also makes the
// next annotated line take a new reference.
void dialog_open_frequency(Station& station, DialogFields& fields);
void dialog_ok_frequency(Station& station, const char* frequency_text);
