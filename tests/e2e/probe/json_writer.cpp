#include "json_writer.h"

#include <cstdio>

namespace {

void append_utf8(std::string& out, uint32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

void append_escaped(std::string& out, uint32_t code) {
    switch (code) {
        case '"':
            out += "\\\"";
            return;
        case '\\':
            out += "\\\\";
            return;
        default:
            break;
    }
    if (code < 0x20) {
        // Control characters (the display lines end in CR LF) stay visible as escapes.
        char escape[8];
        std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(code));
        out += escape;
        return;
    }
    append_utf8(out, code);
}

}  // namespace

std::string json_string(std::wstring_view text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t code = static_cast<uint16_t>(text[i]);
        bool high = code >= 0xD800 && code < 0xDC00;
        if (high && i + 1 < text.size()) {
            uint32_t low = static_cast<uint16_t>(text[i + 1]);
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
            ++i;
        }
        append_escaped(out, code);
    }
    return out + "\"";
}

std::string json_ascii(std::string_view text) {
    std::string out = "\"";
    for (char c : text)
        append_escaped(out, static_cast<unsigned char>(c));
    return out + "\"";
}

std::string json_bool(bool value) {
    return value ? "true" : "false";
}

std::string json_array(const std::vector<std::string>& items) {
    std::string out = "[";
    for (size_t i = 0; i < items.size(); ++i) {
        if (i != 0)
            out += ",";
        out += items[i];
    }
    return out + "]";
}

JsonObject& JsonObject::add(std::string_view key, const std::string& value) {
    if (!fields_.empty())
        fields_ += ",";
    fields_ += json_ascii(key);
    fields_ += ":";
    fields_ += value;
    return *this;
}

JsonObject& JsonObject::add(std::string_view key, int64_t value) {
    return add(key, std::to_string(value));
}

std::string JsonObject::str() const {
    return "{" + fields_ + "}";
}
