#include "net/speed_hunt.h"

#include "base/mode_s_format.h"

namespace {

// A text frame's digits: "*" and a Mode A/C, short or long message, or "@" and a
// timestamp before one.
bool text_length_valid(const FrameCheck& check) {
    return avr_message_digits(check.length - (check.text_at ? kAvrTimestampDigits : 0));
}

enum class ByteResult { nothing, frame, broken };

// One byte of the frame check. `broken` means bytes that cannot belong to a valid
// stream: garbage between frames, or a frame cut short.
ByteResult check_binary(FrameCheck& check, uint8_t c) {
    switch (check.state) {
        case FrameScan::between:
            if (c != kBeastEscape)
                return ByteResult::broken;
            check.state = FrameScan::beast_type;
            return ByteResult::nothing;
        case FrameScan::beast_type:
            check.wanted = beast_body_bytes(c);
            check.length = 0;
            check.state = check.wanted > 0 ? FrameScan::beast_body : FrameScan::between;
            return check.wanted > 0 ? ByteResult::nothing : ByteResult::broken;
        case FrameScan::beast_body:
            if (c == kBeastEscape) {
                check.state = FrameScan::beast_escape;
                return ByteResult::nothing;
            }
            break;
        case FrameScan::beast_escape:
            if (c != kBeastEscape) {
                // A lone escape inside a frame starts the next frame: this one is cut.
                check.state = FrameScan::beast_type;
                check_binary(check, c);
                return ByteResult::broken;
            }
            check.state = FrameScan::beast_body;
            break;
        case FrameScan::text_body:
            check.state = FrameScan::between;
            return ByteResult::broken;
    }
    if (++check.length < check.wanted)
        return ByteResult::nothing;
    check.state = FrameScan::between;
    return ByteResult::frame;
}

ByteResult check_text(FrameCheck& check, uint8_t c) {
    if (check.state != FrameScan::text_body) {
        check.state = FrameScan::between;
        if (avr_line_start(c)) {
            check.state = FrameScan::text_body;
            check.text_at = c == '@';
            check.length = 0;
            return ByteResult::nothing;
        }
        return c == '\r' || c == '\n' ? ByteResult::nothing : ByteResult::broken;
    }
    if (mode_s_is_hex(c) && check.length < kAvrMostDigits) {
        ++check.length;
        return ByteResult::nothing;
    }
    check.state = FrameScan::between;
    return c == ';' && text_length_valid(check) ? ByteResult::frame : ByteResult::broken;
}

// Sets the first candidate from `candidate` on, round the list, that the driver has not
// refused; false when it refused them all.
bool set_candidate(SpeedHunt& hunt, int candidate, int64_t now_ms) {
    int count = static_cast<int>(kHuntSpeeds.size());
    for (int tried = 0; tried < count; ++tried) {
        int index = (candidate + tried) % count;
        if (hunt.refused[static_cast<size_t>(index)])
            continue;
        hunt.candidate = index;
        hunt.speed = kHuntSpeeds[static_cast<size_t>(index)];
        hunt.locked = false;
        hunt.since_ms = now_ms;
        hunt.run = 0;
        hunt.bytes_without_frame = 0;
        hunt.lost_sync = false;
        hunt.check = FrameCheck{};
        return true;
    }
    return false;
}

}  // namespace

void speed_hunt_start(SpeedHunt& hunt, int32_t fixed_speed, int32_t first_speed, int64_t now_ms) {
    hunt = SpeedHunt{};
    hunt.fixed_speed = fixed_speed > 0 ? fixed_speed : 0;
    if (hunt.fixed_speed > 0) {
        hunt.speed = hunt.fixed_speed;
        hunt.locked = true;
        hunt.since_ms = now_ms;
        return;
    }
    int first = 0;
    for (size_t i = 0; i < kHuntSpeeds.size(); ++i) {
        if (kHuntSpeeds[i] == first_speed)
            first = static_cast<int>(i);
    }
    set_candidate(hunt, first, now_ms);
}

HuntVerdict speed_hunt_feed(SpeedHunt& hunt, std::span<const char> bytes, bool binary,
                            int64_t now_ms, size_t& forward_from) {
    forward_from = 0;
    HuntVerdict verdict = HuntVerdict::keep;
    for (size_t i = 0; i < bytes.size(); ++i) {
        uint8_t byte = static_cast<uint8_t>(bytes[i]);
        ByteResult result = binary ? check_binary(hunt.check, byte) : check_text(hunt.check, byte);
        if (result == ByteResult::frame) {
            hunt.bytes_without_frame = 0;
            if (hunt.lost_sync) {
                hunt.lost_sync = false;
                verdict = HuntVerdict::sync_back;
            }
            if (!hunt.locked && ++hunt.run >= kHuntAcceptFrames) {
                hunt.locked = true;
                forward_from = i + 1;
                verdict = HuntVerdict::accepted;
            }
            continue;
        }
        if (result == ByteResult::broken)
            hunt.run = 0;
        if (!hunt.locked || ++hunt.bytes_without_frame <= kHuntLostSyncBytes || hunt.lost_sync)
            continue;
        if (hunt.fixed_speed == 0) {
            set_candidate(hunt, 0, now_ms);  // a fresh hunt, from the top
            return HuntVerdict::try_speed;
        }
        hunt.lost_sync = true;
        verdict = HuntVerdict::lost_sync;
    }
    return verdict;
}

HuntVerdict speed_hunt_tick(SpeedHunt& hunt, int64_t now_ms) {
    if (hunt.locked || now_ms - hunt.since_ms < kHuntDwellMs)
        return HuntVerdict::keep;
    set_candidate(hunt, hunt.candidate + 1, now_ms);
    return HuntVerdict::try_speed;
}

HuntVerdict speed_hunt_refused(SpeedHunt& hunt, int64_t now_ms) {
    if (hunt.fixed_speed > 0)
        return HuntVerdict::keep;
    hunt.refused[static_cast<size_t>(hunt.candidate)] = true;
    return set_candidate(hunt, hunt.candidate + 1, now_ms) ? HuntVerdict::try_speed
                                                           : HuntVerdict::keep;
}
