// BSD sockets and Winsock under one set of names.
//
// Winsock and POSIX sockets are nearly the same API; this header maps the few
// differences (SOCKET, INVALID_SOCKET, closesocket, the last error, non-blocking mode)
// so that the core uses one spelling. Beside base/file_system.cpp (a rename that
// replaces a file) and base/serial_port (the serial source's port), it is the only place
// where the core meets a platform header.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
using socklen_t = int;
using PollFd = WSAPOLLFD;
// Sends never raise a signal on Windows.
constexpr int kSendFlags = 0;
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
using SOCKET = int;
using PollFd = pollfd;
constexpr SOCKET INVALID_SOCKET = -1;
constexpr int SOCKET_ERROR = -1;
inline int closesocket(SOCKET s) {
    return close(s);
}
// A peer that has gone away must give an error, not SIGPIPE.
constexpr int kSendFlags = MSG_NOSIGNAL;
#endif

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

// Winsock start-up (version 1.1) and clean-up; nothing to do elsewhere. A failed start
// leaves every later socket call failing.
bool sockets_start();
void sockets_stop();

// Makes a socket non-blocking. Returns false on failure.
bool socket_set_nonblocking(SOCKET s);

// Lets a listening socket be bound again at once by a restarted program while old
// connections linger in TIME_WAIT (POSIX SO_REUSEADDR). Nothing on Windows, where the
// option would let another program take the port instead.
void socket_allow_rebind(SOCKET listener);

// Lets an IPv6 socket that listens on every interface take IPv4 peers too (they arrive
// as IPv4-mapped addresses). Returns false where the system cannot.
bool socket_set_dual_stack(SOCKET s);

// Whether the last socket call failed only because it would have had to wait.
bool socket_would_block();
// The last socket call's error code (WSAGetLastError, errno), and its text as the
// platform gives it, in English on Linux, cut to fit.
int socket_last_error();
void socket_error_text(int error, std::span<char> text);

// Whether the last socket call failed for want of descriptors or memory, a failure that
// lasts until something is freed.
bool socket_out_of_resources();

// One send or recv of at most `size` bytes; the result as the platform gives it.
int socket_send(SOCKET s, const void* data, size_t size);
int socket_recv(SOCKET s, void* data, size_t size);
// One gathered send of `first` followed by `second` (which may be empty): WSASend with
// two buffers, sendmsg elsewhere. The result as send gives it.
int socket_send_pieces(SOCKET s, std::span<const char> first, std::span<const char> second);

// How many received bytes wait to be read; 0 when none or on failure.
size_t socket_pending_bytes(SOCKET s);

// Waits up to `timeout_ms` for a non-blocking connect to finish. Returns 1 when it is
// connected, 0 while it is still under way, -1 when it failed.
int socket_wait_connected(SOCKET s, int timeout_ms);

// poll() on POSIX, WSAPoll() on Windows.
int socket_poll(PollFd* sockets, size_t count, int timeout_ms);

// An IPv4 socket address for bind and connect; address and port in host byte order
// (INADDR_LOOPBACK, 7777).
sockaddr_in socket_ipv4_address(uint32_t host_order_address, uint16_t port);

// TCP keepalive on a connected or connecting socket, so that a peer that vanished without
// a word (a router rebooted, a NAT entry expired, a cable pulled at the far end) is found:
// after 20 s without traffic a probe every 2 s, and 3 unanswered probes end the
// connection, which then reports its close like any other. Data sent and not acknowledged
// ends it after 30 s where the platform allows (TCP_USER_TIMEOUT on Linux). Windows sets
// idle and interval with SIO_KEEPALIVE_VALS; its probe count where the system takes one.
// Returns false when the keepalive itself could not be switched on.
constexpr int kKeepaliveIdleS = 20;
constexpr int kKeepaliveIntervalS = 2;
constexpr int kKeepaliveProbes = 3;
constexpr int kUnacknowledgedLimitMs = 30000;
bool socket_keepalive(SOCKET s);

// Sends what is handed to the socket at once (Nagle's algorithm off): a few bytes of a
// message must not wait for the peer to acknowledge the last ones.
void socket_no_delay(SOCKET s);

// An IPv4 address as dotted-decimal text ("192.168.0.10"), formatted without any shared
// buffer so that either thread may call it.
void socket_format_address(const in_addr& address, std::array<char, 16>& text);
