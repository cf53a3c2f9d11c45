#include "bench/bench_clients.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "sim/receiver_sim.h"
#include "support/base/net_helpers.h"

namespace {

constexpr size_t kReadSize = 65536;
constexpr int kWaitMs = 20;
constexpr uint8_t kEscape = 0x1A;
constexpr size_t kStampBytes = 6;

void note_fault(BenchClient& client, const char* what) {
    client.faulty.store(true);
    std::snprintf(client.fault.data(), client.fault.size(), "%s at frame %llu", what,
                  static_cast<unsigned long long>(client.frames));
}

enum class FrameRead { complete, partial, wrong };

// Reads the frame at the start of `bytes` and compares it with the one the simulator
// wrote as frame `index`: the capture's message due and its signal level, stamped with
// the timestamp read from the frame (six bytes after the escape and the type, each 0x1A
// doubled). On `complete`, `ticks` and `length` hold the stamp and the frame's length.
FrameRead read_frame(std::span<const char> bytes, const FrameCheck& check, uint64_t index,
                     uint64_t& ticks, size_t& length) {
    size_t at = 2;
    ticks = 0;
    for (size_t i = 0; i < kStampBytes; ++i) {
        if (at >= bytes.size())
            return FrameRead::partial;
        auto byte = static_cast<uint8_t>(bytes[at++]);
        if (byte == kEscape) {
            if (at >= bytes.size())
                return FrameRead::partial;
            if (static_cast<uint8_t>(bytes[at++]) != kEscape)
                return FrameRead::wrong;
        }
        ticks = ticks << 8 | byte;
    }
    std::array<uint8_t, kMaxWireFrame> frame;
    length = stream_binary_frame(check.messages[index % check.messages.size()], ticks,
                                 sim_signal_level(index), frame);
    size_t compared = std::min(length, bytes.size());
    if (std::memcmp(bytes.data(), frame.data(), compared) != 0)
        return FrameRead::wrong;
    return compared == length ? FrameRead::complete : FrameRead::partial;
}

// How long ago, at `now_ns` of the steady clock, a frame stamped `ticks` was sent. The
// 48-bit difference is read as signed: a frame stamped a tick or two ahead of the clock
// (the simulator keeps stamps apart) counts as just sent.
int64_t age_ns(uint64_t ticks, int64_t now_ns) {
    uint64_t now_ticks = sim_receiver_ticks(std::chrono::nanoseconds(now_ns));
    auto age_ticks = static_cast<int64_t>(((now_ticks - ticks) & kTimestampMask) << 16) >> 16;
    return age_ticks * 1000 / static_cast<int64_t>(kReceiverClockHz / 1000000);
}

// Counts and times a frame received whole and exact; its stamp must be later than the
// one before.
void take_frame(BenchClient& client, const FrameCheck& check, uint64_t ticks, int64_t read_ns,
                LatencyHistogram* latencies) {
    uint64_t step = (ticks - client.last_ticks) & kTimestampMask;
    if (client.frames != 0 && (step == 0 || step > kTimestampMask / 2)) {
        note_fault(client, "timestamp not rising");
        return;
    }
    int64_t age = age_ns(ticks, read_ns);
    if (client.frames == 0) {
        client.first_ticks = ticks;
        client.first_sent_ns = read_ns - age;
    }
    ++client.frames;
    client.last_ticks = ticks;
    client.last_read_ns = read_ns;
    if (latencies != nullptr && read_ns - age >= client.first_sent_ns + check.lead_in_ns)
        latency_add(*latencies, age);
}

// Completes the frame the last read cut off with the first bytes of this one. Returns
// the bytes of `bytes` it used.
size_t take_carried(BenchClient& client, std::span<const char> bytes, const FrameCheck& check,
                    int64_t read_ns, LatencyHistogram* latencies) {
    size_t used = std::min(bytes.size(), client.carry.size() - client.carry_length);
    std::copy_n(bytes.begin(), used, client.carry.begin() + client.carry_length);
    std::span<const char> joined(client.carry.data(), client.carry_length + used);
    uint64_t ticks;
    size_t length;
    switch (read_frame(joined, check, client.frames, ticks, length)) {
        case FrameRead::partial:
            client.carry_length += used;
            return used;
        case FrameRead::wrong:
            note_fault(client, "wrong bytes");
            return used;
        case FrameRead::complete:
            break;
    }
    used = length - client.carry_length;
    client.carry_length = 0;
    take_frame(client, check, ticks, read_ns, latencies);
    return used;
}

// Takes bytes received: checks each frame and times it into `latencies` when given.
void client_take(BenchClient& client, std::span<const char> bytes, const FrameCheck& check,
                 LatencyHistogram* latencies) {
    int64_t read_ns = bench_now_ns();
    client.bytes.fetch_add(bytes.size(), std::memory_order_relaxed);
    if (client.carry_length != 0 && !client.faulty.load())
        bytes = bytes.subspan(take_carried(client, bytes, check, read_ns, latencies));
    while (!bytes.empty() && !client.faulty.load()) {
        uint64_t ticks;
        size_t length;
        FrameRead read = read_frame(bytes, check, client.frames, ticks, length);
        if (read == FrameRead::partial) {
            std::copy(bytes.begin(), bytes.end(), client.carry.begin());
            client.carry_length = bytes.size();
            break;
        }
        if (read == FrameRead::wrong) {
            note_fault(client, "wrong bytes");
            break;
        }
        take_frame(client, check, ticks, read_ns, latencies);
        bytes = bytes.subspan(length);
    }
    client.frames_read.store(client.frames, std::memory_order_relaxed);
}

// One read from a ready client; a close or an error ends the client.
void read_ready(BenchClient& client, int epoll, std::span<char> buffer, const FrameCheck& check,
                LatencyHistogram& latencies) {
    int n = relay_client_read(client.socket, buffer, 0);
    if (n > 0) {
        client_take(client, buffer.first(static_cast<size_t>(n)), check, &latencies);
    } else if (n < 0) {
        epoll_ctl(epoll, EPOLL_CTL_DEL, client.socket, nullptr);
        client.closed.store(true);
    }
}

void reader_run(ClientReaders& readers, ClientReaders::Share& share, const FrameCheck& check) {
    int epoll = epoll_create1(0);
    for (BenchClient* client : share.clients) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.ptr = client;
        epoll_ctl(epoll, EPOLL_CTL_ADD, client->socket, &event);
    }
    auto buffer = std::make_unique<char[]>(kReadSize);
    std::array<epoll_event, 128> ready;
    while (!readers.stop.load()) {
        int count = epoll_wait(epoll, ready.data(), static_cast<int>(ready.size()), kWaitMs);
        for (int i = 0; i < count; ++i) {
            auto* client = static_cast<BenchClient*>(ready[static_cast<size_t>(i)].data.ptr);
            read_ready(*client, epoll, {buffer.get(), kReadSize}, check, share.latencies);
        }
    }
    close(epoll);
}

