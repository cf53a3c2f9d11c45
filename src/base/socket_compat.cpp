#include "base/socket_compat.h"

#ifdef _WIN32
#include <mstcpip.h>
#else
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/uio.h>
#include <cerrno>
#endif

#include <climits>
#include <cstdio>
#include <cstring>

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

int socket_last_error() {
    return errno;
}

void socket_error_text(int error, std::span<char> text) {
    if (!text.empty())
        std::snprintf(text.data(), text.size(), "%s", std::strerror(error));
}

bool socket_out_of_resources() {
    return errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM;
}

int socket_send(SOCKET s, const void* data, size_t size) {
    return static_cast<int>(send(s, data, static_cast<size_t>(clamp_size(size)), kSendFlags));
}

int socket_recv(SOCKET s, void* data, size_t size) {
    return static_cast<int>(recv(s, data, static_cast<size_t>(clamp_size(size)), 0));
}

size_t socket_pending_bytes(SOCKET s) {
    int pending = 0;
    return ioctl(s, FIONREAD, &pending) == 0 && pending > 0 ? static_cast<size_t>(pending) : 0;
}

int socket_send_pieces(SOCKET s, std::span<const char> first, std::span<const char> second) {
    iovec pieces[2] = {{const_cast<char*>(first.data()), first.size()},
                       {const_cast<char*>(second.data()), second.size()}};
    msghdr message{};
    message.msg_iov = pieces;
    message.msg_iovlen = second.empty() ? 1 : 2;
    return static_cast<int>(sendmsg(s, &message, kSendFlags));
}

int socket_wait_connected(SOCKET s, int timeout_ms) {
    pollfd entry{s, POLLOUT, 0};
    int ready = poll(&entry, 1, timeout_ms);
    if (ready == 0)
        return 0;
    if (ready < 0)
        return errno == EINTR ? 0 : -1;
    int error = 0;
    socklen_t length = sizeof error;
    getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &length);
    return error == 0 ? 1 : -1;
}

int socket_poll(PollFd* sockets, size_t count, int timeout_ms) {
    return poll(sockets, static_cast<nfds_t>(count), timeout_ms);
}

bool socket_keepalive(SOCKET s) {
    int on = 1;
    if (setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0)
        return false;
    int idle_s = kKeepaliveIdleS;
    int interval_s = kKeepaliveIntervalS;
    int probes = kKeepaliveProbes;
    setsockopt(s, IPPROTO_TCP, TCP_KEEPIDLE, &idle_s, sizeof idle_s);
    setsockopt(s, IPPROTO_TCP, TCP_KEEPINTVL, &interval_s, sizeof interval_s);
    setsockopt(s, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
#ifdef TCP_USER_TIMEOUT
    unsigned limit_ms = kUnacknowledgedLimitMs;
    setsockopt(s, IPPROTO_TCP, TCP_USER_TIMEOUT, &limit_ms, sizeof limit_ms);
#endif
    return true;
}

#endif

void socket_format_address(const in_addr& address, std::array<char, 16>& text) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(&address);
    std::snprintf(text.data(), text.size(), "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
}

sockaddr_in socket_ipv4_address(uint32_t host_order_address, uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(host_order_address);
    address.sin_port = htons(port);
    return address;
}
