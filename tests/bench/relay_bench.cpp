// Relay benchmark: a whole station (relay server, source link, connector thread, and the
// poll loop with the 100 ms timer tick, played on the main thread as the UI thread) between
// a fake receiver and 1, 10 or 100 relay clients on loopback. Run it as
// `build/native/tests/relay_bench` (every scenario, a few seconds each) or, for example,
// `relay_bench --only paced100,stuck --runs 3`; `--help` lists the options. The receiver
// sends Beast frames of the real capture whose timestamp field carries a sequence number:
// paced at 2000 messages/s, flat out (kept within 192 KB of the slowest client, so that
// nobody is dropped and the figure is the most the chain delivers), or, with one of 100
// clients never reading, at 50000/s so that the relay's limit is reached in seconds. Per
// scenario the table shows the frames/s the source delivered and the MB/s (10^6 bytes) each
// healthy client received; latency p50/p99/max from the receiver's send to the client's
// read of the frame's last byte, and p50/p99 to the kernel's stamp of its arrival at the
// client's socket (which leaves out the benchmark's own client threads waiting for a core);
// CPU seconds per million source frames for the UI thread (its own work plus the kernel's
// loopback delivery inside its sends) and for the whole process (also the receiver and the
// clients, which frame and check every byte), and the UI thread's busy share; the peak
// resident memory (VmHWM, reset at each scenario's start) and its rise; and the stream
// check: how many healthy clients got exactly the bytes sent (same length and sum, every
// frame in sequence and unchanged), and whether the stuck client was dropped and its
// connection closed. The benchmark asserts no speed; it measures and prints.
//
// With --program and --simulator it measures the Linux program instead, a process of its
// own fed by the receiver simulator as another, through the same scenarios and clients:
// `relay_bench --program build/native/qalmor --simulator build/native/tools/sim/qalmor-sim`.
// Its table shows the program's CPU time (/proc/PID/stat), its UI thread's and its peak
// memory (VmHWM), and also checks that SIGTERM ends it with exit code 0 after it has
// closed every client; see "The program as a process".
#include <malloc.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "bench/bench_clients.h"
#include "bench/bench_receiver.h"
#include "support/net_harness.h"
#include "support/test_frontend.h"

namespace {

constexpr int64_t kMs = 1000000;
constexpr int64_t kTimerPeriodNs = kTimerPeriodMs * kMs;
constexpr int64_t kSetupTimeoutNs = 5000 * kMs;
// Clients still catching up when the receiver stops get this long to read the rest.
constexpr int64_t kDrainTimeoutNs = 10000 * kMs;
constexpr int kStuckCloseWaitMs = 3000;

struct Options {
    std::vector<std::string> only;
    double seconds = 3;
    double rate = 2000;
    double stuck_seconds = 6;
    double stuck_rate = 50000;
    int runs = 1;
    int readers = 2;
    bool pin = false;
    std::string program;            // measure this program as a process (with `simulator`)
    std::string simulator;          // the receiver simulator that feeds it
    double max_messages = 1000000;  // what the simulator sends flat out
};

struct Scenario {
    const char* key;
    bool paced;
    int clients;  // all of them, the stuck one included
    bool stuck;
};

constexpr Scenario kScenarios[] = {
    {"paced1", true, 1, false}, {"paced10", true, 10, false}, {"paced100", true, 100, false},
    {"max1", false, 1, false},  {"max10", false, 10, false},  {"max100", false, 100, false},
    {"stuck", true, 100, true},
};

struct Result {
    bool ran = false;
    std::string failure;  // set when the scenario could not be set up
    double frames_per_s = 0;
    double mb_per_client = 0;  // mean over the healthy clients
    double p50_us = 0;
    double p99_us = 0;
    double max_us = 0;
    double arrival_p50_us = 0;  // to the kernel's arrival stamp at the client's socket
    double arrival_p99_us = 0;
    double ui_s_per_mframe = 0;
    double process_s_per_mframe = 0;
    double ui_busy = 0;  // UI thread CPU time / wall time
    double peak_mb = 0;
    double base_mb = 0;    // resident at the start, before the station exists
    double growth_mb = 0;  // peak - base
    bool peak_reset = false;
    uint64_t untimed = 0;
    double lead_in_max_us = 0;  // clock-stamped frames: the slowest of the lead-in
    int healthy = 0;
    int exact = 0;
    int dropped = 0;  // healthy clients the relay disconnected
    uint64_t bad_frames = 0;
    std::string first_fault;
    bool drain_timed_out = false;
    bool source_failed = false;  // the receiver's send failed
    bool stuck_dropped = false;
    double stuck_dropped_after_s = 0;
    bool stuck_closed = false;
    bool stuck_in_order = false;
    // The program as a process only:
    double delivered_s_per_mframe = 0;  // its CPU per million frames the clients received
    double ui_waiting = 0;              // time its UI thread waited for a core / wall time
    bool identical = true;              // every healthy client got the same bytes
    int exit_code = 0;                  // the program's after SIGTERM; -1 for a signal
    int closed_at_stop = 0;             // healthy clients that then saw their connection close
    int simulator_exit = 0;
};

const char kHelp[] =
    "usage: relay_bench [--only LIST] [--seconds S] [--rate N] [--stuck-seconds S]\n"
    "                   [--stuck-rate N] [--runs N] [--readers N] [--pin]\n"
    "                   [--program PATH --simulator PATH [--max-messages N]]\n"
    "\n"
    "Runs a station between a fake receiver and relay clients on 127.0.0.1 and prints\n"
    "throughput, latency, CPU time, peak memory and a check of every client's stream.\n"
    "\n"
    "  --only LIST    scenarios, comma-separated (default: all):\n"
    "                   paced1 paced10 paced100   paced rate, 1/10/100 clients\n"
    "                   max1 max10 max100         flat out, 1/10/100 clients (the receiver\n"
    "                                             keeps within 192 KB of the slowest client)\n"
    "                   stuck                     100 clients, one never reads\n"
    "  --seconds S    how long the receiver sends in each scenario (default 3)\n"
    "  --rate N       messages per second of the paced scenarios (default 2000)\n"
    "  --stuck-seconds S, --stuck-rate N\n"
    "                 the same for the stuck scenario (default 6 s at 50000/s: the stuck\n"
    "                 client is dropped only once the relay's 256 KiB backlog and the\n"
    "                 socket buffers on both sides are full)\n"
    "  --runs N       runs of each scenario; the table shows the median (default 1)\n"
    "  --readers N    client reader threads (default 2)\n"
    "  --pin          the UI thread alone on the first core, every other thread on the\n"
    "                 rest, as if the clients ran on other machines\n"
    "  --program PATH, --simulator PATH\n"
    "                 measure the Linux program (build/native/qalmor) as a process of its\n"
    "                 own, in service mode with its settings in a temporary folder, fed\n"
    "                 by the receiver simulator (build/native/tools/sim/qalmor-sim) as\n"
    "                 another; --pin then gives the program the first core alone\n"
    "  --max-messages N\n"
    "                 with --program: frames the simulator sends flat out (default 1000000)\n"
    "  --help         this text\n";

bool parse_number(const char* text, double low, double high, double& value) {
    char* end = nullptr;
    value = std::strtod(text, &end);
    return end != text && *end == '\0' && value >= low && value <= high;
}

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

// Returns 0 to run, 1 after --help, 2 on a bad option (with the reason printed).
int parse_options(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        std::string_view option = argv[i];
        if (option == "--help" || option == "-h") {
            std::fputs(kHelp, stdout);
            return 1;
        }
        if (option == "--pin") {
            options.pin = true;
            continue;
        }
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        double number = 0;
        bool ok = value != nullptr;
        if (ok && option == "--only") {
            options.only = split_list(value);
            ok = std::all_of(options.only.begin(), options.only.end(), known_scenario);
        } else if (ok && option == "--seconds") {
            ok = parse_number(value, 0.1, 600, options.seconds);
        } else if (ok && option == "--rate") {
            ok = parse_number(value, 1, 10000000, options.rate);
        } else if (ok && option == "--stuck-seconds") {
            ok = parse_number(value, 0.1, 600, options.stuck_seconds);
        } else if (ok && option == "--stuck-rate") {
            ok = parse_number(value, 1, 10000000, options.stuck_rate);
        } else if (ok && option == "--runs") {
            ok = parse_number(value, 1, 99, number);
            options.runs = static_cast<int>(number);
        } else if (ok && option == "--readers") {
            ok = parse_number(value, 1, 64, number);
            options.readers = static_cast<int>(number);
        } else if (ok && option == "--program") {
            options.program = value;
        } else if (ok && option == "--simulator") {
            options.simulator = value;
        } else if (ok && option == "--max-messages") {
            ok = parse_number(value, 1000, 1e9, options.max_messages);
        } else {
            ok = false;
        }
        if (!ok) {
            std::fprintf(stderr, "relay_bench: bad option %s %s (see --help)\n", argv[i],
                         value != nullptr ? value : "");
            return 2;
        }
        ++i;
    }
    if (options.program.empty() != options.simulator.empty()) {
        std::fprintf(stderr, "relay_bench: --program and --simulator go together\n");
        return 2;
    }
    return 0;
}

