#include "support/base/cp1251.h"

std::string cp1251(std::string_view utf8) {
    std::string out;
    for (size_t i = 0; i < utf8.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(utf8[i]);
        if (c < 0x80) {
            out += static_cast<char>(c);
            continue;
        }
        if ((c & 0xE0) != 0xC0 || i + 1 >= utf8.size()) {
            out += '?';
            continue;
        }
        unsigned code = (c & 0x1Fu) << 6 | (static_cast<unsigned char>(utf8[++i]) & 0x3Fu);
        if (code >= 0x410 && code <= 0x44F) {
            out += static_cast<char>(0xC0 + (code - 0x410));
        } else if (code == 0x401) {
            out += static_cast<char>(0xA8);
        } else if (code == 0x451) {
            out += static_cast<char>(0xB8);
        } else {
            out += '?';
        }
    }
    return out;
}
