// Relay benchmark: the Linux program qalmor and, side by side in the same run, a reference
// relay, each a process of its own between the receiver simulator (qalmor-sim) and relay
// clients on 127.0.0.1. The reference is a minimal epoll relay used only as a measuring
// stick: both see the same machine, load and clients, so compare the ratios rather than
// the absolute figures. Run it as
//   relay_bench --program build/native/qalmor --simulator build/native/tools/sim/qalmor-sim
//               [--reference build/ideal_relay] [--runs 3]
// (scripts/bench builds the reference and does this); `--help` lists the options.
//
// The simulator sends the capture as Beast frames, each stamped with the monotonic clock
// as it is written. Scenarios, each run against every relay:
//   paced    2000 frames/s to 1, 10 and 100 clients: latency from the stamp to a client's
//            read (p50, p99), the relay's CPU seconds per million frames delivered
//            (/proc/PID/stat), its peak resident memory (VmHWM);
//   flat out to 1, 10 and 100 clients through the benchmark's valve, which passes the
//            stream on only while the slowest client is less than --valve bytes behind:
//            MB/s each client received;
//   burst    1 MiB and 4 MiB sent at once, as fast as the relay takes them, to 10 clients;
//   stuck    100 clients, one never reads, paced fast: the relay's peak memory, and
//            whether and when it cut the stuck client;
//   push     qalmor alone: 10 clients and 4 push targets (servers it connects to) paced
//            and flat out, beside 14 clients paced: what a target costs against a client
//            (CPU per delivered frame, the ratio printed under the table), and whether a
//            target that reads is ever cut.
// Every client's stream is checked: every frame in order, each byte as the simulator wrote
// it. A client the relay cut is a result, counted in the table. The benchmark asserts no
// speed; it measures and prints, and ends every process it started.
#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "base/options.h"
#include "bench/bench_clients.h"
#include "bench/bench_processes.h"
#include "sim/receiver_sim.h"
#include "support/base/net_helpers.h"

