// The settings files as the station loads them at start-up: defaults, line rules, and
// what a load after a save reads.
#include "station/station.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>
#include <span>
#include <string>

#include "display/clock_annotation.h"
#include "net/link_table.h"
#include "settings/settings.h"
#include "support/base/config_dir.h"
#include "support/base/cp1251.h"

namespace {

namespace fs = std::filesystem;

// A fresh, empty config directory for one test, and what the start-up load makes of it.
class SettingsTest : public ConfigDirTest {
protected:
    void load() { station_startup_load(dir(), settings, links, clock); }
    std::string host(int slot) const { return link_read(links, slot).host.data(); }
    uint16_t port(int slot) const { return link_read(links, slot).port; }

    Settings settings;
    LinkTable links;
    ClockAnnotation clock;
};

TEST_F(SettingsTest, NoFilesLeaveEveryDefault) {
    load();
    EXPECT_EQ(settings.relay_port, 7777);
    const uint16_t ports[] = {9999, 7777, 8888};
    for (int slot : {LINK_UPSTREAM, LINK_SOURCE, LINK_CONSUMER}) {
        EXPECT_EQ(port(slot), ports[slot]);
        EXPECT_EQ(host(slot), "127.0.0.1");
    }
    EXPECT_EQ(settings.binary_mode, 0);
    EXPECT_EQ(settings.signal_threshold, 50);
    EXPECT_EQ(clock.timer_frequency_hz, 12000000);
    EXPECT_STREQ(settings.receiver_name.data(), "Varnholm");
    EXPECT_DOUBLE_EQ(settings.latitude_arcsec, 59.771944 * 3600);
    EXPECT_DOUBLE_EQ(settings.longitude_arcsec, 30.326111 * 3600);
}

TEST_F(SettingsTest, EveryFileLoadsIntoItsSettings) {
    write("initsocket.ini", "5000\r\n10.0.0.2\r\n");
    write("initmkp1.ini", "30005\r\nreceiver.local\r\n");
    write("initmkp2.ini", "8000\r\n192.168.1.9\r\nnever read\r\n");
    write("BinarComOn.ini", "2\r\n");
    write("point.ini", "47.5\r\n39.25\r\n");
    write("name.ini", cp1251("Приёмник Пулково") + "\r\n");
    write("porog.ini", "300\r\n");  // no range check at start-up
    write("frequency.ini", "abc\r\n");
    clock.reference_captured = 1;
    load();
    EXPECT_EQ(settings.relay_port, 5000);
    EXPECT_EQ(port(LINK_UPSTREAM), 5000);
    EXPECT_EQ(host(LINK_UPSTREAM), "10.0.0.2");
    EXPECT_EQ(port(LINK_SOURCE), 30005);
    EXPECT_EQ(host(LINK_SOURCE), "receiver.local");
    EXPECT_EQ(port(LINK_CONSUMER), 8000);
    EXPECT_EQ(host(LINK_CONSUMER), "192.168.1.9");
    EXPECT_EQ(settings.binary_mode, 2);
    EXPECT_DOUBLE_EQ(settings.latitude_arcsec, 171000);
    EXPECT_DOUBLE_EQ(settings.longitude_arcsec, 141300);
    EXPECT_EQ(settings.receiver_name.data(), cp1251("Приёмник Пулково"));
    EXPECT_EQ(settings.signal_threshold, 300);
    EXPECT_EQ(clock.timer_frequency_hz, 0);
    EXPECT_EQ(clock.reference_captured, 0);
}

// Each case is "initmkp1.ini" as it lies on disk. Line 1 is read into the host buffer and
// line 2 over it, so a missing line keeps the text that is already there.
TEST_F(SettingsTest, LinkFileBytesGiveThePortAndHost) {
    struct Case {
        std::string bytes;
        uint16_t port;
        std::string host;
    } cases[] = {
        {"5000\r\n10.0.0.2\r\n", 5000, "10.0.0.2"},
        {"5000\n10.0.0.2\n", 5000, "10.0.0.2"},
        {"5000\r10.0.0.2\r", 5000, "5000"},  // a lone CR ends the value, not the line
        {"30005\r\n", 30005, "30005"},
        {"8000", 8000, "8000"},
        {"", 127, "127.0.0.1"},  // atoi of the host it had
        {"70000\r\nh\r\n", 4464, "h"},
        {"-1\r\nh", 65535, "h"},
        {"99999999999999999999\r\nh", 65535, "h"},  // held at 0x7FFFFFFF
        {"5000\r\n\x1A"
         "10.0.0.2\r\n",
         5000, "5000"},  // Ctrl-Z ends the file
        {std::string("80\0 99\r\nho\0st\r\n", 15), 80, "ho"},
        // 254 characters and CR LF fit a 256-byte read; 255 fill it, and the line end
        // left over is read as an empty line 2.
        {"5000" + std::string(250, ' ') + "\r\n10.0.0.2\r\n", 5000, "10.0.0.2"},
        {"6000" + std::string(251, ' ') + "\r\n10.0.0.2\r\n", 6000, ""},
        {"7000\r\n" + std::string(300, 'h') + "\r\n", 7000, std::string(255, 'h')},
        {std::string(10 * 1024 * 1024, '1'), 65535, std::string(255, '1')},
    };
    for (const Case& c : cases) {
        write("initmkp1.ini", c.bytes);
        LinkTable table;
        station_startup_load(dir(), settings, table, clock);
        LinkSlot source = link_read(table, LINK_SOURCE);
        EXPECT_EQ(source.port, c.port) << c.bytes.substr(0, 30);
        EXPECT_EQ(source.host.data(), c.host) << c.bytes.substr(0, 30);
    }
    EXPECT_EQ(settings.relay_port, 7777);  // only "initsocket.ini" sets it
}

TEST_F(SettingsTest, EmptyRelayFileSetsBothPortsFromTheHost) {
    write("initsocket.ini", "");
    load();
    EXPECT_EQ(port(LINK_UPSTREAM), 127);
    EXPECT_EQ(settings.relay_port, 127);
    EXPECT_EQ(host(LINK_UPSTREAM), "127.0.0.1");
}

TEST_F(SettingsTest, PointWithOneLineGivesLongitudeEqualToLatitude) {
    write("point.ini", "47.5\r\n");
    load();
    EXPECT_DOUBLE_EQ(settings.latitude_arcsec, 171000);
    EXPECT_DOUBLE_EQ(settings.longitude_arcsec, 171000);
}

TEST_F(SettingsTest, FilesWithoutAnyLineKeepTheDefaultsNotThePreviousFilesText) {
    write("point.ini", "");
    write("name.ini", "12345\r\n");
    write("porog.ini", "");
    write("frequency.ini",
          "\x1A"
          "999\r\n");
    load();
    EXPECT_DOUBLE_EQ(settings.latitude_arcsec, kDefaultLatitudeArcsec);
    EXPECT_DOUBLE_EQ(settings.longitude_arcsec, kDefaultLongitudeArcsec);
    EXPECT_STREQ(settings.receiver_name.data(), "12345");
    EXPECT_EQ(settings.signal_threshold, 50);
    EXPECT_EQ(clock.timer_frequency_hz, 12000000);
}

TEST_F(SettingsTest, LongLinesAndGarbageStayWithinTheirBuffers) {
    write("name.ini", std::string(1100, 'n') + "\r\n");
    std::string garbage;
    for (int i = 0; i < 4 * 256; ++i)
        garbage += static_cast<char>(i * 7 % 256);
    write("initmkp2.ini", garbage);
    load();
    EXPECT_EQ(settings.receiver_name.data(), std::string(255, 'n'));
    std::string consumer = host(LINK_CONSUMER);
    EXPECT_LE(consumer.size(), 255u);
    EXPECT_EQ(consumer.find_first_of("\r\n"), std::string::npos);
}

// The exact bytes on disk: the same on every platform.
TEST_F(SettingsTest, SavesWriteWindowsLinesAsTyped) {
    const char* relay[] = {"5000", ""};
    settings_file_save(dir(), "initsocket.ini", relay);
    EXPECT_EQ(contents("initsocket.ini"), "5000\r\n\r\n");

    std::string name = cp1251("Варнхольм");
    const char* texts[] = {name.c_str()};
    settings_file_save(dir(), "name.ini", texts);
    EXPECT_EQ(contents("name.ini"), name + "\r\n");

    const char* two_lines[] = {"a\nb"};  // as "%s\n" on a text stream: every LF is CR LF
    settings_file_save(dir(), "frequency.ini", two_lines);
    EXPECT_EQ(contents("frequency.ini"), "a\r\nb\r\n");

    settings_save_binary_mode(dir(), 1);
    EXPECT_EQ(contents("BinarComOn.ini"), "1\r\n");
    settings_save_binary_mode(dir(), 0);  // rewritten whole
    EXPECT_EQ(contents("BinarComOn.ini"), "0\r\n");

    const char* threshold[] = {"42abc"};
    settings_file_save(dir(), "porog.ini", threshold);
    load();
    EXPECT_EQ(contents("porog.ini"), "42abc\r\n");
    EXPECT_EQ(settings.signal_threshold, 42);
}

TEST_F(SettingsTest, UnusableFilesAndPathsChangeNothing) {
    // A directory where a file should be: it neither loads nor is written.
    fs::create_directory(dir_path / "porog.ini");
    write("porog.ini/x", "");
    const char* texts[] = {"42"};
    settings_file_save(dir(), "porog.ini", texts);
    EXPECT_TRUE(fs::is_directory(dir_path / "porog.ini"));
    char line[kDialogLineSize] = "kept";
    std::span<char> lines[] = {line};
    EXPECT_EQ(settings_file_read(dir(), "porog.ini", lines), -1);
    load();
    EXPECT_EQ(settings.signal_threshold, 50);

    std::string missing = (dir_path / "missing").string();
    settings_file_save(missing.c_str(), "porog.ini", texts);
    EXPECT_FALSE(fs::exists(dir_path / "missing"));

    // A path that does not fit its buffer is not cut to another name: nothing opens.
    std::string long_dir = dir_text + "/" + std::string(kFilePathSize, 'd');
    settings_file_save(long_dir.c_str(), "porog.ini", texts);
    EXPECT_EQ(settings_file_read(long_dir.c_str(), "porog.ini", lines), -1);
    EXPECT_STREQ(line, "kept");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_path), fs::directory_iterator()), 1);
}

}  // namespace
