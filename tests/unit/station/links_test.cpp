#include "net/links.h"

#include <gtest/gtest.h>

#include "station/settings_dialogs.h"
#include "support/base/cp1251.h"
#include "support/station/station_harness.h"
#include "support/station/test_frontend.h"

namespace {

std::string client_line(uint16_t port, const std::string& status_utf8) {
    char head[32];
    std::snprintf(head, sizeof head, "%5d  ", port);
    return cp1251("Клиент: ") + head + cp1251(status_utf8);
}

std::vector<std::string> recorded_client_lines() {
    std::lock_guard guard(test_status().lock);
    return test_status().client_lines;
}

int32_t source_state(TestStation& t) {
    return link_state(t.station->links, LINK_SOURCE);
}

TEST(Links, OpenConnectsAndShowsTheDottedAddressItResolvedTo) {
    TestStation t;
    FakeReceiver receiver;
    // A host text that resolves without a hosts file or a name server, and is not the
    // dotted address shown.
    link_set_host(t.station->links, LINK_SOURCE, "127.1");
    link_set_port(t.station->links, LINK_SOURCE, receiver.port);
    for (int i = 0; i < 300; ++i)
        watchdog_step(*t.station);
    link_open(t.station->links, t.station->connector, LINK_SOURCE);

    EXPECT_EQ(source_state(t), LINK_CONNECTED);
    EXPECT_EQ(t.station->silence_ticks.load(), 0);
    EXPECT_EQ(recorded_client_lines(),
              (std::vector<std::string>{client_line(receiver.port, "Идет установление связи"),
                                        client_line(receiver.port, "Соединение 127.0.0.1")}));
    EXPECT_TRUE(receiver.accept_pending());
    LinkSlot slot = link_read(t.station->links, LINK_SOURCE);
    int no_delay = 0;
    socklen_t length = sizeof no_delay;
    getsockopt(slot.socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char*>(&no_delay), &length);
    EXPECT_NE(no_delay, 0);
}

TEST(Links, NothingListeningGivesConnectErrorAndLeavesTheStateAlone) {
    TestStation t;
    link_set_port(t.station->links, LINK_SOURCE, free_port());
    link_open(t.station->links, t.station->connector, LINK_SOURCE);
    link_open(t.station->links, t.station->connector, LINK_SOURCE);
    uint16_t port = link_port(t.station->links, LINK_SOURCE);
    // Exactly two refreshes per attempt.
    EXPECT_EQ(
        recorded_client_lines(),
        (std::vector<std::string>{
            client_line(port, "Идет установление связи"), client_line(port, "Ошибка connect"),
            client_line(port, "Идет установление связи"), client_line(port, "Ошибка connect")}));
    EXPECT_EQ(source_state(t), LINK_IDLE);
    EXPECT_EQ(link_read(t.station->links, LINK_SOURCE).socket, INVALID_SOCKET);
    EXPECT_EQ(t.client_log_lines().size(), 4u);
}

TEST(Links, HostThatNeitherResolvesNorParsesShowsTheHostText) {
    TestStation t;
    // Fails without asking a name server: digits and dots that are no address.
    link_set_host(t.station->links, LINK_SOURCE, "999.1.1.1");
    link_open(t.station->links, t.station->connector, LINK_SOURCE);
    EXPECT_EQ(t.client_line(), client_line(7777, "Ошибка 999.1.1.1"));
    EXPECT_EQ(link_read(t.station->links, LINK_SOURCE).socket, INVALID_SOCKET);
    EXPECT_EQ(source_state(t), LINK_IDLE);

    // A long host is cut in its status text, never overrunning it.
    std::string long_host = "999.1.1.1" + std::string(300, '9');
    link_set_host(t.station->links, LINK_SOURCE, long_host);
    link_open(t.station->links, t.station->connector, LINK_SOURCE);
    EXPECT_EQ(strnlen(link_read(t.station->links, LINK_SOURCE).status_text.data(), 256), 255u);
    EXPECT_EQ(t.client_line().substr(0, 16), client_line(7777, "Ошибка 9").substr(0, 16));
}

// Hosts are typed by hand: blanks around one are no part of it, and an empty one is this
// computer.
TEST(Links, BlanksAroundAHostAreDroppedAndAnEmptyHostIsThisComputer) {
    TestStation t;
    FakeReceiver receiver;
    link_set_port(t.station->links, LINK_SOURCE, receiver.port);
    for (const char* host : {"127.0.0.1 ", "\t127.0.0.1", ""}) {
        link_set_host(t.station->links, LINK_SOURCE, host);
        link_open(t.station->links, t.station->connector, LINK_SOURCE);
        EXPECT_EQ(t.client_line(), client_line(receiver.port, "Соединение 127.0.0.1")) << host;
        station_drop_link(*t.station, LINK_SOURCE);
    }
}

#ifndef _WIN32
// A host name that stands for several addresses: each is tried in turn, and the first that
// answers is the link (the test's own lookup gives 127.0.0.2, where nothing listens, then
// 127.0.0.1).
TEST(Links, EveryAddressOfAHostIsTriedInTurn) {
    TestStation t;
    FakeReceiver receiver;
    link_set_address(t.station->links, LINK_SOURCE, "several.test", receiver.port);
    link_open(t.station->links, t.station->connector, LINK_SOURCE);
    EXPECT_EQ(t.client_line(), client_line(receiver.port, "Соединение 127.0.0.1"));
}
#endif

// A receiver on IPv6 is reached as one on IPv4, and named in the client line.
TEST(Links, AReceiverOnIpv6IsConnected) {
    TestStation t;
    FakeReceiver receiver("::1");
    if (receiver.listener == INVALID_SOCKET)
        GTEST_SKIP() << "no IPv6 loopback on this host";
    link_set_address(t.station->links, LINK_SOURCE, "::1", receiver.port);
    link_open(t.station->links, t.station->connector, LINK_SOURCE);
    EXPECT_EQ(t.client_line(), client_line(receiver.port, "Соединение ::1"));
    EXPECT_TRUE(receiver.accept_pending());
}

TEST(Links, DropClosesTheSocketAndMarksTheSlotClosed) {
    TestStation t;
    FakeReceiver receiver;
    link_set_port(t.station->links, LINK_SOURCE, receiver.port);
    link_open(t.station->links, t.station->connector, LINK_SOURCE);
    ASSERT_EQ(source_state(t), LINK_CONNECTED);
    ASSERT_TRUE(receiver.accept_pending());

    station_drop_link(*t.station, LINK_SOURCE);
    EXPECT_EQ(source_state(t), LINK_CLOSED);
    EXPECT_EQ(link_read(t.station->links, LINK_SOURCE).socket, INVALID_SOCKET);
    EXPECT_EQ(t.client_line(), client_line(receiver.port, "Связь разорвана"));
    // The receiver sees the end of the connection.
    char byte;
    EXPECT_EQ(socket_recv(receiver.connection, &byte, 1), 0);
}

// The connector thread opens a link while the UI thread may drop it: a drop between the
// registration of the socket's events and the final state must win, and the next pass
// must open the link again.
TEST(Links, DropDuringAnOpenLeavesTheSlotClosedAndTheNextPassReopens) {
    TestStation t;
    FakeReceiver receiver;
    link_set_port(t.station->links, LINK_SOURCE, receiver.port);

    hold_next_open(t.station->connector);
    connector_start(t.station->links, t.station->connector);
    ASSERT_TRUE(wait_open_held());
    station_drop_link(*t.station, LINK_SOURCE);  // the UI thread's drop, mid-open
    release_held_open();

    ASSERT_TRUE(t.run_until([&] {
        std::lock_guard guard(test_status().lock);
        return test_status().client_lines.size() >= 3;
    }));
    auto lines = recorded_client_lines();
    EXPECT_EQ(lines[1], client_line(receiver.port, "Связь разорвана"));
    EXPECT_EQ(lines[2], client_line(receiver.port, "Связь разорвана"));
    EXPECT_NE(source_state(t), LINK_CONNECTED);
    // About a second later the connector opens it again, for good this time.
    ASSERT_TRUE(t.run_until([&] { return source_state(t) == LINK_CONNECTED; }));
    EXPECT_EQ(t.client_line(), client_line(receiver.port, "Соединение 127.0.0.1"));
}

// A new receiver address given while a connection to the old one is being made: that
// connection is not kept, and the link opens to the new address.
TEST(Links, NewSourceAddressDuringAnOpenIsNotLeftOnTheOldReceiver) {
    TestStation t;
    FakeReceiver old_receiver;
    FakeReceiver new_receiver;
    link_set_port(t.station->links, LINK_SOURCE, old_receiver.port);
    station_set_retry_pause(*t.station, 20ms);
    hold_next_open(t.station->connector);
    connector_start(t.station->links, t.station->connector);
    ASSERT_TRUE(wait_open_held());
    dialog_ok(*t.station, DialogId::source,
              dialog_fields(std::to_string(new_receiver.port).c_str(), "127.0.0.1"));
    release_held_open();

    ASSERT_TRUE(t.run_until(
        [&] { return new_receiver.accept_pending() && source_state(t) == LINK_CONNECTED; }));
    ASSERT_TRUE(old_receiver.accept_pending());
    std::array<char, 16> byte;
    EXPECT_LT(relay_client_read(old_receiver.connection, byte, 5000), 0);
}

// OK in the source dialog tries the new address at once, even while a connect to a host
// that does not answer would go on for twenty seconds.
TEST(Links, NewSourceAddressEndsAConnectThatHangs) {
    SilentListener silent;
    if (!silent.hangs)
        GTEST_SKIP() << "a full listen queue here refuses connects instead of dropping them";
    TestStation t;
    FakeReceiver receiver;
    link_set_port(t.station->links, LINK_SOURCE, silent.port);
    station_set_retry_pause(*t.station, 20ms);
    connector_start(t.station->links, t.station->connector);
    ASSERT_TRUE(t.run_until([&] { return client_line_showed(cp1251("Идет установление связи")); }));
    t.run_for(300ms);  // inside the connect's wait
    dialog_ok(*t.station, DialogId::source,
              dialog_fields(std::to_string(receiver.port).c_str(), "127.0.0.1"));
    EXPECT_TRUE(t.run_until(
        [&] { return receiver.accept_pending() && source_state(t) == LINK_CONNECTED; }, 3s));
}

TEST(Links, ConnectorRetriesEveryPassAndAStopEndsItsPause) {
    TestStation t;
    link_set_port(t.station->links, LINK_SOURCE, free_port());
    connector_start(t.station->links, t.station->connector);
    ASSERT_TRUE(t.run_until([&] { return recorded_client_lines().size() >= 4; }, 5s));
    EXPECT_EQ(source_state(t), LINK_IDLE);
    EXPECT_TRUE(connector_stop(t.station->connector, 5s));
    EXPECT_EQ(t.station->connector.worker.run.load(), WorkerRun::ended);

    // With pauses far longer than the wait, only a pause that wakes on the stop lets
    // the thread end in time.
    TestStation slow;
    station_set_retry_pause(*slow.station, std::chrono::hours(1));
    connector_start(slow.station->links, slow.station->connector);
    EXPECT_TRUE(connector_stop(slow.station->connector, 5s));
}

TEST(Links, ConnectorAskedToStopBeforeItStartsEndsAtOnce) {
    TestStation t;
    connector_request_stop(t.station->connector);
    connector_start(t.station->links, t.station->connector);
    EXPECT_EQ(t.station->connector.worker.run.load(), WorkerRun::ended);
    EXPECT_FALSE(t.station->connector.worker.thread.joinable());
}

}  // namespace
