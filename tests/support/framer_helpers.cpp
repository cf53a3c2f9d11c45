#include "support/framer_helpers.h"

#include <span>

std::vector<std::string> framer_lines(Framer& framer, std::string_view bytes, bool binary) {
    std::vector<std::string> lines;
    FormattedLine line;
    std::span<const char> rest(bytes.data(), bytes.size());
    while (!rest.empty()) {
        rest = rest.subspan(framer_scan(framer, rest, binary, line));
        if (line.length != 0) {
            lines.emplace_back(line.view());
        }
    }
    return lines;
}

std::vector<std::string> framer_lines_in_pieces(std::string_view bytes, bool binary,
                                                const std::vector<size_t>& sizes) {
    Framer framer;
    std::vector<std::string> lines;
    for (size_t size : sizes) {
        size_t take = size < bytes.size() ? size : bytes.size();
        for (auto& line : framer_lines(framer, bytes.substr(0, take), binary)) {
            lines.push_back(line);
        }
        bytes.remove_prefix(take);
    }
    for (auto& line : framer_lines(framer, bytes, binary)) {
        lines.push_back(line);
    }
    return lines;
}

const std::vector<ReceiverMessage>& real_capture() {
    static const std::vector<ReceiverMessage> messages =
        stream_parse_avr_text(stream_real_capture());
    return messages;
}

std::string binary_stream(const std::vector<ReceiverMessage>& messages, uint64_t start,
                          uint64_t step, uint8_t signal) {
    std::string stream;
    std::array<uint8_t, kMaxWireFrame> frame;
    for (size_t i = 0; i < messages.size(); ++i) {
        size_t length = stream_binary_frame(messages[i], start + i * step, signal, frame);
        stream.append(reinterpret_cast<const char*>(frame.data()), length);
    }
    return stream;
}

std::string bytes_of(std::string_view hex) {
    std::string bytes;
    size_t i = 0;
    while (i < hex.size()) {
        if (hex[i] == ' ') {
            ++i;
            continue;
        }
        bytes += static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16));
        i += 2;
    }
    return bytes;
}