namespace {

constexpr int64_t kMs = 1000000;
constexpr uint64_t kMiB = 1024 * 1024;
constexpr int64_t kSetupTimeoutNs = 5000 * kMs;
// Clients still catching up when the simulator has sent everything get this long.
constexpr int64_t kDrainTimeoutNs = 30000 * kMs;
// Flat out and in a burst, the simulator's sending is given this long.
constexpr int64_t kFlatOutSendLimitNs = 120000 * kMs;
constexpr int kStopWaitMs = 5000;
// Frames of the first 100 ms are not timed: a relay takes up a new source link in its
// own time, which says nothing about how it keeps up.
constexpr int64_t kLeadInNs = 100 * kMs;
// How often the stuck client's connection is looked up in /proc/net/tcp.
constexpr int64_t kStuckWatchNs = 20 * kMs;

struct Options {
    std::vector<std::string> only;
    double seconds = 5;
    double rate = 2000;
    double stuck_seconds = 12;
    double stuck_rate = 50000;
    double valve = 4 * kMiB;
    double max_messages = 1000000;
    int runs = 1;
    int readers = 2;
    std::string program;
    std::string simulator;
    std::string reference;
};

enum class Send { paced, valve, burst };

struct Scenario {
    const char* key;
    Send send;
    int clients;  // all of them, the stuck one included; the push targets besides
    bool stuck = false;
    uint64_t burst_bytes = 0;
    int targets = 0;  // push targets, qalmor only
    // The scenario whose CPU per delivered frame this one's is compared with.
    const char* compare_with = nullptr;
};

constexpr Scenario kScenarios[] = {
    {"paced1", Send::paced, 1},
    {"paced10", Send::paced, 10},
    {"paced100", Send::paced, 100},
    {"max1", Send::valve, 1},
    {"max10", Send::valve, 10},
    {"max100", Send::valve, 100},
    {"burst1M", Send::burst, 10, false, 1 * kMiB},
    {"burst4M", Send::burst, 10, false, 4 * kMiB},
    {"stuck", Send::paced, 100, true},
    {"paced14", Send::paced, 14},
    {"push10+4", Send::paced, 10, false, 0, 4, "paced14"},
    {"pushmax10+4", Send::valve, 10, false, 0, 4},
};

enum class RelayKind { reference, qalmor };

struct Relay {
    RelayKind kind;
    const char* name;
    std::string path;
};

struct Result {
    std::string failure;  // why the run could not be made; "" when it ran
    double frames_per_s = 0;
    double mb_per_client = 0;  // mean over the clients not cut
    double p50_us = 0;
    double p99_us = 0;
    double cpu_s_per_mdelivered = 0;
    double peak_mb = 0;
    int healthy = 0;  // clients that read
    int exact = 0;
    int cut = 0;  // healthy clients the relay closed
    std::string first_fault;
    bool drain_timed_out = false;
    int stuck_cut_runs = 0;
    double stuck_cut_after_s = 0;
    int exit_code = 0;  // after SIGTERM; -1 for a signal
};

const char kHelp[] =
    "usage: relay_bench --program PATH --simulator PATH [--reference PATH] [--runs N]\n"
    "                   [--only LIST] [--seconds S] [--rate N] [--valve BYTES]\n"
    "                   [--max-messages N] [--stuck-seconds S] [--stuck-rate N] [--readers N]\n"
    "\n"
    "Runs qalmor and a reference relay, each as a process fed by the receiver simulator,\n"
    "to relay clients on 127.0.0.1, and prints latency, CPU time, peak memory, throughput\n"
    "and a check of every client's stream, side by side with the ratios qalmor/reference.\n"
    "\n"
    "  --program PATH    the Linux program (build/native/qalmor)\n"
    "  --simulator PATH  the receiver simulator (build/native/tools/sim/qalmor-sim)\n"
    "  --reference PATH  the reference relay (scripts/bench builds build/ideal_relay), run\n"
    "                    with its defaults; without it qalmor runs alone\n"
    "  --runs N          runs of each scenario and relay; the table shows medians (default 1)\n"
    "  --only LIST       scenarios, comma-separated (default: all):\n"
    "                      paced1 paced10 paced100   paced, to 1/10/100 clients\n"
    "                      max1 max10 max100         flat out through the valve\n"
    "                      burst1M burst4M           1 or 4 MiB at once, to 10 clients\n"
    "                      stuck                     100 clients, one never reads\n"
    "                      paced14 push10+4          14 clients, or 10 and 4 push targets\n"
    "                      pushmax10+4               flat out to 10 clients and 4 targets\n"
    "  --seconds S       how long the paced scenarios send (default 5)\n"
    "  --rate N          frames per second of the paced scenarios (default 2000)\n"
    "  --valve BYTES     flat out, how far the stream may run ahead of the slowest client\n"
    "                    (default 4194304, 4 MiB)\n"
    "  --max-messages N  frames sent flat out (default 1000000)\n"
    "  --stuck-seconds S, --stuck-rate N\n"
    "                    the stuck scenario's sending (default 12 s at 50000/s, about 12 MB:\n"
    "                    more than an 8 MiB history and the socket buffers hold)\n"
    "  --readers N       client reader threads (default 2)\n"
    "  --help            this text\n";

std::vector<std::string> split_list(std::string_view text) {
    std::vector<std::string> items;
    while (!text.empty()) {
        size_t comma = text.find(',');
        items.emplace_back(text.substr(0, comma));
        text = comma == std::string_view::npos ? "" : text.substr(comma + 1);
    }
    return items;
}

bool known_scenario(const std::string& key) {
    return std::any_of(std::begin(kScenarios), std::end(kScenarios),
                       [&](const Scenario& s) { return key == s.key; });
}

enum Option { kHelpOption, kOnly, kCount, kNumber, kPath };

constexpr OptionRule kOptions[] = {
    {"-h", OptionKind::flag, kHelpOption},
    {"--help", OptionKind::flag, kHelpOption},
    {"--only", OptionKind::text, kOnly},
    {"--runs", OptionKind::decimal, kCount, 1, 99},
    {"--readers", OptionKind::decimal, kCount, 1, 64},
    {"--seconds", OptionKind::decimal, kNumber, 0.1, 600},
    {"--rate", OptionKind::decimal, kNumber, 1, 1000000},
    {"--stuck-seconds", OptionKind::decimal, kNumber, 0.1, 600},
    {"--stuck-rate", OptionKind::decimal, kNumber, 1, 1000000},
    {"--valve", OptionKind::decimal, kNumber, 65536, 1e9},
    {"--max-messages", OptionKind::decimal, kNumber, 1000, 1e9},
    {"--program", OptionKind::text, kPath},
    {"--simulator", OptionKind::text, kPath},
    {"--reference", OptionKind::text, kPath},
};

double& number_field(std::string_view name, Options& o) {
    return name == "--seconds"         ? o.seconds
           : name == "--rate"          ? o.rate
           : name == "--stuck-seconds" ? o.stuck_seconds
           : name == "--stuck-rate"    ? o.stuck_rate
           : name == "--valve"         ? o.valve
                                       : o.max_messages;
}

std::string& path_field(std::string_view name, Options& o) {
    return name == "--program" ? o.program : name == "--simulator" ? o.simulator : o.reference;
}

// Stores an option read without fault; false when the scenario list names an unknown one.
bool set_option(const OptionHit& hit, Options& options) {
    std::string_view name = hit.rule->name;
    if (hit.rule->id == kOnly) {
        options.only = split_list(hit.value);
        return std::all_of(options.only.begin(), options.only.end(), known_scenario);
    }
    if (hit.rule->id == kCount) {
        (name == "--runs" ? options.runs : options.readers) = static_cast<int>(hit.decimal);
    } else if (hit.rule->id == kNumber) {
        number_field(name, options) = hit.decimal;
    } else {
        path_field(name, options) = hit.value;
    }
    return true;
}

// Returns 0 to run, 1 after --help, 2 on a bad option (with the reason printed).
int parse_options(int argc, char** argv, Options& options) {
    std::span<const char* const> args(argv + 1, static_cast<size_t>(argc > 0 ? argc - 1 : 0));
    OptionScan scan{args, kOptions, false};
    OptionHit hit;
    while (option_next(scan, hit)) {
        if (hit.status == OptionStatus::ok && hit.rule->id == kHelpOption) {
            std::fputs(kHelp, stdout);
            return 1;
        }
        if (hit.status != OptionStatus::ok || !set_option(hit, options)) {
            const char* value = hit.at + 1 < args.size() ? args[hit.at + 1] : "";
            std::fprintf(stderr, "relay_bench: bad option %s %s (see --help)\n", args[hit.at],
                         value);
            return 2;
        }
    }
    if (options.program.empty() || options.simulator.empty()) {
        std::fprintf(stderr, "relay_bench: --program and --simulator are needed (see --help)\n");
        return 2;
    }
    return 0;
}

// ---- One run: a relay, the simulator and the clients ----

double scenario_rate(const Scenario& scenario, const Options& options) {
    if (scenario.send != Send::paced)
        return 0;
    return scenario.stuck ? options.stuck_rate : options.rate;
}

// The frames of the capture, from its top, that make up `bytes` on the wire. The
// simulator's stamps add a byte now and then (a doubled 0x1A), so the burst comes out
// slightly longer.
uint64_t frames_for_bytes(std::span<const ReceiverMessage> messages, uint64_t bytes) {
    uint64_t frames = 0;
    std::array<uint8_t, kMaxWireFrame> frame;
    for (uint64_t total = 0; total < bytes; ++frames) {
        total += stream_binary_frame(messages[frames % messages.size()], 0,
                                     sim_signal_level(frames), frame);
    }
    return frames;
}

uint64_t scenario_messages(const Scenario& scenario, const Options& options,
                           std::span<const ReceiverMessage> messages) {
    switch (scenario.send) {
        case Send::paced: {
            double seconds = scenario.stuck ? options.stuck_seconds : options.seconds;
            return static_cast<uint64_t>(std::llround(scenario_rate(scenario, options) * seconds));
        }
        case Send::valve:
            return static_cast<uint64_t>(options.max_messages);
        case Send::burst:
            return frames_for_bytes(messages, scenario.burst_bytes);
    }
    return 0;
}

struct RelayRun {
    TempDir dir;  // qalmor's settings files and client log
    ChildProcess relay;
    ChildProcess simulator;
    uint16_t relay_port = 0;
    uint16_t source_port = 0;
    uint64_t messages = 0;                              // what the simulator sends
    std::vector<std::unique_ptr<BenchClient>> clients;  // the stuck one, if any, last
    std::vector<SOCKET> target_listeners;               // where the push targets connect
    ClientReaders readers;
    BenchValve valve;  // flat out only
    int64_t link_ns = 0;
    int64_t stuck_checked_ns = 0;
    int64_t stuck_cut_ns = 0;

