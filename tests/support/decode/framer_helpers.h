// Test helpers around the framer: feed bytes in chosen pieces and collect the lines. The
// stream helpers of the level below come with them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "decode/framer.h"
#include "support/base/stream_helpers.h"

// Feeds `bytes` to `framer` in one piece and returns every formatted line, in order.
std::vector<std::string> framer_lines(Framer& framer, std::string_view bytes, bool binary);

// The same bytes fed to a fresh framer in pieces of the given sizes (the last piece takes
// whatever is left).
std::vector<std::string> framer_lines_in_pieces(std::string_view bytes, bool binary,
                                                const std::vector<size_t>& sizes);
