#include "station/settings_dialogs.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/base/cp1251.h"
#include "support/station/station_harness.h"

namespace {

class SettingsDialogs : public testing::Test {
protected:
    std::string file(const std::string& name) { return t.dir.read(name); }
    void write(const std::string& name, const std::string& bytes) { t.dir.write(name, bytes); }
    Station& station() { return *t.station; }

    TestStation t;
    DialogFields fields;
};

// Line 2 (the upstream host) is never shown and saved empty; lines 3 and 4 (where the
// relay listens, the slots one address may hold) are, and a file of two lines shows them
// as every interface and every slot.
TEST_F(SettingsDialogs, RelayShowsThePortAddressAndShareAndOkSavesAnEmptyHostLine) {
    link_set_port(station().links, LINK_UPSTREAM, 9999);
    dialog_open(station(), DialogId::relay, fields);
    EXPECT_STREQ(fields.text[0].data(), "7777");  // the relay port, not the upstream link's

    write("initsocket.ini", "30003\r\n10.0.0.2\r\n");
    dialog_open(station(), DialogId::relay, fields);
    EXPECT_STREQ(fields.text[0].data(), "30003");
    EXPECT_STREQ(fields.text[1].data(), "");
    EXPECT_STREQ(fields.text[2].data(), "100");
    write("initsocket.ini", "30003\r\n10.0.0.2\r\n127.0.0.2\r\n4\r\n");
    dialog_open(station(), DialogId::relay, fields);
    EXPECT_STREQ(fields.text[1].data(), "127.0.0.2");
    EXPECT_STREQ(fields.text[2].data(), "4");

    DialogFields typed = dialog_fields("5000", " ::1 ");
    typed.text[2] = text256("3");
    EXPECT_TRUE(dialog_ok(station(), DialogId::relay, typed));  // the restart box is due
    EXPECT_EQ(file("initsocket.ini"), "5000\r\n\r\n ::1 \r\n3\r\n");
    EXPECT_EQ(station().settings.relay_port.load(), 5000);
    EXPECT_STREQ(station().settings.relay_address.data(), "::1");
    EXPECT_EQ(station().relay.share, 3);  // at once, for the next clients
    LinkSlot upstream = link_read(station().links, LINK_UPSTREAM);
    EXPECT_EQ(upstream.port, 5000);
    EXPECT_STREQ(upstream.host.data(), "");

    dialog_ok(station(), DialogId::relay, dialog_fields("5000"));
    EXPECT_EQ(station().relay.share, 100);  // an empty share is every slot
}

TEST_F(SettingsDialogs, SourceOkDropsOnlyAConnectedLink) {
    dialog_open(station(), DialogId::source, fields);
    EXPECT_STREQ(fields.text[0].data(), "7777");
    EXPECT_STREQ(fields.text[1].data(), "127.0.0.1");

    FakeReceiver receiver;
    std::string port = std::to_string(receiver.port);
    dialog_ok(station(), DialogId::source, dialog_fields(port.c_str(), "127.1"));
    EXPECT_EQ(file("initmkp1.ini"), port + "\r\n127.1\r\n");
    EXPECT_EQ(link_state(station().links, LINK_SOURCE), LINK_IDLE);  // nothing to drop
    EXPECT_EQ(t.refreshes(), 0u);

    link_open(station().links, station().connector, LINK_SOURCE);
    ASSERT_EQ(link_state(station().links, LINK_SOURCE), LINK_CONNECTED);
    dialog_ok(station(), DialogId::source, dialog_fields("70000", "10.1.2.3"));
    EXPECT_EQ(link_state(station().links, LINK_SOURCE), LINK_CLOSED);
    EXPECT_EQ(t.client_line(), cp1251("Клиент:  4464  Связь разорвана"));
    EXPECT_STREQ(link_read(station().links, LINK_SOURCE).host.data(), "10.1.2.3");

    dialog_open(station(), DialogId::source, fields);
    EXPECT_STREQ(fields.text[0].data(), "70000");  // the file's text, as typed
    EXPECT_STREQ(fields.text[1].data(), "10.1.2.3");
}

TEST_F(SettingsDialogs, CoordinatesAreArcSecondsInMemoryAndTypedTextInTheFile) {
    dialog_open(station(), DialogId::coordinates, fields);
    EXPECT_STREQ(fields.text[0].data(), kDefaultLatitudeText);
    EXPECT_STREQ(fields.text[1].data(), kDefaultLongitudeText);

    dialog_ok(station(), DialogId::coordinates, dialog_fields("47.5", "39.25"));
    EXPECT_DOUBLE_EQ(station().settings.latitude_arcsec, 171000);
    EXPECT_DOUBLE_EQ(station().settings.longitude_arcsec, 141300);
    EXPECT_EQ(file("point.ini"), "47.5\r\n39.25\r\n");

    // A file with one line: the missing longitude shows the default text.
    write("point.ini", "55.5\r\n");
    dialog_open(station(), DialogId::coordinates, fields);
    EXPECT_STREQ(fields.text[0].data(), "55.5");
    EXPECT_STREQ(fields.text[1].data(), kDefaultLongitudeText);
}

TEST_F(SettingsDialogs, NameIsTakenFromItsFileWhenTheDialogOpens) {
    dialog_open(station(), DialogId::name, fields);
    EXPECT_STREQ(fields.text[0].data(), "Varnholm");

    std::string russian = cp1251("Пулково");
    write("name.ini", russian + "\r\n");
    dialog_open(station(), DialogId::name, fields);
    EXPECT_EQ(fields.text[0].data(), russian);
    EXPECT_EQ(station().settings.receiver_name.data(), russian);

    dialog_ok(station(), DialogId::name, dialog_fields("North-1"));
    EXPECT_STREQ(station().settings.receiver_name.data(), "North-1");
    EXPECT_EQ(file("name.ini"), "North-1\r\n");

    // An empty file holds no name: the dialog shows the default, memory keeps its name.
    write("name.ini", "");
    dialog_open(station(), DialogId::name, fields);
    EXPECT_STREQ(fields.text[0].data(), "Varnholm");
    EXPECT_STREQ(station().settings.receiver_name.data(), "North-1");
}

TEST_F(SettingsDialogs, ThresholdOutOfRangeOpensAs50AndOkTakesAnyNumber) {
    dialog_open(station(), DialogId::threshold, fields);
    EXPECT_STREQ(fields.text[0].data(), "50");

    dialog_ok(station(), DialogId::threshold, dialog_fields("300"));
    dialog_open(station(), DialogId::threshold, fields);
    EXPECT_STREQ(fields.text[0].data(), "50");
    EXPECT_EQ(station().settings.signal_threshold, 50);
    EXPECT_EQ(file("porog.ini"), "300\r\n");  // opening never writes

    write("porog.ini", "-1\r\n");
    dialog_open(station(), DialogId::threshold, fields);
    EXPECT_STREQ(fields.text[0].data(), "50");

    write("porog.ini", " 42abc\r\n");
    dialog_open(station(), DialogId::threshold, fields);
    EXPECT_STREQ(fields.text[0].data(), " 42abc");  // in range: shown as read
    EXPECT_EQ(station().settings.signal_threshold, 42);

    dialog_ok(station(), DialogId::threshold, dialog_fields("300"));
    EXPECT_EQ(station().settings.signal_threshold, 300);
    EXPECT_EQ(file("porog.ini"), "300\r\n");
}

TEST_F(SettingsDialogs, FrequencyOkTakesANewReference) {
    dialog_open(station(), DialogId::frequency, fields);
    EXPECT_STREQ(fields.text[0].data(), "12000000");

    write("frequency.ini", "6000000\r\n");
    dialog_open(station(), DialogId::frequency, fields);
    EXPECT_EQ(station().clock.timer_frequency_hz, 6000000);

    station_toggle_relative_time(station());  // an "@" line takes a reference
    source_decode(station(), std::string_view("@000000000001AB;\r\n"));
    ASSERT_EQ(station().clock.reference_captured, 1);
    dialog_ok(station(), DialogId::frequency, dialog_fields("abc"));
    EXPECT_EQ(station().clock.timer_frequency_hz, 0);
    EXPECT_EQ(station().clock.reference_captured, 0);
    EXPECT_EQ(file("frequency.ini"), "abc\r\n");
}

// Tabs typed into each Tab-cycling template, while a dialog of it is open: where the
// focus goes, until one is not taken.
std::vector<DialogControl> tabs(Station& station, DialogId id, int count) {
    std::vector<DialogControl> visited;
    DialogControl focus;
    for (int i = 0; i < count && dialog_tab(station, id, focus); ++i)
        visited.push_back(focus);
    return visited;
}

// Each template keeps its own cycle through its fields; only OK and Cancel end it.
TEST_F(SettingsDialogs, TabCyclesKeepTheirOwnStatePerTemplate) {
    using C = DialogControl;
    for (int i = 0; i < kDialogCount; ++i)  // dialog_row looks rows up by their place
        EXPECT_EQ(dialog_rows()[static_cast<size_t>(i)].id, static_cast<DialogId>(i));
    EXPECT_TRUE(tabs(station(), DialogId::coordinates, 1).empty());
    dialog_open(station(), DialogId::coordinates, fields);
    EXPECT_EQ(tabs(station(), DialogId::coordinates, 5),
              (std::vector<C>{C::second_field, C::ok, C::cancel, C::first_field, C::second_field}));
    dialog_open(station(), DialogId::relay, fields);
    dialog_open(station(), DialogId::name, fields);
    EXPECT_EQ(tabs(station(), DialogId::relay, 6),
              (std::vector<C>{C::second_field, C::third_field, C::ok, C::cancel, C::first_field,
                              C::second_field}));
    EXPECT_TRUE(tabs(station(), DialogId::name, 1).empty());

    dialog_cancel(station(), DialogId::coordinates);
    EXPECT_TRUE(tabs(station(), DialogId::coordinates, 1).empty());
    EXPECT_EQ(tabs(station(), DialogId::relay, 1), std::vector<C>{C::third_field});
    dialog_ok(station(), DialogId::relay, dialog_fields("7777"));
    EXPECT_TRUE(tabs(station(), DialogId::relay, 1).empty());
}

TEST_F(SettingsDialogs, UnwritableFileChangesMemoryOnly) {
    std::filesystem::create_directory(t.dir.path + "/porog.ini");  // not a file
    dialog_ok(station(), DialogId::threshold, dialog_fields("77"));
    EXPECT_EQ(station().settings.signal_threshold, 77);
    EXPECT_TRUE(std::filesystem::is_directory(t.dir.path + "/porog.ini"));
}

}  // namespace
