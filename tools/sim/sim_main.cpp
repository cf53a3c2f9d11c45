// qalmor-sim: the receiver simulator's command line. Everything it does is in the
// library (receiver_sim.h); this only wires it to the process.
#include <atomic>
#include <csignal>
#include <cstdio>

#include "sim/receiver_sim.h"
#ifndef _WIN32
#include "sim/sim_serial.h"
#endif

namespace {

// Set by Ctrl-C; the server loop notices it within 50 ms and returns.
std::atomic<bool> g_stop{false};

void on_interrupt(int) {
    g_stop = true;
}

int usage_error(const SimText& error) {
    std::fprintf(stderr, "qalmor-sim: %s (see qalmor-sim --help)\n", error.data());
    return 2;
}

// A receiver on a pseudo-terminal, until Ctrl-C.
int serve_serial(const SimOptions& options, const std::vector<ReceiverMessage>& messages) {
#ifdef _WIN32
    (void)options;
    (void)messages;
    std::fprintf(stderr, "qalmor-sim: --serial needs Linux (pseudo-terminals)\n");
    return 1;
#else
    SimSerial serial;
    SimText error{};
    if (!sim_serial_open(serial, options.serial_link, error)) {
        std::fprintf(stderr, "qalmor-sim: %s\n", error.data());
        sim_serial_close(serial);
        return 1;
    }
    std::printf("qalmor-sim: serial port %s\n", serial.path.c_str());
    if (!serial.link.empty())
        std::printf("qalmor-sim: linked as %s\n", serial.link.c_str());
    std::printf(
        "qalmor-sim: under Wine: ln -sfn %s \"${WINEPREFIX:-$HOME/.wine}/dosdevices/com5\""
        " and use COM5\n",
        serial.path.c_str());
    std::fflush(stdout);
    std::signal(SIGINT, on_interrupt);
    std::signal(SIGTERM, on_interrupt);
    sim_serial_play(serial, options, options.serial_speed, messages, g_stop);
    sim_serial_close(serial);
    return 0;
#endif
}

}  // namespace

int main(int argc, char** argv) {
    SimOptions options;
    SimText error{};
    std::span<const char* const> args(argv + 1, static_cast<size_t>(argc > 0 ? argc - 1 : 0));
    switch (sim_parse_options(args, options, error)) {
        case SimParse::help:
            std::fwrite(sim_help_text().data(), 1, sim_help_text().size(), stdout);
            return 0;
        case SimParse::error:
            return usage_error(error);
        case SimParse::run:
            break;
    }
    std::vector<ReceiverMessage> messages;
    if (!sim_load_messages(options, messages, error)) {
        return usage_error(error);
    }
    if (options.serial)
        return serve_serial(options, messages);
    if (!sockets_start()) {
        std::fprintf(stderr, "qalmor-sim: cannot start Windows Sockets\n");
        return 1;
    }
    // The server holds a 128 KB send buffer: not on the stack.
    static SimServer server;
    server.log = stderr;
    if (!sim_listen(server, options, error)) {
        std::fprintf(stderr, "qalmor-sim: %s\n", error.data());
        sockets_stop();
        return 1;
    }
    SimEndpoint endpoint;
    sim_format_endpoint(server.address, server.port, endpoint);
    std::printf("qalmor-sim: listening on %s\n", endpoint.data());
    std::fflush(stdout);

    std::signal(SIGINT, on_interrupt);
    std::signal(SIGTERM, on_interrupt);
    if (options.consumer) {
        sim_consume(server, options, stdout, g_stop);
    } else if (options.listen) {
        sim_listen_count(server, stdout, g_stop);
    } else {
        sim_serve(server, options, messages, g_stop);
    }
    sim_close(server);
    sockets_stop();
    return 0;
}
