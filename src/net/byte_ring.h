// A fixed ring of bytes between one producer thread and one consumer thread, with the
// wake that tells the consumer there is something to take: the serial reader puts what
// the port gives, the UI thread takes it down the source's road.
//
// Positions only grow; the producer writes `written`, the consumer `taken`. One wake is
// in flight at a time, however fast the bytes come: the producer asks for one only when
// none is pending, and the consumer clears the flag before it takes.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <span>

// About 3.5 s of a Beast at 3,000,000 baud.
constexpr size_t kByteRingBytes = size_t{1} << 20;

struct ByteRing {
    std::array<char, kByteRingBytes> memory{};
    std::atomic<uint64_t> written{0};
    std::atomic<uint64_t> taken{0};
    // Bytes before this position are stale (their source has changed): never taken. The
    // producer moves it.
    std::atomic<uint64_t> stale_before{0};
    std::atomic<bool> wake_pending{false};
};

// Producer: puts as much of `bytes` as there is room for; returns how many.
inline size_t byte_ring_put(ByteRing& ring, std::span<const char> bytes) {
    uint64_t written = ring.written.load(std::memory_order_relaxed);
    uint64_t room = kByteRingBytes - (written - ring.taken.load(std::memory_order_acquire));
    size_t at = static_cast<size_t>(written % kByteRingBytes);
    size_t count = std::min({bytes.size(), static_cast<size_t>(room), kByteRingBytes - at});
    std::memcpy(ring.memory.data() + at, bytes.data(), count);
    ring.written.store(written + count, std::memory_order_release);
    return count;
}

// Producer: what it has put so far is stale.
inline void byte_ring_mark_stale(ByteRing& ring) {
    ring.stale_before.store(ring.written.load(std::memory_order_relaxed),
                            std::memory_order_release);
}

// Producer: whether to wake the consumer now (no wake pending); a wake that could not be
// delivered is given back with byte_ring_wake_lost.
inline bool byte_ring_wake_needed(ByteRing& ring) {
    return !ring.wake_pending.exchange(true);
}
inline void byte_ring_wake_lost(ByteRing& ring) {
    ring.wake_pending.store(false);
}

// Consumer: about to take; later bytes wake it again.
inline void byte_ring_woken(ByteRing& ring) {
    ring.wake_pending.store(false);
}

// Consumer: takes up to `out.size()` bytes; returns how many. Call until it returns 0.
inline size_t byte_ring_take(ByteRing& ring, std::span<char> out) {
    uint64_t taken = std::max(ring.taken.load(std::memory_order_relaxed),
                              ring.stale_before.load(std::memory_order_acquire));
    uint64_t available = ring.written.load(std::memory_order_acquire) - taken;
    size_t at = static_cast<size_t>(taken % kByteRingBytes);
    size_t count = std::min({out.size(), static_cast<size_t>(available), kByteRingBytes - at});
    std::memcpy(out.data(), ring.memory.data() + at, count);
    ring.taken.store(taken + count, std::memory_order_release);
    return count;
}

// Consumer: throws away what waits.
inline void byte_ring_discard(ByteRing& ring) {
    ring.taken.store(ring.written.load(std::memory_order_acquire), std::memory_order_release);
}

// Bytes that wait, as the consumer would see them.
inline uint64_t byte_ring_waiting(const ByteRing& ring) {
    return ring.written.load(std::memory_order_acquire) -
           ring.taken.load(std::memory_order_acquire);
}
