// Test helpers for receiver streams: the real capture, Beast frames of chosen messages,
// and bytes written as hex. They use the simulator's stream library and no layer above
// base.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "sim/receiver_stream.h"

// The messages of the real capture shipped with the simulator.
const std::vector<ReceiverMessage>& real_capture();

// A binary stream of the given messages, with timestamps start + i * step.
std::string binary_stream(const std::vector<ReceiverMessage>& messages, uint64_t start,
                          uint64_t step, uint8_t signal = 0x80);

// Bytes written as hex pairs ("1A 32 01"), for readable stream literals.
std::string bytes_of(std::string_view hex);
