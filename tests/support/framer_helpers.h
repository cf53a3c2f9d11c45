// Test helpers around the framer: feed bytes in chosen pieces and collect the lines.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "decode/framer.h"
#include "sim/receiver_stream.h"

// Feeds `bytes` to `framer` in one piece and returns every formatted line, in order.
std::vector<std::string> framer_lines(Framer& framer, std::string_view bytes, bool binary);

// The same bytes fed to a fresh framer in pieces of the given sizes (the last piece takes
// whatever is left).
std::vector<std::string> framer_lines_in_pieces(std::string_view bytes, bool binary,
                                                const std::vector<size_t>& sizes);

// The messages of the real capture shipped with the simulator.
const std::vector<ReceiverMessage>& real_capture();

// A binary stream of the given messages, with timestamps start + i * step.
std::string binary_stream(const std::vector<ReceiverMessage>& messages, uint64_t start,
                          uint64_t step, uint8_t signal = 0x80);

// Bytes written as hex pairs ("1A 32 01"), for readable stream literals.
std::string bytes_of(std::string_view hex);
