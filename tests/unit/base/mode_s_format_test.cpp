// The receiver format header against the receiver simulator, which writes the same
// frames and lines on its own.
#include "base/mode_s_format.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

#include "support/base/stream_helpers.h"

namespace {

ReceiverMessage message_of_length(int length) {
    ReceiverMessage message;
    for (int i = 0; i < length; ++i)
        message.bytes[static_cast<size_t>(i)] = static_cast<uint8_t>(0x5D + 7 * i);
    message.length = length;
    return message;
}

// Every message length the receiver sends: the frame type's lengths and the line's digit
// counts are what the simulator writes, and the hexadecimal tables read back each byte.
TEST(ModeSFormat, LengthsAndDigitsAreThoseOfTheReceiversFramesAndLines) {
    for (int length : {2, 7, 14}) {
        SCOPED_TRACE(length);
        ReceiverMessage message = message_of_length(length);
        std::array<uint8_t, kMaxWireFrame> frame;
        size_t wire = stream_binary_frame(message, 0x010203040506, 0x80, frame);
        EXPECT_EQ(frame[0], kBeastEscape);
        EXPECT_TRUE(beast_frame_type(frame[1]));
        EXPECT_EQ(beast_message_bytes(frame[1]), length);
        EXPECT_EQ(static_cast<size_t>(beast_frame_bytes(frame[1])), wire);  // no 0x1A in it
        EXPECT_EQ(beast_body_bytes(frame[1]), beast_frame_bytes(frame[1]) - 2);

        std::array<char, 64> line;
        size_t size = stream_text_line(message, TextForm::at, 0x010203040506, "\r\n", line);
        int digits = static_cast<int>(size) - 4;  // '@', ';', CR and LF
        EXPECT_LE(digits, kAvrMostDigits);
        EXPECT_TRUE(avr_message_digits(digits - kAvrTimestampDigits));
        EXPECT_FALSE(avr_message_digits(digits - kAvrTimestampDigits + 2));
    }
    EXPECT_FALSE(beast_frame_type('4'));
    EXPECT_FALSE(beast_frame_type(kBeastEscape));
    for (int byte = 0; byte < 256; ++byte) {
        const std::array<char, 2>& pair = kModeSHexPairs[static_cast<size_t>(byte)];
        EXPECT_EQ(kModeSHexValue[static_cast<uint8_t>(pair[0])] * 16 +
                      kModeSHexValue[static_cast<uint8_t>(pair[1])],
                  byte);
    }
    EXPECT_EQ(kModeSHexValue['f'], 15);
    EXPECT_FALSE(mode_s_is_hex('g'));
}

// Read byte by byte with the escape memory, a Beast stream shows a frame start for each
// of its frames and nothing else, though its timestamps hold 0x1A before type bytes.
TEST(ModeSFormat, FrameStartsOfABeastStreamAreItsFramesAlone) {
    std::vector<ReceiverMessage> messages = real_capture();
    for (int length : {2, 7, 14})
        messages.push_back(message_of_length(length));
    // Doubled escapes before '1', '2' and '3' in every timestamp.
    std::string stream = binary_stream(messages, 0x1A311A321A33, 0x1000000, 0x1A);
    uint8_t previous = 0;
    size_t beast = 0, text = 0;
    for (char c : stream) {
        uint8_t byte = static_cast<uint8_t>(c);
        FrameStart start = mode_s_frame_start(previous, byte);
        beast += start == FrameStart::beast;
        text += start == FrameStart::text;
        previous = beast_escape_memory(previous, byte);
    }
    EXPECT_EQ(beast, messages.size());
    EXPECT_EQ(text, 0u);

    std::string lines = "\r\n*5D4840D6202CC3;\r\n@0102030405065D4840D6202CC3;\nMSG,3\r\n*7700;";
    previous = 0;
    text = 0;
    for (char c : lines) {
        text += mode_s_frame_start(previous, static_cast<uint8_t>(c)) == FrameStart::text;
        previous = beast_escape_memory(previous, static_cast<uint8_t>(c));
    }
    EXPECT_EQ(text, 4u);
}

}  // namespace
