// Windows-1251 to UTF-8, for terminals and logs: every text of the program is
// Windows-1251, while a Linux terminal speaks UTF-8.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

// Converts `text` to UTF-8 into `out`, NUL-terminated, never cutting a character in
// two; control characters (CR, LF, tabs) become nothing. Returns the bytes written.
size_t utf8_from_cp1251(std::string_view text, std::span<char> out);

// The number of characters (terminal columns for this text) in UTF-8 `text`.
size_t utf8_length(std::string_view text);
