#include "decode/framer.h"

#include <cstring>

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

// Total length of a binary frame of the given type character, or 0 for an unknown type.
int frame_length(uint8_t type) {
    switch (type) {
        case '1':
            return 11;
        case '2':
            return 16;
        case '3':
            return 23;
        default:
            return 0;
    }
}

void put_hex(char*& out, uint8_t byte) {
    *out++ = kHexDigits[byte >> 4];
    *out++ = kHexDigits[byte & 0x0F];
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
    return buffer[0] == '*' || buffer[0] == '@' ||
           (buffer[0] == 'M' && buffer[1] == 'S' && buffer[2] == 'G');
}

// A text line up to its first NUL, cut to what a formatted line can carry, then CR LF.
void format_text_line(const Framer& framer, FormattedLine& line) {
    const char* text = reinterpret_cast<const char*>(framer.buffer.data());
    size_t length = strnlen(text, kFormattedTextMax);
    std::memcpy(line.text.data(), text, length);
    finish_line(line.text.data() + length, line);
}

// The '@' line of a complete frame: timestamp (bytes 2-7) and message (bytes 9 on);
// the signal level in byte 8 is left out.
void format_frame(const Framer& framer, int frame_length, FormattedLine& line) {
    char* out = line.text.data();
    *out++ = '@';
    for (int i = 2; i < frame_length; ++i) {
        if (i != 8) {
            put_hex(out, framer.buffer[static_cast<size_t>(i)]);
        }
    }
    *out++ = ';';
    finish_line(out, line);
    line.signal = framer.buffer[8];
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
    if (previous == kFrameEscape) {
        if (byte == kFrameEscape) {
            // The second byte of a doubled 0x1A: the first was already stored as data.
            // Forget it, so that a third 0x1A starts a new pair instead of closing this one.
            framer.escape_memory = 0;
            return false;
        }
        if (frame_length(byte) != 0) {
            // A frame start abandons whatever was collected; the tail is not cleared.
            framer.buffer[0] = kFrameEscape;
            framer.buffer[1] = byte;
            framer.position = 2;
            if (framer.high_water < 2) {
                framer.high_water = 2;
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
    int length = frame_length(framer.buffer[1]);
    if (length == 0 || framer.position != length || framer.buffer[0] != kFrameEscape) {
        return false;
    }
    format_frame(framer, length, line);
    framer_clear(framer);
    return true;
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
    size_t taken = 0;
    while (taken < chunk.size()) {
        uint8_t byte = static_cast<uint8_t>(chunk[taken++]);
        bool complete = binary ? binary_byte(framer, byte, line) : text_byte(framer, byte, line);
        if (complete) {
            break;
        }
    }
    return taken;
}
