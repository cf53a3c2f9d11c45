#include "decode/framer.h"

#include <gtest/gtest.h>

#include "support/decode/framer_helpers.h"

namespace {

constexpr bool kText = false;
constexpr bool kBinary = true;

std::vector<std::string> text_lines(std::string_view bytes) {
    Framer framer;
    return framer_lines(framer, bytes, kText);
}

std::vector<std::string> binary_lines(std::string_view bytes) {
    Framer framer;
    return framer_lines(framer, bytes, kBinary);
}

using Lines = std::vector<std::string>;

TEST(FramerText, LineEndedByCrLfGivesOneLineAndTheLfNothing) {
    EXPECT_EQ(text_lines("*8D4840D6202CC371C32CE0576098;\r\n"),
              Lines{"*8D4840D6202CC371C32CE0576098;\r\n"});
    EXPECT_EQ(text_lines("*AB;\n@00112233445566;\r*CD;\r\n"),
              (Lines{"*AB;\r\n", "@00112233445566;\r\n", "*CD;\r\n"}));
}

TEST(FramerText, FirstCharactersDecideWhatIsKept) {
    EXPECT_EQ(text_lines("MSG,3,1\n"), Lines{"MSG,3,1\r\n"});
    EXPECT_EQ(text_lines("MSG\n"), Lines{"MSG\r\n"});
    EXPECT_EQ(text_lines("@1\n"), Lines{"@1\r\n"});
    EXPECT_EQ(text_lines("*\n"), Lines{"*\r\n"});
    for (const char* dropped : {"#SET\n", " *AB;\n", "MSX,1\n", "MS\n", "M\n", "msg,1\n", "x\n"}) {
        EXPECT_EQ(text_lines(dropped), Lines{}) << dropped;
    }
}

TEST(FramerText, NulInsideALineCutsItThere) {
    using namespace std::string_literals;
    EXPECT_EQ(text_lines("*AB\0CD;\n"s), Lines{"*AB\r\n"});
    EXPECT_EQ(text_lines("\0*AB;\n"s), Lines{});
}

TEST(FramerText, RunOf1023BytesWithoutTerminatorIsDropped) {
    std::string run(1023, '*');
    EXPECT_EQ(text_lines(run), Lines{});
    // The 1024th byte is the first of a new line.
    EXPECT_EQ(text_lines(run + "*Z;\n"), Lines{"*Z;\r\n"});
    EXPECT_EQ(text_lines(run + "\n"), Lines{});
    Framer framer;
    framer_lines(framer, run, kText);
    EXPECT_EQ(framer.position, 0);
}

TEST(FramerText, LongLineIsCutTo125CharactersAndStillEndsInCrLf) {
    std::string longest = "*" + std::string(1021, 'A');  // 1022 characters: the longest kept
    Lines lines = text_lines(longest + "\r\n");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], longest.substr(0, 125) + "\r\n");
    EXPECT_EQ(lines[0].size(), 127u);
    EXPECT_EQ(text_lines("*" + std::string(124, 'B') + "\n")[0].size(), 127u);
}

TEST(FramerBinary, TypeTwoFrameBecomesAnAtLineWithoutTheSignalLevel) {
    std::string frame = bytes_of("1A 32 01 02 03 04 05 06 80 5D 48 40 D6 20 2C C3");
    EXPECT_EQ(binary_lines(frame), Lines{"@0102030405065D4840D6202CC3;\r\n"});
}

TEST(FramerBinary, EachFrameTypeGivesItsUppercaseDigits) {
    Lines lines = binary_lines(
        bytes_of("1A 31 AA BB CC DD EE FF 01 ab cd") +
        bytes_of("1A 33 00 00 00 00 00 01 FF 8d 48 40 d6 20 2c c3 71 c3 2c e0 57 60 98"));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "@AABBCCDDEEFFABCD;\r\n");
    EXPECT_EQ(lines[1], "@0000000000018D4840D6202CC371C32CE0576098;\r\n");
    EXPECT_EQ(lines[0].size() - 4, 16u);
    EXPECT_EQ(lines[1].size() - 4, 40u);
}

TEST(FramerBinary, DoubledEscapeBytesAreOneDataByteEach) {
    // A timestamp byte 0x1A sent doubled.
    EXPECT_EQ(binary_lines(bytes_of("1A 32 01 1A 1A 03 04 05 06 80 5D 48 40 D6 20 2C C3")),
              Lines{"@011A030405065D4840D6202CC3;\r\n"});
    // Two data bytes 0x1A in a row are four bytes on the wire.
    EXPECT_EQ(binary_lines(bytes_of("1A 32 01 1A 1A 1A 1A 04 05 06 80 5D 48 40 D6 20 2C C3")),
              Lines{"@011A1A0405065D4840D6202CC3;\r\n"});
    // The signal level may be 0x1A too; it still does not show.
    EXPECT_EQ(binary_lines(bytes_of("1A 31 01 02 03 04 05 06 1A 1A 07 08")),
              Lines{"@0102030405060708;\r\n"});
}

TEST(FramerBinary, UnknownTypeIsCollectedAsDataUntilTheNextFrameStart) {
    std::string frame = bytes_of("1A 32 01 02 03 04 05 06 80 5D 48 40 D6 20 2C C3");
    std::string junk = bytes_of("1A 34 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10 11 12 13");
    EXPECT_EQ(binary_lines(junk + frame), Lines{"@0102030405065D4840D6202CC3;\r\n"});
    EXPECT_EQ(binary_lines("garbage before any frame" + frame),
              Lines{"@0102030405065D4840D6202CC3;\r\n"});
}

