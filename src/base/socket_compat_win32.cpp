// The socket layer on Windows: Winsock 2.
#include "base/socket_compat.h"

#include <mstcpip.h>

#include <climits>
#include <cstdio>

namespace {
int clamp_size(size_t size) {
    return size > INT_MAX ? INT_MAX : static_cast<int>(size);
}
}  // namespace

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

void socket_allow_rebind(SOCKET) {}

bool socket_would_block() {
    int error = WSAGetLastError();
    return error == WSAEWOULDBLOCK || error == WSAEINPROGRESS;
}

int socket_last_error() {
    return WSAGetLastError();
}

void socket_error_text(int error, std::span<char> text) {
    if (text.empty())
        return;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, static_cast<DWORD>(error), 0, text.data(),
                                  static_cast<DWORD>(text.size()), nullptr);
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r'))
        --length;
    if (length == 0)
        std::snprintf(text.data(), text.size(), "error %d", error);
    else
        text[length] = '\0';
}

bool socket_out_of_resources() {
    int error = WSAGetLastError();
    return error == WSAEMFILE || error == WSAENOBUFS;
}

int socket_send(SOCKET s, const void* data, size_t size) {
    return send(s, static_cast<const char*>(data), clamp_size(size), kSendFlags);
}

int socket_recv(SOCKET s, void* data, size_t size) {
    return recv(s, static_cast<char*>(data), clamp_size(size), 0);
}

size_t socket_pending_bytes(SOCKET s) {
    u_long pending = 0;
    return ioctlsocket(s, FIONREAD, &pending) == 0 ? pending : 0;
}

int socket_send_pieces(SOCKET s, std::span<const char> first, std::span<const char> second) {
    WSABUF buffers[2] = {
        {static_cast<ULONG>(clamp_size(first.size())), const_cast<char*>(first.data())},
        {static_cast<ULONG>(clamp_size(second.size())), const_cast<char*>(second.data())}};
    DWORD sent = 0;
    DWORD count = second.empty() ? 1 : 2;
    if (WSASend(s, buffers, count, &sent, 0, nullptr, nullptr) == SOCKET_ERROR)
        return SOCKET_ERROR;
    return static_cast<int>(sent);
}

int socket_wait_connected(SOCKET s, int timeout_ms) {
    // A failed connect shows in the exception set on Windows, not the write set.
    fd_set writable;
    fd_set failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(s, &writable);
    FD_SET(s, &failed);
    timeval timeout{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    int ready = select(0, nullptr, &writable, &failed, &timeout);
    if (ready == 0)
        return 0;
    if (ready < 0 || FD_ISSET(s, &failed))
        return -1;
    int error = 0;
    socklen_t length = sizeof error;
    getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length);
    return error == 0 ? 1 : -1;
}

int socket_poll(PollFd* sockets, size_t count, int timeout_ms) {
    return WSAPoll(sockets, static_cast<ULONG>(count), timeout_ms);
}

bool socket_keepalive(SOCKET s) {
    tcp_keepalive values{1, kKeepaliveIdleS * 1000u, kKeepaliveIntervalS * 1000u};
    DWORD returned = 0;
    if (WSAIoctl(s, SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned, nullptr,
                 nullptr) == SOCKET_ERROR)
        return false;
    // TCP_KEEPCNT (16) from Windows 10 1703 on; older systems send 10 probes.
    constexpr int kTcpKeepCount = 16;
    int probes = kKeepaliveProbes;
    setsockopt(s, IPPROTO_TCP, kTcpKeepCount, reinterpret_cast<const char*>(&probes),
               sizeof probes);
    return true;
}
