// The serial source's speed: found by listening, and watched while it is in use.
//
// A receiver on a serial port says nothing about its speed, and at a wrong speed its
// bytes arrive as garbage. The hunt tries each candidate speed in turn and accepts one
// once several valid frames come back to back (Beast frames in binary mode, "*" or "@"
// lines in text mode); garbage makes such a run practically impossible. Once a speed is
// in use, many bytes without a valid frame mean the stream no longer makes sense: an
// automatic speed is hunted again, a fixed one earns a hint on the status line.
//
// Pure: bytes and times go in, a verdict comes out; the caller sets the port's speed.
#pragma once

#include <array>
#include <cstdint>
#include <span>

// The order in which an automatic speed is tried: the Beast's default first, then its
// old firmware's and its DIP-switch speeds.
constexpr std::array<int32_t, 5> kHuntSpeeds = {3000000, 1000000, 921600, 230400, 115200};
// Frames back to back that make a speed acceptable.
constexpr int kHuntAcceptFrames = 5;
// How long a candidate speed is listened to before the next is tried.
constexpr int64_t kHuntDwellMs = 1000;
// Bytes without a valid frame that mean sync is lost; a busy stream has a frame in
// every 25 bytes or so.
constexpr int64_t kHuntLostSyncBytes = 4096;

enum class FrameScan : uint8_t { between, beast_type, beast_body, beast_escape, text_body };

// Where the frame check is inside a stream: resumable at any byte.
struct FrameCheck {
    FrameScan state = FrameScan::between;
    int length = 0;        // bytes (binary) or hexadecimal digits (text) of the frame so far
    int wanted = 0;        // a Beast frame's length after its type byte
    bool text_at = false;  // the text frame began with "@"
};

struct SpeedHunt {
    int32_t fixed_speed = 0;  // 0: automatic
    int candidate = 0;        // index into kHuntSpeeds while automatic
    int32_t speed = 0;        // the speed to set on the port
    bool locked = false;      // the speed is in use: bytes are forwarded
    int64_t since_ms = 0;     // when the current candidate was set
    int run = 0;              // valid frames back to back
    int64_t bytes_without_frame = 0;
    bool lost_sync = false;  // locked, and the stream no longer makes sense
    FrameCheck check;
    // Candidates the port's driver refused since the port was opened: passed over.
    std::array<bool, kHuntSpeeds.size()> refused{};
};

enum class HuntVerdict {
    keep,       // nothing changed
    try_speed,  // set hunt.speed on the port; its bytes so far are stale
    accepted,   // hunt.speed is in use from the returned offset on
    lost_sync,  // a fixed speed's stream lost sync: show the hint
    sync_back,  // ... and found it again: clear the hint
};

// Begins with `fixed_speed` (a positive number) or, for 0, the hunt, starting at
// `first_speed` when it is one of the candidates (the speed found last time).
void speed_hunt_start(SpeedHunt& hunt, int32_t fixed_speed, int32_t first_speed, int64_t now_ms);

// Feeds bytes read at hunt.speed. For `accepted`, `forward_from` is the offset in
// `bytes` where the stream to forward begins (just after the accepting frame); when
// locked, the whole chunk is forwarded unless the verdict is try_speed.
HuntVerdict speed_hunt_feed(SpeedHunt& hunt, std::span<const char> bytes, bool binary,
                            int64_t now_ms, size_t& forward_from);

// Time passes with or without bytes: moves an unsuccessful hunt to the next speed.
HuntVerdict speed_hunt_tick(SpeedHunt& hunt, int64_t now_ms);

// The port's driver refused hunt.speed: an automatic hunt moves on to the next candidate
// not refused yet (try_speed). `keep` when there is none left, or the speed is fixed.
HuntVerdict speed_hunt_refused(SpeedHunt& hunt, int64_t now_ms);
