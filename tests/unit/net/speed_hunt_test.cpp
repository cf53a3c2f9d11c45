#include "net/speed_hunt.h"

#include <gtest/gtest.h>

#include <random>

#include "support/base/stream_helpers.h"

namespace {

std::string noise(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes)
        c = static_cast<char>(random());
    return bytes;
}

HuntVerdict feed(SpeedHunt& hunt, std::string_view bytes, bool binary, int64_t now_ms,
                 size_t& from) {
    return speed_hunt_feed(hunt, {bytes.data(), bytes.size()}, binary, now_ms, from);
}

TEST(SpeedHunt, AcceptsABeastOrTextStreamAtAFrameBoundaryButNeverNoise) {
    std::string beast = binary_stream(real_capture(), 0x1A1A1A1A1A, 0x1A);  // escapes galore
    // Starts mid-frame, as a port opened while the receiver talks does.
    std::string stream = beast.substr(5);
    SpeedHunt hunt;
    speed_hunt_start(hunt, 0, 0, 0);
    EXPECT_EQ(hunt.speed, 3000000);
    size_t from = 0;
    HuntVerdict verdict = HuntVerdict::keep;
    size_t at = 0;
    // A byte at a time: the check resumes anywhere.
    for (; at < stream.size() && verdict == HuntVerdict::keep; ++at)
        verdict = feed(hunt, std::string_view(stream).substr(at, 1), true, 10, from);
    EXPECT_EQ(verdict, HuntVerdict::accepted);
    EXPECT_TRUE(hunt.locked);
    EXPECT_EQ(from, 1u);
    EXPECT_EQ(stream[at], 0x1A);  // what is forwarded begins with a frame
    EXPECT_EQ(feed(hunt, std::string_view(stream).substr(at), true, 20, from), HuntVerdict::keep);

    SpeedHunt text;
    speed_hunt_start(text, 0, 0, 0);
    std::string lines =
        "8;\r\n*8d4840d6202cc371c32ce0576098;\r\n@0102030405065d4840d6202cc3;\n"
        "*7700;\r\n*8d4840d6202cc371c32ce0576098;\r\n*5d4840d6202cc3;\r\nX";
    EXPECT_EQ(feed(text, lines, false, 10, from), HuntVerdict::accepted);
    EXPECT_EQ(lines.substr(from), "\r\nX");

    SpeedHunt wrong;
    speed_hunt_start(wrong, 0, 0, 0);
    for (unsigned seed = 1; seed <= 20; ++seed) {
        EXPECT_EQ(feed(wrong, noise(65536, seed), true, 10, from), HuntVerdict::keep);
        EXPECT_EQ(feed(wrong, noise(65536, seed), false, 10, from), HuntVerdict::keep);
    }
    EXPECT_FALSE(wrong.locked);
}

TEST(SpeedHunt, TriesEachSpeedForASecondThenAgainAndStartsWhereItLastFoundOne) {
    SpeedHunt hunt;
    speed_hunt_start(hunt, 0, 921600, 1000);
    std::vector<int32_t> tried = {hunt.speed};
    int64_t now = 1000;
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(speed_hunt_tick(hunt, now + kHuntDwellMs - 1), HuntVerdict::keep);
        now += kHuntDwellMs;
        EXPECT_EQ(speed_hunt_tick(hunt, now), HuntVerdict::try_speed);
        tried.push_back(hunt.speed);
    }
    EXPECT_EQ(tried, (std::vector<int32_t>{921600, 230400, 115200, 3000000, 1000000, 921600}));
    // Frames back to back must all come at one speed: a run cut by a speed change
    // starts again.
    std::string beast = binary_stream(real_capture(), 1, 1);
    size_t from = 0;
    feed(hunt, beast.substr(0, 40), true, now, from);
    EXPECT_GT(hunt.run, 0);
    speed_hunt_tick(hunt, now + kHuntDwellMs);
    EXPECT_EQ(hunt.run, 0);
}

TEST(SpeedHunt, LostSyncHuntsAnAutomaticSpeedAgainAndHintsAtAFixedOne) {
    std::string beast = binary_stream(real_capture(), 1, 1);
    std::string garbage = noise(kHuntLostSyncBytes + 100, 7);
    size_t from = 0;

    SpeedHunt automatic;
    speed_hunt_start(automatic, 0, 1000000, 0);
    EXPECT_EQ(feed(automatic, beast, true, 1, from), HuntVerdict::accepted);
    // Text lines while binary mode is on are not frames either.
    EXPECT_EQ(feed(automatic, std::string(stream_real_capture()).substr(0, 3000), true, 2, from),
              HuntVerdict::keep);
    EXPECT_EQ(feed(automatic, garbage, true, 3, from), HuntVerdict::try_speed);
    EXPECT_FALSE(automatic.locked);
    EXPECT_EQ(automatic.speed, 3000000);

    SpeedHunt fixed;
    speed_hunt_start(fixed, 115200, 0, 0);
    EXPECT_TRUE(fixed.locked);
    EXPECT_EQ(fixed.speed, 115200);
    EXPECT_EQ(feed(fixed, beast, true, 1, from), HuntVerdict::keep);
    EXPECT_EQ(feed(fixed, garbage, true, 2, from), HuntVerdict::lost_sync);
    EXPECT_EQ(feed(fixed, garbage, true, 3, from), HuntVerdict::keep);  // said once
    EXPECT_EQ(feed(fixed, beast, true, 4, from), HuntVerdict::sync_back);
    EXPECT_EQ(speed_hunt_tick(fixed, 100000), HuntVerdict::keep);  // a fixed speed stays
}

}  // namespace
