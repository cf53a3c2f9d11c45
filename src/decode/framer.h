// Stream framer: cuts the receiver's byte stream into formatted lines.
//
// The receiver speaks text lines (those beginning with '*', '@' or "MSG" are kept) or,
// in binary mode, 0x1A-escaped frames of types '1', '2' and '3' that are rewritten as
// '@' lines of hexadecimal digits. Chunks may be cut anywhere: the framer keeps the
// line or frame it is collecting, and the escape byte it saw last, from one chunk to
// the next, and never resets them for a new connection or a change of mode.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

constexpr int kFramerBufferSize = 1024;
// A text run this long without CR or LF is dropped and collection starts afresh.
constexpr int kFramerTextLimit = 1023;
// Binary bytes beyond this position overwrite the last cell until the next frame start.
constexpr int kFramerBinaryLimit = 1023;

// A formatted line: text, CR LF, NUL. Text lines longer than this are cut to fit.
constexpr int kFormattedLineSize = 128;
constexpr int kFormattedTextMax = kFormattedLineSize - 3;

struct FormattedLine {
    std::array<char, kFormattedLineSize> text{};  // NUL-terminated, ends in CR LF
    int length = 0;                               // characters before the NUL
    uint8_t signal = 0;  // binary frames: the signal level the receiver gave the frame
    std::string_view view() const { return {text.data(), static_cast<size_t>(length)}; }
};

struct Framer {
    std::array<uint8_t, kFramerBufferSize> buffer{};
    int32_t position = 0;
    uint8_t escape_memory = 0;  // binary mode: the byte examined last, 0 after a doubled 0x1A
    int32_t high_water = 0;     // cells [0, high_water) may be non-zero; clearing zeroes only those
};

// Feeds bytes from the front of `chunk` until one formatted line is complete or the
// chunk is used up. Returns how many bytes were taken; `line.length` is non-zero when a
// line was completed by the last byte taken. `binary` is the mode for these bytes.
size_t framer_scan(Framer& framer, std::span<const char> chunk, bool binary, FormattedLine& line);

// Zeroes the framing buffer and sets the position to 0; the escape memory stays.
void framer_clear(Framer& framer);
