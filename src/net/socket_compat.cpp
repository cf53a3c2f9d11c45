#include "net/socket_compat.h"

#ifndef _WIN32
#include <fcntl.h>
#include <cerrno>
#endif

#include <climits>

namespace {
int clamp_size(size_t size) {
    return size > INT_MAX ? INT_MAX : static_cast<int>(size);
}
}  // namespace

#ifdef _WIN32

bool sockets_start() {
    WSADATA data;
    return WSAStartup(0x0101, &data) == 0;
}

void sockets_stop() {
    WSACleanup();
}

bool socket_set_nonblocking(SOCKET s) {
    u_long on = 1;
    return ioctlsocket(s, FIONBIO, &on) == 0;
}

bool socket_would_block() {
    int error = WSAGetLastError();
    return error == WSAEWOULDBLOCK || error == WSAEINPROGRESS;
}

int socket_send(SOCKET s, const void* data, size_t size) {
    return send(s, static_cast<const char*>(data), clamp_size(size), kSendFlags);
}

int socket_recv(SOCKET s, void* data, size_t size) {
    return recv(s, static_cast<char*>(data), clamp_size(size), 0);
}

#else

bool sockets_start() {
    return true;
}

void sockets_stop() {}

bool socket_set_nonblocking(SOCKET s) {
    int flags = fcntl(s, F_GETFL, 0);
    return flags >= 0 && fcntl(s, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool socket_would_block() {
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINPROGRESS;
}

int socket_send(SOCKET s, const void* data, size_t size) {
    return static_cast<int>(send(s, data, static_cast<size_t>(clamp_size(size)), kSendFlags));
}

int socket_recv(SOCKET s, void* data, size_t size) {
    return static_cast<int>(recv(s, data, static_cast<size_t>(clamp_size(size)), 0));
}

#endif