    ~RelayRun() {
        valve_stop(valve);
        readers_stop(readers);
        for (auto& client : clients) {
            client_close(*client);
        }
        for (SOCKET listener : target_listeners)
            closesocket(listener);
        child_stop(relay, SIGKILL, kStopWaitMs);
        child_stop(simulator, SIGKILL, kStopWaitMs);
    }
};

// Reads both programs' output (a full pipe would stall them) until `done` holds. False
// when the timeout passes first or a program has ended.
bool run_wait(RelayRun& run, const std::function<bool()>& done, int64_t timeout_ns) {
    return children_wait(run.relay, run.simulator, done, timeout_ns);
}

// The clients that read: the relay clients but the stuck one, and the push targets (they
// come first).
std::span<const std::unique_ptr<BenchClient>> healthy_of(const RelayRun& run,
                                                         const Scenario& scenario) {
    return std::span(run.clients).first(run.clients.size() - (scenario.stuck ? 1 : 0));
}

// Listens for the push targets and names them in qalmor's "initpush.ini".
std::string listen_for_targets(RelayRun& run, const Scenario& scenario) {
    std::string lines;
    for (int i = 0; i < scenario.targets; ++i) {
        uint16_t port = 0;
        SOCKET listener = sim_listen_on(INADDR_LOOPBACK, port);
        if (listener == INVALID_SOCKET)
            return "a push target cannot listen";
        run.target_listeners.push_back(listener);
        lines += "127.0.0.1 " + std::to_string(port) + "\r\n";
    }
    run.dir.write("initpush.ini", lines);
    return "";
}

// Takes the push targets' connections once the relay has made them.
std::string accept_targets(RelayRun& run) {
    for (SOCKET listener : run.target_listeners) {
        std::unique_ptr<BenchClient> target;
        run_wait(
            run, [&] { return (target = client_accept(listener, 10)) != nullptr; },
            kSetupTimeoutNs);
        if (target == nullptr)
            return "a push target was not connected to";
        run.clients.insert(run.clients.begin(), std::move(target));
    }
    return "";
}

// qalmor's settings files as the Windows program writes them: one value a line, CR LF.
void write_qalmor_settings(const RelayRun& run, uint16_t source_port) {
    run.dir.write("initmkp1.ini", std::to_string(source_port) + "\r\n127.0.0.1\r\n");
    run.dir.write("initsocket.ini", std::to_string(run.relay_port) + "\r\n");
    run.dir.write("BinarComOn.ini", "1\r\n");
}

// qalmor runs in service mode with its settings in a temporary folder; the reference
// with its defaults.
bool start_relay(RelayRun& run, const Relay& relay, uint16_t source_port) {
    if (relay.kind == RelayKind::qalmor) {
        write_qalmor_settings(run, source_port);
        return child_start(run.relay, {relay.path, "--dir", run.dir.path});
    }
    return child_start(run.relay, {relay.path, "--source-port", std::to_string(source_port),
                                   "--listen-port", std::to_string(run.relay_port)});
}

// The relay may not listen yet: a refused connect is tried again.
std::unique_ptr<BenchClient> connect_client(RelayRun& run) {
    std::unique_ptr<BenchClient> client;
    run_wait(
        run, [&] { return (client = client_connect(run.relay_port)) != nullptr; }, kSetupTimeoutNs);
    return client;
}

// Starts the relay and connects the clients, each once the one before has been taken
// (qalmor listens with a backlog of 1). The simulator is not there yet: the relays keep
// trying their source link, and the frames begin to flow only once every client is in.
std::string set_up(RelayRun& run, const Relay& relay, const Scenario& scenario) {
    run.relay_port = free_port();
    do {
        run.source_port = free_port();
    } while (run.source_port == run.relay_port);
    bool valve = scenario.send == Send::valve;
    if (valve) {
        run.valve.simulator_port = run.source_port;
        if (!valve_start(run.valve))
            return "the valve cannot listen";
    }
    if (scenario.targets > 0 && relay.kind != RelayKind::qalmor)
        return "it has no push targets";
    if (std::string failure = listen_for_targets(run, scenario); !failure.empty())
        return failure;
    if (!start_relay(run, relay, valve ? run.valve.port : run.source_port))
        return "the relay cannot be started";
    if (std::string failure = accept_targets(run); !failure.empty())
        return failure;
    for (int i = 0; i < scenario.clients; ++i) {
        auto client = connect_client(run);
        if (client == nullptr)
            return "a client could not connect";
        uint16_t port = client->local_port;
        run.clients.push_back(std::move(client));
        if (!run_wait(
                run, [&] { return relay_holds_client(run.relay_port, port); }, kSetupTimeoutNs))
            return "the relay did not take every client";
    }
    if (valve && !run_wait(
                     run, [&] { return run.valve.connected.load(); }, kSetupTimeoutNs))
        return "the relay did not connect to the valve";
    return "";
}

std::vector<std::string> simulator_args(const RelayRun& run, const Scenario& scenario,
                                        const Options& options) {
    double rate = scenario_rate(scenario, options);
    char rate_text[32];
    std::snprintf(rate_text, sizeof rate_text, "%.10g", rate);
    return {options.simulator, "--port",        std::to_string(run.source_port), "--format",
            "beast",           "--rate",        rate == 0 ? "max" : rate_text,   "--clock",
            "monotonic",       "--pause-after", std::to_string(run.messages)};
}

// Starts the simulator and waits until its stream flows to the relay.
std::string start_simulator(RelayRun& run, const Scenario& scenario, const Options& options) {
    if (!child_start(run.simulator, simulator_args(run, scenario, options)))
        return "the simulator cannot be started";
    auto said = [&run](std::string_view text) {
        return run.simulator.text.find(text) != std::string::npos;
    };
    if (!run_wait(
            run, [&] { return said("listening on"); }, kSetupTimeoutNs))
        return "the simulator did not listen: " + run.simulator.text;
    if (scenario.send == Send::valve) {
        run.valve.go.store(true);
    } else if (!run_wait(
                   run, [&] { return said("connection from"); }, kSetupTimeoutNs)) {
        return "the relay's source link did not connect";
    }
    run.link_ns = bench_now_ns();
    return "";
}

// Notes when the relay lets go of the stuck client: its end of the connection leaves
// /proc/net/tcp or loses its socket.
void watch_stuck(RelayRun& run, const Scenario& scenario) {
    int64_t now = bench_now_ns();
    if (!scenario.stuck || run.stuck_cut_ns != 0 || now - run.stuck_checked_ns < kStuckWatchNs)
        return;
    run.stuck_checked_ns = now;
    if (!relay_holds_client(run.relay_port, run.clients.back()->local_port))
        run.stuck_cut_ns = now;
}

bool all_frames_read(const RelayRun& run, const Scenario& scenario) {
    for (const auto& client : healthy_of(run, scenario)) {
        if (!client->closed.load() && !client->faulty.load() &&
            client->frames_read.load() < run.messages)
            return false;
    }
    return true;
}

// Waits until the simulator has sent everything and every client still connected has
// read it. Returns a failure, or "" (a slow drain is noted in `result`).
std::string stream_to_clients(RelayRun& run, const Scenario& scenario, const Options& options,
                              Result& result) {
    double rate = scenario_rate(scenario, options);
    int64_t send_limit_ns =
        rate == 0 ? kFlatOutSendLimitNs
                  : static_cast<int64_t>(2e9 * static_cast<double>(run.messages) / rate) +
                        kSetupTimeoutNs;
    auto sent_all = [&] {
        watch_stuck(run, scenario);
        return run.simulator.text.find("paused") != std::string::npos;
    };
    if (!run_wait(run, sent_all, send_limit_ns))
        return "the simulator did not send everything";
    auto drained = [&] {
        watch_stuck(run, scenario);
        return all_frames_read(run, scenario);
    };
    result.drain_timed_out = !run_wait(run, drained, kDrainTimeoutNs);
    return "";
}

void start_readers(RelayRun& run, const Scenario& scenario, const FrameCheck& check,
                   const Options& options) {
    std::vector<BenchClient*> readable;
    for (const auto& client : healthy_of(run, scenario)) {
        readable.push_back(client.get());
    }
    readers_start(run.readers, readable, options.readers, check);
    run.valve.window = static_cast<uint64_t>(options.valve);
    run.valve.slowest_client_bytes = [&run, &scenario] {
        uint64_t slowest = UINT64_MAX;
        for (const auto& client : healthy_of(run, scenario)) {
            if (!client->closed.load())
                slowest = std::min(slowest, client->bytes.load());
        }
        return slowest;
    };
}

// Counts exact and cut clients and the throughput of those not cut; returns the frames
// delivered to all of them.
uint64_t count_clients(const RelayRun& run, const Scenario& scenario, Result& result) {
    uint64_t delivered = 0;
    for (const auto& client : healthy_of(run, scenario)) {
        ++result.healthy;
        delivered += client->frames;
        if (result.first_fault.empty() && client->faulty.load())
            result.first_fault = client->fault.data();
        if (client->closed.load()) {
            ++result.cut;
            continue;
        }
        if (!client->faulty.load() && client->frames == run.messages)
            ++result.exact;
        double seconds = static_cast<double>(client->last_read_ns - client->first_sent_ns) / 1e9;
        if (seconds > 0)
            result.mb_per_client += static_cast<double>(client->bytes.load()) / 1e6 / seconds;
        uint64_t ticks = (client->last_ticks - client->first_ticks) & kTimestampMask;
        if (result.frames_per_s == 0 && ticks != 0) {
            result.frames_per_s = static_cast<double>(client->frames - 1) *
                                  static_cast<double>(kReceiverClockHz) /
                                  static_cast<double>(ticks);
        }
    }
    result.mb_per_client /= std::max(1, result.healthy - result.cut);
    return delivered;
}

void record_latencies(const ClientReaders& readers, Result& result) {
    LatencyHistogram latencies;
    for (const auto& share : readers.shares) {
        latency_merge(latencies, share->latencies);
    }
    result.p50_us = latency_percentile_us(latencies, 0.50);
    result.p99_us = latency_percentile_us(latencies, 0.99);
}

// Streams the scenario to the clients. Returns a failure, or "" with the figures in
// `result`. The relay's CPU time counts from just before the simulator starts to the
// last client's last frame.
std::string measure(RelayRun& run, const Scenario& scenario, const Options& options,
                    const FrameCheck& check, Result& result) {
    start_readers(run, scenario, check, options);
    int64_t cpu_start_ns = process_cpu_ns(run.relay.pid);
    if (std::string failure = start_simulator(run, scenario, options); !failure.empty())
        return failure;
    if (std::string failure = stream_to_clients(run, scenario, options, result); !failure.empty())
        return failure;
    double cpu_s = static_cast<double>(process_cpu_ns(run.relay.pid) - cpu_start_ns) / 1e9;
    result.peak_mb = process_status_mb(run.relay.pid, "VmHWM");
    readers_stop(run.readers);
    uint64_t delivered = count_clients(run, scenario, result);
    result.cpu_s_per_mdelivered =
        cpu_s / static_cast<double>(std::max<uint64_t>(delivered, 1)) * 1e6;
    record_latencies(run.readers, result);
    if (scenario.stuck && run.stuck_cut_ns != 0) {
        result.stuck_cut_runs = 1;
        result.stuck_cut_after_s = static_cast<double>(run.stuck_cut_ns - run.link_ns) / 1e9;
    }
    return "";
}

Result run_once(const Relay& relay, const Scenario& scenario, const Options& options,
                const FrameCheck& check) {
    Result result;
    FrameCheck timed = check;
    timed.lead_in_ns = scenario.send == Send::paced ? kLeadInNs : 0;
    RelayRun run;
    run.messages = scenario_messages(scenario, options, check.messages);
    result.failure = set_up(run, relay, scenario);
    if (result.failure.empty())
        result.failure = measure(run, scenario, options, timed, result);
    if (run.relay.ended) {
        result.failure += "; the relay ended, exit code " + std::to_string(run.relay.exit_code);
        return result;
    }
    result.exit_code = child_stop(run.relay, SIGTERM, kStopWaitMs);
    child_stop(run.simulator, SIGTERM, kStopWaitMs);
    return result;
}

// ---- The table ----

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    size_t middle = values.size() / 2;
    return values.size() % 2 != 0 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// The median of every measured figure; the checks keep the worst run.
Result summarize(const std::vector<Result>& runs) {
    Result summary = runs.front();
    for (auto field : {&Result::frames_per_s, &Result::mb_per_client, &Result::p50_us,
                       &Result::p99_us, &Result::cpu_s_per_mdelivered, &Result::peak_mb}) {
        std::vector<double> values;
        for (const Result& r : runs)
            values.push_back(r.*field);
        summary.*field = median(values);
    }
    std::vector<double> cut_after;
    summary.stuck_cut_runs = 0;
    for (const Result& r : runs) {
        summary.exact = std::min(summary.exact, r.exact);
        summary.cut = std::max(summary.cut, r.cut);
        summary.drain_timed_out = summary.drain_timed_out || r.drain_timed_out;
        if (summary.first_fault.empty())
            summary.first_fault = r.first_fault;
        if (r.exit_code != 0)
            summary.exit_code = r.exit_code;
        if (summary.failure.empty())
            summary.failure = r.failure;
        summary.stuck_cut_runs += r.stuck_cut_runs;
        if (r.stuck_cut_runs != 0)
            cut_after.push_back(r.stuck_cut_after_s);
    }
    summary.stuck_cut_after_s = cut_after.empty() ? 0 : median(cut_after);
    return summary;
}

std::string scenario_label(const Scenario& scenario, const Options& options) {
    char label[40];
    switch (scenario.send) {
        case Send::paced:
            std::snprintf(label, sizeof label, "paced %.0f/s%s%s", scenario_rate(scenario, options),
                          scenario.stuck ? ", 1 stuck" : "",
                          scenario.targets > 0 ? ", 4 push" : "");
            break;
        case Send::valve:
            std::snprintf(label, sizeof label, "flat out%s",
                          scenario.targets > 0 ? ", 4 push" : "");
            break;
        case Send::burst:
            std::snprintf(label, sizeof label, "burst %llu MiB",
                          static_cast<unsigned long long>(scenario.burst_bytes / kMiB));
            break;
    }
    return label;
}

// Three significant digits: the figures span several decades.
std::string figure(double value) {
    int magnitude = value > 0 ? static_cast<int>(std::floor(std::log10(value))) : 0;
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", std::clamp(2 - magnitude, 0, 4), value);
    return text;
}

// qalmor's figure over the reference's, "-" when either is missing.
std::string ratio(double qalmor, double reference) {
    if (qalmor <= 0 || reference <= 0)
        return "-";
    return figure(qalmor / reference);
}

std::string stuck_text(const Result& r, const Scenario& scenario, const Options& options) {
    if (!scenario.stuck)
        return "";
    if (r.stuck_cut_runs == 0)
        return "stuck kept";
    char text[48];
    int n = std::snprintf(text, sizeof text, "stuck cut %.1f s", r.stuck_cut_after_s);
    if (r.stuck_cut_runs != options.runs)
        std::snprintf(text + n, sizeof text - static_cast<size_t>(n), " (%d of %d runs)",
                      r.stuck_cut_runs, options.runs);
    return text;
}

void print_header() {
    std::printf("%-22s %4s %-9s %8s %7s %6s %6s %7s %6s %6s %4s %7s %7s  %s\n", "scenario", "cl",
                "relay", "frames/s", "MB/s/cl", "p50us", "p99us", "CPUs/M", "HWM MB", "exact",
                "cut", "q/r CPU", "q/r p99", "notes");
}

// One relay's row; `reference` is the reference's result for the ratios, or null.
void print_row(const Scenario& scenario, const Options& options, const Relay& relay,
               const Result& r, const Result* reference) {
    std::string label = relay.kind == RelayKind::reference || reference == nullptr
                            ? scenario_label(scenario, options)
                            : "";
    if (!r.failure.empty()) {
        std::printf("%-22s %4d %-9s not run: %s\n", label.c_str(),
                    scenario.clients + scenario.targets, relay.name, r.failure.c_str());
        return;
    }
    // Only paced frames carry their true send time: flat out and in a burst, the simulator
    // stamps them as fast as it writes, ahead of the relay. The stuck scenario is paced
    // fast to fill the buffers, which loads the clients more than the relays.
    bool paced = scenario.send == Send::paced;
    bool timed = paced && !scenario.stuck;
    auto us = [timed](double value) { return timed ? figure(value) : std::string("-"); };
    char rate[16] = "-";
    if (paced)
        std::snprintf(rate, sizeof rate, "%.0f", r.frames_per_s);
    std::string mb_per_client = r.cut < r.healthy ? figure(r.mb_per_client) : "-";
    // With clients cut, the two relays did different work: their figures do not compare.
    bool ratios = relay.kind == RelayKind::qalmor && reference != nullptr &&
                  reference->failure.empty() && r.cut == 0 && reference->cut == 0;
    std::string cpu_ratio =
        ratios ? ratio(r.cpu_s_per_mdelivered, reference->cpu_s_per_mdelivered) : "";
    std::string p99_ratio = ratios && timed ? ratio(r.p99_us, reference->p99_us) : "";
    char exact[16];
    std::snprintf(exact, sizeof exact, "%d/%d", r.exact, r.healthy);
    std::string notes = stuck_text(r, scenario, options);
    if (r.drain_timed_out)
        notes += " drain timed out";
    if (r.exit_code != 0)
        notes += " exit " + std::to_string(r.exit_code) + " on SIGTERM";
    std::printf("%-22s %4d %-9s %8s %7s %6s %6s %7s %6.1f %6s %4d %7s %7s  %s\n", label.c_str(),
                scenario.clients + scenario.targets, relay.name, rate, mb_per_client.c_str(),
                us(r.p50_us).c_str(), us(r.p99_us).c_str(), figure(r.cpu_s_per_mdelivered).c_str(),
                r.peak_mb, exact, r.cut, cpu_ratio.c_str(), p99_ratio.c_str(), notes.c_str());
    if (!r.first_fault.empty())
        std::printf("%-37s first fault: %s\n", "", r.first_fault.c_str());
}

// The machine's load before the run: other work on the same cores shows in every figure.
void print_load() {
    std::FILE* file = std::fopen("/proc/loadavg", "r");
    char load[64] = "?\n";
    if (file != nullptr) {
        if (std::fgets(load, sizeof load, file) == nullptr)
            std::snprintf(load, sizeof load, "?\n");
        std::fclose(file);
    }
    std::printf("load average before the run: %s", load);
}

void print_relays(const Options& options) {
    std::printf("qalmor: %s\n", options.program.c_str());
    if (options.reference.empty()) {
        std::printf("reference relay: none given (--reference), qalmor runs alone\n");
    } else {
        std::printf(
            "reference relay: %s with its defaults (--max-backlog 4194304: it cuts a client\n"
            "  whose backlog would pass 4 MiB)\n",
            options.reference.c_str());
    }
}

void print_legend(const Options& options) {
    std::printf(
        "\n%d run(s) of each scenario and relay%s.\n"
        "Paced: %.1f s at %.0f frames/s; stuck: %.1f s at %.0f frames/s; flat out: %.0f frames\n"
        "through a valve of %.0f bytes; bursts: 1 and 4 MiB written at once by the simulator;\n"
        "%d client reader thread(s).\n"
        "frames/s: as the simulator's stamps show. MB/s/cl: 10^6 bytes per second each\n"
        "client not cut received, from the first frame's send to its last read. p50us,\n"
        "p99us: paced to 1/10/100 only, from the simulator's stamp to the client's read,\n"
        "over all frames of all clients but those of the first 100 ms. CPUs/M: the relay's\n"
        "CPU seconds (/proc/PID/stat, 10 ms steps) from the simulator's start to the last\n"
        "client's last frame, per million frames delivered to all clients. HWM MB: the\n"
        "relay's peak resident memory (VmHWM). exact: clients that got every frame, each\n"
        "byte as the simulator wrote it; cut: clients the relay closed (a result, not a\n"
        "fault). q/r: qalmor's figure over the reference's, where neither cut a client;\n"
        "- when the reference's is 0 (under one 10 ms step). Flat out, the valve passes the stream "
        "on only while the\n"
        "slowest client not cut is less than its size behind. stuck: when the relay let go\n"
        "of the client that never reads (its connection left /proc/net/tcp), in seconds\n"
        "after the source link came up. 4 push: 4 of the readers are push targets, servers\n"
        "qalmor connects to (initpush.ini); the reference has none.\n",
        options.runs, options.runs > 1 ? " (medians; exact and cut show the worst run)" : "",
        options.seconds, options.rate, options.stuck_seconds, options.stuck_rate,
        options.max_messages, options.valve, options.readers);
}

bool selected(const Scenario& scenario, const Options& options) {
    return options.only.empty() ||
           std::find(options.only.begin(), options.only.end(), scenario.key) != options.only.end();
}

std::vector<Relay> relays_of(const Options& options) {
    std::vector<Relay> relays;
    if (!options.reference.empty())
        relays.push_back({RelayKind::reference, "reference", options.reference});
    relays.push_back({RelayKind::qalmor, "qalmor", options.program});
    return relays;
}

// qalmor's results of the scenarios run so far, for the comparisons under the table.
struct QalmorResult {
    const char* key;
    Result result;
};

// Runs the scenario against every relay, taking turns which goes first so that a drift in
// the machine's load falls on both, and prints their rows. Returns qalmor's result.
Result run_scenario(const Scenario& scenario, const Options& options, const FrameCheck& check) {
    std::vector<Relay> relays = relays_of(options);
    std::vector<std::vector<Result>> runs(relays.size());
    for (int i = 0; i < options.runs; ++i) {
        for (size_t k = 0; k < relays.size(); ++k) {
            size_t turn = (k + static_cast<size_t>(i)) % relays.size();
            runs[turn].push_back(run_once(relays[turn], scenario, options, check));
        }
    }
    std::vector<Result> results;
    for (const auto& relay_runs : runs)
        results.push_back(summarize(relay_runs));
    const Result* reference = relays.size() > 1 ? &results.front() : nullptr;
    for (size_t k = 0; k < relays.size(); ++k)
        print_row(scenario, options, relays[k], results[k], reference);
    std::fflush(stdout);
    return results.back();
}

// What push targets cost against relay clients: CPU per delivered frame of a scenario
// with targets over that of one with as many clients, qalmor both times.
void print_comparisons(const std::vector<QalmorResult>& done) {
    for (const Scenario& scenario : kScenarios) {
        if (scenario.compare_with == nullptr)
            continue;
        const Result* with = nullptr;
        const Result* against = nullptr;
        for (const QalmorResult& r : done) {
            with = std::string_view(r.key) == scenario.key ? &r.result : with;
            against = std::string_view(r.key) == scenario.compare_with ? &r.result : against;
        }
        if (with == nullptr || against == nullptr || !with->failure.empty() ||
            !against->failure.empty())
            continue;
        std::printf("qalmor %s against %s: CPU per delivered frame %s (readers cut: %d)\n",
                    scenario.key, scenario.compare_with,
                    ratio(with->cpu_s_per_mdelivered, against->cpu_s_per_mdelivered).c_str(),
                    with->cut);
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (int parsed = parse_options(argc, argv, options); parsed != 0)
        return parsed == 1 ? 0 : 2;
    // A client the relay cuts must not end the benchmark.
    std::signal(SIGPIPE, SIG_IGN);
    std::vector<ReceiverMessage> messages = stream_parse_avr_text(stream_real_capture());
    FrameCheck check{messages};
    print_load();
    print_relays(options);
    print_header();
    std::vector<QalmorResult> done;
    for (const Scenario& scenario : kScenarios) {
        if (selected(scenario, options))
            done.push_back({scenario.key, run_scenario(scenario, options, check)});
    }
    print_comparisons(done);
    print_legend(options);
    return 0;
}
