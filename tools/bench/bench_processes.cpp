#include "bench/bench_processes.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "bench/bench_clients.h"
#include "sim/receiver_sim.h"
#include "support/base/net_helpers.h"

namespace {

constexpr int kAcceptWaitMs = 20;
// What the valve passes on at once: small beside any window worth setting.
constexpr size_t kValveChunk = 64 * 1024;

// Accepts the relay's source link; INVALID_SOCKET once `stop` is set.
SOCKET accept_relay(SOCKET listener, const std::atomic<bool>& stop) {
    SOCKET s = INVALID_SOCKET;
    while (s == INVALID_SOCKET && !stop.load())
        s = sim_accept(listener, kAcceptWaitMs);
    // The timeout only keeps a relay that stopped reading from hanging the valve.
    timeval timeout{2, 0};
    if (s != INVALID_SOCKET)
        setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    return s;
}

bool valve_open(const BenchValve& v) {
    uint64_t passed = v.passed.load();
    return passed - std::min(passed, v.slowest_client_bytes()) < v.window;
}

void valve_run(BenchValve& v) {
    v.relay = accept_relay(v.listener, v.stop);
    if (v.relay == INVALID_SOCKET)
        return;
    v.connected.store(true);
    while (!v.go.load()) {
        if (v.stop.load())
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    v.simulator = connect_to(v.simulator_port);
    auto buffer = std::make_unique<char[]>(kValveChunk);
    while (!v.stop.load() && v.simulator != INVALID_SOCKET) {
        if (!valve_open(v)) {
            std::this_thread::sleep_for(std::chrono::microseconds(50));
            continue;
        }
        int n = relay_client_read(v.simulator, {buffer.get(), kValveChunk}, kAcceptWaitMs);
        if (n < 0 || !sim_send_all(v.relay, {buffer.get(), static_cast<size_t>(n)}))
            return;
        v.passed.fetch_add(static_cast<uint64_t>(n));
    }
}

// In the child between fork and exec, where only system calls are safe.
[[noreturn]] void exec_child(int pipe_end, char* const* argv) {
    dup2(pipe_end, STDOUT_FILENO);
    dup2(pipe_end, STDERR_FILENO);
    // The benchmark's sockets must not live on in the child: a client's connection has
    // to close when the benchmark closes it.
    close_range(3, ~0u, 0);
    // A benchmark stopped by Ctrl-C or killed leaves no relay or simulator behind.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    execv(argv[0], argv);
    _exit(127);
}

void record_end(ChildProcess& child, int status) {
    child.ended = true;
    child.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string proc_path(pid_t pid, const char* file) {
    return "/proc/" + std::to_string(pid) + "/" + file;
}

}  // namespace

bool child_start(ChildProcess& child, const std::vector<std::string>& args) {
    int ends[2];
    if (args.empty() || pipe2(ends, O_CLOEXEC) != 0)
        return false;
    // Built before the fork: the child may not allocate.
    std::vector<char*> argv;
    for (const std::string& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0)
        exec_child(ends[1], argv.data());
    close(ends[1]);
    if (pid < 0) {
        close(ends[0]);
        return false;
    }
    fcntl(ends[0], F_SETFL, O_NONBLOCK);
    child = {};
    child.pid = pid;
    child.output = ends[0];
    return true;
}

void child_poll(ChildProcess& child) {
    if (child.pid < 0)
        return;
    std::array<char, 4096> buffer;
    ssize_t n;
    while (child.output >= 0 && (n = read(child.output, buffer.data(), buffer.size())) > 0) {
        child.text.append(buffer.data(), static_cast<size_t>(n));
    }
    int status = 0;
    if (!child.ended && waitpid(child.pid, &status, WNOHANG) == child.pid)
        record_end(child, status);
}

bool children_wait(ChildProcess& a, ChildProcess& b, const std::function<bool()>& done,
                   int64_t timeout_ns) {
    int64_t deadline = bench_now_ns() + timeout_ns;
    while (true) {
        child_poll(a);
        child_poll(b);
        if (done())
            return true;
        if (a.ended || b.ended || bench_now_ns() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

int child_stop(ChildProcess& child, int signal, int timeout_ms) {
    if (child.pid < 0)
        return child.exit_code;
    if (!child.ended)
        kill(child.pid, signal);
    int64_t deadline_ns = bench_now_ns() + int64_t{timeout_ms} * 1000000;
    while (!child.ended && bench_now_ns() < deadline_ns) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        child_poll(child);
    }
    if (!child.ended) {
        kill(child.pid, SIGKILL);
        int status = 0;
        waitpid(child.pid, &status, 0);
        record_end(child, status);
        child.exit_code = -1;
    }
    child_poll(child);  // its last words
    close(child.output);
    child.output = -1;
    child.pid = -1;
    return child.exit_code;
}

int64_t process_cpu_ns(pid_t pid) {
    std::FILE* file = std::fopen(proc_path(pid, "stat").c_str(), "r");
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

double process_status_mb(pid_t pid, const char* field) {
    std::FILE* file = std::fopen(proc_path(pid, "status").c_str(), "r");
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

namespace {

// Looks the connection up in one of the kernel's connection tables.
bool table_holds_client(const char* table, uint16_t relay_port, uint16_t client_port) {
    std::FILE* file = std::fopen(table, "r");
    if (file == nullptr)
        return false;
    char line[512];
    bool held = false;
    while (std::fgets(line, sizeof line, file) != nullptr) {
        unsigned local_port = 0;
        unsigned remote_port = 0;
        unsigned long inode = 0;
        // "sl: local:port remote:port st tx:rx tr:when retrnsmt uid timeout inode"
        if (std::sscanf(
                line, " %*u: %*[0-9A-Fa-f]:%x %*[0-9A-Fa-f]:%x %*x %*x:%*x %*x:%*x %*x %*u %*u %lu",
                &local_port, &remote_port, &inode) == 3 &&
            local_port == relay_port && remote_port == client_port) {
            held = inode != 0;
            break;
        }
    }
    std::fclose(file);
    return held;
}

}  // namespace

bool relay_holds_client(uint16_t relay_port, uint16_t client_port) {
    // A relay listening on every interface takes IPv4 clients on an IPv6 socket: the
    // kernel lists those connections among the IPv6 ones.
    return table_holds_client("/proc/net/tcp", relay_port, client_port) ||
           table_holds_client("/proc/net/tcp6", relay_port, client_port);
}

bool valve_start(BenchValve& v) {
    v.listener = sim_listen_on(INADDR_LOOPBACK, v.port);
    if (v.listener == INVALID_SOCKET)
        return false;
    v.thread = std::thread(valve_run, std::ref(v));
    return true;
}

void valve_stop(BenchValve& v) {
    v.stop.store(true);
    if (v.thread.joinable())
        v.thread.join();
    sim_close_socket(v.relay);
    sim_close_socket(v.simulator);
    sim_close_socket(v.listener);
}
