// The Linux console program as a whole process: as a service writing its log to a
// pipe, and on a pseudo-terminal showing its monitor.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>

#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

#include "qalmor_version.h"
#include "support/base/net_helpers.h"
#include "support/base/stream_helpers.h"

namespace {

// A running qalmor, its output collected from a pipe or a pseudo-terminal.
class Program {
public:
    // `preload`, when given, is a library loaded into the program before all others.
    static Program as_service(const std::vector<std::string>& arguments,
                              const std::string& preload = "") {
        Program program;
        int pipe_ends[2];
        EXPECT_EQ(pipe(pipe_ends), 0);
        program.pid_ = fork();
        if (program.pid_ == 0) {
            if (!preload.empty())
                setenv("LD_PRELOAD", preload.c_str(), 1);
            int nothing = open("/dev/null", O_RDONLY);
            dup2(nothing, STDIN_FILENO);
            dup2(pipe_ends[1], STDOUT_FILENO);
            dup2(pipe_ends[1], STDERR_FILENO);
            exec(arguments);
        }
        close(pipe_ends[1]);
        program.output_ = pipe_ends[0];
        return program;
    }

    static Program on_terminal(const std::vector<std::string>& arguments) {
        Program program;
        winsize size{30, 120, 0, 0};
        program.pid_ = forkpty(&program.output_, nullptr, nullptr, &size);
        if (program.pid_ == 0) {
            setenv("TERM", "xterm", 1);
            exec(arguments);
        }
        return program;
    }

    Program() = default;
    Program(Program&& other) noexcept { *this = std::move(other); }
    Program& operator=(Program&& other) noexcept {
        std::swap(pid_, other.pid_);
        std::swap(output_, other.output_);
        seen = std::move(other.seen);
        return *this;
    }
    ~Program() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (output_ >= 0)
            close(output_);
    }

    // Reads output until `text` has been seen, or the time is up.
    bool wait_for(const std::string& text, std::chrono::milliseconds timeout = 10s) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (seen.find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() >= deadline || !read_some(50)) {
                if (std::chrono::steady_clock::now() >= deadline)
                    return false;
            }
        }
        return true;
    }

    void type(const std::string& keys) {
        ASSERT_EQ(write(output_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    }
    void signal(int number) { kill(pid_, number); }

    // The exit code, reading the rest of the output; -1 if it did not end in time.
    int wait_exit(std::chrono::milliseconds timeout = 10s) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            int status;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                while (read_some(50)) {
                }
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            read_some(20);
        }
        return -1;
    }

    std::string seen;

private:
    [[noreturn]] static void exec(const std::vector<std::string>& arguments) {
        std::vector<char*> argv;
#ifdef QALMOR_PROGRAM_EMULATOR
        // A cross build runs under an emulator that the kernel does not know: a program
        // of the target's machine starts only through it.
        argv.push_back(const_cast<char*>(QALMOR_PROGRAM_EMULATOR));
#endif
        argv.push_back(const_cast<char*>(QALMOR_PROGRAM));
        for (const auto& argument : arguments)
            argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }

    bool read_some(int timeout_ms) {
        pollfd entry{output_, POLLIN, 0};
        if (poll(&entry, 1, timeout_ms) <= 0)
            return false;
        char buffer[4096];
        ssize_t n = read(output_, buffer, sizeof buffer);
        if (n <= 0)
            return false;
        seen.append(buffer, static_cast<size_t>(n));
        return true;
    }

    pid_t pid_ = -1;
    int output_ = -1;
};

std::string padded(uint16_t port) {
    char text[16];
    std::snprintf(text, sizeof text, "%5d", port);
    return text;
}

// A config folder whose relay port is free and whose source is a fake receiver.
struct ConfigFolder {
    TempDir dir;
    FakeReceiver receiver;
    uint16_t relay_port = free_port();
    ConfigFolder() {
        dir.write("initsocket.ini", std::to_string(relay_port) + "\r\n\r\n");
        dir.write("initmkp1.ini", std::to_string(receiver.port) + "\r\n127.0.0.1\r\n");
    }
    std::string connected_line() const {
        return "Клиент: " + padded(receiver.port) + "  Соединение 127.0.0.1";
    }
};

