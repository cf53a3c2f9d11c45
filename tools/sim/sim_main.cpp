// qalmor-sim: the receiver simulator's command line. Everything it does is in the
// library (receiver_sim.h); this only wires it to the process.
#include <atomic>
#include <csignal>
#include <cstdio>

#include "sim/receiver_sim.h"

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
    } else {
        sim_serve(server, options, messages, g_stop);
    }
    sim_close(server);
    sockets_stop();
    return 0;
}
