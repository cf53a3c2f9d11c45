#include "sim/receiver_stream.h"

#include <cstdio>
#include <fstream>
#include <sstream>

#include "base/text.h"

namespace {

char frame_type(int length) {
    switch (length) {
        case 2:
            return '1';
        case 7:
            return '2';
        default:
            return '3';
    }
}

size_t put_escaped(uint8_t byte, uint8_t* out) {
    out[0] = byte;
    if (byte != 0x1A) {
        return 1;
    }
    out[1] = byte;
    return 2;
}

}  // namespace

bool stream_parse_avr_line(std::string_view line, ReceiverMessage& message) {
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n' || line.back() == ' ')) {
        line.remove_suffix(1);
    }
    if (line.size() < 2 || line.back() != ';' || (line[0] != '*' && line[0] != '@')) {
        return false;
    }
    std::string_view hex = line.substr(1, line.size() - 2);
    if (line[0] == '@') {
        if (hex.size() < 12)
            return false;
        hex.remove_prefix(12);
    }
    int length = static_cast<int>(hex.size() / 2);
    if (hex.size() % 2 != 0 || (length != 2 && length != 7 && length != 14)) {
        return false;
    }
    for (int i = 0; i < length; ++i) {
        int high = text_hex_digit(hex[2 * i]);
        int low = text_hex_digit(hex[2 * i + 1]);
        if (high < 0 || low < 0)
            return false;
        message.bytes[static_cast<size_t>(i)] = static_cast<uint8_t>(high << 4 | low);
    }
    message.length = length;
    return true;
}

std::vector<ReceiverMessage> stream_parse_avr_text(std::string_view text) {
    std::vector<ReceiverMessage> messages;
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        ReceiverMessage message;
        if (stream_parse_avr_line(line, message)) {
            messages.push_back(message);
        }
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    }
    return messages;
}

std::vector<ReceiverMessage> stream_load_avr_file(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return {};
    std::ostringstream content;
    content << file.rdbuf();
    return stream_parse_avr_text(content.str());
}

size_t stream_binary_frame(const ReceiverMessage& message, uint64_t timestamp, uint8_t signal,
                           std::span<uint8_t, kMaxWireFrame> out) {
    uint8_t* p = out.data();
    *p++ = 0x1A;
    *p++ = static_cast<uint8_t>(frame_type(message.length));
    for (int shift = 40; shift >= 0; shift -= 8) {
        p += put_escaped(static_cast<uint8_t>(timestamp >> shift), p);
    }
    p += put_escaped(signal, p);
    for (int i = 0; i < message.length; ++i) {
        p += put_escaped(message.bytes[static_cast<size_t>(i)], p);
    }
    return static_cast<size_t>(p - out.data());
}

size_t stream_text_line(const ReceiverMessage& message, TextForm form, uint64_t timestamp,
                        std::string_view line_end, std::span<char, 64> out) {
    char* p = out.data();
    char* end = out.data() + out.size();
    *p++ = form == TextForm::star ? '*' : '@';
    if (form == TextForm::at) {
        p += std::snprintf(p, static_cast<size_t>(end - p), "%012llX",
                           static_cast<unsigned long long>(timestamp & kTimestampMask));
    }
    for (int i = 0; i < message.length; ++i) {
        p += std::snprintf(p, static_cast<size_t>(end - p), "%02X",
                           message.bytes[static_cast<size_t>(i)]);
    }
    *p++ = ';';
    for (char c : line_end) {
        *p++ = c;
    }
    return static_cast<size_t>(p - out.data());
}

std::string stream_expected_at_line(const ReceiverMessage& message, uint64_t timestamp) {
    std::array<char, 64> text;
    size_t length = stream_text_line(message, TextForm::at, timestamp, "\r\n", text);
    return std::string(text.data(), length);
}
