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
#include <malloc.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>

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
};

const char kHelp[] =
    "usage: relay_bench [--only LIST] [--seconds S] [--rate N] [--stuck-seconds S]\n"
    "                   [--stuck-rate N] [--runs N] [--readers N] [--pin]\n"
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
    return 0;
}

// ---- Process measurements ----

struct CpuMark {
    int64_t wall_ns;
    int64_t ui_ns;       // the calling thread
    int64_t process_ns;  // every thread, user and system time
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

// A "VmXXX:  1234 kB" line of /proc/self/status, in MB (10^6 bytes).
double status_mb(const char* field) {
    std::FILE* file = std::fopen("/proc/self/status", "r");
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

void record_latencies(const Run& run, Result& result) {
    Latencies latencies;
    for (const auto& share : run.readers.shares) {
        latency_merge(latencies.read, share->latencies.read);
        latency_merge(latencies.arrival, share->latencies.arrival);
        result.untimed += share->latencies.untimed;
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
    record_latencies(run, result);
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
          &Result::peak_mb, &Result::base_mb, &Result::growth_mb, &Result::stuck_dropped_after_s}) {
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
    if (options.pin && !pin_to_first_core()) {
        std::fprintf(stderr, "relay_bench: cannot pin the UI thread to the first core\n");
        return 1;
    }
    std::vector<ReceiverMessage> messages = stream_parse_avr_text(stream_real_capture());
    FrameCheck check = frame_check(messages);
    SendTimes times;

    print_load();
    print_header();
    for (const Scenario& scenario : kScenarios) {
        if (!selected(scenario, options))
            continue;
        std::vector<Result> runs;
        for (int i = 0; i < options.runs; ++i) {
            runs.push_back(run_scenario(scenario, options, check, times));
        }
        print_row(scenario, options, summarize(runs));
        std::fflush(stdout);
    }
    print_legend(options);
    return 0;
}
