#include "decode/clock_fit.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>

namespace {

constexpr double kNsPerS = 1e9;

// Which pairs of the span a fit keeps.
using Keep = std::array<bool, kClockWindowPairs>;

// Least squares of count against arrival time over the pairs that `keep` marks.
ClockFit fit_line(std::span<const ClockPair> pairs, const Keep& keep) {
    ClockFit fit;
    const ClockPair& origin = pairs[0];
    double sx = 0, sy = 0;
    int n = 0;
    double x_min = 0, x_max = 0;
    for (size_t i = 0; i < pairs.size(); ++i) {
        if (!keep[i])
            continue;
        const ClockPair& p = pairs[i];
        double x = static_cast<double>(p.arrival_ns - origin.arrival_ns) / kNsPerS;
        sx += x;
        sy += static_cast<double>(p.count - origin.count);
        x_min = n == 0 ? x : std::min(x_min, x);
        x_max = n == 0 ? x : std::max(x_max, x);
        ++n;
    }
    if (n < 3)
        return fit;
    double mx = sx / n, my = sy / n;
    double sxx = 0, sxy = 0;
    for (size_t i = 0; i < pairs.size(); ++i) {
        if (!keep[i])
            continue;
        const ClockPair& p = pairs[i];
        double dx = static_cast<double>(p.arrival_ns - origin.arrival_ns) / kNsPerS - mx;
        double dy = static_cast<double>(p.count - origin.count) - my;
        sxx += dx * dx;
        sxy += dx * dy;
    }
    if (sxx <= 0 || sxy <= 0)
        return fit;
    fit.hz = sxy / sxx;
    fit.intercept = my - fit.hz * mx;
    double ss = 0;
    for (size_t i = 0; i < pairs.size(); ++i) {
        if (!keep[i])
            continue;
        const ClockPair& p = pairs[i];
        double x = static_cast<double>(p.arrival_ns - origin.arrival_ns) / kNsPerS;
        double r = static_cast<double>(p.count - origin.count) - fit.intercept - fit.hz * x;
        ss += r * r;
    }
    fit.se_hz = std::sqrt(ss / (n - 2) / sxx);
    fit.spread_s = std::sqrt(ss / n) / fit.hz;
    fit.window_s = x_max - x_min;
    fit.used = n;
    fit.ok = true;
    return fit;
}

}  // namespace

// The line, then again without the pairs left far late by a delay that lasted a whole
// interval (a stalled network or computer), which would tilt it. Late is measured along
// the time axis: how long after the line's time for its count the pair arrived.
ClockFit clock_fit(std::span<const ClockPair> pairs) {
    pairs = pairs.first(std::min(pairs.size(), static_cast<size_t>(kClockWindowPairs)));
    if (pairs.empty())
        return ClockFit{};
    Keep keep;
    keep.fill(true);
    ClockFit fit = fit_line(pairs, keep);
    for (int round = 0; round < 2 && fit.ok; ++round) {
        const ClockPair& origin = pairs[0];
        std::array<double, kClockWindowPairs> late;
        std::array<double, kClockWindowPairs> sorted;
        int n = 0;
        for (size_t i = 0; i < pairs.size(); ++i) {
            const ClockPair& p = pairs[i];
            double x = static_cast<double>(p.arrival_ns - origin.arrival_ns) / kNsPerS;
            double y = static_cast<double>(p.count - origin.count);
            late[i] = x - (y - fit.intercept) / fit.hz;
            if (keep[i])
                sorted[static_cast<size_t>(n++)] = late[i];
        }
        // The median lateness and the median distance from it; a pair more than three
        // robust deviations late (never less than 50 us) is dropped.
        auto middle = sorted.begin() + n / 2;
        std::nth_element(sorted.begin(), middle, sorted.begin() + n);
        double median = *middle;
        for (int i = 0; i < n; ++i)
            sorted[static_cast<size_t>(i)] = std::fabs(sorted[static_cast<size_t>(i)] - median);
        std::nth_element(sorted.begin(), middle, sorted.begin() + n);
        double limit = median + 3 * std::max(1.4826 * *middle, 50e-6);
        bool dropped = false;
        for (size_t i = 0; i < pairs.size(); ++i) {
            bool stays = late[i] <= limit;
            dropped = dropped || (keep[i] && !stays);
            keep[i] = stays;
        }
        if (!dropped)
            break;
        ClockFit refit = fit_line(pairs, keep);
        if (!refit.ok)
            break;
        fit = refit;
    }
    return fit;
}
