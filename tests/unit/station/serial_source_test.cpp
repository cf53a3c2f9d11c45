// The serial source on pseudo-terminals: the program's end is a real terminal device, the
// test plays the receiver on the other.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "base/serial_speed_linux.h"
#include "sim/sim_serial.h"
#include "station/settings_dialogs.h"
#include "support/base/cp1251.h"
#include "support/base/refused_speeds.h"
#include "support/base/stream_helpers.h"
#include "support/station/station_harness.h"
#include "support/station/test_frontend.h"

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

// Writes all of `bytes` to the receiver's end of the terminal, waiting while it is full,
// until it is unplugged.
void write_all(int fd, const std::string& bytes) {
    for (size_t at = 0; at < bytes.size();) {
        ssize_t wrote = write(fd, bytes.data() + at, bytes.size() - at);
        if (wrote > 0)
            at += static_cast<size_t>(wrote);
        else if (wrote < 0 && errno != EAGAIN && errno != EINTR)
            return;  // unplugged
        else
            usleep(1000);
    }
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

// An adapter whose driver refuses some of the speeds tried: they are passed over, at open
// and within the hunt, and the receiver's own speed is still found.
TEST_F(SerialSourceTest, SpeedsTheDriverRefusesArePassedOver) {
    if (!pty_takes_speed(t.dir.path, 230400))
        GTEST_SKIP() << "pseudo-terminals here cannot be set to 230,400 baud";
    PtyReceiver receiver(port_path("ttyFTDI"));
    receiver.play(230400);
    refuse_serial_speeds({3000000, 921600});
    station_use_serial(*t.station, receiver.link, 0);
    bool found = t.run_until([&] { return shows("Соединение 230400 бод"); }, 8s);
    refuse_serial_speeds({});
    EXPECT_TRUE(found);
    EXPECT_TRUE(shows("Идет установление связи, проба 1000000 бод"));
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
    EXPECT_EQ(fields.text[1].data(), cp1251("Авто"));
    dialog_ok(*t.station, DialogId::serial, dialog_fields(receiver.link.c_str(), "230400"));
    ASSERT_TRUE(t.run_until([&] { return shows("Соединение 230400 бод"); }));
    EXPECT_EQ(sim_serial_speed(receiver.serial), 230400);
    Text256 lines[2];
    std::span<char> spans[] = {lines[0], lines[1]};
    ASSERT_EQ(settings_file_read(t.dir.path.c_str(), kSerialSettingsFile, spans), 2);
    EXPECT_EQ(std::string(lines[1].data()), "230400");
    // The TCP source's dialog saves its address for later and leaves the port running.
    forget_client_lines();
    dialog_ok(*t.station, DialogId::source, dialog_fields("30005", "192.168.1.50"));
    t.run_for(300ms);
    EXPECT_FALSE(shows("Связь разорвана"));
    EXPECT_EQ(t.client_line(), cp1251("Клиент: " + receiver.link + "  Соединение 230400 бод"));
    EXPECT_EQ(link_port(t.station->links, LINK_SOURCE), 30005);

    dialog_ok(*t.station, DialogId::serial, dialog_fields("", "230400"));
    EXPECT_TRUE(
        t.run_until([&] { return t.client_line().starts_with(cp1251("Клиент: 30005  ")); }));
}

}  // namespace

