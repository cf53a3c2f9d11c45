#include "net/relay.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/resource.h>
#endif

#include "support/base/cp1251.h"
#ifndef _WIN32
#include "support/base/no_ipv6.h"
#endif
#include "support/station/station_harness.h"

namespace {

class RelayTest : public testing::Test {
protected:
    void SetUp() override {
        port = free_port();
        t.set_relay_port(port);
        station_start_relay(*t.station);
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

    // Sends `length` bytes of the test stream from `offset` in chunks of `chunk`, with no
    // events handled in between. Returns the new offset.
    uint64_t fan_out_stream(uint64_t offset, size_t length, size_t chunk) {
        std::string bytes = stream_bytes(offset, length);
        for (size_t at = 0; at < length; at += chunk)
            source_fan_out(*t.station, std::string_view(bytes).substr(at, chunk));
        return offset + length;
    }
    // The same, chunk by chunk, letting events run until `pace` has everything so far and
    // `behind` (if given) is within three quarters of the history, so that a slow reader
    // thread on a busy machine is never cut for being slow.
    uint64_t fan_out_paced(uint64_t offset, size_t length, size_t chunk, RelayReader& pace,
                           RelayReader* behind = nullptr) {
        auto caught_up = [&] {
            if (pace.size() != offset)
                return false;
            return !behind || offset - behind->size() <= kRelayHistoryBytes * 3 / 4;
        };
        for (size_t at = 0; at < length; at += chunk) {
            offset = fan_out_stream(offset, std::min(chunk, length - at), chunk);
            if (!t.run_until(caught_up)) {
                ADD_FAILURE() << "readers stopped at " << pace.size() << " of " << offset;
                break;
            }
        }
        return offset;
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
    EXPECT_EQ(t.station->relay.clients[1].reader.socket, INVALID_SOCKET);
    // The freed slot is the first one a new client gets.
    SOCKET d = connect_client();
    EXPECT_NE(t.station->relay.clients[1].reader.socket, INVALID_SOCKET);
    for (SOCKET s : {a, c, d}) {
        int before = live();
        closesocket(s);
        ASSERT_TRUE(t.run_until([&] { return live() == before - 1; }));
    }
    EXPECT_EQ(t.client_log_lines().size(), 9u);  // start, 3 joins, 1 leaves, 1 joins, 3 leave
}

// A hundred clients that come at once (a restart of the programs that read) wait in the
// listen queue, not on SYN retries.
TEST_F(RelayTest, HundredClientsAreServedAndTheHundredFirstIsCutOff) {
    std::vector<SOCKET> clients;
    for (int i = 0; i < kRelaySlots; ++i) {
        clients.push_back(socket(AF_INET, SOCK_STREAM, 0));
        socket_set_nonblocking(clients.back());
        sockaddr_in relay = socket_ipv4_address(INADDR_LOOPBACK, port);
        connect(clients.back(), reinterpret_cast<sockaddr*>(&relay), sizeof relay);
    }
    ASSERT_TRUE(t.run_until([&] { return live() == kRelaySlots; }, 3s)) << live();
    size_t refreshes = t.refreshes();

    SOCKET extra = connect_to(port);
    ASSERT_NE(extra, INVALID_SOCKET);
    std::array<char, 1> byte;
    // The server closes it at once: the read ends without data.
    bool cut = t.run_until([&] { return relay_client_read(extra, byte, 1) < 0; });
    EXPECT_TRUE(cut);
    EXPECT_EQ(live(), kRelaySlots);
    EXPECT_EQ(t.refreshes(), refreshes);  // neither line changes
    EXPECT_EQ(t.station->relay.refused.counts[static_cast<size_t>(RelayRefusal::full)], 1u);

    // All 100 get the fan-out.
    std::string chunk = "*8D4840D6202CC371C32CE0576098;\r\n";
    source_fan_out(*t.station, chunk);
    for (SOCKET s : clients) {
        ASSERT_EQ(recv_within(s, chunk.size(), 5s), chunk);
    }
    closesocket(extra);
    for (SOCKET s : clients)
        closesocket(s);
}

#ifndef _WIN32
// With no descriptor left for an accepted client, its connection waits in the listen queue
// and the listening socket stays readable: the relay pauses rather than failing again at
// every turn of the loop, and accepts again once descriptors are free.
TEST_F(RelayTest, NoDescriptorLeftPausesAcceptingUntilOneIsFree) {
    auto run_ticks = [&](int ticks) {
        for (int i = 0; i < ticks; ++i) {
            t.run_for(100ms);
            station_timer_tick(*t.station);
        }
    };
    std::vector<SOCKET> clients(3);
    for (SOCKET& s : clients)
        s = socket(AF_INET, SOCK_STREAM, 0);  // made now, connected once descriptors are out
    rlimit saved;
    getrlimit(RLIMIT_NOFILE, &saved);
    int highest = 0;
    for (int fd = 0; fd < 4096; ++fd)
        highest = fcntl(fd, F_GETFD) != -1 ? fd : highest;
    rlimit lowered = saved;
    lowered.rlim_cur = static_cast<rlim_t>(highest + 1);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
    std::vector<int> fillers;  // the holes below the limit
    for (int fd; (fd = dup(0)) >= 0;)
        fillers.push_back(fd);
    for (SOCKET s : clients) {
        socket_set_nonblocking(s);
        sockaddr_in address = socket_ipv4_address(INADDR_LOOPBACK, port);
        connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    t.events_handled = 0;
    run_ticks(10);
    int events_while_out = t.events_handled;
    for (int fd : fillers)
        close(fd);
    setrlimit(RLIMIT_NOFILE, &saved);
    bool served = false;
    for (int i = 0; i < 30 && !served; ++i) {
        run_ticks(1);
        served = live() >= 1;
    }
    EXPECT_LE(events_while_out, 10);
    EXPECT_TRUE(served);
    for (SOCKET s : clients)
        closesocket(s);
}
#endif

TEST_F(RelayTest, WhatClientsSendIsReadAndThrownAway) {
    auto reader = connect_reader();
    SOCKET talker = connect_client();
    size_t refreshes = t.refreshes();
    std::string garbage(300000, '\x1A');
    std::atomic<bool> sent{false};
    std::thread sender([&] {
        socket_send(talker, garbage.data(), garbage.size());
        sent = true;
    });
    // The relay must read it all for the blocking send to end.
    EXPECT_TRUE(t.run_until([&] { return sent.load(); }));
    t.run_for(100ms);
    sender.join();
    source_fan_out(*t.station, std::string_view("@0102030405065D;\r\n"));
    ASSERT_TRUE(t.run_until([&] { return reader->size() == 18; }));
    EXPECT_EQ(live(), 2);
    EXPECT_EQ(t.refreshes(), refreshes);
    closesocket(talker);
}

// Bursts far beyond a client's socket buffers reach every reading client whole, and a
// client that pauses while the history wraps under it catches up across the ring's end
// (chunks of an odd size straddle it): clients behind catch up from the shared history,
// and nobody is cut.
TEST_F(RelayTest, ClientsBehindCatchUpFromTheHistoryAcrossItsWrap) {
    std::vector<std::unique_ptr<RelayReader>> readers;
    for (int i = 0; i < 4; ++i)
        readers.push_back(connect_reader());
    RelayReader& paused = *readers[3];
    paused.paused = true;
    auto all_have = [&](uint64_t sent, size_t count) {
        return std::all_of(readers.begin(), readers.begin() + static_cast<long>(count),
                           [&](auto& reader) { return reader->size() == sent; });
    };
    uint64_t sent = 0;
    for (size_t burst : {size_t{1} << 20, size_t{4} << 20}) {
        sent = fan_out_stream(sent, burst, kSourceReceiveSize);  // in one go, no events between
        ASSERT_TRUE(t.run_until([&] { return all_have(sent, 3); }))
            << "a client stopped receiving after a burst of " << burst;
    }
    paused.paused = false;
    sent = fan_out_paced(sent, kRelayHistoryBytes * 5 / 8, 65521, *readers[0], &paused);
    ASSERT_TRUE(t.run_until([&] { return all_have(sent, 4); }));
    EXPECT_GT(sent, kRelayHistoryBytes);
    EXPECT_EQ(live(), 4);
    for (auto& reader : readers)
        EXPECT_TRUE(reader->bytes() == stream_bytes(0, sent));
}

// A client that never reads is closed once it is more than the history behind, and not
// much later (the kernel buffers in between are small); it has received the exact stream
// up to the close, and the readers never notice.
TEST_F(RelayTest, ClientLeftMoreThanTheHistoryBehindIsClosedWithNoHole) {
    SOCKET stuck = socket(AF_INET, SOCK_STREAM, 0);
    int small = 4096;
    setsockopt(stuck, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&small), sizeof small);
    sockaddr_in address = socket_ipv4_address(INADDR_LOOPBACK, port);
    ASSERT_EQ(connect(stuck, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_TRUE(t.run_until([&] { return live() == 1; }));
    auto first = connect_reader();
    auto second = connect_reader();

    uint64_t sent = 0;
    std::array<ReaderFigures, kRelaySlots> readers;
    uint64_t stuck_behind = 0;
    while (t.station->relay.clients[0].reader.socket != INVALID_SOCKET &&
           sent < 4 * kRelayHistoryBytes) {
        sent = fan_out_paced(sent, 60000, 60000, *first);
        if (station_relay_readers(*t.station, readers) == 3) {
            EXPECT_GE(readers[0].behind_bytes, stuck_behind);  // it only falls farther
            stuck_behind = readers[0].behind_bytes;
            EXPECT_GE(readers[0].most_behind_bytes, stuck_behind);
        }
    }
    EXPECT_GT(stuck_behind, kRelayHistoryBytes / 2);
    EXPECT_GT(sent, kRelayHistoryBytes);
    EXPECT_LT(sent, kRelayHistoryBytes + 1024 * 1024);
    EXPECT_EQ(station_relay_cut_total(*t.station), 1u);
    EXPECT_TRUE(station_relay_last_cut(*t.station).behind);
    EXPECT_STREQ(station_relay_last_cut(*t.station).address.data(), "127.0.0.1");
    sent = fan_out_paced(sent, 75000, 1500, *first);
    ASSERT_TRUE(t.run_until([&] { return first->size() == sent && second->size() == sent; }));
    // A reader that keeps up: everything sent, nothing behind, a chunk at most ever.
    ASSERT_EQ(station_relay_readers(*t.station, readers), 2);
    EXPECT_EQ(readers[0].bytes_sent, sent);
    EXPECT_EQ(readers[0].behind_bytes, 0u);
    EXPECT_EQ(readers[0].most_behind_bytes, 60000u);
    EXPECT_TRUE(first->bytes() == stream_bytes(0, sent));
    EXPECT_TRUE(second->bytes() == stream_bytes(0, sent));
    // The cut asked for a refresh, which the loop's next pass makes; the readers may have
    // caught up with no pass at all since.
    t.pass();
    EXPECT_EQ(t.server_line(), server_line_with(2));

    std::string got = recv_within(stuck, SIZE_MAX, 5s);
    EXPECT_GT(got.size(), 0u);
    EXPECT_TRUE(got == stream_bytes(0, got.size()));
    closesocket(stuck);
}

// A client that connects gets the stream from that moment on, not the history the other
// clients may still be catching up from.
TEST_F(RelayTest, ANewClientStartsAtTheHeadOfTheStream) {
    auto early = connect_reader();
    uint64_t sent = fan_out_paced(0, 200000, 4096, *early);
    auto late = connect_reader();
    uint64_t joined = sent;
    sent = fan_out_paced(sent, 5000, 4096, *early);
    ASSERT_TRUE(t.run_until([&] { return late->size() >= sent - joined; }));
    t.run_for(50ms);
    EXPECT_TRUE(late->bytes() == stream_bytes(joined, sent - joined));
}

TEST_F(RelayTest, ShutdownClosesEveryClient) {
    auto a = connect_reader();
    auto b = connect_reader();
    relay_shutdown(t.station->relay);
    EXPECT_EQ(live(), 0);
    EXPECT_EQ(t.station->relay.listener, INVALID_SOCKET);
    ASSERT_TRUE(t.run_until([&] { return a->closed && b->closed; }));
    EXPECT_EQ(connect_to(port), INVALID_SOCKET);
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

// The relay as the operator narrows it: where it listens, whom it lets in, how many slots
// one address may hold. Each test starts its relay itself.
class RelayAccess : public testing::Test {
protected:
    void start(const char* address) {
        port = free_port();
        t.set_relay_port(port);  // as the dialog's OK: the address is set after it
        text_copy(t.station->settings.relay_address, address);
        station_start_relay(*t.station);
        ASSERT_EQ(t.station->relay.start, RelayStart::listening);
    }
    uint64_t refused(RelayRefusal cause) {
        return t.station->relay.refused.counts[static_cast<size_t>(cause)];
    }
    int live() { return relay_live_clients(t.station->relay); }
    // Sends a chunk to the relay's clients and returns it.
    std::string fan_out() {
        std::string chunk = stream_bytes(0, 4096);
        source_fan_out(*t.station, chunk);
        return chunk;
    }

    TestStation t;
    uint16_t port = 0;
};

TEST_F(RelayAccess, ItListensOnItsAddressAloneAndServesTheAllowedNetworksAlone) {
    t.dir.write("allow.list", "# the PC upstairs\r\n127.0.0.3/32  # by hand\r\nnot-a-net\r\n");
    station_load_settings(*t.station);
    EXPECT_EQ(t.station->allow_load.bad_lines, 1);
    EXPECT_EQ(t.station->allow_load.first_bad_line, 3);
    start("127.0.0.2");

    EXPECT_EQ(connect_between(nullptr, "127.0.0.1", port), INVALID_SOCKET);
    SOCKET stranger = connect_between("127.0.0.4", "127.0.0.2", port);
    ASSERT_NE(stranger, INVALID_SOCKET);
    ASSERT_TRUE(t.run_until([&] { return refused(RelayRefusal::not_allowed) == 1; }));
    RelayReader friendly("127.0.0.3", "127.0.0.2", port);
    ASSERT_TRUE(t.run_until([&] { return live() == 1; }));

    std::string chunk = fan_out();
    EXPECT_TRUE(t.run_until([&] { return friendly.size() == chunk.size(); }));
    EXPECT_TRUE(friendly.bytes() == chunk);
    EXPECT_EQ(recv_within(stranger, SIZE_MAX, 2s), "");  // closed, and never a byte
    EXPECT_EQ(t.server_line().find("127.0.0.4"), std::string::npos);
    EXPECT_NE(t.server_line().find("127.0.0.3 "), std::string::npos);
    closesocket(stranger);
}

// Listening everywhere takes IPv6 and IPv4 clients on one port, and they read the same
// stream; one address holds no more than its share of the slots, whichever family.
TEST_F(RelayAccess, EveryInterfaceTakesBothFamiliesAndAnAddressHoldsItsShare) {
    start("");
    t.station->relay.share = 2;
    uint16_t unused = 0;
    SOCKET probe = listen_at("::1", unused);
    if (probe == INVALID_SOCKET)
        GTEST_SKIP() << "no IPv6 loopback on this host";
    closesocket(probe);
    auto v6 = std::make_unique<RelayReader>(nullptr, "::1", port);
    ASSERT_NE(v6->socket, INVALID_SOCKET);
    RelayReader v4(port);
    RelayReader second_v4(port);
    ASSERT_TRUE(t.run_until([&] { return live() == 3; }));
    SOCKET third_v4 = connect_between(nullptr, "127.0.0.1", port);
    ASSERT_TRUE(t.run_until([&] { return refused(RelayRefusal::over_share) == 1; }));
    RelayReader elsewhere("127.0.0.5", "127.0.0.1", port);
    ASSERT_TRUE(t.run_until([&] { return live() == 4; }));

    std::string chunk = fan_out();
    EXPECT_TRUE(
        t.run_until([&] { return v6->size() == chunk.size() && v4.size() == chunk.size(); }));
    EXPECT_TRUE(v6->bytes() == chunk);
    EXPECT_TRUE(v4.bytes() == chunk);
    EXPECT_EQ(recv_within(third_v4, SIZE_MAX, 2s), "");
    EXPECT_NE(t.server_line().find(" ::1 "), std::string::npos) << t.server_line();
    EXPECT_STREQ(t.station->relay.refused.last.data(), "127.0.0.1");
    closesocket(third_v4);
}

#ifndef _WIN32
// Where the kernel has no IPv6 at all, listening everywhere is listening on IPv4, with a
// warning, not a relay that is not there.
TEST_F(RelayAccess, AHostWithoutIpv6ListensForIpv4Alone) {
    refuse_ipv6_sockets(true);
    start("");
    refuse_ipv6_sockets(false);
    EXPECT_TRUE(station_relay_access(*t.station).ipv4_only);
    RelayReader reader(port);
    EXPECT_TRUE(t.run_until([&] { return live() == 1; }));
}
#endif

}  // namespace
