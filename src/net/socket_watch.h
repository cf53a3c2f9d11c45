// Exports from the front end: watching the network parts' sockets.
//
// The links, the relay server and the consumer link never wait on a socket: the front
// end watches their sockets and hands each event to the station's handler for the
// socket's role on the UI thread (the Win32 program through WSAAsyncSelect, the console
// program and the tests through the poll loop). Each front end implements these two
// functions once; the linker picks the one the program is built with.
#pragma once

#include "base/socket_compat.h"

// Who handles a watched socket's events.
enum class SocketRole {
    relay_listener,
    relay_client,
    link_upstream,
    link_source,
    link_consumer,
    push_target,  // a server the relay pushes the stream to
};

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

// Cancels a socket's events, then closes it unless it is INVALID_SOCKET.
void socket_close(SOCKET s);
