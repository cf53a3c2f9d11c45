#include "net/relay.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/cp1251.h"
#include "support/net_harness.h"

namespace {

class RelayTest : public testing::Test {
protected:
    void SetUp() override {
        port = free_port();
        t.station->settings.relay_port = port;
        relay_start(*t.station);
        ASSERT_NE(t.station->relay.listener, INVALID_SOCKET);
    }

    int live() { return relay_live_clients(t.station->relay); }
    std::string server_line_with(int clients) {
        char head[32];
        std::snprintf(head, sizeof head, "%5d ", port);
        std::string line = cp1251("Сервер: ") + head;
        for (int i = 0; i < clients; ++i)
            line += "127.0.0.1 ";
        return line;
    }
    // Connects a reading client and waits until the relay lists it.
    std::unique_ptr<RelayReader> connect_reader() {
        int before = live();
        auto reader = std::make_unique<RelayReader>(port);
        EXPECT_TRUE(t.run_until([&] { return live() == before + 1; }));
        return reader;
    }
    // Connects a client and waits until the relay lists it.
    SOCKET connect_client() {
        int before = live();
        SOCKET s = connect_to(port);
        EXPECT_NE(s, INVALID_SOCKET);
        EXPECT_TRUE(t.run_until([&] { return live() == before + 1; }));
        return s;
    }