// ---- Process measurements ----

struct CpuMark {
    int64_t wall_ns;
    int64_t ui_ns;              // the calling thread
    int64_t process_ns;         // every thread, user and system time
    int64_t ui_waiting_ns = 0;  // the program's UI thread: ready to run, waiting for a core
};

int64_t timespec_ns(const timespec& t) {
    return int64_t{t.tv_sec} * 1000000000 + t.tv_nsec;
}

int64_t timeval_ns(const timeval& t) {
    return int64_t{t.tv_sec} * 1000000000 + int64_t{t.tv_usec} * 1000;
}

CpuMark cpu_mark() {
    timespec thread{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &thread);
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return {bench_now_ns(), timespec_ns(thread),
            timeval_ns(usage.ru_utime) + timeval_ns(usage.ru_stime)};
}

// Sets VmHWM back to the present resident size, so each scenario shows its own peak.
bool reset_peak_memory() {
    std::FILE* file = std::fopen("/proc/self/clear_refs", "w");
    if (file == nullptr)
        return false;
    bool ok = std::fputs("5", file) >= 0;
    return std::fclose(file) == 0 && ok;
}

// A "VmXXX:  1234 kB" line of /proc/self/status (or another process's), in MB (10^6
// bytes).
double status_mb(const char* field, const std::string& path = "/proc/self/status") {
    std::FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr)
        return 0;
    char line[256];
    double mb = 0;
    size_t length = std::strlen(field);
    while (std::fgets(line, sizeof line, file) != nullptr) {
        if (std::strncmp(line, field, length) == 0 && line[length] == ':') {
            mb = std::strtod(line + length + 1, nullptr) * 1024 / 1e6;
            break;
        }
    }
    std::fclose(file);
    return mb;
}

// Frames per second the receiver sends; 0 is flat out.
double scenario_rate(const Scenario& scenario, const Options& options) {
    if (scenario.stuck)
        return options.stuck_rate;
    return scenario.paced ? options.rate : 0;
}

double scenario_seconds(const Scenario& scenario, const Options& options) {
    return scenario.stuck ? options.stuck_seconds : options.seconds;
}

// ---- Cores ----

// The first core for the calling thread (the UI thread), whose later threads inherit it.
bool pin_to_first_core() {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(0, &set);
    return pthread_setaffinity_np(pthread_self(), sizeof set, &set) == 0;
}

// Every core but the first, for the receiver's and the clients' threads.
void pin_to_other_cores(std::thread& thread) {
    int cores = static_cast<int>(std::thread::hardware_concurrency());
    cpu_set_t set;
    CPU_ZERO(&set);
    for (int core = 1; core < cores; ++core) {
        CPU_SET(core, &set);
    }
    if (cores > 1)
        pthread_setaffinity_np(thread.native_handle(), sizeof set, &set);
}

// ---- The UI thread ----

// Plays the Win32 message loop: socket events through the poll loop and the timer tick
// every 100 ms. The short wait only bounds how late `done` is noticed.
struct UiThread {
    Station& station;
    int64_t next_tick_ns;
};

template <class Done>
bool ui_run_until(UiThread& ui, Done done, int64_t timeout_ns) {
    int64_t deadline = bench_now_ns() + timeout_ns;
    while (!done()) {
        int64_t now = bench_now_ns();
        if (now >= deadline)
            return false;
        if (now >= ui.next_tick_ns) {
            station_timer_tick(ui.station);
            ui.next_tick_ns = std::max(ui.next_tick_ns + kTimerPeriodNs, now);
        }
        int wait_ms = static_cast<int>(std::clamp<int64_t>((ui.next_tick_ns - now) / kMs, 0, 10));
        poll_loop_run_once(test_poll_loop(), ui.station, wait_ms);
    }
    return true;
}

// The relay's socket for a client's connection, found by the client's port.
SOCKET relay_side_of(const RelayServer& relay, uint16_t client_port) {
    for (const RelayClient& client : relay.clients) {
        if (client.socket == INVALID_SOCKET)
            continue;
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        if (getpeername(client.socket, reinterpret_cast<sockaddr*>(&peer), &length) == 0 &&
            ntohs(peer.sin_port) == client_port) {
            return client.socket;
        }
    }
    return INVALID_SOCKET;
}

bool relay_holds(const RelayServer& relay, SOCKET s) {
    return std::any_of(relay.clients.begin(), relay.clients.end(),
                       [&](const RelayClient& client) { return client.socket == s; });
}

// ---- One scenario ----

struct Run {
    TestStation t;  // the station, its temporary config directory and the test front end
    BenchReceiver receiver;
    std::vector<std::unique_ptr<BenchClient>> clients;  // the stuck one, if any, last
    ClientReaders readers;
    UiThread ui{*t.station, 0};
    SOCKET stuck_relay_side = INVALID_SOCKET;
    int64_t stuck_dropped_ns = 0;

