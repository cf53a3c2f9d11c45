#include "decode/framer.h"

#include <algorithm>
#include <cstring>

#include "base/mode_s_format.h"

namespace {

// Bytes `first` to `end` - 1 of the buffer as hexadecimal digits.
void put_hex(char*& out, const Framer& framer, int first, int end) {
    for (int i = first; i < end; ++i) {
        std::memcpy(out, kModeSHexPairs[framer.buffer[static_cast<size_t>(i)]].data(), 2);
        out += 2;
    }
}

void finish_line(char* out, FormattedLine& line) {
    *out++ = '\r';
    *out++ = '\n';
    *out = '\0';
    line.length = static_cast<int>(out - line.text.data());
}

void store_byte(Framer& framer, uint8_t byte) {
    framer.buffer[static_cast<size_t>(framer.position)] = byte;
    if (framer.position >= framer.high_water) {
        framer.high_water = framer.position + 1;
    }
}

bool text_line_is_accepted(const uint8_t* buffer) {
    return avr_line_start(buffer[0]) ||
           std::memcmp(buffer, kBaseStationStart, sizeof kBaseStationStart - 1) == 0;
}

// A text line up to its first NUL, cut to what a formatted line can carry, then CR LF.
void format_text_line(const Framer& framer, FormattedLine& line) {
    const char* text = reinterpret_cast<const char*>(framer.buffer.data());
    size_t length = strnlen(text, kFormattedTextMax);
    std::memcpy(line.text.data(), text, length);
    finish_line(line.text.data() + length, line);
}

// The '@' line of a complete frame: timestamp and message; the signal level between
// them is left out.
void format_frame(const Framer& framer, int frame_length, FormattedLine& line) {
    char* out = line.text.data();
    *out++ = '@';
    put_hex(out, framer, kBeastTimestampAt, kBeastSignalAt);
    put_hex(out, framer, kBeastMessageAt, frame_length);
    *out++ = ';';
    finish_line(out, line);
    line.signal = framer.buffer[kBeastSignalAt];
}

// Text mode: returns true when `byte` completed an accepted line.
bool text_byte(Framer& framer, uint8_t byte, FormattedLine& line) {
    store_byte(framer, byte);
    if (byte != '\r' && byte != '\n') {
        if (++framer.position >= kFramerTextLimit) {
            framer_clear(framer);
        }
        return false;
    }
    // The terminator becomes the NUL that ends the line; an earlier NUL cuts it there.
    framer.buffer[static_cast<size_t>(framer.position)] = 0;
    bool accepted = text_line_is_accepted(framer.buffer.data());
    if (accepted) {
        format_text_line(framer, line);
    }
    framer_clear(framer);
    return accepted;
}

// Binary mode: returns true when `byte` completed a frame.
bool binary_byte(Framer& framer, uint8_t byte, FormattedLine& line) {
    uint8_t previous = framer.escape_memory;
    framer.escape_memory = byte;
    if (previous == kBeastEscape) {
        if (byte == kBeastEscape) {
            // The second byte of a doubled 0x1A: the first was already stored as data.
            // Forget it, so that a third 0x1A starts a new pair instead of closing this one
            // (beast_escape_memory's rule, written out here: the byte path is hot, and the
            // store of 0 in this branch alone is the cheaper form).
            framer.escape_memory = 0;
            return false;
        }
        if (beast_frame_type(byte)) {
            // A frame start abandons whatever was collected; the tail is not cleared. The
            // escape and the type fill the cells before the timestamp.
            framer.buffer[0] = kBeastEscape;
            framer.buffer[1] = byte;
            framer.position = kBeastTimestampAt;
            if (framer.high_water < kBeastTimestampAt) {
                framer.high_water = kBeastTimestampAt;
            }
            return false;
        }
    }
    store_byte(framer, byte);
    if (framer.position < kFramerBinaryLimit) {
        ++framer.position;
    }
    // Frames are completed by count alone, so the 0x1A of a following frame start can be
    // the last byte of a frame that came one byte short.
    int length = beast_frame_bytes(framer.buffer[1]);
    if (length == 0 || framer.position != length || framer.buffer[0] != kBeastEscape) {
        return false;
    }
    format_frame(framer, length, line);
    framer_clear(framer);
    return true;
}

// Text mode: stores the run of bytes before the next CR or LF as `text_byte` would one
// by one, dropping the collection each time it reaches the limit. Returns the bytes taken.
size_t text_run(Framer& framer, std::span<const char> chunk) {
    size_t end = 0;
    while (end < chunk.size() && chunk[end] != '\r' && chunk[end] != '\n')
        ++end;
    size_t taken = 0;
    while (taken < end) {
        size_t room = static_cast<size_t>(kFramerTextLimit - framer.position);
        size_t count = std::min(end - taken, room);
        std::memcpy(framer.buffer.data() + framer.position, chunk.data() + taken, count);
        framer.position += static_cast<int32_t>(count);
        framer.high_water = std::max(framer.high_water, framer.position);
        taken += count;
        if (framer.position >= kFramerTextLimit)
            framer_clear(framer);
    }
    return taken;
}

// Binary mode, outside an escape and past a frame's type byte: stores the run of bytes
// before the next 0x1A as `binary_byte` would one by one, stopping at the byte that
// completes a frame. Returns the bytes taken; `line` is filled when a frame completed.
size_t binary_run(Framer& framer, std::span<const char> chunk, FormattedLine& line) {
    const void* escape = std::memchr(chunk.data(), kBeastEscape, chunk.size());
    size_t end = escape ? static_cast<size_t>(static_cast<const char*>(escape) - chunk.data())
                        : chunk.size();
    // Cells 0 and 1 are not written by a run, so the frame being collected stays the same.
    int length = framer.buffer[0] == kBeastEscape ? beast_frame_bytes(framer.buffer[1]) : 0;
    bool completes = length != 0 && framer.position < length &&
                     end >= static_cast<size_t>(length - framer.position);
    if (completes)
        end = static_cast<size_t>(length - framer.position);
    if (end == 0)
        return 0;
    // Cells up to the last one take a byte each; the bytes beyond overwrite the last cell.
    size_t count = std::min(end, static_cast<size_t>(kFramerBinaryLimit - framer.position));
    std::memcpy(framer.buffer.data() + framer.position, chunk.data(), count);
    framer.position += static_cast<int32_t>(count);
    if (count < end)
        framer.buffer[kFramerBinaryLimit] = static_cast<uint8_t>(chunk[end - 1]);
    int32_t last_cell = count < end ? kFramerBinaryLimit : framer.position - 1;
    framer.high_water = std::max(framer.high_water, last_cell + 1);
    framer.escape_memory = static_cast<uint8_t>(chunk[end - 1]);
    if (completes) {
        format_frame(framer, length, line);
        framer_clear(framer);
    }
    return end;
}

}  // namespace

void framer_clear(Framer& framer) {
    std::memset(framer.buffer.data(), 0, static_cast<size_t>(framer.high_water));
    framer.position = 0;
    framer.high_water = 0;
}

size_t framer_scan(Framer& framer, std::span<const char> chunk, bool binary, FormattedLine& line) {
    line.length = 0;
    line.text[0] = '\0';
    // Runs of ordinary bytes are stored in bulk; line ends, escape bytes and the bytes
    // that follow them go through the byte-at-a-time state machine.
    size_t taken = 0;
    while (taken < chunk.size()) {
        std::span<const char> rest = chunk.subspan(taken);
        if (!binary) {
            taken += text_run(framer, rest);
            if (taken == chunk.size())
                break;
        } else if (framer.escape_memory != kBeastEscape && framer.position >= kBeastTimestampAt) {
            taken += binary_run(framer, rest, line);
            if (line.length != 0 || taken == chunk.size())
                break;
        }
        uint8_t byte = static_cast<uint8_t>(chunk[taken++]);
        bool complete = binary ? binary_byte(framer, byte, line) : text_byte(framer, byte, line);
        if (complete) {
            break;
        }
    }
    return taken;
}
