// Exports from the front end: what the station shows the user.
//
// The status lines live in the station's status board; the front end shows them when
// told, and shows the station's rare information boxes. Each front end (the Win32
// program, the Linux console program, the tests' recording front end) implements these
// once.
#pragma once

// The status texts have changed: show the newest ones (status_board_read) in the
// server line, the client line and the consumer line. Any thread; never called with a
// lock held.
void frontend_status_changed();

// An information box with no owner window; returns when the user has closed it.
void frontend_message_box(const char* text, const char* caption);
