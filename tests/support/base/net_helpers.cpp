#include "support/base/net_helpers.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#ifndef _WIN32
#include <unistd.h>
#endif

namespace {

// Winsock must be started before any test touches a socket; a no-op elsewhere.
const bool sockets_ready = sockets_start();

std::string temp_dir_name() {
    (void)sockets_ready;
    std::random_device random;
    char name[64];
    std::snprintf(name, sizeof name, "qalmor-test-%08x%08x", random(), random());
    return (std::filesystem::temp_directory_path() / name).string();
}

int process_id() {
#ifdef _WIN32
    return static_cast<int>(GetCurrentProcessId());
#else
    return static_cast<int>(getpid());
#endif
}

// Whether a listener could take `port` on loopback now.
bool port_is_free(uint16_t port) {
    SOCKET probe = sim_listen_on(INADDR_LOOPBACK, port);
    closesocket(probe);
    return probe != INVALID_SOCKET;
}

}  // namespace

// The system gives connections and port-0 listeners their ports from its ephemeral range
// (32768 and up on Linux, 49152 and up on Windows), so a port below it that is free now
// stays free until a test takes it, whatever the tests running beside this one connect.
// Each process looks in a stretch of its own, by its id, so that two tests do not pick
// the same port at the same moment.
uint16_t free_port() {
    constexpr int kFirstPort = 20000;
    constexpr int kStretches = 512;
    constexpr int kStretchPorts = 24;  // the last stretch ends at 32287
    static int next = 0;
    int first = kFirstPort + process_id() % kStretches * kStretchPorts;
    for (int tried = 0; tried < kStretchPorts; ++tried) {
        auto port = static_cast<uint16_t>(first + next++ % kStretchPorts);
        if (port_is_free(port))
            return port;
    }
    uint16_t port = 0;  // the whole stretch in use: one the system picks
    closesocket(sim_listen_on(INADDR_LOOPBACK, port));
    return port;
}

