#include "menu_marks.h"

#include <algorithm>

namespace {

// Menu texts and check marks are drawn in the menu text colour (black by default) on a
// light background; nothing else in an unselected item is that dark.
bool is_ink(uint32_t pixel) {
    int r = static_cast<int>((pixel >> 16) & 0xFF);
    int g = static_cast<int>((pixel >> 8) & 0xFF);
    int b = static_cast<int>(pixel & 0xFF);
    return std::max({r, g, b}) < 100;
}

struct Band {
    int top = 0;
    int bottom = 0;  // one past the last row
    int left_ink = 0;
};

bool row_has_ink(const Capture& c, int y) {
    for (int x = 0; x < c.width; ++x) {
        if (is_ink(c.at(x, y)))
            return true;
    }
    return false;
}

int leftmost_ink(const Capture& c, const Band& band) {
    int left = c.width;
    for (int y = band.top; y < band.bottom; ++y) {
        for (int x = 0; x < left; ++x) {
            if (is_ink(c.at(x, y))) {
                left = x;
                break;
            }
        }
    }
    return left;
}

// Runs of rows with ink, one per item: a gap of a row or two inside a line of text (the
// dot of a letter) does not split it, the blank rows between two items do.
std::vector<Band> ink_bands(const Capture& c) {
    constexpr int kJoinGap = 2;
    std::vector<Band> bands;
    int blank_run = 0;
    for (int y = 0; y < c.height; ++y) {
        if (!row_has_ink(c, y)) {
            ++blank_run;
            continue;
        }
        if (bands.empty() || blank_run > kJoinGap) {
            bands.push_back(Band{y, y + 1, 0});
        } else {
            bands.back().bottom = y + 1;
        }
        blank_run = 0;
    }
    for (Band& band : bands)
        band.left_ink = leftmost_ink(c, band);
    return bands;
}

int count_ink_left_of(const Capture& c, const Band& band, int limit_x) {
    int count = 0;
    for (int y = band.top; y < band.bottom; ++y) {
        for (int x = 0; x < limit_x && x < c.width; ++x)
            count += is_ink(c.at(x, y)) ? 1 : 0;
    }
    return count;
}

}  // namespace

MarkReading read_menu_marks(HWND popup, Capture& capture) {
    MarkReading reading;
    RECT area{};
    GetClientRect(popup, &area);
    MapWindowPoints(popup, nullptr, reinterpret_cast<POINT*>(&area), 2);
    if (!IsWindowVisible(popup) || !capture_screen(area, capture)) {
        reading.error = "the popup menu is not on screen";
        return reading;
    }
    std::vector<Band> bands = ink_bands(capture);
    if (bands.empty()) {
        reading.error = "no item text found in the popup menu";
        return reading;
    }
    // Every item's text starts at the same x; a mark lies in the gutter to its left. Most
    // items carry no mark, so the median of the rows' leftmost ink is where text starts.
    std::vector<int> lefts;
    for (const Band& band : bands)
        lefts.push_back(band.left_ink);
    std::sort(lefts.begin(), lefts.end());
    reading.text_x = lefts[lefts.size() / 2];
    constexpr int kGutterMargin = 3;  // letters' own left edges differ by a pixel or two
    constexpr int kMarkInk = 4;       // a check mark has more ink than a stray pixel
    for (const Band& band : bands) {
        int gutter_ink = count_ink_left_of(capture, band, reading.text_x - kGutterMargin);
        reading.marked.push_back(gutter_ink >= kMarkInk);
        reading.row_tops.push_back(band.top);
    }
    return reading;
}
