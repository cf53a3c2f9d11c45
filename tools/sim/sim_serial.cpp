#include "sim/sim_serial.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#include <array>
#include <cerrno>
#include <chrono>
#include <thread>

#include "base/serial_speed_linux.h"

namespace {

constexpr int32_t kSpeedBeforeOpen = 115200;  // the line rate until the program sets one

}  // namespace

bool sim_serial_open(SimSerial& serial, const std::string& link, SimText& error) {
    serial.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (serial.master < 0 || grantpt(serial.master) != 0 || unlockpt(serial.master) != 0) {
        std::snprintf(error.data(), error.size(), "cannot make a pseudo-terminal");
        return false;
    }
    std::array<char, 128> name{};
    if (ptsname_r(serial.master, name.data(), name.size()) != 0) {
        std::snprintf(error.data(), error.size(), "cannot name the pseudo-terminal");
        return false;
    }
    serial.path = name.data();
    serial.slave = open(name.data(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    // Started in a session of its own (the end-to-end harness does so), the simulator
    // makes the pseudo-terminal its controlling terminal. Otherwise Wine's server, a
    // session leader, takes it as its own when it opens the port, and gets SIGHUP, and
    // dumps its objects to the log, at every unplug. Elsewhere the call fails harmlessly.
    if (serial.slave >= 0)
        ioctl(serial.slave, TIOCSCTTY, 0);
    termios tio{};
    if (serial.slave >= 0 && tcgetattr(serial.slave, &tio) == 0) {
        cfmakeraw(&tio);
        tcsetattr(serial.slave, TCSANOW, &tio);
    }
    fcntl(serial.master, F_SETFL, fcntl(serial.master, F_GETFL) | O_NONBLOCK);
    if (!link.empty()) {
        unlink(link.c_str());
        if (symlink(serial.path.c_str(), link.c_str()) != 0) {
            std::snprintf(error.data(), error.size(), "cannot make the link %s", link.c_str());
            return false;
        }
        serial.link = link;
    }
    return true;
}

int32_t sim_serial_speed(const SimSerial& serial) {
    return serial_speed_get(serial.master);
}

void sim_serial_play(SimSerial& serial, const SimOptions& options, int32_t only_speed,
                     std::span<const ReceiverMessage> messages, const std::atomic<bool>& stop) {
    using clock = std::chrono::steady_clock;
    SimStream stream = sim_stream(messages, options);
    SimClock sim_clock;
    std::array<char, 65536> pending{};
    size_t begin = 0;
    size_t end = 0;
    bool pending_is_stream = true;
    uint64_t noise_state = 1;
    double line_bytes = 0;  // what the line could have carried so far
    uint64_t sent = 0;      // bytes written, noise included
    auto start = clock::now();
    auto last = start;
    while (!stop.load()) {
        auto now = clock::now();
        int32_t set = sim_serial_speed(serial);
        int32_t line_speed = only_speed > 0 ? only_speed : (set > 0 ? set : kSpeedBeforeOpen);
        line_bytes += std::chrono::duration<double>(now - last).count() * line_speed / 10.0;
        last = now;
        bool matches = only_speed == 0 || set == only_speed;
        if (matches != pending_is_stream) {
            begin = end = 0;  // the line changed: what was waiting is sent as it now is
            pending_is_stream = matches;
        }
        if (begin == end) {
            begin = end = 0;
            double elapsed_s = std::chrono::duration<double>(now - start).count();
            uint64_t due =
                options.rate > 0 ? static_cast<uint64_t>(elapsed_s * options.rate) : ~0ull;
            while (end + kSimLineSize <= pending.size() && (!matches || stream.written < due)) {
                if (!matches) {
                    pending[end++] = static_cast<char>(sim_next_random(noise_state));
                    continue;
                }
                std::span<char, kSimLineSize> out(pending.data() + end, kSimLineSize);
                end += sim_write_message(stream, sim_clock_ticks(sim_clock),
                                         sim_clock_wall(sim_clock), out);
            }
        }
        double allowed = line_bytes - static_cast<double>(sent);
        size_t count = end - begin;
        if (allowed < static_cast<double>(count))
            count = allowed > 0 ? static_cast<size_t>(allowed) : 0;
        ssize_t wrote = count > 0 ? write(serial.master, pending.data() + begin, count) : 0;
        if (wrote > 0) {
            begin += static_cast<size_t>(wrote);
            sent += static_cast<uint64_t>(wrote);
            if (matches)
                serial.written += static_cast<uint64_t>(wrote);
        }
        if (wrote < 0 && errno != EAGAIN && errno != EINTR)
            return;
        if (wrote <= 0 || begin == end) {
            pollfd watch{serial.master, POLLOUT, 0};
            poll(&watch, 1, wrote < 0 ? 5 : 2);
            if (wrote <= 0 && count == 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        // A line left idle does not save up a burst.
        if (line_bytes - static_cast<double>(sent) > line_speed / 10.0 * 0.05 && begin == end)
            line_bytes = static_cast<double>(sent) + line_speed / 10.0 * 0.05;
    }
}

void sim_serial_close(SimSerial& serial) {
    if (serial.slave >= 0)
        close(serial.slave);
    if (serial.master >= 0)
        close(serial.master);
    serial.slave = serial.master = -1;
    if (!serial.link.empty())
        unlink(serial.link.c_str());
    serial.link.clear();
}
