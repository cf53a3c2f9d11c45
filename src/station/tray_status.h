// What the tray icon tells: its tip (the receiver link, the relay's clients, the consumer
// link while it is on, the push targets when there are any) and when a balloon is due
// (the receiver lost for a minute, and back again). Windows-1251, as every text.
#pragma once

#include <cstdint>
#include <span>

#include "net/link_table.h"

struct Station;

// The shell's tip holds 127 characters and the NUL; one byte is one character here.
constexpr int kTrayTipSize = 128;
// The receiver counts as lost once it has not been connected for this long.
constexpr int64_t kTrayLostAfterMs = 60'000;
// At most one balloon in this time, so a receiver that comes and goes is no nuisance.
constexpr int64_t kTrayBalloonGapMs = 600'000;

struct TrayFacts {
    int32_t source_state = LINK_IDLE;
    int relay_clients = 0;
    bool consumer_on = false;
    int32_t consumer_state = LINK_IDLE;
    int push_set = 0;  // push targets given, and those connected
    int push_connected = 0;
};

// The facts the tip tells, as they are now. UI thread.
TrayFacts station_tray_facts(const Station& station);
void tray_tip_text(const TrayFacts& facts, std::span<char, kTrayTipSize> tip);

enum class TrayBalloon { none, receiver_lost, receiver_back };

// What the balloons have told so far.
struct TrayBalloons {
    bool lost = false;  // the receiver has not been connected since lost_since_ms
    int64_t lost_since_ms = 0;
    bool told_lost = false;  // the last balloon said the receiver was lost
    bool shown = false;
    int64_t last_shown_ms = 0;
};

// Called with the receiver's state now and then (each timer tick): returns the balloon
// to show now, if any. A balloon held back by the gap is shown once the gap is over, if
// it is still true then, so the last balloon always told the truth at its time.
TrayBalloon tray_balloon_due(TrayBalloons& balloons, bool receiver_connected, int64_t now_ms);
// The balloon's text; "" for none.
const char* tray_balloon_text(TrayBalloon balloon);
