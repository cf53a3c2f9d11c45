#include "net/consumer.h"

#include <gtest/gtest.h>

#include "station/settings_dialogs.h"
#include "support/base/cp1251.h"
#include "support/base/stream_helpers.h"
#include "support/station/station_harness.h"
#include "support/station/test_frontend.h"

namespace {

// A station whose consumer link points at a fake processing server and whose source link
// at a fake receiver, with the consumer's connector pausing briefly.
class ConsumerTest : public testing::Test {
public:
    void SetUp() override {
        relay_port = free_port();
        t.dir.write("initmkp2.ini", std::to_string(server.port) + "\r\n127.0.0.1\r\n");
        t.dir.write("initmkp1.ini", std::to_string(receiver.port) + "\r\n127.0.0.1\r\n");
        t.dir.write("initsocket.ini", std::to_string(relay_port) + "\r\n\r\n");
        // "Варнхольм", and a receiver south and west of Greenwich.
        t.dir.write("name.ini", cp1251("Варнхольм") + "\r\n");
        t.dir.write("point.ini", "-33.5\r\n-70.25\r\n");
        station_load_settings(*t.station);
        station_set_retry_pause(*t.station, 20ms);
    }

    // Starts the links and the relay; waits for both links' connections.
    void start() {
        station_start_network(*t.station);
        // The receiver's accept can come before the connector marks the link connected.
        ASSERT_TRUE(t.run_until([&] {
            return receiver.accept_pending() &&
                   link_state(t.station->links, LINK_SOURCE) == LINK_CONNECTED;
        }));
        ASSERT_TRUE(t.run_until([&] { return server.accept_pending() && consumer_connected(); }))
            << link_read(t.station->links, LINK_CONSUMER).status_text.data() << " "
            << link_state(t.station->links, LINK_CONSUMER) << " "
            << t.station->consumer_connector.enabled.load();
    }
    bool consumer_connected() {
        return link_state(t.station->links, LINK_CONSUMER) == LINK_CONNECTED;
    }
    std::string greeting(const char* format) {
        return "#" + cp1251("Варнхольм") + "\r\n#-33.500000\r\n#-70.250000\r\n#" + format +
               "\r\n#12000000\r\n";
    }

