// The receiver's formats, as every part that reads the stream knows them: Mode-S Beast
// binary frames and AVR text lines.
//
// A Beast frame is the escape byte 0x1A, a type byte, 6 timestamp bytes, 1 signal byte
// and the message; a 0x1A among the bytes after the type is sent doubled. An AVR line is
// '*' and the message's hexadecimal digits, or '@' and 12 timestamp digits before them,
// then ';'. The framer, the speed hunt and the clock check's look at the stream all read
// these facts from here, so that they cannot disagree about what a frame is.
//
// Everything is constexpr and inline: the framer asks for a frame's length at every
// escape, and that must stay as cheap as a switch written in place.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "base/text.h"

constexpr uint8_t kBeastEscape = 0x1A;

// The message bytes of each Beast frame type; AVR lines carry the same messages.
constexpr int kModeACBytes = 2;      // type '1': Mode A/C
constexpr int kModeSShortBytes = 7;  // type '2': Mode S short
constexpr int kModeSLongBytes = 14;  // type '3': Mode S long

// Where the parts of an unescaped Beast frame stand, counted from its escape byte: the
// escape and the type, then the timestamp, the signal level and the message.
constexpr int kBeastTimestampBytes = 6;
constexpr int kBeastSignalBytes = 1;
constexpr int kBeastTimestampAt = 2;
constexpr int kBeastSignalAt = kBeastTimestampAt + kBeastTimestampBytes;
constexpr int kBeastMessageAt = kBeastSignalAt + kBeastSignalBytes;

// The whole unescaped frame of the given type byte, escape and type included, or 0 for a
// byte that is no type. This is the one table of the frame types, and the rest is read
// from it: the framer asks it at every escape, and a switch that returns constants costs
// no more there than the one it had written in place.
constexpr int beast_frame_bytes(uint8_t type) {
    switch (type) {
        case '1':
            return kBeastMessageAt + kModeACBytes;
        case '2':
            return kBeastMessageAt + kModeSShortBytes;
        case '3':
            return kBeastMessageAt + kModeSLongBytes;
        default:
            return 0;
    }
}

// Whether a byte after a lone escape starts a frame.
constexpr bool beast_frame_type(uint8_t type) {
    return beast_frame_bytes(type) != 0;
}

// The message bytes of a frame of the given type; 0 for no type.
constexpr int beast_message_bytes(uint8_t type) {
    int frame = beast_frame_bytes(type);
    return frame == 0 ? 0 : frame - kBeastMessageAt;
}

// The unescaped bytes after the type byte: timestamp, signal and message; 0 for no type.
constexpr int beast_body_bytes(uint8_t type) {
    int frame = beast_frame_bytes(type);
    return frame == 0 ? 0 : frame - kBeastTimestampAt;
}

// The byte to remember as the one before the next: after a doubled escape nothing, since
// the pair is one data byte and the byte after it starts nothing.
constexpr uint8_t beast_escape_memory(uint8_t previous, uint8_t byte) {
    return previous == kBeastEscape && byte == kBeastEscape ? 0 : byte;
}

// AVR text: every byte is two hexadecimal digits.
constexpr int kAvrTimestampDigits = 2 * kBeastTimestampBytes;
constexpr int kAvrModeACDigits = 2 * kModeACBytes;
constexpr int kAvrModeSShortDigits = 2 * kModeSShortBytes;
constexpr int kAvrModeSLongDigits = 2 * kModeSLongBytes;
// The most digits a line holds: an '@' line with a long message.
constexpr int kAvrMostDigits = kAvrTimestampDigits + kAvrModeSLongDigits;

// Whether this many digits after a line's timestamp make a message.
constexpr bool avr_message_digits(int digits) {
    return digits == kAvrModeACDigits || digits == kAvrModeSShortDigits ||
           digits == kAvrModeSLongDigits;
}

// The first character of an AVR line: '*' a message, '@' a timestamp and a message.
constexpr bool avr_line_start(uint8_t c) {
    return c == '*' || c == '@';
}

// BaseStation lines begin with these letters; with AVR lines they are the text lines a
// receiver sends.
constexpr char kBaseStationStart[] = "MSG";

// Whether a text line beginning with `first` is one of the receiver's.
constexpr bool text_line_start(uint8_t first) {
    return avr_line_start(first) || first == static_cast<uint8_t>(kBaseStationStart[0]);
}

// What a byte starts, given the byte before it (after beast_escape_memory): a Beast frame
// when a lone escape came before a type byte, a text line when a line end came before the
// first character of one.
enum class FrameStart : uint8_t { none, beast, text };

constexpr FrameStart mode_s_frame_start(uint8_t previous, uint8_t byte) {
    if (previous == kBeastEscape && beast_frame_type(byte))
        return FrameStart::beast;
    if ((previous == '\r' || previous == '\n') && text_line_start(byte))
        return FrameStart::text;
    return FrameStart::none;
}

// Hexadecimal digits by table, both ways. The clock check reads the timestamp of every
// '@' line and the framer writes every frame's bytes as digits, so each takes one look-up
// a digit, or a pair of digits a byte, rather than a comparison or two a character.
constexpr uint8_t kModeSNotHex = 0xFF;

// A character's value as a digit (either case), or kModeSNotHex.
constexpr std::array<uint8_t, 256> mode_s_hex_values() {
    std::array<uint8_t, 256> values{};
    for (int c = 0; c < 256; ++c) {
        int digit = text_hex_digit(static_cast<char>(c));
        values[static_cast<size_t>(c)] = digit < 0 ? kModeSNotHex : static_cast<uint8_t>(digit);
    }
    return values;
}

// A byte's two digits, upper case as the receiver's own text lines have them.
constexpr std::array<std::array<char, 2>, 256> mode_s_hex_pairs() {
    constexpr char digits[] = "0123456789ABCDEF";
    std::array<std::array<char, 2>, 256> pairs{};
    for (size_t byte = 0; byte < pairs.size(); ++byte)
        pairs[byte] = {digits[byte >> 4], digits[byte & 0x0F]};
    return pairs;
}

inline constexpr std::array<uint8_t, 256> kModeSHexValue = mode_s_hex_values();
inline constexpr std::array<std::array<char, 2>, 256> kModeSHexPairs = mode_s_hex_pairs();

constexpr bool mode_s_is_hex(uint8_t c) {
    return kModeSHexValue[c] != kModeSNotHex;
}
