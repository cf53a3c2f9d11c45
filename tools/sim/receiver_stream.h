// Builds the byte streams a Mode S receiver sends: AVR text lines ("*...;", "@...;")
// and Mode-S Beast binary frames with 0x1A doubling. Shared by the receiver simulator,
// the tests and the benchmarks, so that they all speak the same stream.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// One Mode S message: 2 (Mode A/C), 7 (short) or 14 (long) bytes.
struct ReceiverMessage {
    std::array<uint8_t, 14> bytes{};
    int length = 0;
};

constexpr uint64_t kReceiverClockHz = 12000000;  // the Beast's 12 MHz timestamp clock
constexpr uint64_t kTimestampMask = 0xFFFFFFFFFFFFull;
// The longest frame on the wire: 23 bytes with every byte after the escape doubled.
constexpr size_t kMaxWireFrame = 2 + 21 * 2;

// Reads the hex message of an AVR line ("*8d4840d6...;", or "@" with a 12-digit
// timestamp before the message). Returns false for anything that is not such a line.
bool stream_parse_avr_line(std::string_view line, ReceiverMessage& message);

// Reads every AVR line of a text; lines that do not parse are skipped.
std::vector<ReceiverMessage> stream_parse_avr_text(std::string_view text);

// The real capture shipped with the simulator (data/real-capture.avr), compiled in.
std::string_view stream_real_capture();

// Reads a message file; an empty result when it cannot be read.
std::vector<ReceiverMessage> stream_load_avr_file(const std::string& path);

// Writes one binary frame (type '1', '2' or '3' by the message length) with every 0x1A
// after the escape byte doubled. Returns the bytes written into `out`, which must hold
// kMaxWireFrame.
size_t stream_binary_frame(const ReceiverMessage& message, uint64_t timestamp, uint8_t signal,
                           std::span<uint8_t, kMaxWireFrame> out);

enum class TextForm { star, at };

// Writes one AVR text line with the given line end: "*<hex>;" or "@<timestamp><hex>;".
// Hex digits are upper case. Returns the bytes written; `out` must hold 64.
size_t stream_text_line(const ReceiverMessage& message, TextForm form, uint64_t timestamp,
                        std::string_view line_end, std::span<char, 64> out);

// The line the program's framer makes of a binary frame: '@', 12 timestamp digits, the
// message digits, ';' and CR LF, all in upper case.
std::string stream_expected_at_line(const ReceiverMessage& message, uint64_t timestamp);