// The histogram's tiers: tier i has steps of 10^i us; the first covers 0 to 2 ms in
// 2000 buckets, each later one the next decade in 1800 buckets.
struct Tier {
    int64_t first_us;
    int64_t step_us;
    int first_bucket;
    int buckets;
};

Tier tier(int index) {
    int64_t step_us = 1;
    for (int i = 0; i < index; ++i) {
        step_us *= 10;
    }
    int64_t first_us = index == 0 ? 0 : 200 * step_us;
    int first_bucket = index == 0 ? 0 : 2000 + (index - 1) * 1800;
    return {first_us, step_us, first_bucket, index == 0 ? 2000 : 1800};
}

int bucket_of(int64_t us) {
    for (int i = 0; i < kLatencyTiers; ++i) {
        Tier t = tier(i);
        if (us < t.first_us + t.buckets * t.step_us)
            return t.first_bucket + static_cast<int>((us - t.first_us) / t.step_us);
    }
    return kLatencyBuckets - 1;
}

// The upper edge of a bucket; the last one, open above, reads as its lower edge.
int64_t bucket_top_us(int bucket) {
    for (int i = 0; i < kLatencyTiers; ++i) {
        Tier t = tier(i);
        if (bucket < t.first_bucket + t.buckets)
            return t.first_us + (bucket - t.first_bucket + 1) * t.step_us;
    }
    Tier last = tier(kLatencyTiers - 1);
    return last.first_us + last.buckets * last.step_us;
}

}  // namespace