    ~Run() {
        readers_stop(readers);
        for (auto& client : clients) {
            client_close(*client);
        }
        receiver_stop(receiver);
    }
};

// Connects the station to the receiver and the clients to the relay, one at a time
// because the relay listens with a backlog of 1.
std::string set_up(Run& run, const Scenario& scenario, const Options& options) {
    Station& station = *run.t.station;
    station.settings.binary_mode = 1;
    uint16_t relay_port = free_port();
    station.settings.relay_port = relay_port;
    if (!receiver_start(run.receiver))
        return "the receiver cannot listen";
    if (options.pin)
        pin_to_other_cores(run.receiver.thread);
    link_set_port(station.links, LINK_SOURCE, run.receiver.port);
    station_start_network(station);
    run.ui.next_tick_ns = bench_now_ns() + kTimerPeriodNs;
    if (!ui_run_until(
            run.ui,
            [&] {
                return run.receiver.connected.load() &&
                       link_state(station.links, LINK_SOURCE) == LINK_CONNECTED;
            },
            kSetupTimeoutNs)) {
        return "the source link did not connect";
    }
    for (int i = 1; i <= scenario.clients; ++i) {
        auto client = client_connect(relay_port);
        if (client == nullptr)
            return "a client could not connect";
        run.clients.push_back(std::move(client));
        if (!ui_run_until(
                run.ui, [&] { return relay_live_clients(station.relay) == i; }, kSetupTimeoutNs))
            return "the relay did not accept every client";
    }
    if (scenario.stuck) {
        run.stuck_relay_side = relay_side_of(station.relay, run.clients.back()->local_port);
        if (run.stuck_relay_side == INVALID_SOCKET)
            return "the stuck client's relay socket was not found";
    }
    return "";
}

std::span<const std::unique_ptr<BenchClient>> healthy_clients(const Run& run,
                                                              const Scenario& scenario) {
    return std::span(run.clients).first(run.clients.size() - (scenario.stuck ? 1 : 0));
}

// Notes the moment the relay lets go of the stuck client. UI thread.
void watch_stuck(Run& run) {
    if (run.stuck_relay_side != INVALID_SOCKET && run.stuck_dropped_ns == 0 &&
        !relay_holds(run.t.station->relay, run.stuck_relay_side)) {
        run.stuck_dropped_ns = bench_now_ns();
    }
}

uint64_t slowest_client_bytes(const Run& run, const Scenario& scenario) {
    uint64_t slowest = UINT64_MAX;
    for (const auto& client : healthy_clients(run, scenario)) {
        if (!client->closed.load())
            slowest = std::min(slowest, client->bytes.load());
    }
    return slowest;
}

bool all_delivered(const Run& run, const Scenario& scenario) {
    uint64_t sent = run.receiver.sum.bytes;
    for (const auto& client : healthy_clients(run, scenario)) {
        if (!client->closed.load() && client->bytes.load() != sent)
            return false;
    }
    return true;
}

void count_clients(const Run& run, const Scenario& scenario, Result& result) {
    for (const auto& client : healthy_clients(run, scenario)) {
        ++result.healthy;
        result.bad_frames += client->bad_frames;
        if (result.first_fault.empty() && client->first_fault[0] != '\0')
            result.first_fault = client->first_fault.data();
        if (client->closed.load()) {
            ++result.dropped;
        } else if (client->sum == run.receiver.sum && client->bad_frames == 0 &&
                   client->frames == run.receiver.frames) {
            ++result.exact;
        }
        result.mb_per_client += static_cast<double>(client->bytes.load()) / 1e6;
    }
}

void start_readers(Run& run, const Scenario& scenario, const FrameCheck& check,
                   const Options& options) {
    std::vector<BenchClient*> readable;
    for (const auto& client : healthy_clients(run, scenario)) {
        readable.push_back(client.get());
    }
    readers_start(run.readers, readable, options.readers, check, *run.receiver.times);
    for (auto& share : run.readers.shares) {
        if (options.pin)
            pin_to_other_cores(share->thread);
    }
    run.receiver.slowest_client_bytes = [&run, &scenario] {
        return slowest_client_bytes(run, scenario);
    };
}

// Plays the UI thread while the receiver sends, then until every healthy client still
// connected has read everything. False when the receiver never finished.
bool stream_and_drain(Run& run, const Scenario& scenario, Result& result) {
    run.receiver.go.store(true);
    bool finished = ui_run_until(
        run.ui,
        [&] {
            watch_stuck(run);
            return run.receiver.finished.load();
        },
        run.receiver.duration.count() + kSetupTimeoutNs);
    if (!finished)
        return false;
    result.drain_timed_out = !ui_run_until(
        run.ui,
        [&] {
            watch_stuck(run);
            return all_delivered(run, scenario);
        },
        kDrainTimeoutNs);
    return true;
}

void record_rates(const Run& run, const CpuMark& start, const CpuMark& end, Result& result) {
    double frames = static_cast<double>(run.receiver.frames);
    double sent_s = static_cast<double>(run.receiver.end_ns - run.receiver.start_ns) / 1e9;
    result.frames_per_s = frames / sent_s;
    result.mb_per_client /= std::max(1, result.healthy) * sent_s;
    double ui_s = static_cast<double>(end.ui_ns - start.ui_ns) / 1e9;
    result.ui_s_per_mframe = ui_s / frames * 1e6;
    result.process_s_per_mframe =
        static_cast<double>(end.process_ns - start.process_ns) / 1e9 / frames * 1e6;
    result.ui_busy = ui_s / (static_cast<double>(end.wall_ns - start.wall_ns) / 1e9);
}

void record_latencies(const ClientReaders& readers, Result& result) {
    Latencies latencies;
    for (const auto& share : readers.shares) {
        latency_merge(latencies.read, share->latencies.read);
        latency_merge(latencies.arrival, share->latencies.arrival);
        result.untimed += share->latencies.untimed;
        result.lead_in_max_us = std::max(
            result.lead_in_max_us, static_cast<double>(share->latencies.lead_in_max_ns) / 1000);
    }
    result.p50_us = latency_percentile_us(latencies.read, 0.50);
    result.p99_us = latency_percentile_us(latencies.read, 0.99);
    result.max_us = latency_max_us(latencies.read);
    result.arrival_p50_us = latency_percentile_us(latencies.arrival, 0.50);
    result.arrival_p99_us = latency_percentile_us(latencies.arrival, 0.99);
}

