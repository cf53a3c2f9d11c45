// Fuzz target for the consumer link's command reader: whatever a processing server sends,
// in any chunking (NULs, over-long lines, CR without LF included).
//
// The input's first byte seeds the cuts. The rest is fed once whole, once in random
// pieces and once byte by byte, each to a reader of its own; after every piece each
// reader's original-output flag must be what a plain model of the line rules gives for
// the bytes fed so far, and its line buffer must stay inside its bounds.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string_view>
#include <vector>

#include "net/consumer.h"

namespace {

// The flag after each prefix of `bytes`: lines end in LF, one CR before it is dropped, a
// line longer than the buffer is no command.
std::vector<bool> model_flags(std::string_view bytes) {
    std::vector<bool> flags{false};
    bool flag = false;
    size_t start = 0;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\n') {
            std::string_view line = bytes.substr(start, i - start);
            bool fits = line.size() <= kConsumerCommandSize;
            if (!line.empty() && line.back() == '\r')
                line.remove_suffix(1);
            if (fits && line == "#SET OUT DATE ORIGINAL")
                flag = true;
            if (fits && line == "#SET OUT DATE TEXT")
                flag = false;
            start = i + 1;
        }
        flags.push_back(flag);
    }
    return flags;
}

void feed(ConsumerLink& consumer, std::string_view bytes, uint32_t seed, size_t largest,
          const std::vector<bool>& expected) {
    consumer_reset(consumer);
    for (size_t at = 0; at < bytes.size();) {
        seed = seed * 1103515245u + 12345u;
        size_t piece = std::min(bytes.size() - at, 1 + (seed >> 8) % largest);
        consumer_take_commands(consumer, std::span(bytes.data() + at, piece));
        at += piece;
        if (consumer.original_output != expected[at] || consumer.command_length < 0 ||
            consumer.command_length > kConsumerCommandSize)
            std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static ConsumerLink consumer;  // large: made once
    if (size == 0)
        return 0;
    std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    std::vector<bool> expected = model_flags(bytes);
    feed(consumer, bytes, data[0], bytes.size() + 1, expected);
    feed(consumer, bytes, data[0], 80, expected);
    feed(consumer, bytes, data[0], 1, expected);
    return 0;
}
