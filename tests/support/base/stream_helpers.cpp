#include "support/base/stream_helpers.h"

#include <array>

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