// Returns false, with the reason in `result`, when the receiver never finished.
bool measure(Run& run, const Scenario& scenario, const FrameCheck& check, const Options& options,
             Result& result) {
    start_readers(run, scenario, check, options);
    CpuMark start = cpu_mark();
    if (!stream_and_drain(run, scenario, result)) {
        result.failure = "the receiver did not finish sending";
        return false;
    }
    CpuMark end = cpu_mark();
    result.peak_mb = status_mb("VmHWM");
    result.growth_mb = result.peak_mb - result.base_mb;
    readers_stop(run.readers);
    result.source_failed = run.receiver.send_failed;
    count_clients(run, scenario, result);
    record_rates(run, start, end, result);
    record_latencies(run.readers, result);
    return true;
}

void check_stuck(Run& run, const FrameCheck& check, Result& result) {
    BenchClient& stuck = *run.clients.back();
    result.stuck_dropped = run.stuck_dropped_ns != 0;
    if (result.stuck_dropped) {
        result.stuck_dropped_after_s =
            static_cast<double>(run.stuck_dropped_ns - run.receiver.start_ns) / 1e9;
    }
    // Reading now lets the relay's last bytes through; its close must follow them.
    result.stuck_closed = client_read_to_close(stuck, check, kStuckCloseWaitMs);
    result.stuck_in_order = stuck.bad_frames == 0;
}

Result run_scenario(const Scenario& scenario, const Options& options, const FrameCheck& check,
                    SendTimes& times) {
    times.stored.store(0);
    Result result;
    result.ran = true;
    result.peak_reset = reset_peak_memory();
    result.base_mb = status_mb("VmRSS");
    Run run;
    run.receiver.times = &times;
    run.receiver.rate = scenario_rate(scenario, options);
    run.receiver.duration =
        std::chrono::nanoseconds(static_cast<int64_t>(scenario_seconds(scenario, options) * 1e9));
    run.receiver.messages = check.messages;
    std::string failure = set_up(run, scenario, options);
    if (!failure.empty()) {
        result.failure = failure;
        result.ran = false;
        return result;
    }
    if (!measure(run, scenario, check, options, result)) {
        result.ran = false;
        return result;
    }
    if (scenario.stuck)
        check_stuck(run, check, result);
    return result;
}

// ---- The program as a process ----
//
// The program runs in service mode with its settings in a temporary folder: its source
// link points at the simulator's port, its relay at another free port, binary mode on.
// The clients connect first, while the program is still trying to reach a simulator
// that is not there yet, because the simulator sends from the moment it accepts the
// link. The simulator then sends exactly the scenario's number of frames, stamped with
// the monotonic clock (--clock monotonic, --pause-after N), and stays silent; every
// healthy client must get them all. The program is stopped with SIGTERM and must exit 0
// and close every client. Flat out, the source link goes through the benchmark's valve
// instead, which connects to the simulator when the clients are ready.

// The program's log, in UTF-8: "Сервер:" begins its relay server line, and its client
// line reads "Соединение 127.0.0.1" once the source link is up.
constexpr std::string_view kServerLineStart = "\xD0\xA1\xD0\xB5\xD1\x80\xD0\xB2\xD0\xB5\xD1\x80:";
constexpr std::string_view kLinkUp =
    "\xD0\xA1\xD0\xBE\xD0\xB5\xD0\xB4\xD0\xB8\xD0\xBD\xD0\xB5\xD0\xBD\xD0\xB8\xD0\xB5 127.0.0.1";
constexpr std::string_view kListedClient = " 127.0.0.1";
constexpr std::string_view kSimulatorListening = "listening on";
constexpr std::string_view kSimulatorSentAll = "paused";
constexpr int kStopWaitMs = 5000;
constexpr int kCloseWaitMs = 2000;
// Frames sent this soon after the first are timed apart: the program takes in a new
// source link at its loop's next 20 ms slice, so the first frames wait for that.
constexpr int64_t kLeadInNs = 100 * kMs;
// Flat out, the simulator's sending is given this long before the run is called failed.
constexpr int64_t kFlatOutSendLimitNs = 120000 * kMs;

// The relay clients listed on the newest complete server line of the program's log, -1
// before there is one.
int listed_clients(std::string_view log) {
    size_t last_end = log.rfind('\n');
    size_t start =
        last_end == std::string_view::npos ? last_end : log.rfind(kServerLineStart, last_end);
    if (start == std::string_view::npos)
        return -1;
    std::string_view line = log.substr(start, log.find('\n', start) - start);
    int count = 0;
    for (size_t at = line.find(kListedClient); at != std::string_view::npos;
         at = line.find(kListedClient, at + 1)) {
        ++count;
    }
    return count;
}

// CPU time of a whole process, user and system, from /proc/PID/stat, which counts it in
// clock ticks.
int64_t process_cpu_ns(pid_t pid) {
    std::string path = "/proc/" + std::to_string(pid) + "/stat";
    std::FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr)
        return 0;
    char text[1024] = "";
    size_t length = std::fread(text, 1, sizeof text - 1, file);
    std::fclose(file);
    text[length] = '\0';
    // The fields after the command name, which may hold blanks, start at its ')'.
    const char* fields = std::strrchr(text, ')');
    unsigned long long utime = 0;
    unsigned long long stime = 0;
    if (fields == nullptr ||
        std::sscanf(fields + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime,
                    &stime) != 2) {
        return 0;
    }
    return static_cast<int64_t>(utime + stime) * 1000000000 / sysconf(_SC_CLK_TCK);
}

// How long a process's main thread, the program's UI thread, has run and has waited for
// a core while ready to run, in nanoseconds.
struct ThreadTimes {
    int64_t running_ns = 0;
    int64_t waiting_ns = 0;
};

ThreadTimes main_thread_times(pid_t pid) {
    std::string path =
        "/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/schedstat";
    std::FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr)
        return {};
    long long running = 0;
    long long waiting = 0;
    if (std::fscanf(file, "%lld %lld", &running, &waiting) != 2)
        running = waiting = 0;
    std::fclose(file);
    return {running, waiting};
}

std::string status_path(pid_t pid) {
    return "/proc/" + std::to_string(pid) + "/status";
}

CpuMark program_mark(pid_t pid) {
    ThreadTimes ui = main_thread_times(pid);
    return {bench_now_ns(), ui.running_ns, process_cpu_ns(pid), ui.waiting_ns};
}

cpu_set_t core_set(bool first) {
    cpu_set_t set;
    CPU_ZERO(&set);
    int cores = static_cast<int>(std::thread::hardware_concurrency());
    for (int core = first ? 0 : 1; core < (first ? 1 : cores); ++core) {
        CPU_SET(core, &set);
    }
    return set;
}

struct ProcessRun {
    TempDir dir;  // the program's settings and client log
    ChildProcess program;
    ChildProcess simulator;
    uint16_t relay_port = 0;
    uint16_t source_port = 0;
    uint64_t messages = 0;                              // what the simulator sends
    std::vector<std::unique_ptr<BenchClient>> clients;  // the stuck one, if any, last
    ClientReaders readers;
    BenchValve valve;             // flat out only
    int64_t link_ns = 0;          // when the frames began to flow
    int64_t fewer_listed_ns = 0;  // when its log first listed fewer clients than connected

