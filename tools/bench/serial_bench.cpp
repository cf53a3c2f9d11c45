// Serial source benchmark: the Linux program qalmor reading a receiver on a serial port at
// 3,000,000 baud, the line kept full, to 10 and 100 relay clients; and, beside it, the
// same program with the TCP source at the same message rate. The receiver is a
// pseudo-terminal this benchmark plays itself (paced at the line rate the program set),
// so every byte the line carried is known. Each client's stream is checked frame by frame
// against what was written. Printed: the stream's rate, bytes lost (written but missing at
// a client), the clients whose streams were exact, and qalmor's CPU seconds per MB of the
// source stream. Run it as
//   serial_bench --program build/native/qalmor --simulator build/native/tools/sim/qalmor-sim
// It asserts no speed: it measures and prints, and ends every process it started.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_clients.h"
#include "bench/bench_processes.h"
#include "sim/receiver_sim.h"
#include "sim/sim_serial.h"
#include "support/base/net_helpers.h"

namespace {

constexpr int64_t kMs = 1000000;
constexpr int64_t kSetupTimeoutNs = 10000 * kMs;
constexpr int64_t kDrainTimeoutNs = 20000 * kMs;
constexpr int kStopWaitMs = 5000;
constexpr int32_t kSpeed = 3000000;

struct Row {
    const char* source = "";
    int clients = 0;
    double seconds = 0;
    uint64_t stream_bytes = 0;  // what the receiver wrote
    uint64_t frames = 0;        // frames the first client received
    uint64_t lost = 0;          // the most any client missed
    int exact = 0;
    double cpu_s = 0;
    std::string failure;
};

// A run: qalmor in service mode in a folder of its own, its clients and their readers.
struct Run {
    TempDir dir;
    ChildProcess program;
    ChildProcess simulator;
    uint16_t relay_port = free_port();
    std::vector<std::unique_ptr<BenchClient>> clients;
    ClientReaders readers;