namespace {

// The TCP link and the serial port take turns at the source slot; each changes it only
// while it is the source.
TEST_F(SerialSourceTest, ASwitchToThePortDuringAHangingConnectKeepsThePortsLine) {
    SilentListener silent;
    if (!silent.hangs)
        GTEST_SKIP() << "a full listen queue here refuses connects instead of dropping them";
    dialog_ok(*t.station, DialogId::source,
              dialog_fields(std::to_string(silent.port).c_str(), "127.0.0.1"));
    ASSERT_TRUE(t.run_until([&] { return shows("Идет установление связи"); }));
    t.run_for(200ms);  // inside the connect's wait
    PtyReceiver receiver(port_path("ttyS9"));
    station_use_serial(*t.station, receiver.link, 115200);
    std::string line = cp1251("Клиент: " + receiver.link + "  Соединение 115200 бод");
    ASSERT_TRUE(t.run_until([&] { return t.client_line() == line; }));
    t.run_for(1500ms);
    EXPECT_EQ(t.client_line(), line);
    EXPECT_EQ(link_state(t.station->links, LINK_SOURCE), LINK_CONNECTED);
}

TEST_F(SerialSourceTest, APortUnpluggedAsTheTcpLinkTakesOverLeavesItsSocketAlone) {
    PtyReceiver receiver(port_path("ttyS10"));
    station_use_serial(*t.station, receiver.link, 115200);
    ASSERT_TRUE(t.run_until([&] { return shows("Соединение 115200 бод"); }));
    FakeReceiver tcp_receiver;
    link_set_port(t.station->links, LINK_SOURCE, tcp_receiver.port);
    hold_next_open(t.station->connector);
    station_use_serial(*t.station, "", 0);
    ASSERT_TRUE(wait_open_held());  // the TCP link's socket is in the slot now
    receiver.unplug();              // while the reader still waits on the port
    t.run_for(300ms);
    release_held_open();
    ASSERT_TRUE(tcp_receiver.accept_pending());
    std::array<char, 16> byte;
    EXPECT_EQ(relay_client_read(tcp_receiver.connection, byte, 500), 0);  // open, and quiet
    EXPECT_TRUE(t.run_until([&] {
        return t.client_line() == cp1251("Клиент: ") + std::to_string(tcp_receiver.port) +
                                      cp1251("  Соединение 127.0.0.1");
    }));
}

// While its bytes wait in a full ring, the reader still sees a drop and a new setting
// without the UI thread taking any; and the bytes that wait when the source changes belong
// to the old port: nobody gets them.
TEST_F(SerialSourceTest, AReaderWaitingForRoomSeesADropAndASwitchAndOldBytesGoNowhere) {
    RelayReader client(relay_port);
    ASSERT_TRUE(t.run_until([&] { return relay_live_clients(t.station->relay) == 1; }));
    PtyReceiver old_port(port_path("ttyOLD"));
    PtyReceiver new_port(port_path("ttyNEW"));
    station_use_serial(*t.station, old_port.link, 115200);
    ASSERT_TRUE(t.run_until([&] { return shows("Соединение 115200 бод"); }));
    // More than the ring holds, while the UI thread takes nothing.
    std::thread flood([&] { write_all(old_port.serial.master, stream_bytes(0, 1536 * 1024)); });
    auto ring_full = [&] { return byte_ring_waiting(t.station->serial.ring) == kByteRingBytes; };
    for (int i = 0; i < 1000 && !ring_full(); ++i)
        usleep(10000);
    ASSERT_TRUE(ring_full());
    auto shown_soon = [](const std::string& line) {
        for (int i = 0; i < 300; ++i, usleep(10000)) {
            if (client_line_showed(line))
                return true;
        }
        return false;
    };
    // A drop (the watchdog's) ends the session that waits for room: the port is opened again.
    forget_client_lines();
    station_drop_link(*t.station, LINK_SOURCE);
    bool reopened = shown_soon(cp1251("Клиент: " + old_port.link + "  Соединение 115200 бод"));
    station_use_serial(*t.station, new_port.link, 115200);
    bool switched = shown_soon(cp1251("Клиент: " + new_port.link + "  Соединение 115200 бод"));
    old_port.unplug();  // the flood ends
    flood.join();
    EXPECT_TRUE(reopened);
    EXPECT_TRUE(switched);
    t.run_for(500ms);
    EXPECT_EQ(client.size(), 0u);
}

// A wake the UI thread could not be sent (a full message queue) is not counted as on its
// way: the next bytes ask again.
TEST_F(SerialSourceTest, AWakeThatCouldNotBeDeliveredIsAskedAgain) {
    PtyReceiver receiver(port_path("ttyWAKE"));
    station_use_serial(*t.station, receiver.link, 115200);
    ASSERT_TRUE(t.run_until([&] { return shows("Соединение 115200 бод"); }));
    int asked = test_serial_wakes().asked;
    test_serial_wakes().refuse_next = true;
    auto wakes_asked = [&](int count) {
        for (int i = 0; i < 300 && test_serial_wakes().asked < asked + count; ++i)
            usleep(10000);
        return test_serial_wakes().asked >= asked + count;
    };
    write_all(receiver.serial.master, "*8D4840D6202CC3;\r\n");
    ASSERT_TRUE(wakes_asked(1));
    write_all(receiver.serial.master, "*8D4840D6202CC3;\r\n");
    EXPECT_TRUE(wakes_asked(2));
}

}  // namespace
