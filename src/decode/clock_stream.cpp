// The receiver-clock check's look at the stream itself: when bytes and lines come, which
// lines carry a timestamp, and whether the bytes look like Beast frames or text lines
// whatever the binary-mode setting says.
#include "decode/clock_check.h"

#include <algorithm>

#include "base/mode_s_format.h"

namespace {

// The stream's look counts only once this many starts were seen.
constexpr uint32_t kLookMinStarts = 20;
// What the bytes look like is read from the first bytes of each chunk only: a sample is
// enough to tell the formats apart, and the whole of a busy stream would cost as much as
// framing it.
constexpr size_t kSniffBytes = 256;
// Old counts fade past this many starts, so that a receiver switched to the other format
// is seen anew.
constexpr uint32_t kFadeStarts = 4096;

}  // namespace

void clock_check_bytes(ClockCheck& check, std::span<const char> chunk, bool binary,
                       int64_t now_ns) {
    if (chunk.empty())
        return;
    ClockStream& stream = check.stream;
    if (stream.first_bytes_ns < 0)
        stream.first_bytes_ns = now_ns;
    if (stream.first_unframed_ns < 0)
        stream.first_unframed_ns = now_ns;
    stream.last_bytes_ns = now_ns;
    stream.binary = binary;
    uint8_t prev = stream.sniff_prev;
    for (char c : chunk.first(std::min(chunk.size(), kSniffBytes))) {
        uint8_t b = static_cast<uint8_t>(c);
        FrameStart start = mode_s_frame_start(prev, b);
        stream.beast_starts += start == FrameStart::beast;
        stream.text_starts += start == FrameStart::text;
        prev = beast_escape_memory(prev, b);
    }
    // A sample that stopped short does not run on into the next chunk.
    stream.sniff_prev = chunk.size() <= kSniffBytes ? prev : 0;
    if (stream.beast_starts + stream.text_starts > kFadeStarts) {
        stream.beast_starts /= 2;
        stream.text_starts /= 2;
    }
}

void clock_check_line(ClockCheck& check, std::string_view line, int64_t now_ns) {
    ClockStream& stream = check.stream;
    ++stream.lines;
    stream.last_line_ns = now_ns;
    stream.first_unframed_ns = -1;
    if (line.size() < 1 + kAvrTimestampDigits || line[0] != '@')
        return;
    uint64_t timestamp = 0;
    for (size_t i = 1; i <= kAvrTimestampDigits; ++i) {
        uint8_t digit = kModeSHexValue[static_cast<uint8_t>(line[i])];
        if (digit == kModeSNotHex)
            return;
        timestamp = timestamp << 4 | digit;
    }
    clock_check_timestamp(check, timestamp, now_ns);
}

StreamLook clock_stream_look(const ClockStream& stream) {
    if (stream.beast_starts + stream.text_starts < kLookMinStarts)
        return StreamLook::unknown;
    return stream.beast_starts > stream.text_starts ? StreamLook::beast : StreamLook::text;
}
