#include "net/link_table.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

namespace {

TEST(LinkTable, StartsWithDefaultHostsAndPortsNoSocketAndIdle) {
    LinkTable table;
    const uint16_t ports[] = {9999, 7777, 8888};
    for (int slot : {LINK_UPSTREAM, LINK_SOURCE, LINK_CONSUMER}) {
        LinkSlot s = link_read(table, slot);
        EXPECT_EQ(s.port, ports[slot]) << slot;
        EXPECT_STREQ(s.host.data(), "127.0.0.1") << slot;
        EXPECT_EQ(s.socket, INVALID_SOCKET) << slot;
        EXPECT_STREQ(s.status_text.data(), "") << slot;
        EXPECT_EQ(s.state, LINK_IDLE) << slot;
        EXPECT_EQ(link_state(table, slot), LINK_IDLE) << slot;
    }
}

TEST(LinkTable, LongTextsAreCutTo255AndNeverTouchTheirNeighbours) {
    LinkTable table;
    std::string long_text(300, 'x');
    link_set_host(table, LINK_UPSTREAM, long_text);
    link_set_status_text(table, LINK_SOURCE, long_text);
    link_set_host(table, LINK_CONSUMER, std::string(256, 'y'));

    LinkSlot upstream = link_read(table, LINK_UPSTREAM);
    EXPECT_EQ(std::string(upstream.host.data()), std::string(255, 'x'));
    EXPECT_STREQ(upstream.status_text.data(), "");  // the field after the host
    LinkSlot source = link_read(table, LINK_SOURCE);
    EXPECT_EQ(std::string(source.status_text.data()), std::string(255, 'x'));
    EXPECT_STREQ(source.host.data(), "127.0.0.1");
    LinkSlot consumer = link_read(table, LINK_CONSUMER);
    EXPECT_EQ(std::string(consumer.host.data()), std::string(255, 'y'));
    EXPECT_STREQ(consumer.status_text.data(), "");
    EXPECT_EQ(consumer.state, LINK_IDLE);

    // A shorter text after a long one leaves no tail of the old one.
    link_set_host(table, LINK_UPSTREAM, "10.0.0.2");
    Text256 host;
    link_host(table, LINK_UPSTREAM, host);
    EXPECT_STREQ(host.data(), "10.0.0.2");
}

TEST(LinkTable, AReaderOnAnotherThreadSeesOnlyWholeHosts) {
    LinkTable table;
    const std::string hosts[] = {"short.example", "a-much-longer-receiver-name.example.net"};
    link_set_host(table, LINK_SOURCE, hosts[0]);
    std::atomic<bool> writing{true};
    std::atomic<int> torn{0};
    std::atomic<int> reads{0};

    std::thread reader([&] {
        Text256 host;
        while (writing || reads == 0) {
            link_host(table, LINK_SOURCE, host);
            std::string seen = host.data();
            LinkSlot slot = link_read(table, LINK_SOURCE);
            std::string whole = slot.host.data();
            for (const std::string& read : {seen, whole}) {
                if (read != hosts[0] && read != hosts[1])
                    ++torn;
            }
            ++reads;
        }
    });
    for (int i = 0; i < 50000; ++i) {
        link_set_host(table, LINK_SOURCE, hosts[i % 2]);
        link_set_port(table, LINK_SOURCE, static_cast<uint16_t>(i));
    }
    writing = false;
    reader.join();

    EXPECT_EQ(torn, 0);
    EXPECT_GT(reads, 0);
    EXPECT_EQ(link_port(table, LINK_SOURCE), 49999);
}

}  // namespace
