#include "station/source.h"

#include <gtest/gtest.h>

#include "support/base/cp1251.h"
#include "support/base/stream_helpers.h"
#include "support/station/station_harness.h"

namespace {

// A station with its relay server and connector running, connected to a fake receiver.
class SourceTest : public testing::Test {
public:
    void SetUp() override {
        relay_port = free_port();
        t.set_relay_port(relay_port);
        link_set_port(t.station->links, LINK_SOURCE, receiver.port);
        station_start_network(*t.station);
        ASSERT_TRUE(t.run_until([&] { return connected() && receiver.accept_pending(); }));
    }

    bool connected() { return link_state(t.station->links, LINK_SOURCE) == LINK_CONNECTED; }
    std::string ring_newest() {
        auto& ring = t.station->ring;
        return ring.slots[static_cast<size_t>(ring.write_index)].data();
    }

    TestStation t;
    FakeReceiver receiver;
    uint16_t relay_port = 0;
};

// Sends `stream` in odd pieces and returns what each of three relay clients received.
std::vector<std::string> relay_through(SourceTest& test, const std::string& stream) {
    std::vector<std::unique_ptr<RelayReader>> readers;
    for (int i = 1; i <= 3; ++i) {
        // One at a time: the relay listens with a backlog of 1.
        readers.push_back(std::make_unique<RelayReader>(test.relay_port));
        EXPECT_TRUE(
            test.t.run_until([&] { return relay_live_clients(test.t.station->relay) == i; }));
    }
    RelayReader& a = *readers[0];
    RelayReader& b = *readers[1];
    RelayReader& c = *readers[2];
    size_t at = 0;
    for (size_t piece = 1; at < stream.size(); piece = piece * 7 % 1500 + 1) {
        size_t n = std::min(piece, stream.size() - at);
        test.receiver.send_all(std::string_view(stream).substr(at, n));
        at += n;
        test.t.run_for(0ms);
    }
    EXPECT_TRUE(test.t.run_until([&] {
        return a.size() == stream.size() && b.size() == stream.size() && c.size() == stream.size();
    }));
    return {a.bytes(), b.bytes(), c.bytes()};
}

TEST_F(SourceTest, TextStreamReachesTheDisplayAndEveryClientByteForByte) {
    std::string stream(stream_real_capture());
    for (const std::string& got : relay_through(*this, stream)) {
        EXPECT_TRUE(got == stream);
    }
    EXPECT_EQ(ring_newest(), "*8d4d202399108fabc87414b31cb8;\r\n");  // the capture's last line
    EXPECT_EQ(t.station->silence_ticks.load(), 0);
}

TEST_F(SourceTest, BinaryStreamIsDecodedAndRelayedUnchanged) {
    station_override_binary_mode(*t.station, true);
    const auto& messages = real_capture();
    std::string stream = binary_stream(messages, 0x1A1A1A, 12000);
    for (const std::string& got : relay_through(*this, stream)) {
        EXPECT_TRUE(got == stream);
    }
    EXPECT_EQ(ring_newest(),
              stream_expected_at_line(messages.back(), 0x1A1A1A + (messages.size() - 1) * 12000));
}

TEST_F(SourceTest, UndecodableBytesAreStillRelayedButDoNotCountAsLines) {
    // Binary frames while the program expects text.
    std::string stream = binary_stream(real_capture(), 5, 7);
    for (int i = 0; i < 100; ++i)
        watchdog_step(*t.station);
    for (const std::string& got : relay_through(*this, stream)) {
        EXPECT_TRUE(got == stream);
    }
    EXPECT_EQ(t.station->silence_ticks.load(), 100);
    EXPECT_EQ(t.station->ring.write_index, 0);
}

TEST_F(SourceTest, ReceiverClosingDropsTheLinkAndTheConnectorReopensIt) {
    receiver.close_connection();
    ASSERT_TRUE(t.run_until([&] { return !connected(); }));
    EXPECT_TRUE(client_line_showed(cp1251("Связь разорвана")));
    ASSERT_TRUE(t.run_until([&] { return connected() && receiver.accept_pending(); }));
    receiver.send_all("*8D4840D6202CC3;\n");
    ASSERT_TRUE(t.run_until([&] { return ring_newest() == "*8D4840D6202CC3;\r\n"; }));
}

// A receiver that sends its last bytes and closes at once: they are decoded and relayed
// before the link drops.
TEST_F(SourceTest, BytesSentJustBeforeACloseAreNotLost) {
    RelayReader reader(relay_port);
    ASSERT_TRUE(t.run_until([&] { return relay_live_clients(t.station->relay) == 1; }));
    std::string last = "*8D4840D6202CC3;\r\n";
    receiver.send_all(last);
    receiver.close_connection();
    ASSERT_TRUE(t.run_until([&] { return !connected(); }));
    EXPECT_EQ(ring_newest(), last);
    ASSERT_TRUE(t.run_until([&] { return reader.size() == last.size(); }));
}

TEST_F(SourceTest, WatchdogDropsOnTheTickAfter390WithoutALine) {
    for (int i = 0; i < 390; ++i)
        watchdog_step(*t.station);
    EXPECT_TRUE(connected());
    // A decoded line on tick 390 starts the count again.
    receiver.send_all("@000000000001AB;\r\n");
    ASSERT_TRUE(t.run_until([&] { return t.station->silence_ticks.load() == 0; }));
    for (int i = 0; i < 390; ++i)
        watchdog_step(*t.station);
    EXPECT_TRUE(connected());
    watchdog_step(*t.station);
    EXPECT_FALSE(connected());
    EXPECT_EQ(t.station->silence_ticks.load(), 0);
    EXPECT_TRUE(client_line_showed(cp1251("Связь разорвана")));
}

TEST_F(SourceTest, StaleEventsForAnotherSocketChangeNothing) {
    SOCKET other = connect_to(relay_port);
    ASSERT_TRUE(t.run_until([&] { return relay_live_clients(t.station->relay) == 1; }));
    size_t refreshes = t.refreshes();
    source_event(*t.station, other, kSocketClose);
    source_event(*t.station, other, kSocketRead);
    EXPECT_TRUE(connected());
    EXPECT_EQ(t.refreshes(), refreshes);
    closesocket(other);
}

TEST(Watchdog, WhileTheLinkIsDownTheCountOnlyStartsAgain) {
    TestStation t;
    for (int i = 0; i < 391; ++i)
        watchdog_step(*t.station);
    EXPECT_EQ(t.station->silence_ticks.load(), 0);
    EXPECT_EQ(t.refreshes(), 0u);
}

TEST(DefaultSetup, SourceConnectsToTheProgramsOwnRelayPort) {
    TestStation t;
    uint16_t port = free_port();
    t.set_relay_port(port);
    link_set_port(t.station->links, LINK_SOURCE, port);
    station_start_network(*t.station);
    char number[16];
    std::snprintf(number, sizeof number, "%5d", port);
    std::string server = cp1251("Сервер: ") + number + " 127.0.0.1 ";
    std::string client = cp1251("Клиент: ") + number + "  " + cp1251("Соединение 127.0.0.1");
    ASSERT_TRUE(
        t.run_until([&] { return t.server_line() == server && t.client_line() == client; }));
}

TEST(SourceDecode, EachLineGoesToTheDisplayThenZeroesTheSilenceCounter) {
    Clocks clocks = system_clocks();
    clocks.calendar_s = [] { return int64_t{0}; };
    auto station = station_create("", clocks);
    const std::atomic<int32_t>& silence = station->silence_ticks;
    const DisplayRing& ring = station->ring;
    for (int tick = 0; tick < 77; ++tick)
        watchdog_step(*station);
    std::string_view dropped = "# not a message\n";
    source_decode(*station, dropped);
    EXPECT_EQ(silence.load(), 77);
    EXPECT_EQ(ring.write_index, 0);

    std::string_view two = "*AB;\n*CD;\n";
    source_decode(*station, two);
    EXPECT_EQ(silence.load(), 0);
    EXPECT_EQ(ring.write_index, 2);
    EXPECT_STREQ(ring.slots[1].data(), "*AB;\r\n");
    EXPECT_STREQ(ring.slots[2].data(), "*CD;\r\n");

    watchdog_step(*station);
    station_override_binary_mode(*station, true);
    std::string frames = binary_stream({real_capture()[1]}, 7, 0);
    source_decode(*station, frames);
    EXPECT_EQ(silence.load(), 0);
    EXPECT_EQ(ring.slots[3].data(), stream_expected_at_line(real_capture()[1], 7));
}

}  // namespace
