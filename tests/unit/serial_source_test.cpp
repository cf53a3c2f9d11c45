// The serial source on pseudo-terminals: the program's end is a real terminal device, the
// test plays the receiver on the other.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "base/serial_speed_linux.h"
#include "sim/sim_serial.h"
#include "support/cp1251.h"
#include "support/framer_helpers.h"
#include "support/net_harness.h"
#include "support/test_frontend.h"

namespace {

// A receiver on a pseudo-terminal behind a link of the test's own, so that it can be
// unplugged and plugged in again under the same name.
struct PtyReceiver {
    std::string link;
    SimSerial serial;
    std::atomic<bool> stop{false};
    std::thread player;

    explicit PtyReceiver(std::string path) : link(std::move(path)) { plug(); }
    ~PtyReceiver() { unplug(); }

    void plug() {
        SimText error{};
        serial = SimSerial{};
        EXPECT_TRUE(sim_serial_open(serial, link, error)) << error.data();
    }
    // Plays the real capture as Beast frames, at `only_speed` (0: any), 2000 a second.
    void play(int32_t only_speed) {
        stop = false;
        player = std::thread([this, only_speed] {
            SimOptions options;
            options.format = SimFormat::beast;
            options.rate = 2000;
            sim_serial_play(serial, options, only_speed, real_capture(), stop);
        });
    }
    void unplug() {
        stop = true;
        if (player.joinable())
            player.join();
        sim_serial_close(serial);
    }
};

// Whether a pseudo-terminal here takes `speed` and reads it back. qemu's user-mode
// emulation, which runs the arm builds' tests, passes on neither termios2 nor the
// speed codes past 1,000,000, so those speeds are tested natively only.
bool pty_takes_speed(const std::string& dir, int32_t speed) {
    PtyReceiver probe(dir + "/ttyPROBE");
    int fd = open(probe.link.c_str(), O_RDWR | O_NOCTTY);
    bool takes =
        fd >= 0 && serial_speed_set(fd, speed) && serial_speed_get(probe.serial.master) == speed;
    if (fd >= 0)
        close(fd);
    return takes;
}

// Forgets the client lines shown so far.
void forget_client_lines() {
    std::lock_guard guard(test_status().lock);
    test_status().client_lines.clear();
}

class SerialSourceTest : public testing::Test {
public:
    void SetUp() override {
        relay_port = free_port();
        t.set_relay_port(relay_port);
        station_override_binary_mode(*t.station, true);
        station_start_network(*t.station);
    }
    std::string port_path(const char* name) { return t.dir.path + "/" + name; }
    bool shows(const std::string& tail_utf8) { return client_line_showed(cp1251(tail_utf8)); }

