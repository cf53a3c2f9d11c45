// Test helper: writes Russian expectations readably in UTF-8 and compares them with the
// program's Windows-1251 bytes.
#pragma once

#include <string>
#include <string_view>

// Converts UTF-8 text of ASCII and Russian letters (А-я, Ё, ё) to Windows-1251.
// Any other character becomes '?', which no expectation contains.
std::string cp1251(std::string_view utf8);
