// Fuzz target for the serial source's speed hunt: any bytes, in any chunking, at any pace,
// automatic or at a fixed speed.
//
// The input's first byte picks the mode (bit 0) and an automatic or fixed speed (bit 1);
// its second the speed found last time (an index into the candidates, or none) or the
// fixed speed. The rest is records: a byte for the time since the last chunk (in 10 ms
// steps), a byte for the chunk's size, then the chunk. The records are played four times
// over, so that a locked speed can lose sync (which takes more bytes than one input holds).
// After every call the speed must be the fixed one or a candidate, `forward_from` inside
// the chunk and set only on acceptance, and each verdict must agree with the change of
// `locked` it reports.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "net/speed_hunt.h"

namespace {

void check_state(const SpeedHunt& hunt) {
    bool speed_ok = hunt.fixed_speed > 0
                        ? hunt.speed == hunt.fixed_speed && hunt.locked
                        : hunt.candidate >= 0 &&
                              hunt.candidate < static_cast<int>(kHuntSpeeds.size()) &&
                              hunt.speed == kHuntSpeeds[static_cast<size_t>(hunt.candidate)];
    if (!speed_ok || hunt.run < 0 || hunt.run > kHuntAcceptFrames ||
        (hunt.lost_sync && !hunt.locked))
        std::abort();
}

// What a verdict says about `locked`: it changes only with `accepted` (to true) and
// `try_speed` (to false, and only while hunting).
bool verdict_agrees(HuntVerdict verdict, bool was_locked, const SpeedHunt& hunt) {
    switch (verdict) {
        case HuntVerdict::keep:
            return hunt.locked == was_locked;
        case HuntVerdict::try_speed:
            return !hunt.locked && hunt.fixed_speed == 0 && hunt.run == 0;
        case HuntVerdict::accepted:
            return !was_locked && hunt.locked && hunt.fixed_speed == 0;
        case HuntVerdict::lost_sync:
            return was_locked && hunt.lost_sync && hunt.fixed_speed > 0;
        case HuntVerdict::sync_back:
            return was_locked && !hunt.lost_sync && hunt.fixed_speed > 0;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    bool binary = (data[0] & 1) != 0;
    int32_t fixed_speed = (data[0] & 2) != 0 ? 9600 * (1 + data[1]) : 0;
    int32_t first_speed = data[1] < kHuntSpeeds.size() ? kHuntSpeeds[data[1]] : 0;
    int64_t now_ms = 0;
    SpeedHunt hunt;
    speed_hunt_start(hunt, fixed_speed, first_speed, now_ms);
    check_state(hunt);
    for (int round = 0; round < 4; ++round) {
        std::span<const uint8_t> rest(data + 2, size - 2);
        while (rest.size() >= 2) {
            size_t chunk_size = std::min<size_t>(rest[1], rest.size() - 2);
            std::span<const char> chunk(reinterpret_cast<const char*>(rest.data() + 2), chunk_size);
            now_ms += rest[0] * 10;
            rest = rest.subspan(2 + chunk_size);

            bool was_locked = hunt.locked;
            HuntVerdict verdict = speed_hunt_tick(hunt, now_ms);
            check_state(hunt);
            if ((verdict != HuntVerdict::keep && verdict != HuntVerdict::try_speed) ||
                !verdict_agrees(verdict, was_locked, hunt))
                std::abort();

            was_locked = hunt.locked;
            size_t forward_from = chunk_size + 1;
            verdict = speed_hunt_feed(hunt, chunk, binary, now_ms, forward_from);
            check_state(hunt);
            // After try_speed the chunk is stale, whatever forward_from says.
            bool from_ok = forward_from <= chunk_size &&
                           (verdict == HuntVerdict::accepted
                                ? forward_from >= 1
                                : forward_from == 0 || verdict == HuntVerdict::try_speed);
            if (!from_ok || !verdict_agrees(verdict, was_locked, hunt))
                std::abort();
        }
    }
    return 0;
}
