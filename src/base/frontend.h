// Exports from the front end.
//
// These are the only things the portable core needs from its platform. Every front end
// (the Win32 program, the tests' recording front end) implements each of them once,
// and the linker picks the one the program is built with. The core calls them; it never
// touches a window or an event loop itself.
#pragma once

#include <span>

#include "base/socket_compat.h"

// Display line `line` (0 = top, 17 = bottom): copies its text into `text`, cut to fit
// and always NUL-terminated. UI thread only.
void frontend_display_line_read(int line, std::span<char> text);

// Display line `line`: replaces its text with the NUL-terminated `text`. UI thread only.
void frontend_display_line_write(int line, const char* text);

// Who handles a watched socket's events.
enum class SocketRole { relay_listener, relay_client, link_upstream, link_source, link_consumer };

// Socket events, with the bit values of Winsock's FD_READ, FD_WRITE, FD_ACCEPT, FD_CLOSE.
constexpr unsigned kSocketRead = 1;
constexpr unsigned kSocketWrite = 2;
constexpr unsigned kSocketAccept = 8;
constexpr unsigned kSocketClose = 32;

// Delivers `events` of socket `s` to the UI thread, to the core's handler for `role`,
// replacing any earlier registration of `s`. Read events repeat while data is waiting;
// a write event comes when the socket can take more after it could not. Returns false
// if the platform refused. Any thread.
bool frontend_watch_socket(SOCKET s, SocketRole role, unsigned events);

// Stops delivering events of `s`. Events already on their way may still arrive (a
// handler must take a stale event calmly). Any thread.
void frontend_unwatch_socket(SOCKET s);

// The status texts have changed: show the newest ones (status_board_read) in the
// server line and the client line. Any thread; never called with a lock held.
void frontend_status_changed();

// An information box with no owner window; returns when the user has closed it.
void frontend_message_box(const char* text, const char* caption);
