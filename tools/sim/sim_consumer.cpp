// qalmor-sim --consumer: a stand-in processing server for the program's consumer link;
// qalmor-sim --listen: a stand-in server the program pushes its stream to.
#include <chrono>
#include <cstring>

#include "base/utf8_text.h"
#include "sim/receiver_sim.h"

namespace {

constexpr int kGreetingLines = 5;
constexpr size_t kPrintedLineSize = 1024;  // longer lines are printed in pieces

// One line as a terminal shows it: Windows-1251 letters in UTF-8.
void print_line(FILE* out, std::string_view line) {
    std::array<char, kPrintedLineSize * 3> utf8;
    utf8_from_cp1251(line, utf8);
    std::fprintf(out, "%s\n", utf8.data());
    std::fflush(out);
}

// Waits up to 50 ms for bytes on `s` and reads them: the count, 0 when none came, -1 once
// the program has closed the connection.
int receive_some(SOCKET s, std::span<char> buffer) {
    PollFd entry{};
    entry.fd = s;
    entry.events = POLLIN;
    if (socket_poll(&entry, 1, 50) <= 0)
        return 0;
    int received = socket_recv(s, buffer.data(), buffer.size());
    return received > 0 ? received : -1;
}

void send_command(SOCKET s, SimCommand command, FILE* out) {
    const char* text =
        command == SimCommand::original ? "#SET OUT DATE ORIGINAL\r\n" : "#SET OUT DATE TEXT\r\n";
    socket_send(s, text, std::strlen(text));
    std::fprintf(out, "qalmor-sim: sent %.*s\n", static_cast<int>(std::strlen(text) - 2), text);
}

// Reads one connection to its end, printing each line; after the greeting, sends the
// command asked for.
void consume_connection(SOCKET s, const SimOptions& options, FILE* out,
                        const std::atomic<bool>& stop) {
    std::array<char, kPrintedLineSize> line;
    size_t length = 0;
    int lines = 0;
    std::array<char, 65536> buffer;
    while (!stop) {
        int received = receive_some(s, buffer);
        if (received < 0)
            return;
        for (char c : std::span(buffer.data(), static_cast<size_t>(received))) {
            if (c != '\n' && length < line.size()) {
                line[length++] = c;
                continue;
            }
            print_line(out, {line.data(), length});
            length = c == '\n' ? 0 : (line[0] = c, 1);
            if (++lines == kGreetingLines && options.command != SimCommand::none)
                send_command(s, options.command, out);
        }
    }
}

}  // namespace

void sim_consume(SimServer& server, const SimOptions& options, FILE* out,
                 const std::atomic<bool>& stop) {
    while (!stop) {
        SimEndpoint endpoint;
        SOCKET s = sim_accept(server.listener, 50, &endpoint);
        if (s == INVALID_SOCKET)
            continue;
        std::fprintf(out, "qalmor-sim: %s connected\n", endpoint.data());
        consume_connection(s, options, out, stop);
        sim_close_socket(s);
        std::fprintf(out, "qalmor-sim: %s closed the connection\n", endpoint.data());
        std::fflush(out);
    }
}

void sim_listen_count(SimServer& server, FILE* out, const std::atomic<bool>& stop) {
    std::array<char, 65536> buffer;
    while (!stop) {
        SimEndpoint endpoint;
        SOCKET s = sim_accept(server.listener, 50, &endpoint);
        if (s == INVALID_SOCKET)
            continue;
        std::fprintf(out, "qalmor-sim: %s connected\n", endpoint.data());
        std::fflush(out);
        uint64_t bytes = 0;
        auto next_report = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        while (!stop) {
            int received = receive_some(s, buffer);
            if (received < 0)
                break;
            bytes += static_cast<uint64_t>(received);
            if (std::chrono::steady_clock::now() >= next_report) {
                next_report += std::chrono::seconds(1);
                std::fprintf(out, "qalmor-sim: %s %llu bytes\n", endpoint.data(),
                             static_cast<unsigned long long>(bytes));
                std::fflush(out);
            }
        }
        sim_close_socket(s);
        std::fprintf(out, "qalmor-sim: %s closed the connection after %llu bytes\n",
                     endpoint.data(), static_cast<unsigned long long>(bytes));
        std::fflush(out);
    }
}
