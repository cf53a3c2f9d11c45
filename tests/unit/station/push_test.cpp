// Push targets: servers the relay dials out to, fed what a relay client gets.
#include <gtest/gtest.h>

#include "station/station.h"
#include "support/base/cp1251.h"
#include "support/station/station_harness.h"

namespace {

class PushTest : public testing::Test {
public:
    void SetUp() override {
        relay_port = free_port();
        t.set_relay_port(relay_port);
        station_set_retry_pause(*t.station, 20ms);
        station_start_network(*t.station);
    }
    void set_targets(std::initializer_list<const FakeReceiver*> servers) {
        PushLines lines{};
        int count = 0;
        for (const FakeReceiver* server : servers)
            lines[static_cast<size_t>(count++)] =
                push_line_parse("127.0.0.1 " + std::to_string(server->port));
        station_set_push_targets(*t.station, lines, count);
    }
    int connected() {
        int set = 0;
        int connected = 0;
        push_counts(*t.station, set, connected);
        return connected;
    }
    PushFigures figures(int index) {
        PushFigures f;
        EXPECT_TRUE(station_push_figures(*t.station, index, f));
        return f;
    }
    // Sets `server` as the one target and waits until it and `client` are connected.
    void connect_target_and_client(FakeReceiver& server) {
        set_targets({&server});
        ASSERT_TRUE(t.run_until([&] {
            return server.accept_pending() && connected() == 1 &&
                   relay_live_clients(t.station->relay) == 1;
        }));
    }
    // Fans `length` bytes of the test stream out from `offset` in 4 KiB chunks.
    uint64_t fan_out(uint64_t offset, size_t length) {
        std::string bytes = stream_bytes(offset, length);
        for (size_t at = 0; at < length; at += 4096)
            source_fan_out(*t.station, std::string_view(bytes).substr(at, 4096));
        return offset + length;
    }

    TestStation t;
    uint16_t relay_port = 0;
};

// A target and a relay client that connect together get the same bytes.
TEST_F(PushTest, ATargetGetsWhatARelayClientGets) {
    FakeReceiver server;
    RelayReader client(relay_port);
    connect_target_and_client(server);
    uint64_t sent = 0;
    for (int i = 0; i < 20; ++i) {
        sent = fan_out(sent, 50000);
        t.run_for(5ms);
    }
    std::string pushed = recv_within(server.connection, sent, 10s);
    ASSERT_TRUE(t.run_until([&] { return client.size() == sent; }));
    EXPECT_EQ(pushed.size(), sent);
    EXPECT_TRUE(pushed == client.bytes());
    EXPECT_EQ(figures(0).bytes_sent, sent);
    EXPECT_EQ(figures(0).behind_bytes, 0u);
}

// A target that never reads is dropped once it is a whole history behind, saying why,
// and connected again; a relay client that reads stays exact meanwhile.
TEST_F(PushTest, ATargetThatNeverReadsIsCutAtTheHistoryAndConnectedAgain) {
    FakeReceiver server;
    RelayReader client(relay_port);
    connect_target_and_client(server);
    // The cut comes within the fan-out of a chunk, so it is looked for right after each:
    // later, the connector's first wait (about a second) may be over and a new connection
    // up, which the server has not taken and which would then be cut in its turn.
    uint64_t sent = 0;
    bool cut = false;
    while (!cut && sent < 4 * kRelayHistoryBytes) {
        sent = fan_out(sent, 256 * 1024);
        cut = connected() == 0;
        if (!cut) {
            ASSERT_TRUE(t.run_until([&] { return client.size() == sent; }));
        }
    }
    ASSERT_TRUE(cut);
    EXPECT_NE(std::string(figures(0).link.status_text.data()).find(cp1251("отстал от потока")),
              std::string::npos);
    ASSERT_TRUE(t.run_until([&] { return client.size() == sent; }));
    EXPECT_TRUE(client.bytes() == stream_bytes(0, sent));
    server.close_connection();
    EXPECT_TRUE(t.run_until([&] { return server.accept_pending() && connected() == 1; }, 5s));
    // A target that hangs up before it has had a byte is seen to go all the same.
    server.close_connection();
    EXPECT_TRUE(t.run_until([&] { return connected() == 0; }, 5s));
    EXPECT_TRUE(t.run_until([&] { return server.accept_pending() && connected() == 1; }, 5s));
}

// A wake the connector takes while the target is connected asks for no attempt: when the
// connection drops later, the connector still waits before the next one.
TEST_F(PushTest, AWakeTakenWhileConnectedLeavesTheWaitAfterADrop) {
    FakeReceiver server;
    set_targets({&server});
    ASSERT_TRUE(t.run_until([&] { return server.accept_pending() && connected() == 1; }));
    connector_wake(t.station->pushes.targets[0].connector);
    t.run_for(100ms);  // the connector's 20 ms pause takes the wake
    server.close_connection();
    EXPECT_TRUE(t.run_until([&] { return figures(0).retry_in_s > 0; }, 5s));
}

// Setting the targets again keeps the connection of one still set, closes one no longer
// set, and opens a new one at once.
TEST_F(PushTest, SettingTheTargetsAgainKeepsThoseStillSet) {
    FakeReceiver a;
    FakeReceiver b;
    FakeReceiver c;
    set_targets({&a, &b});
    ASSERT_TRUE(
        t.run_until([&] { return a.accept_pending() && b.accept_pending() && connected() == 2; }));
    SOCKET b_socket = figures(1).link.socket;
    set_targets({&b, &c});
    ASSERT_TRUE(t.run_until([&] { return c.accept_pending() && connected() == 2; }));
    EXPECT_EQ(figures(0).link.socket, b_socket);
    std::array<char, 16> byte;
    EXPECT_LT(relay_client_read(a.connection, byte, 2000), 0);  // closed
    EXPECT_EQ(relay_client_read(b.connection, byte, 200), 0);   // open, quiet
}

// A target that is down is tried again later and later, and a line that is no target
// says so.
TEST_F(PushTest, ADownTargetIsTriedLaterAndLaterAndABadLineSaysSo) {
    PushLines lines{};
    lines[0] = push_line_parse("127.0.0.1 " + std::to_string(free_port()));
    lines[1] = push_line_parse("feed.example.net");
    station_set_push_targets(*t.station, lines, 2);
    EXPECT_EQ(std::string(figures(1).link.status_text.data()),
              cp1251("Ошибка: нужны адрес и порт"));
    std::vector<int> waits;
    t.run_until(
        [&] {
            int wait = figures(0).retry_in_s;
            if (wait > 0 && (waits.empty() || waits.back() != wait))
                waits.push_back(wait);
            return waits.size() >= 3;
        },
        12s);
    ASSERT_GE(waits.size(), 3u);
    EXPECT_LT(waits[0], waits[1]);
    EXPECT_LT(waits[1], waits[2]);
}

}  // namespace