TEST(FramerBinary, OverlongRunStopsAtTheLastCellThenTheNextFrameDecodes) {
    Framer framer;
    std::string run(5000, '\x55');
    run[4999] = '\x77';
    EXPECT_EQ(framer_lines(framer, run, kBinary), Lines{});
    EXPECT_EQ(framer.position, 1023);
    EXPECT_EQ(framer.buffer[1023], 0x77);
    EXPECT_EQ(framer.buffer[1022], 0x55);
    std::string frame = bytes_of("1A 31 01 02 03 04 05 06 80 AB CD");
    EXPECT_EQ(framer_lines(framer, frame, kBinary), Lines{"@010203040506ABCD;\r\n"});
    // A completed frame leaves the whole buffer clear.
    for (uint8_t cell : framer.buffer) {
        ASSERT_EQ(cell, 0);
    }
}

TEST(FramerBinary, FrameOneByteShortIsCompletedByTheNextEscapeByte) {
    std::string short_frame = bytes_of("1A 32 01 02 03 04 05 06 80 5D 48 40 D6 20 2C");
    std::string frame = bytes_of("1A 32 0A 0B 0C 0D 0E 0F 80 11 22 33 44 55 66 77");
    EXPECT_EQ(binary_lines(short_frame + frame),
              (Lines{"@0102030405065D4840D6202C1A;\r\n", "@0A0B0C0D0E0F11223344556677;\r\n"}));
    // Two bytes short: abandoned without output.
    EXPECT_EQ(binary_lines(short_frame.substr(0, 14) + frame),
              Lines{"@0A0B0C0D0E0F11223344556677;\r\n"});
}

TEST(FramerModes, SwitchingBetweenChunksContinuesFromTheStoredPosition) {
    Framer framer;
    EXPECT_EQ(framer_lines(framer, "*ABC", kText), Lines{});
    EXPECT_EQ(framer_lines(framer, "DEF", kBinary), Lines{});
    EXPECT_EQ(framer.position, 7);
    EXPECT_EQ(framer_lines(framer, "\n", kText), Lines{"*ABCDEF\r\n"});
}

TEST(FramerModes, EscapeMemoryIsKeptAcrossChunksAndClears) {
    Framer framer;
    // A 0x1A at the end of a binary chunk is remembered even through a clear.
    framer_lines(framer, bytes_of("1A"), kBinary);
    framer_clear(framer);
    EXPECT_EQ(framer_lines(framer, bytes_of("31 01 02 03 04 05 06 80 AB CD"), kBinary),
              Lines{"@010203040506ABCD;\r\n"});
}

// Whatever the chunking, the framer gives the same lines: every single split point, and
// byte by byte, for text and binary streams built from real traffic.
class FramerSplit : public testing::TestWithParam<bool> {};

std::string split_stream(bool binary) {
    std::vector<ReceiverMessage> messages(real_capture().begin(), real_capture().begin() + 60);
    if (binary) {
        // Timestamps with 0x1A bytes in them, besides the real message that holds one.
        return binary_stream(messages, 0x1A1A00001A00ull, 0x1A0001ull);
    }
    std::string text;
    for (size_t i = 0; i < messages.size(); ++i) {
        std::array<char, 64> line;
        const char* end = i % 3 == 0 ? "\r\n" : (i % 3 == 1 ? "\n" : "\r");
        TextForm form = i % 2 == 0 ? TextForm::star : TextForm::at;
        text.append(line.data(), stream_text_line(messages[i], form, i * 977, end, line));
        if (i % 7 == 0)
            text += "# comment line\n";
    }
    return text;
}

TEST_P(FramerSplit, EverySplitPointGivesTheSameLines) {
    bool binary = GetParam();
    std::string stream = split_stream(binary);
    Lines whole = framer_lines_in_pieces(stream, binary, {});
    ASSERT_EQ(whole.size(), 60u);
    for (size_t cut = 1; cut < stream.size(); ++cut) {
        ASSERT_EQ(framer_lines_in_pieces(stream, binary, {cut}), whole) << "split at " << cut;
    }
    std::vector<size_t> single_bytes(stream.size(), 1);
    EXPECT_EQ(framer_lines_in_pieces(stream, binary, single_bytes), whole);
    EXPECT_EQ(framer_lines_in_pieces(stream, binary, {7, 13, 1, 64, 2, 3, 500}), whole);
}

INSTANTIATE_TEST_SUITE_P(TextAndBinary, FramerSplit, testing::Values(kText, kBinary),
                         [](const testing::TestParamInfo<bool>& p) {
                             return p.param ? "Binary" : "Text";
                         });

TEST(FramerRealCapture, EveryMessageComesOutInBothForms) {
    const auto& messages = real_capture();
    ASSERT_EQ(messages.size(), 217u);

    Lines text = text_lines(stream_real_capture());
    ASSERT_EQ(text.size(), 217u);
    EXPECT_EQ(text[0], "*8f4d2023587f345e35837e2218b2;\r\n");

    Lines binary = binary_lines(binary_stream(messages, 1000, 12000));
    ASSERT_EQ(binary.size(), 217u);
    for (size_t i = 0; i < messages.size(); ++i) {
        ASSERT_EQ(binary[i], stream_expected_at_line(messages[i], 1000 + i * 12000)) << i;
    }
}

}  // namespace
