#include "support/decode/framer_helpers.h"

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