    TestStation t;
    uint16_t relay_port = 0;
};

TEST_F(SerialSourceTest, BytesReachTheMonitorAndTheRelayClientExactly) {
    if (!pty_takes_speed(t.dir.path, 3000000))
        GTEST_SKIP() << "pseudo-terminals here cannot be set to 3,000,000 baud";
    PtyReceiver receiver(port_path("ttyBEAST"));
    station_use_serial(*t.station, receiver.link, 3000000);
    ASSERT_TRUE(t.run_until([&] { return shows("Соединение 3000000 бод"); }));
    EXPECT_EQ(sim_serial_speed(receiver.serial), 3000000);  // termios2: no B-constant needed
    EXPECT_EQ(t.client_line(), cp1251("Клиент: " + receiver.link + "  Соединение 3000000 бод"));
    RelayReader client(relay_port);
    ASSERT_TRUE(t.run_until([&] { return relay_live_clients(t.station->relay) == 1; }));
    const auto& messages = real_capture();
    std::string stream = binary_stream(messages, 0x1A1A00, 0x1A);
    size_t at = 0;
    ASSERT_TRUE(t.run_until([&] {
        ssize_t wrote = write(receiver.serial.master, stream.data() + at, stream.size() - at);
        at += wrote > 0 ? static_cast<size_t>(wrote) : 0;
        return client.size() >= stream.size();
    }));
    EXPECT_TRUE(client.bytes() == stream);
    auto& ring = t.station->ring;
    EXPECT_EQ(std::string(ring.slots[static_cast<size_t>(ring.write_index)].data()),
              stream_expected_at_line(messages.back(), 0x1A1A00 + (messages.size() - 1) * 0x1A));
}

TEST_F(SerialSourceTest, AutomaticSpeedFinds921600And3000000) {
    for (int32_t speed : {921600, 3000000}) {
        if (!pty_takes_speed(t.dir.path, speed))
            GTEST_SKIP() << "pseudo-terminals here cannot be set to " << speed << " baud";
        PtyReceiver receiver(port_path("ttyAUTO"));
        receiver.play(speed);
        station_use_serial(*t.station, receiver.link, 0);
        std::string found = "Соединение " + std::to_string(speed) + " бод";
        EXPECT_TRUE(t.run_until([&] { return shows(found); }, 15s)) << speed;
        EXPECT_TRUE(shows("Идет установление связи, проба 3000000 бод"));
        station_use_serial(*t.station, "", 0);
    }
}

TEST_F(SerialSourceTest, UnpluggedPortIsOpenedAgainWithin3sOfComingBack) {
    PtyReceiver receiver(port_path("ttyUSB"));
    receiver.play(0);
    station_use_serial(*t.station, receiver.link, 921600);
    ASSERT_TRUE(t.run_until([&] { return shows("Соединение 921600 бод"); }));
    int lines_before = t.station->ring.write_index;
    ASSERT_TRUE(t.run_until([&] { return t.station->ring.write_index != lines_before; }));
    receiver.unplug();
    ASSERT_TRUE(t.run_until([&] { return shows("Связь разорвана"); }));
    ASSERT_TRUE(t.run_until([&] { return shows("Ошибка: нет такого порта"); }));
    forget_client_lines();
    receiver.plug();
    receiver.play(0);
    EXPECT_TRUE(t.run_until([&] { return shows("Соединение 921600 бод"); }, 3s));
}

TEST_F(SerialSourceTest, MissingBusyOrNonSerialPortShowsWhyAndIsTriedAgain) {
    station_use_serial(*t.station, port_path("nothing"), 0);
    ASSERT_TRUE(t.run_until([&] { return shows("Ошибка: нет такого порта"); }));
    forget_client_lines();
    ASSERT_TRUE(t.run_until([&] { return shows("Ошибка: нет такого порта"); }));  // again

    station_use_serial(*t.station, "/dev/null", 0);
    ASSERT_TRUE(t.run_until([&] { return shows("Ошибка: не последовательный порт"); }));

    PtyReceiver receiver(port_path("ttyBUSY"));
    int other = open(receiver.link.c_str(), O_RDWR | O_NOCTTY);  // another program has it
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    station_use_serial(*t.station, receiver.link, 115200);
    ASSERT_TRUE(t.run_until([&] { return shows("Ошибка: порт занят"); }));
    close(other);
    EXPECT_TRUE(t.run_until([&] { return shows("Соединение 115200 бод"); }));
    EXPECT_EQ(relay_live_clients(t.station->relay), 0);  // the relay untouched, still serving
}

}  // namespace

namespace {

TEST_F(SerialSourceTest, DialogOkSwitchesTheSourceToThePortAndAnEmptyPortBackToTcp) {
    PtyReceiver receiver(port_path("ttyACM0"));
    DialogFields fields;
    dialog_open(*t.station, DialogId::serial, fields);
    EXPECT_EQ(fields.second.data(), cp1251("Авто"));
    dialog_ok(*t.station, DialogId::serial, dialog_fields(receiver.link.c_str(), "230400"));
    ASSERT_TRUE(t.run_until([&] { return shows("Соединение 230400 бод"); }));
    EXPECT_EQ(sim_serial_speed(receiver.serial), 230400);
    Text256 lines[2];
    std::span<char> spans[] = {lines[0], lines[1]};
    ASSERT_EQ(settings_file_read(t.dir.path.c_str(), kSerialSettingsFile, spans), 2);
    EXPECT_EQ(std::string(lines[1].data()), "230400");

    dialog_ok(*t.station, DialogId::serial, dialog_fields("", "230400"));
    EXPECT_TRUE(
        t.run_until([&] { return t.client_line().starts_with(cp1251("Клиент:  7777  ")); }));
}

}  // namespace
