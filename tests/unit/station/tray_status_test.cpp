// The tray icon's tip and balloons: what they say, and when a balloon is due.
#include "station/tray_status.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "support/base/cp1251.h"

namespace {

std::string tip_of(const TrayFacts& facts) {
    char tip[kTrayTipSize];
    std::memset(tip, 'x', sizeof tip);
    tray_tip_text(facts, tip);
    return tip;
}

TEST(TrayTip, TellsTheReceiverLinkInEachStateAndTheRelayClients) {
    TrayFacts facts;
    facts.relay_clients = 3;
    const std::pair<int32_t, const char*> states[] = {
        {LINK_IDLE, "нет связи"},
        {LINK_FAILED, "ошибка"},
        {LINK_CONNECTED, "есть связь"},
        {LINK_CLOSED, "нет связи"},
    };
    for (auto [state, word] : states) {
        facts.source_state = state;
        EXPECT_EQ(tip_of(facts),
                  cp1251("QALMOR link\nПриемник: " + std::string(word) + "\nКлиентов: 3 из 100"))
            << state;
    }
}

TEST(TrayTip, TellsTheConsumerWhileOnAndThePushTargetsWhenGivenWithinTheShellsRoom) {
    TrayFacts facts;
    facts.source_state = LINK_CLOSED;
    facts.relay_clients = 100;
    facts.consumer_on = true;
    facts.consumer_state = LINK_FAILED;
    facts.push_set = 8;
    facts.push_connected = 7;
    std::string tip = tip_of(facts);
    EXPECT_EQ(tip, cp1251("QALMOR link\nПриемник: нет связи\nКлиентов: 100 из 100\n"
                          "Потребитель: ошибка\nПередача: 7 из 8"));
    // The longest the tip gets still fits whole: one byte is one character of the shell's
    // 127, and a cut would lose the last line.
    facts.consumer_state = LINK_CLOSED;
    facts.push_connected = 8;
    tip = tip_of(facts);
    EXPECT_LE(tip.size(), 127u);
    EXPECT_TRUE(tip.ends_with(cp1251("\nПередача: 8 из 8"))) << tip;
}

TEST(TrayBalloons, ReceiverLostAfterAMinuteAndBackAtMostOneInTenMinutes) {
    TrayBalloons balloons;
    EXPECT_EQ(tray_balloon_due(balloons, false, 1'000), TrayBalloon::none);  // start
    EXPECT_EQ(tray_balloon_due(balloons, false, 60'999), TrayBalloon::none);
    EXPECT_EQ(tray_balloon_due(balloons, false, 61'000), TrayBalloon::receiver_lost);
    EXPECT_EQ(tray_balloon_due(balloons, false, 200'000), TrayBalloon::none);  // told once
    // Back within ten minutes of the last balloon: told when the ten minutes are over.
    EXPECT_EQ(tray_balloon_due(balloons, true, 300'000), TrayBalloon::none);
    EXPECT_EQ(tray_balloon_due(balloons, true, 660'999), TrayBalloon::none);
    EXPECT_EQ(tray_balloon_due(balloons, true, 661'000), TrayBalloon::receiver_back);
    EXPECT_EQ(tray_balloon_due(balloons, true, 2'000'000), TrayBalloon::none);
    // A drop shorter than a minute tells nothing; a long one is told a minute in.
    EXPECT_EQ(tray_balloon_due(balloons, false, 2'000'000), TrayBalloon::none);
    EXPECT_EQ(tray_balloon_due(balloons, true, 2'050'000), TrayBalloon::none);
    EXPECT_EQ(tray_balloon_due(balloons, false, 2'100'000), TrayBalloon::none);
    EXPECT_EQ(tray_balloon_due(balloons, false, 2'160'000), TrayBalloon::receiver_lost);
    // Lost, back and lost again inside ten minutes: the loss still stands, nothing to tell.
    EXPECT_EQ(tray_balloon_due(balloons, true, 2'200'000), TrayBalloon::none);
    EXPECT_EQ(tray_balloon_due(balloons, false, 2'300'000), TrayBalloon::none);
    EXPECT_EQ(tray_balloon_due(balloons, false, 2'900'000), TrayBalloon::none);
    EXPECT_EQ(cp1251("Связь с приемником восстановлена"),
              tray_balloon_text(TrayBalloon::receiver_back));
}

}  // namespace
