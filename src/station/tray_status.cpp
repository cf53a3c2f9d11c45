#include "station/tray_status.h"

#include "base/text.h"
#include "station/consumer_feed.h"
#include "station/push_feed.h"
#include "station/station.h"

namespace {

// "Приемник: %s\nКлиентов: %d из %d%s%s"
constexpr char kTipFormat[] =
    "QALMOR link\n\xCF\xF0\xE8\xE5\xEC\xED\xE8\xEA: %s\n"
    "\xCA\xEB\xE8\xE5\xED\xF2\xEE\xE2: %d \xE8\xE7 %d%s%s";
// "\nПотребитель: %s"
constexpr char kConsumerFormat[] = "\n\xCF\xEE\xF2\xF0\xE5\xE1\xE8\xF2\xE5\xEB\xFC: %s";
// "\nПередача: %d из %d"
constexpr char kPushFormat[] = "\n\xCF\xE5\xF0\xE5\xE4\xE0\xF7\xE0: %d \xE8\xE7 %d";
constexpr char kConnected[] = "\xE5\xF1\xF2\xFC \xF1\xE2\xFF\xE7\xFC";  // "есть связь"
constexpr char kNotConnected[] = "\xED\xE5\xF2 \xF1\xE2\xFF\xE7\xE8";   // "нет связи"
constexpr char kFailed[] = "\xEE\xF8\xE8\xE1\xEA\xE0";                  // "ошибка"
// "Нет связи с приемником больше минуты"
constexpr char kLostText[] =
    "\xCD\xE5\xF2 \xF1\xE2\xFF\xE7\xE8 \xF1 \xEF\xF0\xE8\xE5\xEC\xED"
    "\xE8\xEA\xEE\xEC \xE1\xEE\xEB\xFC\xF8\xE5 \xEC\xE8\xED\xF3\xF2\xFB";
// "Связь с приемником восстановлена"
constexpr char kBackText[] =
    "\xD1\xE2\xFF\xE7\xFC \xF1 \xEF\xF0\xE8\xE5\xEC\xED\xE8\xEA\xEE"
    "\xEC \xE2\xEE\xF1\xF1\xF2\xE0\xED\xEE\xE2\xEB\xE5\xED\xE0";

// A link's state in a word or two: the status line beside it says more.
const char* state_word(int32_t state) {
    switch (state) {
        case LINK_CONNECTED:
            return kConnected;
        case LINK_FAILED:
            return kFailed;
        default:
            return kNotConnected;
    }
}

}  // namespace

TrayFacts station_tray_facts(const Station& station) {
    TrayFacts facts;
    facts.source_state = link_state(station.links, LINK_SOURCE);
    facts.relay_clients = relay_live_clients(station.relay);
    facts.consumer_on = feed_enabled(station);
    facts.consumer_state = link_state(station.links, LINK_CONSUMER);
    push_counts(station, facts.push_set, facts.push_connected);
    return facts;
}

void tray_tip_text(const TrayFacts& facts, std::span<char, kTrayTipSize> tip) {
    char consumer[48] = "";
    if (facts.consumer_on)
        text_format(consumer, kConsumerFormat, state_word(facts.consumer_state));
    char push[48] = "";
    if (facts.push_set > 0)
        text_format(push, kPushFormat, facts.push_connected, facts.push_set);
    text_format(tip, kTipFormat, state_word(facts.source_state), facts.relay_clients, kRelaySlots,
                consumer, push);
}

TrayBalloon tray_balloon_due(TrayBalloons& balloons, bool receiver_connected, int64_t now_ms) {
    if (receiver_connected) {
        balloons.lost = false;
    } else if (!balloons.lost) {
        balloons.lost = true;
        balloons.lost_since_ms = now_ms;
    }
    bool lost_long = balloons.lost && now_ms - balloons.lost_since_ms >= kTrayLostAfterMs;
    TrayBalloon due = TrayBalloon::none;
    if (!balloons.told_lost && lost_long)
        due = TrayBalloon::receiver_lost;
    else if (balloons.told_lost && receiver_connected)
        due = TrayBalloon::receiver_back;
    if (due == TrayBalloon::none ||
        (balloons.shown && now_ms - balloons.last_shown_ms < kTrayBalloonGapMs))
        return TrayBalloon::none;
    balloons.shown = true;
    balloons.last_shown_ms = now_ms;
    balloons.told_lost = due == TrayBalloon::receiver_lost;
    return due;
}

const char* tray_balloon_text(TrayBalloon balloon) {
    switch (balloon) {
        case TrayBalloon::receiver_lost:
            return kLostText;
        case TrayBalloon::receiver_back:
            return kBackText;
        case TrayBalloon::none:
            break;
    }
    return "";
}