    TestStation t;
    FakeReceiver receiver;
    FakeReceiver server;  // the processing server: it listens, the link connects
    uint16_t relay_port = 0;
};

TEST_F(ConsumerTest, GreetsThenTakesLinesAtOrAboveTheThresholdInBinaryMode) {
    station_override_binary_mode(*t.station, true);
    start();
    std::string expected = greeting("BINARY");
    EXPECT_EQ(recv_within(server.connection, expected.size(), 5s), expected);
    EXPECT_EQ(t.consumer_line(), cp1251("Потребитель: ") + std::to_string(server.port) + "  " +
                                     cp1251("Соединение 127.0.0.1"));
    // Like a relay client's, the socket's send buffer stays small: the backlog bounds what
    // a server that stops reading holds.
    int send_buffer = 0;
    socklen_t size = sizeof send_buffer;
    getsockopt(link_read(t.station->links, LINK_CONSUMER).socket, SOL_SOCKET, SO_SNDBUF,
               reinterpret_cast<char*>(&send_buffer), &size);
    EXPECT_GE(send_buffer, kRelaySocketSendBuffer);
    EXPECT_LE(send_buffer, 2 * kRelaySocketSendBuffer);  // Linux reports twice what was set

    const ReceiverMessage& message = real_capture()[1];
    std::string lines;
    for (int32_t threshold : {0, 255, 300}) {
        dialog_ok(*t.station, DialogId::threshold,
                  dialog_fields(std::to_string(threshold).c_str()));
        for (uint8_t signal : {0, 254, 255}) {
            std::string frame = binary_stream({message}, 7, 0, signal);
            source_decode(*t.station, frame);
            if (static_cast<uint32_t>(signal) >= static_cast<uint32_t>(threshold))
                lines += stream_expected_at_line(message, 7);
        }
    }
    EXPECT_EQ(lines.size(), 4 * stream_expected_at_line(message, 7).size());  // 3, 1, 0
    // In text mode the threshold does not count.
    station_override_binary_mode(*t.station, false);
    source_decode(*t.station, "*8D4840D6202CC371C32CE0576098;\r\n");
    lines += "*8D4840D6202CC371C32CE0576098;\r\n";
    EXPECT_EQ(recv_within(server.connection, lines.size(), 5s), lines);
}

// A consumer that stops reading is dropped once its backlog is full and opened again
// with a fresh greeting; the relay clients get every byte all the while.
TEST_F(ConsumerTest, ConsumerThatNeverReadsIsDroppedAndGreetedAfresh) {
    start();
    RelayReader reader(relay_port);
    ASSERT_TRUE(t.run_until([&] { return relay_live_clients(t.station->relay) == 1; }));
    std::string capture(stream_real_capture());
    std::string sent;
    // The drop is read from the record of status lines: the connector opens the link again
    // 20 ms later, and may already be trying when the test looks.
    auto dropped = [] { return consumer_line_showed(cp1251("Связь разорвана")); };
    while (!dropped() && sent.size() < 64u * 1024 * 1024) {
        receiver.send_all(capture);
        sent += capture;
        t.run_for(1ms);
    }
    ASSERT_TRUE(dropped());
    ASSERT_TRUE(t.run_until([&] { return reader.size() == sent.size(); }));
    EXPECT_TRUE(reader.bytes() == sent);

    server.close_connection();
    ASSERT_TRUE(t.run_until([&] { return server.accept_pending() && consumer_connected(); }));
    std::string expected = greeting("TEXT");
    EXPECT_EQ(recv_within(server.connection, expected.size(), 5s), expected);
}

// Only the source's connections count as news from the receiver.
TEST_F(ConsumerTest, WatchdogDropsASilentSourceWhileTheConsumerConnectsAgain) {
    start();
    for (int tick = 1; tick <= 391; ++tick) {
        if (tick % 100 == 0) {
            station_drop_link(*t.station, LINK_CONSUMER);
            server.close_connection();
            feed_configure(*t.station, true);  // at once, not after the back-off's wait
            ASSERT_TRUE(
                t.run_until([&] { return server.accept_pending() && consumer_connected(); }));
        }
        EXPECT_EQ(link_state(t.station->links, LINK_SOURCE), LINK_CONNECTED) << tick;
        watchdog_step(*t.station);
    }
    EXPECT_EQ(link_state(t.station->links, LINK_SOURCE), LINK_CLOSED);
}

// A new address given while a connection to the old one is being made: that connection
// is not kept, and the link opens to the new address.
TEST_F(ConsumerTest, NewAddressDuringAnOpenIsNotLeftOnTheOldServer) {
    hold_next_open(t.station->consumer_connector);
    station_start_network(*t.station);
    ASSERT_TRUE(wait_open_held());
    FakeReceiver other;
    dialog_ok(*t.station, DialogId::consumer,
              dialog_fields(std::to_string(other.port).c_str(), "127.0.0.1"));
    release_held_open();

    ASSERT_TRUE(t.run_until([&] { return other.accept_pending() && consumer_connected(); }));
    std::string expected = greeting("TEXT");
    EXPECT_EQ(recv_within(other.connection, expected.size(), 5s), expected);
    // The old server's connection was given up inside its open, before the greeting: not
    // a byte, then the close.
    ASSERT_TRUE(server.accept_pending());
    std::array<char, 16> more;
    EXPECT_LT(relay_client_read(server.connection, more, 5000), 0);
}

// "#SET OUT DATE ORIGINAL" holds for one connection: the next one is greeted and given
// lines again, whatever the server before it asked for.
TEST_F(ConsumerTest, EveryConnectionStartsWithLines) {
    start();
    std::string expected = greeting("TEXT");
    ASSERT_EQ(recv_within(server.connection, expected.size(), 5s), expected);
    server.send_all("#SET OUT DATE ORIGINAL\r\n");
    ASSERT_TRUE(t.run_until([&] { return t.station->consumer.original_output.load(); }));
    station_drop_link(*t.station, LINK_CONSUMER);
    server.close_connection();
    ASSERT_TRUE(t.run_until([&] { return server.accept_pending() && consumer_connected(); }));
    ASSERT_EQ(recv_within(server.connection, expected.size(), 5s), expected);
    // A late close event for a socket that is no longer the link's leaves the link alone.
    SOCKET stale = socket(AF_INET, SOCK_STREAM, 0);
    feed_event(*t.station, stale, kSocketClose);
    closesocket(stale);
    ASSERT_TRUE(consumer_connected());

    // Raw output would pass the line that is no message on as well.
    receiver.send_all("no message\r\n*8D4840D6202CC371C32CE0576098;\r\n");
    std::string line = "*8D4840D6202CC371C32CE0576098;\r\n";
    const DisplayRing& ring = t.station->ring;
    ASSERT_TRUE(t.run_until(
        [&] { return ring.slots[static_cast<size_t>(ring.write_index)].data() == line; }));
    EXPECT_EQ(recv_within(server.connection, line.size(), 5s), line);
}

// A server that asks for the raw bytes the moment it accepts, before it has read anything,
// gets them on every connection: the connection's own start never wipes the command out.
TEST_F(ConsumerTest, ACommandSentAtAcceptHoldsOnEveryConnection) {
    // The server's side, on a thread of its own so that it writes as soon as it accepts.
    struct EagerServer {
        std::atomic<SOCKET> accepted{INVALID_SOCKET};
        std::atomic<int> connections{0};
        std::atomic<bool> stop{false};
        std::thread thread;
        explicit EagerServer(SOCKET listener) {
            socket_set_nonblocking(listener);
            thread = std::thread([this, listener] {
                while (!stop) {
                    SOCKET c = accept(listener, nullptr, nullptr);
                    if (c == INVALID_SOCKET) {
                        std::this_thread::sleep_for(1ms);
                        continue;
                    }
                    socket_send(c, "#SET OUT DATE ORIGINAL\r\n", 24);
                    SOCKET old = accepted.exchange(c);
                    if (old != INVALID_SOCKET)
                        closesocket(old);
                    ++connections;
                }
            });
        }
        ~EagerServer() {
            stop = true;
            thread.join();
            closesocket(accepted.load());
        }
    } eager(server.listener);
    // Each open lingers a moment once the socket's events are watched, long enough for the
    // UI thread to read the command that is already there.
    t.station->consumer_connector.after_register_hook = [](void*) {
        std::this_thread::sleep_for(2ms);
    };
    station_start_network(*t.station);
    ASSERT_TRUE(t.run_until([&] { return receiver.accept_pending(); }));
    std::string expected_greeting = greeting("TEXT");
    for (int i = 0; i < 500; ++i) {
        ASSERT_TRUE(t.run_until([&] { return eager.connections > i && consumer_connected(); }));
        // The command is taken when the UI thread reads it, which may come after a chunk.
        ASSERT_TRUE(t.run_until([&] { return t.station->consumer.original_output.load(); }, 3s))
            << "connection " << i;
        std::string raw = "raw " + std::to_string(i) + "\r\n";  // no message: lines skip it
        receiver.send_all(raw);
        std::string got;
        ASSERT_TRUE(t.run_until(
            [&] {
                std::array<char, 256> buffer;
                int n = relay_client_read(eager.accepted.load(), buffer, 1);
                got.append(buffer.data(), static_cast<size_t>(std::max(n, 0)));
                return got.size() >= expected_greeting.size() + raw.size();
            },
            3s))
            << "connection " << i << " got " << got;
        ASSERT_EQ(got, expected_greeting + raw) << "connection " << i;
        station_drop_link(*t.station, LINK_CONSUMER);
        feed_configure(*t.station, true);  // and at once again
    }
}

// What a processing server is told on connecting follows each setting changed while the
// program runs.
TEST_F(ConsumerTest, GreetingFollowsSettingsChangedWhileRunning) {
    auto greeting_now = [&] {
        std::lock_guard guard(t.station->greeting_lock);
        return std::string(t.station->greeting.data());
    };
    EXPECT_EQ(greeting_now(), greeting("TEXT"));
    station_toggle_binary_mode(*t.station);
    EXPECT_EQ(greeting_now(), greeting("BINARY"));
    dialog_ok(*t.station, DialogId::name, dialog_fields("Pulkovo"));
    EXPECT_EQ(greeting_now().substr(0, 10), "#Pulkovo\r\n");
    dialog_ok(*t.station, DialogId::coordinates, dialog_fields("59.8", "30.25"));
    EXPECT_EQ(greeting_now(), "#Pulkovo\r\n#59.800000\r\n#30.250000\r\n#BINARY\r\n#12000000\r\n");
    dialog_ok(*t.station, DialogId::frequency, dialog_fields("20000000"));
    EXPECT_EQ(greeting_now(), "#Pulkovo\r\n#59.800000\r\n#30.250000\r\n#BINARY\r\n#20000000\r\n");
    // No place on Earth: the default position, and every line whole.
    dialog_ok(*t.station, DialogId::coordinates, dialog_fields("1e300", "-400"));
    EXPECT_EQ(greeting_now(), "#Pulkovo\r\n#59.771944\r\n#30.326111\r\n#BINARY\r\n#20000000\r\n");
}

// Keepalive on, idle and interval in seconds, probes, and (Linux) the limit on data left
// unacknowledged, as the socket reports them; -1 for what the system does not report
// (Windows before 10 1709, Wine 8: all but the first).
std::array<int, 5> keepalive_of(SOCKET s) {
#ifdef _WIN32
    const int options[] = {3, 17, 16};  // TCP_KEEPALIVE, TCP_KEEPINTVL, TCP_KEEPCNT
#else
    const int options[] = {TCP_KEEPIDLE, TCP_KEEPINTVL, TCP_KEEPCNT, TCP_USER_TIMEOUT};
#endif
    std::array<int, 5> values{0, -1, -1, -1, -1};  // Wine writes one byte of the first
    socklen_t length = sizeof(int);
    getsockopt(s, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<char*>(&values[0]), &length);
    for (size_t i = 0; i < std::size(options); ++i, length = sizeof(int)) {
        if (getsockopt(s, IPPROTO_TCP, options[i], reinterpret_cast<char*>(&values[i + 1]),
                       &length) != 0)
            values[i + 1] = -1;
    }
    return values;
}

// Every link and relay client also sends each piece at once (Nagle off): a message must
// not wait for the peer's acknowledgement of the last, which a delayed ACK holds back.
TEST_F(ConsumerTest, EveryLinkAndRelayClientProbesAQuietPeerAndSendsAtOnce) {
    start();
    RelayReader reader(relay_port);
    ASSERT_TRUE(t.run_until([&] { return relay_live_clients(t.station->relay) == 1; }));
    for (SOCKET s : {link_read(t.station->links, LINK_SOURCE).socket,
                     link_read(t.station->links, LINK_CONSUMER).socket,
                     t.station->relay.clients[0].reader.socket}) {
        std::array<int, 5> values = keepalive_of(s);
#ifdef _WIN32
        const std::array<int, 5> expected = {1, 20, 2, 3, -1};
        for (size_t i = 1; i < values.size(); ++i)
            values[i] = values[i] == -1 ? expected[i] : values[i];
#else
        const std::array<int, 5> expected = {1, 20, 2, 3, 30000};
#endif
        EXPECT_EQ(values, expected);
        int no_delay = 0;
        socklen_t length = sizeof no_delay;
        getsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char*>(&no_delay), &length);
        EXPECT_NE(no_delay, 0);
    }
}

