// What the screen shows, read back as pixels: the only outside view of a menu's check
// marks, since another process's menus cannot be queried under Wine.
#pragma once

#include "frontends/win32/windows_api.h"

#include <cstdint>
#include <vector>

struct Capture {
    int width = 0;
    int height = 0;
    std::vector<uint32_t> pixels;  // 0x00RRGGBB, rows top to bottom

    uint32_t at(int x, int y) const {
        return pixels[static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)];
    }
};

// Copies a rectangle of the screen. False when the platform refuses.
bool capture_screen(const RECT& area, Capture& out);
// Writes a capture as a 24-bit BMP file, to look at when a reading goes wrong.
bool save_bmp(const Capture& capture, const wchar_t* path);