    TestStation t;
    uint16_t port = 0;
};

TEST_F(RelayTest, StartShowsThePortAndLogsAStampAlone) {
    EXPECT_EQ(t.server_line(), server_line_with(0));
    EXPECT_EQ(t.client_line(), cp1251("Клиент:  7777  "));
    EXPECT_EQ(t.client_log_lines(), std::vector<std::string>{"06/12/2026 07:51:29 "});
    // Every line ends in CR LF on disk.
    EXPECT_EQ(t.dir.read("connect.list"), "06/12/2026 07:51:29 \r\n");
}

TEST_F(RelayTest, ClientsAreListedInSlotOrderAndLeaveWhenTheyClose) {
    SOCKET a = connect_client();
    SOCKET b = connect_client();
    SOCKET c = connect_client();
    EXPECT_EQ(t.server_line(), server_line_with(3));
    EXPECT_EQ(t.client_log_lines().back(), "06/12/2026 07:51:29 |127.0.0.1|127.0.0.1|127.0.0.1|");
    EXPECT_EQ(t.client_log_lines()[1], "06/12/2026 07:51:29 |127.0.0.1|");

    closesocket(b);
    ASSERT_TRUE(t.run_until([&] { return live() == 2; }));
    EXPECT_EQ(t.server_line(), server_line_with(2));
    EXPECT_EQ(t.station->relay.clients[1].socket, INVALID_SOCKET);
    // The freed slot is the first one a new client gets.
    SOCKET d = connect_client();
    EXPECT_NE(t.station->relay.clients[1].socket, INVALID_SOCKET);
    for (SOCKET s : {a, c, d})
        closesocket(s);
    ASSERT_TRUE(t.run_until([&] { return live() == 0; }));
    EXPECT_EQ(t.client_log_lines().size(), 9u);  // start, 3 joins, 1 leaves, 1 joins, 3 leave
}

TEST_F(RelayTest, HundredClientsAreServedAndTheHundredFirstIsCutOff) {
    std::vector<SOCKET> clients;
    for (int i = 0; i < kRelaySlots; ++i)
        clients.push_back(connect_client());
    uint32_t refreshes = t.station->status.refreshes;

    SOCKET extra = connect_to(port);
    ASSERT_NE(extra, INVALID_SOCKET);
    char byte;
    bool cut = t.run_until([&] {
        // The server closes it at once: the read ends without data.
        timeval no_wait{0, 0};
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(extra, &readable);
        return select(static_cast<int>(extra) + 1, &readable, nullptr, nullptr, &no_wait) > 0 &&
               socket_recv(extra, &byte, 1) <= 0;
    });
    EXPECT_TRUE(cut);
    EXPECT_EQ(live(), kRelaySlots);
    EXPECT_EQ(t.station->status.refreshes, refreshes);  // neither line changes

    // All 100 get the fan-out.
    std::string chunk = "*8D4840D6202CC371C32CE0576098;\r\n";
    relay_fan_out(*t.station, chunk);
    for (SOCKET s : clients) {
        char got[64] = {};
        int n = socket_recv(s, got, sizeof got);
        ASSERT_EQ(std::string(got, n > 0 ? static_cast<size_t>(n) : 0), chunk);
    }
    closesocket(extra);
    for (SOCKET s : clients)
        closesocket(s);
}

TEST_F(RelayTest, WhatClientsSendIsReadAndThrownAway) {
    auto reader = connect_reader();
    SOCKET talker = connect_client();
    uint32_t refreshes = t.station->status.refreshes;
    std::string garbage(300000, '\x1A');
    std::thread sender([&] { socket_send(talker, garbage.data(), garbage.size()); });
    t.run_for(300ms);
    sender.join();
    relay_fan_out(*t.station, std::string_view("@0102030405065D;\r\n"));
    ASSERT_TRUE(t.run_until([&] { return reader->size() == 18; }));
    EXPECT_EQ(live(), 2);
    EXPECT_EQ(t.station->status.refreshes, refreshes);
    closesocket(talker);
}

// A client that never reads must not hold back the others or corrupt anybody's stream:
// it is cut off once its backlog would overflow, and the readers get every byte in order.
TEST_F(RelayTest, StuckClientIsCutOffWhileReadersGetTheExactStream) {
    SOCKET stuck = socket(AF_INET, SOCK_STREAM, 0);
    int small = 4096;
    setsockopt(stuck, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&small), sizeof small);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    ASSERT_EQ(connect(stuck, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_TRUE(t.run_until([&] { return live() == 1; }));
    auto first = connect_reader();
    auto second = connect_reader();

    std::string expected;
    size_t offered_to_stuck = 0;
    bool stuck_listed = true;
    for (int i = 0; stuck_listed && expected.size() < 64 * 1024 * 1024; ++i) {
        std::string chunk(9000 + i % 7000, static_cast<char>('a' + i % 26));
        chunk[0] = static_cast<char>(i);
        relay_fan_out(*t.station, chunk);
        expected += chunk;
        if (stuck_listed)
            offered_to_stuck += chunk.size();
        stuck_listed = t.station->relay.clients[0].socket != INVALID_SOCKET;
        t.run_for(1ms);  // lets write events move the readers' backlogs
    }
    EXPECT_FALSE(stuck_listed);
    // Cut off once more than its backlog was waiting for it, and not much later: the
    // kernel buffers in between are small.
    EXPECT_GT(offered_to_stuck, kRelayBacklogBytes);
    EXPECT_LT(offered_to_stuck, kRelayBacklogBytes + 1024 * 1024);
    for (int i = 0; i < 50; ++i) {
        std::string chunk(1500, static_cast<char>('A' + i % 26));
        relay_fan_out(*t.station, chunk);
        expected += chunk;
    }
    ASSERT_TRUE(t.run_until(
        [&] { return first->size() == expected.size() && second->size() == expected.size(); }));
    EXPECT_TRUE(first->bytes() == expected);
    EXPECT_TRUE(second->bytes() == expected);
    EXPECT_EQ(t.server_line(), server_line_with(2));
    closesocket(stuck);
}

TEST_F(RelayTest, ShutdownClosesEveryClient) {
    auto a = connect_reader();
    auto b = connect_reader();
    relay_shutdown(*t.station);
    EXPECT_EQ(live(), 0);
    EXPECT_EQ(t.station->relay.listener, INVALID_SOCKET);
    ASSERT_TRUE(t.run_until([&] { return a->closed && b->closed; }));
    EXPECT_EQ(connect_to(port), INVALID_SOCKET);
}

TEST(Backlog, KeepsBytesInOrderAcrossTheWrapAndRefusesWhatDoesNotFit) {
    std::vector<uint8_t> memory(kRelayBacklogBytes);
    Backlog backlog{memory.data(), 0, 0};
    std::string big(kRelayBacklogBytes - 10, 'x');
    ASSERT_TRUE(backlog_push(backlog, big));
    backlog_pop(backlog, kRelayBacklogBytes - 20);
    ASSERT_TRUE(backlog_push(backlog, std::string("0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ")));
    std::string out;
    while (backlog.size != 0) {
        auto front = backlog_front(backlog);
        out.append(reinterpret_cast<const char*>(front.data()), front.size());
        backlog_pop(backlog, front.size());
    }
    EXPECT_EQ(out, std::string(10, 'x') + "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ");
    ASSERT_TRUE(backlog_push(backlog, std::string(kRelayBacklogBytes, 'y')));
    EXPECT_FALSE(backlog_push(backlog, std::string(1, 'z')));
    EXPECT_EQ(backlog.size, kRelayBacklogBytes);
}

// Status refreshes from two threads at once never mix their client log lines.
TEST_F(RelayTest, RefreshesFromTwoThreadsWriteWholeLogLines) {
    auto a = connect_reader();
    std::thread other([&] {
        for (int i = 0; i < 300; ++i)
            status_refresh(*t.station);
    });
    for (int i = 0; i < 300; ++i)
        status_refresh(*t.station);
    other.join();
    auto lines = t.client_log_lines();
    ASSERT_EQ(lines.size(), 602u);
    for (size_t i = 2; i < lines.size(); ++i) {
        ASSERT_EQ(lines[i], "06/12/2026 07:51:29 |127.0.0.1|") << i;
    }
}

// A receiver that stays unreachable adds two log lines a second: past 16 MiB the log
// becomes "connect.list.1", replacing an older one, and a new log begins.
TEST_F(RelayTest, ClientLogPast16MiBBecomesTheOldLog) {
    namespace fs = std::filesystem;
    constexpr uintmax_t kLimit = uintmax_t{16} << 20;
    const std::string stamp_line = "06/12/2026 07:51:29 \r\n";
    fs::path log = fs::path(t.dir.path) / "connect.list";
    t.dir.write("connect.list.1", "older");
    fs::resize_file(log, kLimit);

    status_refresh(*t.station);  // at the limit, not past it: appended
    EXPECT_EQ(fs::file_size(log), kLimit + stamp_line.size());
    EXPECT_EQ(t.dir.read("connect.list.1"), "older");

    status_refresh(*t.station);
    EXPECT_EQ(fs::file_size(fs::path(t.dir.path) / "connect.list.1"), kLimit + stamp_line.size());
    EXPECT_EQ(t.dir.read("connect.list"), stamp_line);
}

}  // namespace