    ~ProcessRun() {
        valve_stop(valve);
        readers_stop(readers);
        for (auto& client : clients) {
            client_close(*client);
        }
        child_stop(program, SIGKILL, kStopWaitMs);
        child_stop(simulator, SIGKILL, kStopWaitMs);
    }
};

uint64_t scenario_messages(const Scenario& scenario, const Options& options) {
    double rate = scenario_rate(scenario, options);
    if (rate == 0)
        return static_cast<uint64_t>(options.max_messages);
    return static_cast<uint64_t>(std::llround(rate * scenario_seconds(scenario, options)));
}

// Reads both programs' output (a full pipe would stall the program) until `done` holds.
// False when the timeout passes first or a program has ended.
template <class Done>
bool process_wait(ProcessRun& run, Done done, int64_t timeout_ns) {
    int64_t deadline = bench_now_ns() + timeout_ns;
    while (true) {
        child_poll(run.program);
        child_poll(run.simulator);
        if (done())
            return true;
        if (run.program.ended || run.simulator.ended || bench_now_ns() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

bool through_valve(const Scenario& scenario, const Options& options) {
    return scenario_rate(scenario, options) == 0;
}

// The settings files as the Windows program writes them: one value a line, CR LF.
void write_settings(const ProcessRun& run, uint16_t link_port) {
    run.dir.write("initmkp1.ini", std::to_string(link_port) + "\r\n127.0.0.1\r\n");
    run.dir.write("initsocket.ini", std::to_string(run.relay_port) + "\r\n");
    run.dir.write("BinarComOn.ini", "1\r\n");
}

// The program may log its server line before its relay listens: retry a refused connect.
std::unique_ptr<BenchClient> connect_client(ProcessRun& run) {
    std::unique_ptr<BenchClient> client;
    process_wait(
        run, [&] { return (client = client_connect(run.relay_port)) != nullptr; }, kSetupTimeoutNs);
    return client;
}

// Starts the program and connects the clients, one at a time because the relay listens
// with a backlog of 1.
std::string process_set_up(ProcessRun& run, const Scenario& scenario, const Options& options) {
    run.relay_port = free_port();
    do {
        run.source_port = free_port();
    } while (run.source_port == run.relay_port);
    run.messages = scenario_messages(scenario, options);
    bool valve = through_valve(scenario, options);
    if (valve) {
        run.valve.simulator_port = run.source_port;
        if (!valve_start(run.valve))
            return "the valve cannot listen";
    }
    write_settings(run, valve ? run.valve.port : run.source_port);
    cpu_set_t first = core_set(true);
    if (!child_start(run.program, {options.program, "--dir", run.dir.path},
                     options.pin ? &first : nullptr)) {
        return "the program cannot be started";
    }
    if (!process_wait(
            run, [&] { return listed_clients(run.program.text) >= 0; }, kSetupTimeoutNs))
        return "the program logged no server line";
    if (valve && !process_wait(
                     run, [&] { return run.valve.connected.load(); }, kSetupTimeoutNs))
        return "the program did not connect to the valve";
    for (int i = 1; i <= scenario.clients; ++i) {
        auto client = connect_client(run);
        if (client == nullptr)
            return "a client could not connect";
        run.clients.push_back(std::move(client));
        if (!process_wait(
                run, [&] { return listed_clients(run.program.text) == i; }, kSetupTimeoutNs))
            return "the program did not list every client";
    }
    return "";
}

std::vector<std::string> simulator_args(const ProcessRun& run, const Scenario& scenario,
                                        const Options& options) {
    double rate = scenario_rate(scenario, options);
    char rate_text[32];
    std::snprintf(rate_text, sizeof rate_text, "%.10g", rate);
    return {options.simulator, "--port",        std::to_string(run.source_port), "--format",
            "beast",           "--rate",        rate == 0 ? "max" : rate_text,   "--clock",
            "monotonic",       "--pause-after", std::to_string(run.messages)};
}

// Starts the simulator and waits for the program's source link.
std::string start_simulator(ProcessRun& run, const Scenario& scenario, const Options& options) {
    cpu_set_t others = core_set(false);
    if (!child_start(run.simulator, simulator_args(run, scenario, options),
                     options.pin ? &others : nullptr)) {
        return "the simulator cannot be started";
    }
    if (!process_wait(
            run, [&] { return run.simulator.text.find(kSimulatorListening) != std::string::npos; },
            kSetupTimeoutNs)) {
        return "the simulator did not listen: " + run.simulator.text;
    }
    if (through_valve(scenario, options)) {
        run.valve.go.store(true);
        run.link_ns = bench_now_ns();
        return "";
    }
    if (!process_wait(
            run, [&] { return run.program.text.find(kLinkUp) != std::string::npos; },
            kSetupTimeoutNs)) {
        return "the program's source link did not connect";
    }
    run.link_ns = bench_now_ns();
    return "";
}

void watch_listed(ProcessRun& run, const Scenario& scenario) {
    if (run.fewer_listed_ns == 0 && listed_clients(run.program.text) < scenario.clients)
        run.fewer_listed_ns = bench_now_ns();
}

std::span<const std::unique_ptr<BenchClient>> healthy_of(const ProcessRun& run,
                                                         const Scenario& scenario) {
    return std::span(run.clients).first(run.clients.size() - (scenario.stuck ? 1 : 0));
}

bool all_frames_read(const ProcessRun& run, const Scenario& scenario) {
    for (const auto& client : healthy_of(run, scenario)) {
        if (!client->closed.load() && client->frames_read.load() < run.messages)
            return false;
    }
    return true;
}

// Waits until the simulator has sent everything and every healthy client still
// connected has read it. Returns a failure, or "" (a slow drain is noted in `result`).
std::string stream_to_clients(ProcessRun& run, const Scenario& scenario, const Options& options,
                              Result& result) {
    double rate = scenario_rate(scenario, options);
    int64_t send_limit_ns =
        rate == 0 ? kFlatOutSendLimitNs
                  : static_cast<int64_t>(2e9 * static_cast<double>(run.messages) / rate) +
                        kSetupTimeoutNs;
    if (!process_wait(
            run,
            [&] {
                watch_listed(run, scenario);
                return run.simulator.text.find(kSimulatorSentAll) != std::string::npos;
            },
            send_limit_ns)) {
        return run.program.ended ? "the program ended" : "the simulator did not send everything";
    }
    result.drain_timed_out = !process_wait(
        run,
        [&] {
            watch_listed(run, scenario);
            return all_frames_read(run, scenario);
        },
        kDrainTimeoutNs);
    return "";
}

void process_count_clients(const ProcessRun& run, const Scenario& scenario, Result& result) {
    const StreamSum* first = nullptr;
    for (const auto& client : healthy_of(run, scenario)) {
        ++result.healthy;
        result.bad_frames += client->bad_frames;
        if (result.first_fault.empty() && client->first_fault[0] != '\0')
            result.first_fault = client->first_fault.data();
        if (client->closed.load()) {
            ++result.dropped;
            continue;
        }
        if (client->sum == client->expected && client->bad_frames == 0 &&
            client->frames == run.messages) {
            ++result.exact;
        }
        if (first == nullptr)
            first = &client->sum;
        result.identical = result.identical && client->sum == *first;
        double seconds = static_cast<double>(client->last_read_ns - client->first_sent_ns) / 1e9;
        if (seconds > 0)
            result.mb_per_client += static_cast<double>(client->sum.bytes) / 1e6 / seconds;
    }
    result.mb_per_client /= std::max(1, result.healthy - result.dropped);
}

// Frames per second as the simulator stamped them (seen by a client that got them all),
// and the program's CPU time.
void process_record_rates(const ProcessRun& run, const Scenario& scenario, const CpuMark& start,
                          const CpuMark& end, Result& result) {
    uint64_t delivered = 0;
    for (const auto& client : healthy_of(run, scenario)) {
        delivered += client->frames;
        uint64_t ticks = (client->last_ticks - client->first_ticks) & kTimestampMask;
        if (result.frames_per_s == 0 && !client->closed.load() && ticks != 0) {
            result.frames_per_s = static_cast<double>(client->frames - 1) *
                                  static_cast<double>(kReceiverClockHz) /
                                  static_cast<double>(ticks);
        }
    }
    double ui_s = static_cast<double>(end.ui_ns - start.ui_ns) / 1e9;
    double process_s = static_cast<double>(end.process_ns - start.process_ns) / 1e9;
    double sent = static_cast<double>(run.messages);
    result.ui_s_per_mframe = ui_s / sent * 1e6;
    result.process_s_per_mframe = process_s / sent * 1e6;
    result.delivered_s_per_mframe =
        process_s / static_cast<double>(std::max<uint64_t>(1, delivered)) * 1e6;
    double wall_s = static_cast<double>(end.wall_ns - run.link_ns) / 1e9;
    result.ui_busy = ui_s / wall_s;
    result.ui_waiting = static_cast<double>(end.ui_waiting_ns - start.ui_waiting_ns) / 1e9 / wall_s;
}

void start_process_readers(ProcessRun& run, const Scenario& scenario, const FrameCheck& check,
                           const Options& options, const SendTimes& times) {
    std::vector<BenchClient*> readable;
    for (const auto& client : healthy_of(run, scenario)) {
        readable.push_back(client.get());
    }
    readers_start(run.readers, readable, options.readers, check, times);
    run.valve.slowest_client_bytes = [&run, &scenario] {
        uint64_t slowest = UINT64_MAX;
        for (const auto& client : healthy_of(run, scenario)) {
            if (!client->closed.load())
                slowest = std::min(slowest, client->bytes.load());
        }
        return slowest;
    };
}

// The stuck client is read only now: a close after its last bytes means the relay let
// it go, since the program is still running.
void check_stuck_process(ProcessRun& run, const FrameCheck& check, Result& result) {
    BenchClient& stuck = *run.clients.back();
    result.stuck_dropped = run.fewer_listed_ns != 0;
    if (result.stuck_dropped) {
        result.stuck_dropped_after_s = static_cast<double>(run.fewer_listed_ns - run.link_ns) / 1e9;
    }
    result.stuck_closed = client_read_to_close(stuck, check, kStuckCloseWaitMs);
    // Its stream may end inside a frame, where the relay's last chunk for it ended.
    result.stuck_in_order = stuck.bad_frames == 0;
}

// SIGTERM must end the program with exit code 0, after it has closed every client.
void stop_processes(ProcessRun& run, const Scenario& scenario, const FrameCheck& check,
                    Result& result) {
    result.exit_code = child_stop(run.program, SIGTERM, kStopWaitMs);
    for (const auto& client : healthy_of(run, scenario)) {
        if (!client->closed.load() && client_read_to_close(*client, check, kCloseWaitMs))
            ++result.closed_at_stop;
    }
    result.simulator_exit = child_stop(run.simulator, SIGTERM, kStopWaitMs);
}

// Streams the scenario to the clients. Returns a failure, or "" with the figures in
// `result`. The program's memory at the start is what it holds with every client
// connected and no frame yet.
std::string process_measure(ProcessRun& run, const Scenario& scenario, const Options& options,
                            const FrameCheck& check, const SendTimes& times, Result& result) {
    start_process_readers(run, scenario, check, options, times);
    result.base_mb = status_mb("VmRSS", status_path(run.program.pid));
    CpuMark start = program_mark(run.program.pid);
    if (std::string failure = start_simulator(run, scenario, options); !failure.empty())
        return failure;
    if (std::string failure = stream_to_clients(run, scenario, options, result); !failure.empty())
        return failure;
    CpuMark end = program_mark(run.program.pid);
    result.peak_mb = status_mb("VmHWM", status_path(run.program.pid));
    result.growth_mb = result.peak_mb - result.base_mb;
    readers_stop(run.readers);
    process_count_clients(run, scenario, result);
    process_record_rates(run, scenario, start, end, result);
    record_latencies(run.readers, result);
    return "";
}

Result run_process_scenario(const Scenario& scenario, const Options& options,
                            const FrameCheck& check, const SendTimes& times) {
    Result result;
    result.ran = true;
    result.peak_reset = true;  // a new process for each run
    FrameCheck timed = check;
    timed.lead_in_ns = through_valve(scenario, options) ? 0 : kLeadInNs;
    ProcessRun run;
    std::string failure = process_set_up(run, scenario, options);
    if (failure.empty())
        failure = process_measure(run, scenario, options, timed, times, result);
    if (!failure.empty()) {
        result.ran = false;
        result.failure = failure;
        if (run.program.ended)
            result.failure +=
                "; the program ended, exit code " + std::to_string(run.program.exit_code);
        return result;
    }
    if (scenario.stuck)
        check_stuck_process(run, check, result);
    stop_processes(run, scenario, check, result);
    return result;
}

// ---- The table ----

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    size_t middle = values.size() / 2;
    return values.size() % 2 != 0 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// The median of every measured number; the checks keep the worst run.
Result summarize(const std::vector<Result>& runs) {
    Result summary = runs.front();
    auto median_of = [&](double Result::*field) {
        std::vector<double> values;
        for (const Result& r : runs)
            values.push_back(r.*field);
        summary.*field = median(values);
    };
    for (auto field :
         {&Result::frames_per_s, &Result::mb_per_client, &Result::p50_us, &Result::p99_us,
          &Result::max_us, &Result::arrival_p50_us, &Result::arrival_p99_us,
          &Result::ui_s_per_mframe, &Result::process_s_per_mframe, &Result::ui_busy,
          &Result::peak_mb, &Result::base_mb, &Result::growth_mb, &Result::stuck_dropped_after_s,
          &Result::delivered_s_per_mframe, &Result::lead_in_max_us, &Result::ui_waiting}) {
        median_of(field);
    }
    for (const Result& r : runs) {
        summary.exact = std::min(summary.exact, r.exact);
        summary.dropped = std::max(summary.dropped, r.dropped);
        summary.bad_frames = std::max(summary.bad_frames, r.bad_frames);
        summary.untimed = std::max(summary.untimed, r.untimed);
        summary.drain_timed_out = summary.drain_timed_out || r.drain_timed_out;
        summary.source_failed = summary.source_failed || r.source_failed;
        summary.peak_reset = summary.peak_reset && r.peak_reset;
        summary.stuck_dropped = summary.stuck_dropped && r.stuck_dropped;
        summary.stuck_closed = summary.stuck_closed && r.stuck_closed;
        summary.stuck_in_order = summary.stuck_in_order && r.stuck_in_order;
        summary.identical = summary.identical && r.identical;
        if (r.exit_code != 0)
            summary.exit_code = r.exit_code;
        if (r.simulator_exit != 0)
            summary.simulator_exit = r.simulator_exit;
        summary.closed_at_stop = std::min(summary.closed_at_stop, r.closed_at_stop);
        if (summary.first_fault.empty())
            summary.first_fault = r.first_fault;
        if (!r.ran) {
            summary.ran = false;
            summary.failure = r.failure;
        }
    }
    return summary;
}

std::string scenario_label(const Scenario& scenario, const Options& options) {
    double rate = scenario_rate(scenario, options);
    if (rate == 0)
        return "flat out";
    char label[48];
    std::snprintf(label, sizeof label, "%.0f/s%s", rate, scenario.stuck ? ", 1 stuck" : "");
    return label;
}

std::string check_text(const Result& r, const Scenario& scenario) {
    char text[160];
    int n = std::snprintf(text, sizeof text, "exact %d/%d", r.exact, r.healthy);
    auto append = [&](const char* format, auto... values) {
        if (n < static_cast<int>(sizeof text))
            n += std::snprintf(text + n, sizeof text - static_cast<size_t>(n), format, values...);
    };
    if (r.dropped != 0)
        append(", %d dropped", r.dropped);
    if (r.bad_frames != 0)
        append(", %llu bad frames", static_cast<unsigned long long>(r.bad_frames));
    if (r.drain_timed_out)
        append(", drain timed out");
    if (r.source_failed)
        append(", receiver's send failed");
    if (scenario.stuck) {
        if (r.stuck_dropped) {
            append("; stuck dropped at %.1f s", r.stuck_dropped_after_s);
        } else {
            append("; stuck NOT dropped");
        }
        append(r.stuck_closed ? ", closed" : ", NOT closed");
        append(r.stuck_in_order ? "" : ", its frames out of order");
    }
    return text;
}

// Three significant digits: the figures span several decades.
std::string figure(double value) {
    int magnitude = value > 0 ? static_cast<int>(std::floor(std::log10(value))) : 0;
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", std::clamp(2 - magnitude, 0, 4), value);
    return text;
}

void print_header() {
    std::printf("%-16s %4s %8s %7s %20s %13s\n", "", "", "", "", "latency to read, us",
                "arrival, us");
    std::printf("%-16s %4s %8s %7s %6s %6s %6s %6s %6s %7s %8s %5s %6s %5s  %s\n", "scenario", "cl",
                "frames/s", "MB/s/cl", "p50", "p99", "max", "p50", "p99", "UI s/M", "proc s/M",
                "UI %", "HWM MB", "+MB", "stream check");
}

void print_row(const Scenario& scenario, const Options& options, const Result& r) {
    if (!r.ran) {
        std::printf("%-16s %4d  not run: %s\n", scenario_label(scenario, options).c_str(),
                    scenario.clients, r.failure.c_str());
        return;
    }
    std::printf("%-16s %4d %8.0f %7s %6.0f %6.0f %6.0f %6.0f %6.0f %7s %8s %5.1f %6.1f %5.1f  %s\n",
                scenario_label(scenario, options).c_str(), scenario.clients, r.frames_per_s,
                figure(r.mb_per_client).c_str(), r.p50_us, r.p99_us, r.max_us, r.arrival_p50_us,
                r.arrival_p99_us, figure(r.ui_s_per_mframe).c_str(),
                figure(r.process_s_per_mframe).c_str(), r.ui_busy * 100, r.peak_mb, r.growth_mb,
                check_text(r, scenario).c_str());
    if (!r.first_fault.empty())
        std::printf("%16s first fault: %s\n", "", r.first_fault.c_str());
    if (r.untimed != 0)
        std::printf("%16s %llu frames arrived too late to time\n", "",
                    static_cast<unsigned long long>(r.untimed));
    if (!r.peak_reset)
        std::printf("%16s VmHWM could not be reset: the peak is the process's so far\n", "");
}

// The machine's load before the run: other work on the same cores shows in every number.
void print_load() {
    std::FILE* file = std::fopen("/proc/loadavg", "r");
    char load[64] = "?";
    if (file != nullptr) {
        if (std::fgets(load, sizeof load, file) == nullptr)
            std::strcpy(load, "?\n");
        std::fclose(file);
    }
    std::printf("load average before the run: %s", load);
}

void print_legend(const Options& options) {
    std::printf(
        "\n%d run(s) per scenario%s; %.1f s of sending (stuck: %.1f s); %d client reader "
        "thread(s)%s.\n"
        "frames/s: frames the receiver sent per second of sending. MB/s/cl: 10^6 bytes per\n"
        "second each healthy client received. Latency, over all frames of all healthy clients\n"
        "(1 us buckets below 2 ms): from the receiver's send to the client thread's read of\n"
        "the frame's last byte, and to the kernel's stamp of its arrival at the client's\n"
        "socket, which leaves out the wait of the benchmark's own client threads for a core.\n"
        "UI s/M: CPU seconds of the UI thread per million source frames (poll loop, framer\n"
        "and display, fan-out, and the kernel's loopback delivery that runs inside its\n"
        "sends). proc s/M: the same for the whole process (getrusage: also the receiver, the\n"
        "connector and the clients, which frame and check every byte). UI %%: UI thread CPU\n"
        "time over wall time. HWM MB: peak resident memory during the scenario (VmHWM, reset\n"
        "at its start, when the process holds its code, the capture and the 2 MB send-time\n"
        "table); +MB: how far the peak rose above that start (the station with the relay\n"
        "backlogs it touched, the clients, the threads' stacks).\n"
        "Flat out, the receiver keeps within 192 KB of the slowest client, so the figures are\n"
        "the most this machine delivers to every client; the paced and stuck runs are open\n"
        "loop, as a real receiver is.\n",
        options.runs, options.runs > 1 ? " (medians; checks show the worst run)" : "",
        options.seconds, options.stuck_seconds, options.readers,
        options.pin ? "; UI thread alone on core 0" : "");
}

// The program as a process: the stream check also says whether all healthy clients got
// the same bytes, how the program ended on SIGTERM, and how many clients then saw the
// close.
std::string process_check_text(const Result& r, const Scenario& scenario) {
    char text[96];
    std::snprintf(text, sizeof text, "; %s; exit %d, %d/%d closed",
                  r.identical ? "identical" : "NOT identical", r.exit_code, r.closed_at_stop,
                  r.healthy - r.dropped);
    std::string check = check_text(r, scenario) + text;
    if (r.simulator_exit != 0)
        check += "; simulator exit " + std::to_string(r.simulator_exit);
    return check;
}

void print_process_header() {
    std::printf("%-16s %4s %8s %7s %20s %13s %24s\n", "", "", "", "", "latency to read, us",
                "arrival, us", "program CPU s per M");
    std::printf("%-16s %4s %8s %7s %6s %6s %6s %6s %6s %7s %8s %8s %5s %5s %6s %5s  %s\n",
                "scenario", "cl", "frames/s", "MB/s/cl", "p50", "p99", "max", "p50", "p99",
                "UI/sent", "all/sent", "all/dlvd", "UI %", "wait%", "HWM MB", "+MB",
                "stream check");
}

void print_process_row(const Scenario& scenario, const Options& options, const Result& r) {
    if (!r.ran) {
        std::printf("%-16s %4d  not run: %s\n", scenario_label(scenario, options).c_str(),
                    scenario.clients, r.failure.c_str());
        return;
    }
    // Flat out, the frames wait in the simulator's own socket buffer, which grows to
    // megabytes: their age says nothing about the relay.
    bool timed = !through_valve(scenario, options);
    auto us = [timed](double value) {
        char text[16] = "-";
        if (timed)
            std::snprintf(text, sizeof text, "%.0f", value);
        return std::string(text);
    };
    std::printf("%-16s %4d %8.0f %7s %6s %6s %6s %6s %6s %7s %8s %8s %5.1f %5.1f %6.1f %5.1f  %s\n",
                scenario_label(scenario, options).c_str(), scenario.clients, r.frames_per_s,
                figure(r.mb_per_client).c_str(), us(r.p50_us).c_str(), us(r.p99_us).c_str(),
                us(r.max_us).c_str(), us(r.arrival_p50_us).c_str(), us(r.arrival_p99_us).c_str(),
                figure(r.ui_s_per_mframe).c_str(), figure(r.process_s_per_mframe).c_str(),
                figure(r.delivered_s_per_mframe).c_str(), r.ui_busy * 100, r.ui_waiting * 100,
                r.peak_mb, r.growth_mb, process_check_text(r, scenario).c_str());
    if (!r.first_fault.empty())
        std::printf("%16s first fault: %s\n", "", r.first_fault.c_str());
    if (timed) {
        std::printf("%16s the first %.0f ms after the link: slowest frame %.0f us\n", "",
                    static_cast<double>(kLeadInNs) / kMs, r.lead_in_max_us);
    }
}

void print_process_legend(const Options& options) {
    std::printf(
        "\n%d run(s) per scenario%s; %.1f s of sending (stuck: %.1f s), or %.0f frames flat\n"
        "out; %d client reader thread(s)%s.\n"
        "The program (%s) and the simulator (%s) run as processes of their own. The\n"
        "simulator sends exactly the frames due and stamps each with the monotonic clock as\n"
        "it writes it; flat out, the benchmark passes its stream on only while the slowest\n"
        "client is less than 192 KB behind. frames/s: the rate the stamps show. MB/s/cl: 10^6\n"
        "bytes each healthy client received per second from the first frame's send to its\n"
        "last read. Latency, over all frames of all healthy clients (1 us buckets below\n"
        "2 ms): from the stamp to the client thread's read of the frame's last byte, and to\n"
        "the kernel's stamp of its arrival at the client's socket; the frames of the first\n"
        "100 ms after the link are left out (the program takes a new link into its loop at\n"
        "the next 20 ms slice) and their slowest is shown below the row. Flat out the frames\n"
        "wait in the simulator's own socket buffer, so their age is not shown. Program CPU\n"
        "from the simulator's start to the last client's last frame: the UI (main) thread\n"
        "from /proc/PID/task/PID/schedstat, the whole process from /proc/PID/stat (10 ms\n"
        "steps), per million frames sent and per million delivered (summed over the healthy\n"
        "clients). UI %%: UI thread CPU over the time from the first frame to the end; wait%%:\n"
        "the share of that time it was ready to run but waited for a core (schedstat). HWM\n"
        "MB: the program's VmHWM at the end; +MB: its rise above VmRSS with the clients in.\n"
        "exact: the client got every frame sent, each decoding with the program's framer to\n"
        "the capture's message due, stamps rising, and its byte sum equals that of the frames\n"
        "the simulator wrote; identical: all healthy clients got the same bytes. exit,\n"
        "closed: the program's exit code after SIGTERM, and the clients that then saw their\n"
        "connection close. The stuck client counts as dropped when the log lists one client\n"
        "fewer (time from the first frame), closed when reading it then ends in a close.\n",
        options.runs, options.runs > 1 ? " (medians; checks show the worst run)" : "",
        options.seconds, options.stuck_seconds, options.max_messages, options.readers,
        options.pin ? "; the program alone on the first core" : "", options.program.c_str(),
        options.simulator.c_str());
}

bool selected(const Scenario& scenario, const Options& options) {
    return options.only.empty() ||
           std::find(options.only.begin(), options.only.end(), scenario.key) != options.only.end();
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (int parsed = parse_options(argc, argv, options); parsed != 0)
        return parsed == 1 ? 0 : 2;
    // A fixed threshold keeps large blocks (the relay's backlogs, the send-time table) in
    // their own mappings, returned at free; glibc's sliding threshold would otherwise
    // recycle one scenario's touched pages into the next and blur its peak.
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
    bool as_process = !options.program.empty();
    if (as_process && options.pin) {
        // The program gets the first core; the benchmark and the simulator the rest.
        cpu_set_t others = core_set(false);
        pthread_setaffinity_np(pthread_self(), sizeof others, &others);
    } else if (options.pin && !pin_to_first_core()) {
        std::fprintf(stderr, "relay_bench: cannot pin the UI thread to the first core\n");
        return 1;
    }
    std::vector<ReceiverMessage> messages = stream_parse_avr_text(stream_real_capture());
    FrameCheck check = frame_check(messages);
    if (as_process)
        check.stamp = FrameStamp::monotonic_clock;
    SendTimes times;

    print_load();
    as_process ? print_process_header() : print_header();
    for (const Scenario& scenario : kScenarios) {
        if (!selected(scenario, options))
            continue;
        std::vector<Result> runs;
        for (int i = 0; i < options.runs; ++i) {
            runs.push_back(as_process ? run_process_scenario(scenario, options, check, times)
                                      : run_scenario(scenario, options, check, times));
        }
        as_process ? print_process_row(scenario, options, summarize(runs))
                   : print_row(scenario, options, summarize(runs));
        std::fflush(stdout);
    }
    as_process ? print_process_legend(options) : print_legend(options);
    return 0;
}
