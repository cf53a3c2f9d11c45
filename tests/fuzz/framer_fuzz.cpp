// Fuzz target for the stream framer: any receiver bytes, in any chunking, with the mode
// switched between chunks.
//
// The input's first byte picks the starting mode and its second seeds the cuts. The rest
// is split into mode runs, each fed once whole to one framer and in small random pieces
// to another: both must give the same lines. Every line must be a well-formed formatted
// line, and the framer's position must stay inside its buffer.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "decode/framer.h"

namespace {

struct Cuts {
    uint32_t state;
    size_t next(size_t limit) {
        state = state * 1103515245u + 12345u;
        return 1 + (state >> 8) % limit;
    }
};

bool is_upper_hex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

void check_line(const FormattedLine& line, bool binary) {
    std::string_view text = line.view();
    if (line.length > 127 || text.size() < 3 || text.substr(text.size() - 2) != "\r\n" ||
        line.text[static_cast<size_t>(line.length)] != '\0') {
        std::abort();
    }
    if (!binary) {
        if (text[0] != '*' && text[0] != '@' && text.substr(0, 3) != "MSG")
            std::abort();
        return;
    }
    size_t digits = text.size() - 4;  // '@', ';' and CR LF
    if (text[0] != '@' || text[text.size() - 3] != ';' ||
        (digits != 16 && digits != 26 && digits != 40)) {
        std::abort();
    }
    for (size_t i = 1; i <= digits; ++i) {
        if (!is_upper_hex(text[i]))
            std::abort();
    }
}

void check_state(const Framer& framer) {
    if (framer.position < 0 || framer.position > 1023 || framer.high_water < 0 ||
        framer.high_water > kFramerBufferSize) {
        std::abort();
    }
}

void feed(Framer& framer, std::span<const char> bytes, bool binary,
          std::vector<std::string>& lines) {
    FormattedLine line;
    while (!bytes.empty()) {
        bytes = bytes.subspan(framer_scan(framer, bytes, binary, line));
        check_state(framer);
        if (line.length != 0) {
            check_line(line, binary);
            lines.emplace_back(line.view());
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    bool binary = (data[0] & 1) != 0;
    Cuts cuts{data[1] * 2654435761u};
    std::span<const char> rest(reinterpret_cast<const char*>(data + 2), size - 2);

    Framer whole;
    Framer pieces;
    std::vector<std::string> whole_lines;
    std::vector<std::string> piece_lines;
    while (!rest.empty()) {
        size_t run_size = std::min(rest.size(), cuts.next(600));
        std::span<const char> run = rest.first(run_size);
        feed(whole, run, binary, whole_lines);
        while (!run.empty()) {
            size_t piece = std::min(run.size(), cuts.next(40));
            feed(pieces, run.first(piece), binary, piece_lines);
            run = run.subspan(piece);
        }
        if (whole_lines != piece_lines || whole.position != pieces.position ||
            whole.escape_memory != pieces.escape_memory ||
            std::memcmp(whole.buffer.data(), pieces.buffer.data(), whole.buffer.size()) != 0) {
            std::abort();
        }
        rest = rest.subspan(run_size);
        if (data[0] & 2)
            binary = !binary;
    }
    return 0;
}