    ~Run() {
        readers_stop(readers);
        for (auto& client : clients)
            client_close(*client);
        child_stop(program, SIGTERM, kStopWaitMs);
        child_stop(simulator, SIGTERM, kStopWaitMs);
    }
};

bool wait_for(Run& run, const std::function<bool()>& done, int64_t timeout_ns) {
    return children_wait(run.program, run.simulator, done, timeout_ns);
}

bool said(const ChildProcess& child, const char* text) {
    return child.text.find(text) != std::string::npos;
}

// Connects the clients one at a time (the relay listens with a backlog of 1) and starts
// reading them.
std::string connect_clients(Run& run, int count, const FrameCheck& check) {
    for (int i = 0; i < count; ++i) {
        std::unique_ptr<BenchClient> client;
        if (!wait_for(
                run, [&] { return (client = client_connect(run.relay_port)) != nullptr; },
                kSetupTimeoutNs))
            return "a client could not connect";
        uint16_t port = client->local_port;
        run.clients.push_back(std::move(client));
        if (!wait_for(
                run, [&] { return relay_holds_client(run.relay_port, port); }, kSetupTimeoutNs))
            return "the relay did not take every client";
    }
    std::vector<BenchClient*> readable;
    for (auto& client : run.clients)
        readable.push_back(client.get());
    readers_start(run.readers, readable, 2, check);
    return "";
}

// Waits until every client has `bytes`, then counts what each missed and which were exact.
void drain_and_count(Run& run, uint64_t bytes, Row& row) {
    wait_for(
        run,
        [&] {
            return std::all_of(run.clients.begin(), run.clients.end(),
                               [&](auto& c) { return c->bytes.load() >= bytes; });
        },
        kDrainTimeoutNs);
    readers_stop(run.readers);
    row.frames = run.clients.front()->frames;
    for (auto& client : run.clients) {
        uint64_t got = std::min(client->bytes.load(), bytes);
        row.lost = std::max(row.lost, bytes - got);
        row.exact += !client->faulty.load() && client->bytes.load() == bytes ? 1 : 0;
    }
}

void write_settings(const Run& run, uint16_t source_port) {
    run.dir.write("initsocket.ini", std::to_string(run.relay_port) + "\r\n");
    run.dir.write("initmkp1.ini", std::to_string(source_port) + "\r\n127.0.0.1\r\n");
    run.dir.write("BinarComOn.ini", "1\r\n");
}

// The serial source: the line kept full at 3,000,000 baud for `seconds`.
Row run_serial(const std::string& program, int clients, double seconds, const FrameCheck& check) {
    Row row;
    row.source = "serial";
    row.clients = clients;
    row.seconds = seconds;
    Run run;
    write_settings(run, free_port());
    SimSerial serial;
    SimText error{};
    std::string link = run.dir.path + "/ttyBEAST";
    if (!sim_serial_open(serial, link, error)) {
        row.failure = error.data();
        return row;
    }
    child_start(run.program, {program, "--dir", run.dir.path, "--serial", link, "--speed",
                              std::to_string(kSpeed)});
    if (!wait_for(
            run, [&] { return said(run.program, "Соединение 3000000 бод"); }, kSetupTimeoutNs)) {
        row.failure = "the program did not open the port: " + run.program.text;
        sim_serial_close(serial);
        return row;
    }
    row.failure = connect_clients(run, clients, check);
    if (!row.failure.empty()) {
        sim_serial_close(serial);
        return row;
    }
    SimOptions options;
    options.format = SimFormat::beast;
    options.rate = 0;  // as fast as the line carries
    options.clock = SimClockSource::monotonic;
    std::atomic<bool> stop{false};
    int64_t cpu_start = process_cpu_ns(run.program.pid);
    std::thread player([&] { sim_serial_play(serial, options, 0, check.messages, stop); });
    wait_for(
        run, [] { return false; }, static_cast<int64_t>(seconds * 1e9));
    stop = true;
    player.join();
    row.stream_bytes = serial.written;
    drain_and_count(run, serial.written, row);
    row.cpu_s = static_cast<double>(process_cpu_ns(run.program.pid) - cpu_start) / 1e9;
    sim_serial_close(serial);
    return row;
}

// The TCP source at the rate the serial line carried, for the same time.
Row run_tcp(const std::string& program, const std::string& simulator, int clients,
            const Row& serial, const FrameCheck& check) {
    Row row;
    row.source = "tcp";
    row.clients = clients;
    row.seconds = serial.seconds;
    Run run;
    uint16_t source_port = free_port();
    write_settings(run, source_port);
    child_start(run.program, {program, "--dir", run.dir.path});
    row.failure = connect_clients(run, clients, check);
    if (!row.failure.empty())
        return row;
    char rate[32];
    std::snprintf(rate, sizeof rate, "%.1f", static_cast<double>(serial.frames) / serial.seconds);
    int64_t cpu_start = process_cpu_ns(run.program.pid);
    child_start(run.simulator,
                {simulator, "--port", std::to_string(source_port), "--format", "beast", "--rate",
                 rate, "--clock", "monotonic", "--pause-after", std::to_string(serial.frames)});
    if (!wait_for(
            run, [&] { return said(run.simulator, "paused"); },
            static_cast<int64_t>(serial.seconds * 3e9) + kSetupTimeoutNs)) {
        row.failure = "the simulator did not send everything";
        return row;
    }
    uint64_t bytes = 0;  // what the first client should get: the frames sent, whole
    wait_for(
        run, [&] { return run.clients.front()->frames_read.load() >= serial.frames; },
        kDrainTimeoutNs);
    bytes = run.clients.front()->bytes.load();
    row.stream_bytes = bytes;
    drain_and_count(run, bytes, row);
    row.cpu_s = static_cast<double>(process_cpu_ns(run.program.pid) - cpu_start) / 1e9;
    return row;
}

void print_row(const Row& row) {
    if (!row.failure.empty()) {
        std::printf("%-7s %4d  failed: %s\n", row.source, row.clients, row.failure.c_str());
        return;
    }
    double mb = static_cast<double>(row.stream_bytes) / 1e6;
    std::printf("%-7s %4d %10.1f %12llu %10llu %6d/%-4d %9.3f %8.1f\n", row.source, row.clients,
                mb * 1e3 / row.seconds, static_cast<unsigned long long>(row.stream_bytes),
                static_cast<unsigned long long>(row.lost), row.exact, row.clients,
                mb > 0 ? row.cpu_s / mb : 0.0, row.cpu_s / row.seconds * 100);
}

}  // namespace

int main(int argc, char** argv) {
    std::string program;
    std::string simulator;
    double seconds = 10;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string name = argv[i];
        if (name == "--program")
            program = argv[i + 1];
        else if (name == "--simulator")
            simulator = argv[i + 1];
        else if (name == "--seconds")
            seconds = std::atof(argv[i + 1]);
    }
    if (program.empty() || simulator.empty() || seconds <= 0) {
        std::fprintf(stderr, "usage: serial_bench --program PATH --simulator PATH [--seconds S]\n");
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    std::vector<ReceiverMessage> messages = stream_parse_avr_text(stream_real_capture());
    FrameCheck check{messages};
    std::printf("source  cl  stream kB/s  bytes sent  most lost  exact     CPU s/MB  CPU %%\n");
    for (int clients : {10, 100}) {
        Row serial = run_serial(program, clients, seconds, check);
        print_row(serial);
        if (serial.failure.empty())
            print_row(run_tcp(program, simulator, clients, serial, check));
        std::fflush(stdout);
    }
    return 0;
}