// A server that is down is tried again after about 1 s, then 2, the consumer line saying
// when; OK in the dialog tries at once and starts the waits again at 1 s.
TEST_F(ConsumerTest, ADownServerIsTriedLaterAndLaterAndOkTriesAtOnce) {
    closesocket(server.listener);
    server.listener = INVALID_SOCKET;
    station_start_network(*t.station);
    std::string head = cp1251("Потребитель: ") + std::to_string(server.port) + "  ";
    ASSERT_TRUE(t.run_until([&] { return consumer_line_showed(cp1251("через 2 с")); }, 5s));
    std::vector<std::string> lines;
    {
        std::lock_guard guard(test_status().lock);
        lines = test_status().consumer_lines;
    }
    lines.erase(std::unique(lines.begin(), lines.end()), lines.end());  // one per change
    const std::vector<std::string> expected = {cp1251("Идет установление связи"),
                                               cp1251("Ошибка connect"),
                                               cp1251("Ошибка connect, повтор через 1 с"),
                                               cp1251("Идет установление связи"),
                                               cp1251("Ошибка connect"),
                                               cp1251("Ошибка connect, повтор через 2 с")};
    ASSERT_GE(lines.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(lines[lines.size() - expected.size() + i], head + expected[i]);
    EXPECT_EQ(t.client_line().find(cp1251("повтор")), std::string::npos);

    std::string dead = std::to_string(free_port());
    dialog_ok(*t.station, DialogId::consumer, dialog_fields(dead.c_str(), "127.0.0.1"));
    EXPECT_TRUE(t.run_until(
        [&] { return consumer_line_showed(dead + cp1251("  Ошибка connect, повтор через 1 с")); },
        3s));
    FakeReceiver other;
    dialog_ok(*t.station, DialogId::consumer,
              dialog_fields(std::to_string(other.port).c_str(), "127.0.0.1"));
    EXPECT_TRUE(t.run_until([&] { return other.accept_pending() && consumer_connected(); }, 500ms));
    // A stop ends a connector that backs off as promptly as any other.
    EXPECT_TRUE(connector_stop(t.station->consumer_connector, 1s));
}

int64_t test_now_ns = 0;
int64_t test_monotonic_ns() {
    return test_now_ns;
}

// A 20 MHz receiver against the 12 MHz setting: the clock check offers 20 MHz, and taking
// it does what the frequency dialog's OK does, down to what a processing server is told.
TEST(ClockCheckOffer, TakingTheFittingFrequencyIsTheFrequencyDialogsOk) {
    TestStation t(test_monotonic_ns);
    station_load_settings(*t.station);
    for (int tick = 0; tick < 300; ++tick) {  // 30 s of 10 messages a second
        test_now_ns = int64_t{tick} * 100'000'000;
        char line[64];
        std::snprintf(line, sizeof line, "@%012llX8D4840D6202CC3;\r\n",
                      static_cast<unsigned long long>(tick) * 2'000'000);
        source_decode(*t.station, std::string_view(line));
        station_timer_tick(*t.station);
    }
    ASSERT_TRUE(station_clock_offers_common(*t.station));
    EXPECT_TRUE(station_clock_apply_common(*t.station));
    EXPECT_EQ(t.dir.read("frequency.ini"), "20000000\r\n");
    std::lock_guard guard(t.station->greeting_lock);
    EXPECT_NE(std::string_view(t.station->greeting.data()).find("\r\n#20000000\r\n"),
              std::string_view::npos);
}

TEST(ConsumerOff, WithoutItsFileTheLinkIsNeverOpened) {
    TestStation t;
    FakeReceiver server;
    station_load_settings(*t.station);
    link_set_port(t.station->links, LINK_CONSUMER, server.port);
    station_set_retry_pause(*t.station, 20ms);
    t.set_relay_port(free_port());
    station_start_network(*t.station);
    t.run_for(300ms);
    EXPECT_FALSE(server.accept_pending());
    EXPECT_EQ(t.consumer_line(), "");
    EXPECT_EQ(link_state(t.station->links, LINK_CONSUMER), LINK_IDLE);
}

// The link is on only when its file's second line names a server.
TEST(ConsumerOff, AFileWithoutAServersAddressLeavesTheLinkOff) {
    TempDir dir;
    for (const char* content : {"", "8888\r\n", "8888\r\n\r\n", "8888\r\n10.0.0.1\r\n"}) {
        dir.write("initmkp2.ini", content);
        Settings settings;
        LinkTable links;
        ClockAnnotation clock;
        bool named = std::string(content).ends_with("10.0.0.1\r\n");
        EXPECT_EQ(station_startup_load(dir.path.c_str(), settings, links, clock), named) << content;
    }
}

}  // namespace