int64_t bench_now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void latency_add(LatencyHistogram& histogram, int64_t ns) {
    ++histogram.counts[static_cast<size_t>(bucket_of(std::max<int64_t>(ns, 0) / 1000))];
    ++histogram.total;
}

void latency_merge(LatencyHistogram& into, const LatencyHistogram& from) {
    for (size_t i = 0; i < into.counts.size(); ++i) {
        into.counts[i] += from.counts[i];
    }
    into.total += from.total;
}

double latency_percentile_us(const LatencyHistogram& histogram, double fraction) {
    if (histogram.total == 0)
        return 0;
    // The rank of the sample wanted, counting from 1.
    auto rank = std::max<uint64_t>(
        1, static_cast<uint64_t>(std::ceil(fraction * static_cast<double>(histogram.total))));
    uint64_t seen = 0;
    int bucket = 0;
    for (; bucket < kLatencyBuckets - 1; ++bucket) {
        seen += histogram.counts[static_cast<size_t>(bucket)];
        if (seen >= rank)
            break;
    }
    return static_cast<double>(bucket_top_us(bucket));
}

std::unique_ptr<BenchClient> client_connect(uint16_t port) {
    auto client = std::make_unique<BenchClient>();
    client->socket = connect_to(port, &client->local_port);
    if (client->socket == INVALID_SOCKET)
        return nullptr;
    socket_set_nonblocking(client->socket);
    return client;
}

std::unique_ptr<BenchClient> client_accept(SOCKET listener, int timeout_ms) {
    SOCKET s = sim_accept(listener, timeout_ms);
    if (s == INVALID_SOCKET)
        return nullptr;
    auto client = std::make_unique<BenchClient>();
    client->socket = s;
    socket_set_nonblocking(s);
    return client;
}

void client_close(BenchClient& client) {
    if (client.socket != INVALID_SOCKET)
        closesocket(client.socket);
    client.socket = INVALID_SOCKET;
}

bool client_read_to_close(BenchClient& client, const FrameCheck& check, int timeout_ms) {
    auto buffer = std::make_unique<char[]>(kReadSize);
    int64_t deadline_ns = bench_now_ns() + int64_t{timeout_ms} * 1000000;
    while (bench_now_ns() < deadline_ns) {
        int n = relay_client_read(client.socket, {buffer.get(), kReadSize}, kWaitMs);
        if (n > 0) {
            client_take(client, {buffer.get(), static_cast<size_t>(n)}, check, nullptr);
        } else if (n < 0) {
            client.closed.store(true);
            return true;
        }
    }
    return false;
}

void readers_start(ClientReaders& readers, std::span<BenchClient* const> clients, int thread_count,
                   const FrameCheck& check) {
    int threads = std::clamp(thread_count, 1, std::max(1, static_cast<int>(clients.size())));
    for (int i = 0; i < threads; ++i) {
        readers.shares.push_back(std::make_unique<ClientReaders::Share>());
    }
    for (size_t i = 0; i < clients.size(); ++i) {
        readers.shares[i % readers.shares.size()]->clients.push_back(clients[i]);
    }
    for (auto& share : readers.shares) {
        share->thread =
            std::thread(reader_run, std::ref(readers), std::ref(*share), std::cref(check));
    }
}

void readers_stop(ClientReaders& readers) {
    readers.stop.store(true);
    for (auto& share : readers.shares) {
        if (share->thread.joinable())
            share->thread.join();
    }
}
