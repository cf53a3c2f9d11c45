#include "net/backoff.h"

#include <algorithm>

void backoff_connected(Backoff& backoff, int64_t now_ms) {
    backoff.connected_at_ms = now_ms;
}

int64_t backoff_next_wait_ms(Backoff& backoff, int64_t now_ms, double chance) {
    if (backoff.connected_at_ms >= 0 && now_ms - backoff.connected_at_ms >= kBackoffSettledMs)
        backoff.step_ms = kBackoffFirstMs;
    backoff.connected_at_ms = -1;
    int64_t step = backoff.step_ms;
    backoff.step_ms = std::min(step * 2, kBackoffLimitMs);
    double spread = (2.0 * std::clamp(chance, 0.0, 1.0) - 1.0) * kBackoffJitterPercent / 100.0;
    return static_cast<int64_t>(static_cast<double>(step) * (1.0 + spread));
}

void backoff_reset(Backoff& backoff) {
    backoff = Backoff{};
}