TEST(ConsoleProgram, HelpVersionAndBadOptions) {
    Program help = Program::as_service({"--help"});
    EXPECT_EQ(help.wait_exit(), 0);
    EXPECT_NE(help.seen.find("initmkp1.ini"), std::string::npos);

    Program version = Program::as_service({"--version"});
    EXPECT_EQ(version.wait_exit(), 0);
    EXPECT_EQ(version.seen, "qalmor " QALMOR_VERSION "\n");

    Program bad = Program::as_service({"--nope"});
    EXPECT_EQ(bad.wait_exit(), 2);
    EXPECT_EQ(bad.seen, "qalmor: unknown option '--nope' (see qalmor --help)\n");
}

TEST(ConsoleProgram, ServiceLogsEachStatusChangeOnceAndStopsCleanlyOnSigterm) {
    ConfigFolder setup;
    Program program = Program::as_service({"--dir", setup.dir.path});
    ASSERT_TRUE(program.wait_for(setup.connected_line())) << program.seen;
    ASSERT_TRUE(setup.receiver.accept_pending());

    RelayReader first(setup.relay_port);
    ASSERT_TRUE(program.wait_for("Сервер: " + padded(setup.relay_port) + " 127.0.0.1\n"));
    RelayReader second(setup.relay_port);
    ASSERT_TRUE(program.wait_for("127.0.0.1 127.0.0.1\n"));
    setup.receiver.send_all("*8D4840D6202CC3;\r\n");
    for (int i = 0; i < 500 && (first.size() < 18 || second.size() < 18); ++i)
        usleep(10000);
    EXPECT_EQ(first.bytes(), "*8D4840D6202CC3;\r\n");

    program.signal(SIGTERM);
    EXPECT_EQ(program.wait_exit(), 0);
    for (int i = 0; i < 500 && !(first.closed && second.closed); ++i)
        usleep(10000);
    EXPECT_TRUE(first.closed && second.closed);  // shutdown closed the relay clients
    EXPECT_NE(program.seen.find("qalmor " QALMOR_VERSION ": stopped"), std::string::npos);

    // One line per change, each with its UTC time stamp.
    const std::string& log = program.seen;
    EXPECT_EQ(log.find(setup.connected_line()), log.rfind(setup.connected_line()));
    std::regex stamped(
        R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d UTC  (Сервер|Клиент|Часы приемника): .*$)");
    int stamped_lines = 0;
    for (size_t start = 0, end; (end = log.find('\n', start)) != std::string::npos;
         start = end + 1) {
        std::string line = log.substr(start, end - start);
        if (line.rfind("qalmor", 0) == 0)
            continue;
        EXPECT_TRUE(std::regex_match(line, stamped)) << line;
        ++stamped_lines;
    }
    EXPECT_GE(stamped_lines, 4);
    EXPECT_NE(setup.dir.read("connect.list").find("|127.0.0.1|127.0.0.1|\r\n"), std::string::npos);
}

// The status file, rewritten once a second, parses as JSON with the links, the
// counts and the clock check's verdict; the verdict's change is also logged.
TEST(ConsoleProgram, StatusFileHoldsTheLinksCountsAndClockVerdict) {
    ConfigFolder setup;
    std::string path = setup.dir.path + "/status.json";
    Program program = Program::as_service({"--dir", setup.dir.path, "--status-file", path});
    ASSERT_TRUE(program.wait_for(setup.connected_line())) << program.seen;
    ASSERT_TRUE(setup.receiver.accept_pending());
    const std::string line = "*8D4840D6202CC371C32CE0576098;\r\n";
    nlohmann::json status = nlohmann::json::object();
    for (int i = 0; i < 100 && status.value("/clock/verdict"_json_pointer, "") != "none"; ++i) {
        setup.receiver.send_all(line);
        usleep(100000);
        status = nlohmann::json::parse(setup.dir.read("status.json"), nullptr, false);
        if (status.is_discarded())
            status = nlohmann::json::object();  // no file yet; a half file is a failure below
    }
    ASSERT_EQ(status["clock"]["verdict"], "none") << status.dump();
    EXPECT_EQ(status["clock"]["verdict_text"], "нет меток времени, измерять нечего");
    EXPECT_EQ(status["clock"]["setting_hz"], 12000000);
    EXPECT_EQ(status["source"]["state"], "connected");
    EXPECT_EQ(status["source"]["port"], setup.receiver.port);
    EXPECT_EQ(status["relay"]["port"], setup.relay_port);
    EXPECT_TRUE(status["relay"]["clients"].is_array());
    uint64_t bytes = status["bytes_received"];
    EXPECT_EQ(bytes % line.size(), 0u);
    EXPECT_EQ(status["messages_received"], bytes / line.size());
    EXPECT_TRUE(status["messages_per_s"].is_number());
    EXPECT_TRUE(program.wait_for("Часы приемника: нет меток времени")) << program.seen;
}