TempDir::TempDir() : path(temp_dir_name()) {
    std::filesystem::create_directories(path);
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

std::string TempDir::read(const std::string& file) const {
    std::ifstream in(path + "/" + file, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void TempDir::write(const std::string& file, const std::string& bytes) const {
    std::ofstream out(path + "/" + file, std::ios::binary);
    out << bytes;
}

FakeReceiver::FakeReceiver() : listener(sim_listen_on(INADDR_LOOPBACK, port)) {}

FakeReceiver::FakeReceiver(const char* address) : listener(listen_at(address, port)) {}

FakeReceiver::~FakeReceiver() {
    close_connection();
    closesocket(listener);
}

bool FakeReceiver::accept_pending() {
    if (connection == INVALID_SOCKET)
        connection = sim_accept(listener, 0);
    return connection != INVALID_SOCKET;
}

void FakeReceiver::send_all(std::string_view bytes) {
    sim_send_all(connection, bytes);
}

void FakeReceiver::close_connection() {
    sim_close_socket(connection);
}

SilentListener::SilentListener() {
    listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = socket_ipv4_address(INADDR_LOOPBACK, 0);
    socklen_t length = sizeof address;
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 0) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return;
    port = ntohs(address.sin_port);
    filler = connect_to(port);
    // A probe: with the queue full, a connect must still be under way a moment later.
    SOCKET probe = socket(AF_INET, SOCK_STREAM, 0);
    socket_set_nonblocking(probe);
    address = socket_ipv4_address(INADDR_LOOPBACK, port);
    connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
    hangs = filler != INVALID_SOCKET && socket_wait_connected(probe, 300) == 0;
    closesocket(probe);
}

SilentListener::~SilentListener() {
    if (filler != INVALID_SOCKET)
        closesocket(filler);
    closesocket(listener);
}

SOCKET connect_to(uint16_t port, uint16_t* local_port) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = socket_ipv4_address(INADDR_LOOPBACK, port);
    socklen_t length = sizeof address;
    if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    if (local_port != nullptr)
        *local_port = ntohs(address.sin_port);
    return s;
}

SOCKET connect_between(const char* from, const char* to, uint16_t port) {
    IpAddress peer;
    if (!ip_parse(to, peer))
        return INVALID_SOCKET;
    SOCKET s = socket(ip_is_v4(peer) ? AF_INET : AF_INET6, SOCK_STREAM, 0);
    sockaddr_storage address;
    IpAddress local;
    bool bound = from == nullptr ||
                 (ip_parse(from, local) && bind(s, reinterpret_cast<sockaddr*>(&address),
                                                ip_socket_address(local, 0, address)) == 0);
    socklen_t length = ip_socket_address(peer, port, address);
    if (!bound || connect(s, reinterpret_cast<sockaddr*>(&address), length) != 0) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

SOCKET listen_at(const char* address, uint16_t& port) {
    IpAddress ip;
    if (!ip_parse(address, ip))
        return INVALID_SOCKET;
    SOCKET s = socket(ip_is_v4(ip) ? AF_INET : AF_INET6, SOCK_STREAM, 0);
    sockaddr_storage bound;
    socklen_t length = ip_socket_address(ip, 0, bound);
    if (bind(s, reinterpret_cast<sockaddr*>(&bound), length) != 0 || listen(s, 16) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    port = ntohs(bound.ss_family == AF_INET ? reinterpret_cast<sockaddr_in&>(bound).sin_port
                                            : reinterpret_cast<sockaddr_in6&>(bound).sin6_port);
    return s;
}

int relay_client_read(SOCKET s, std::span<char> buffer, int wait_ms) {
    if (wait_ms > 0) {
        PollFd entry{};
        entry.fd = s;
        entry.events = POLLIN;
        if (socket_poll(&entry, 1, wait_ms) <= 0)
            return 0;
    }
    int n = socket_recv(s, buffer.data(), buffer.size());
    if (n > 0)
        return n;
    return n < 0 && socket_would_block() ? 0 : -1;
}

RelayReader::RelayReader(uint16_t port) : RelayReader(nullptr, "127.0.0.1", port) {}

RelayReader::RelayReader(const char* from, const char* to, uint16_t port)
    : socket(connect_between(from, to, port)) {
    // Waits in short polls rather than in a blocking recv: under Wine, shutting a socket
    // down does not wake a recv blocked on another thread.
    thread = std::thread([this] {
        std::array<char, 16384> buffer;
        while (!stopping) {
            if (paused) {
                std::this_thread::sleep_for(5ms);
                continue;
            }
            int n = relay_client_read(socket, buffer, 20);
            if (n < 0)
                break;
            std::lock_guard guard(lock);
            received.append(buffer.data(), static_cast<size_t>(n));
        }
        closed = true;
    });
}

RelayReader::~RelayReader() {
    stopping = true;
    thread.join();
    closesocket(socket);
}

size_t RelayReader::size() {
    std::lock_guard guard(lock);
    return received.size();
}

std::string RelayReader::bytes() {
    std::lock_guard guard(lock);
    return received;
}

std::string recv_within(SOCKET s, size_t size, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    std::string out;
    std::array<char, 16384> buffer;
    while (out.size() < size && std::chrono::steady_clock::now() < deadline) {
        int n = relay_client_read(
            s, std::span(buffer).first(std::min(buffer.size(), size - out.size())), 20);
        if (n < 0)
            break;
        out.append(buffer.data(), static_cast<size_t>(n));
    }
    return out;
}

std::string stream_bytes(uint64_t offset, size_t length) {
    std::string bytes(length, '\0');
    for (size_t i = 0; i < length; ++i) {
        uint64_t position = offset + i;
        // Spreads each position over the byte values, and the high bits of long streams too.
        uint64_t mixed = (position ^ (position >> 17)) * 0x9E3779B97F4A7C15u;
        bytes[i] = static_cast<char>(mixed >> 56);
    }
    return bytes;
}
