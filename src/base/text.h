// Fixed-size texts: every host, name and status text lives in a 256-byte buffer, and
// every copy into one is cut to fit and NUL-terminated.
#pragma once

#include <array>
#include <cstdio>
#include <cstring>
#include <span>
#include <string_view>

constexpr int kTextSize = 256;  // 255 characters and the NUL
using Text256 = std::array<char, kTextSize>;

// Copies `source` into `target`, cut to what fits before the NUL.
inline void text_copy(std::span<char> target, std::string_view source) {
    if (target.empty())
        return;
    size_t length = source.size() < target.size() - 1 ? source.size() : target.size() - 1;
    std::memcpy(target.data(), source.data(), length);
    target[length] = '\0';
}

inline Text256 text256(std::string_view source) {
    Text256 text{};
    text_copy(text, source);
    return text;
}

// White space as the C library's number conversions skip it (isspace in the C locale).
inline bool text_is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The text without the blanks around it.
inline std::string_view text_trim(std::string_view text) {
    while (!text.empty() && text_is_blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && text_is_blank(text.back()))
        text.remove_suffix(1);
    return text;
}

// The value of a hexadecimal digit, either case, or -1 for any other character.
constexpr int text_hex_digit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The text held in a NUL-terminated buffer (the whole buffer if it has no NUL).
inline std::string_view text_view(std::span<const char> buffer) {
    return {buffer.data(), strnlen(buffer.data(), buffer.size())};
}

// snprintf into a fixed buffer: the result is cut to fit and always NUL-terminated.
template <typename... Args>
void text_format(std::span<char> target, const char* format, Args... args) {
    if (target.empty())
        return;
    if (std::snprintf(target.data(), target.size(), format, args...) < 0)
        target[0] = '\0';
}
