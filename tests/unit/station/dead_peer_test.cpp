// A peer that vanishes without a word (no FIN, no RST: its network is gone) is found by
// keepalive on every link. In a network namespace of the test's own, the loopback is
// taken down once the source link, the consumer link and a relay client are up.
#include <gtest/gtest.h>

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/wait.h>

#include "support/base/cp1251.h"
#include "support/station/station_harness.h"

namespace {

constexpr int kNoNamespace = 77;

bool set_loopback(bool up) {
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    ifreq request{};
    std::strcpy(request.ifr_name, "lo");
    bool done = ioctl(s, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags =
        static_cast<short>(up ? request.ifr_flags | IFF_UP : request.ifr_flags & ~IFF_UP);
    done = done && ioctl(s, SIOCSIFFLAGS, &request) == 0;
    close(s);
    return done;
}

// In a child process: 0 when each of the three found its peer gone within 40 s.
int vanish_peers() {
    if (unshare(CLONE_NEWNET) != 0 || !set_loopback(true))
        return kNoNamespace;
    TestStation t;
    FakeReceiver receiver;
    FakeReceiver server;
    uint16_t relay_port = free_port();
    t.dir.write("initmkp1.ini", std::to_string(receiver.port) + "\r\n127.0.0.1\r\n");
    t.dir.write("initmkp2.ini", std::to_string(server.port) + "\r\n127.0.0.1\r\n");
    t.dir.write("initsocket.ini", std::to_string(relay_port) + "\r\n\r\n");
    station_load_settings(*t.station);
    station_start_network(*t.station);
    SOCKET client = connect_to(relay_port);
    if (!t.run_until([&] {
            return receiver.accept_pending() && server.accept_pending() &&
                   relay_live_clients(t.station->relay) == 1 &&
                   link_state(t.station->links, LINK_CONSUMER) == LINK_CONNECTED;
        }) ||
        !set_loopback(false))
        return 1;
    auto start = std::chrono::steady_clock::now();
    const char* names[] = {"source link", "consumer link", "relay client"};
    std::function<bool()> found[] = {[] { return client_line_showed(cp1251("Связь разорвана")); },
                                     [] { return consumer_line_showed(cp1251("Связь разорвана")); },
                                     [&] { return relay_live_clients(t.station->relay) == 0; }};
    int missed = 0;
    for (int i = 0; i < 3; ++i) {
        auto left = 40s - (std::chrono::steady_clock::now() - start);
        bool in_time =
            t.run_until(found[i], std::chrono::duration_cast<std::chrono::milliseconds>(left));
        std::chrono::duration<double> taken = std::chrono::steady_clock::now() - start;
        std::printf("%s: %s after %.1f s\n", names[i], in_time ? "found gone" : "NOT found",
                    taken.count());
        missed += in_time ? 0 : 1;
    }
    closesocket(client);
    std::fflush(stdout);
    return missed;
}

TEST(DeadPeer, EveryLinkFindsAPeerThatVanishedWithinFortySeconds) {
    std::fflush(stdout);
    pid_t child = fork();
    if (child == 0)
        _exit(vanish_peers());
    int status = 0;
    waitpid(child, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == kNoNamespace)
        GTEST_SKIP() << "no network namespace of its own allowed here (unshare(CLONE_NEWNET) "
                        "needs root or user namespaces)";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