size_t count_of(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

// SIGTERM while the receiver link's thread is inside a name lookup that does not return:
// the program ends cleanly, and nothing that thread still uses is destroyed under it (the
// lookup returns as the process exits, when the sanitize build would catch it).
TEST(ConsoleProgram, StopDuringANameLookupThatHangsEndsCleanly) {
#if defined(QALMOR_PROGRAM_EMULATOR) || !defined(QALMOR_HANGING_LOOKUP)
    GTEST_SKIP() << "the hanging lookup is preloaded into host programs only";
#else
    ConfigFolder setup;
    setup.dir.write("initmkp1.ini", std::to_string(setup.receiver.port) + "\r\n999.2.2.2\r\n");
    Program program = Program::as_service({"--dir", setup.dir.path}, QALMOR_HANGING_LOOKUP);
    ASSERT_TRUE(program.wait_for("Идет установление связи")) << program.seen;
    program.wait_for("never", 1s);
    program.signal(SIGTERM);
    EXPECT_EQ(program.wait_exit(15s), 0) << program.seen;
    EXPECT_NE(program.seen.find(": stopped"), std::string::npos);
    EXPECT_EQ(program.seen.find("Sanitizer"), std::string::npos) << program.seen;
    EXPECT_EQ(program.seen.find("runtime error"), std::string::npos) << program.seen;
#endif
}

// What is wrong beyond the status lines is said in the service log and the status file:
// a relay port another program holds, a status file that cannot be written (once, not
// every second). The status file carries its own time, and its new content never goes
// through a link planted beside it.
TEST(ConsoleProgram, FailuresAreToldInTheLogAndTheStatusFile) {
    ConfigFolder setup;
    SOCKET holder = sim_listen_on(INADDR_ANY, setup.relay_port);  // another program's
    std::string path = setup.dir.path + "/status.json";
    std::string victim = setup.dir.path + "/victim";
    setup.dir.write("victim", "");
    ASSERT_EQ(symlink(victim.c_str(), (path + ".tmp").c_str()), 0);
    Program program = Program::as_service({"--dir", setup.dir.path, "--status-file", path});
    EXPECT_TRUE(program.wait_for("the relay cannot listen on port " +
                                 std::to_string(setup.relay_port) +
                                 ": bind: Address already in use"))
        << program.seen;
    nlohmann::json status;
    for (int i = 0; i < 50 && !status.is_object(); ++i) {
        usleep(100000);
        status = nlohmann::json::parse(setup.dir.read("status.json"), nullptr, false);
    }
    ASSERT_TRUE(status.is_object());
    EXPECT_EQ(status["relay"]["listening"], false);
    EXPECT_EQ(status["relay"]["error"], "bind: Address already in use");
    int64_t now = static_cast<int64_t>(time(nullptr));
    EXPECT_LE(std::abs(status["now"].get<int64_t>() - now), 5);
    EXPECT_LE(status["started"].get<int64_t>(), status["now"].get<int64_t>());
    EXPECT_EQ(setup.dir.read("victim"), "");
    closesocket(holder);

    Program unwritable = Program::as_service(
        {"--dir", setup.dir.path, "--status-file", setup.dir.path + "/missing/status.json"});
    EXPECT_TRUE(unwritable.wait_for("status file"));
    unwritable.wait_for("never", 2500ms);
    EXPECT_EQ(count_of(unwritable.seen, "cannot be written: No such file or directory"), 1u)
        << unwritable.seen;
}

// Strangers cycling connections on the relay port as fast as they can: "connect.list"
// gains at most a line a tick and keeps its earlier record, and a relay client that stays
// gets every byte.
TEST(ConsoleProgram, AConnectCloseLoopOnTheRelayCostsALineATickAtMost) {
    ConfigFolder setup;
    setup.dir.write("connect.list", "earlier record\r\n");
    Program program = Program::as_service({"--dir", setup.dir.path});
    ASSERT_TRUE(program.wait_for(setup.connected_line())) << program.seen;
    ASSERT_TRUE(setup.receiver.accept_pending());
    RelayReader steady(setup.relay_port);
    ASSERT_TRUE(program.wait_for(padded(setup.relay_port) + " 127.0.0.1\n"));
    size_t log_lines_before = count_of(setup.dir.read("connect.list"), "\r\n");

    std::atomic<bool> stop{false};
    std::atomic<int> cycles{0};
    std::vector<std::thread> strangers;
    for (int i = 0; i < 8; ++i) {
        // Most stay a moment, each its own.
        auto stay = std::chrono::milliseconds(37 * i);
        strangers.emplace_back([&, stay] {
            while (!stop) {
                SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
                socket_set_nonblocking(s);
                sockaddr_in address = socket_ipv4_address(INADDR_LOOPBACK, setup.relay_port);
                connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
                if (socket_wait_connected(s, 3000) > 0) {
                    ++cycles;
                    std::this_thread::sleep_for(stay);
                }
                closesocket(s);
            }
        });
    }
    auto started = std::chrono::steady_clock::now();
    std::string sent;
    while (std::chrono::steady_clock::now() - started < 5s) {
        std::string chunk = stream_bytes(sent.size(), 1000);
        setup.receiver.send_all(chunk);
        sent += chunk;
        program.wait_for("\x01", 10ms);  // reads the log meanwhile
    }
    stop = true;
    for (std::thread& stranger : strangers)
        stranger.join();
    double ticks = std::chrono::duration<double>(std::chrono::steady_clock::now() - started) /
                   std::chrono::milliseconds(100);
    for (int i = 0; i < 500 && steady.size() < sent.size(); ++i)
        usleep(10000);
    EXPECT_TRUE(steady.bytes() == sent);

    std::string log = setup.dir.read("connect.list");
    // Each cycle is two changes of the client table: enough of them to show whether the
    // refreshes are folded.
    EXPECT_GT(cycles, ticks) << cycles;
    EXPECT_LE(count_of(log, "\r\n") - log_lines_before, static_cast<size_t>(ticks) + 5);
    EXPECT_TRUE(log.starts_with("earlier record\r\n"));
}

TEST(ConsoleProgram, MonitorShowsTheReceiversLinesAndGivesTheTerminalBack) {
    ConfigFolder setup;
    Program program = Program::on_terminal({"--dir", setup.dir.path, "--binary"});
    ASSERT_TRUE(program.wait_for(setup.connected_line())) << program.seen;
    ASSERT_TRUE(setup.receiver.accept_pending());
    const ReceiverMessage& message = real_capture()[3];
    std::string frame = binary_stream({message}, 0x1A0001, 0);
    std::string line = stream_expected_at_line(message, 0x1A0001);
    setup.receiver.send_all(frame);
    EXPECT_TRUE(program.wait_for(line.substr(0, line.size() - 2))) << program.seen;

    // Receiver-clock times: '@' lines get their prefix once the key has been read.
    program.type("5");
    bool annotated = false;
    for (int i = 0; i < 50 && !annotated; ++i) {
        setup.receiver.send_all(frame);
        annotated = program.wait_for("прм = 0  комп = 0     @", 100ms);
    }
    EXPECT_TRUE(annotated);

    program.type("q");
    EXPECT_EQ(program.wait_exit(), 0);
    EXPECT_TRUE(program.seen.ends_with("\x1b[?25h\x1b[?1049l"));
    EXPECT_EQ(setup.dir.read("BinarComOn.ini"), "");  // --binary leaves the file alone
}

TEST(ConsoleProgram, CtrlCOnTheMonitorQuitsAndGivesTheTerminalBack) {
    ConfigFolder setup;
    Program program = Program::on_terminal({"--dir", setup.dir.path});
    ASSERT_TRUE(program.wait_for("Сервер:"));
    program.type("\x03");
    EXPECT_EQ(program.wait_exit(), 0);
    EXPECT_NE(program.seen.find("\x1b[?1049l"), std::string::npos);
}

}  // namespace
