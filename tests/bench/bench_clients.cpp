#include "bench/bench_clients.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>

#include "sim/receiver_sim.h"

namespace {

constexpr size_t kReadSize = 65536;
constexpr int kWaitMs = 20;
// '@', 12 timestamp digits, the message digits, ';' CR LF.
constexpr size_t kTimestampDigits = 12;

bool parse_hex(std::string_view digits, uint64_t& value) {
    value = 0;
    for (char c : digits) {
        int nibble = c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        if (nibble < 0)
            return false;
        value = value << 4 | static_cast<uint64_t>(nibble);
    }
    return true;
}

void note_fault(BenchClient& client, const char* what, uint64_t index) {
    ++client.bad_frames;
    if (client.first_fault[0] == '\0') {
        std::snprintf(client.first_fault.data(), client.first_fault.size(), "%s at frame %llu",
                      what, static_cast<unsigned long long>(index));
    }
}

// The timestamp field of a framer line; false when the line is not a frame.
bool read_timestamp(const BenchClient& client, uint64_t& timestamp) {
    std::string_view text = client.line.view();
    return text.size() >= 1 + kTimestampDigits && text[0] == '@' &&
           parse_hex(text.substr(1, kTimestampDigits), timestamp);
}

// Checks the line of frame `index`: the simulator sends the capture in order from its
// top, each frame stamped later than the one before. Adds the bytes the simulator wrote
// for such a frame to `expected`, so that the sums show whether the relay passed on every
// byte (escapes and signal levels included) unchanged. False when the line is not a frame.
bool check_line(BenchClient& client, const FrameCheck& check, uint64_t index, uint64_t& ticks) {
    if (!read_timestamp(client, ticks)) {
        note_fault(client, "unreadable line", index);
        return false;
    }
    size_t message = index % check.messages.size();
    uint64_t step = (ticks - client.last_ticks) & kTimestampMask;
    if (client.line.view().substr(1 + kTimestampDigits) != check.hex[message]) {
        note_fault(client, "wrong message", index);
    } else if (index != 0 && (step == 0 || step > kTimestampMask / 2)) {
        note_fault(client, "timestamp not rising", index);
    }
    std::array<uint8_t, kMaxWireFrame> frame;
    size_t length =
        stream_binary_frame(check.messages[message], ticks, sim_signal_level(index), frame);
    stream_sum_add(client.expected, {reinterpret_cast<const char*>(frame.data()), length});
    return true;
}

// How long ago, at `now_ns` of the steady clock, a frame stamped `ticks` was sent. The
// 48-bit difference is read as signed: a frame stamped a tick or two ahead of the clock
// (the simulator keeps stamps apart) counts as just sent.
int64_t age_ns(uint64_t ticks, int64_t now_ns) {
    uint64_t now_ticks = sim_receiver_ticks(std::chrono::nanoseconds(now_ns));
    auto age_ticks = static_cast<int64_t>(((now_ticks - ticks) & kTimestampMask) << 16) >> 16;
    return age_ticks * 1000 / static_cast<int64_t>(kReceiverClockHz / 1000000);
}

void take_frame(BenchClient& client, const FrameCheck& check, int64_t read_ns,
                LatencyHistogram* latencies) {
    uint64_t index = client.frames - 1;
    uint64_t ticks;
    if (!check_line(client, check, index, ticks))
        return;
    int64_t age = age_ns(ticks, read_ns);
    if (index == 0) {
        client.first_ticks = ticks;
        client.first_sent_ns = read_ns - age;
    }
    client.last_ticks = ticks;
    client.last_read_ns = read_ns;
    if (latencies != nullptr && read_ns - age >= client.first_sent_ns + check.lead_in_ns)
        latency_add(*latencies, age);
}

// Takes bytes received: sums them, frames them and checks each frame; each completed
// frame is timed into `latencies` when given.
void client_take(BenchClient& client, std::span<const char> bytes, const FrameCheck& check,
                 LatencyHistogram* latencies) {
    int64_t read_ns = bench_now_ns();
    stream_sum_add(client.sum, bytes);
    client.bytes.store(client.sum.bytes, std::memory_order_relaxed);
    while (!bytes.empty()) {
        bytes = bytes.subspan(framer_scan(client.framer, bytes, true, client.line));
        if (client.line.length == 0)
            continue;
        ++client.frames;
        take_frame(client, check, read_ns, latencies);
    }
    client.frames_read.store(client.frames, std::memory_order_relaxed);
}

// One read from a ready client; a close or an error ends the client.
void read_ready(BenchClient& client, int epoll, std::span<char> buffer, const FrameCheck& check,
                LatencyHistogram& latencies) {
    int n = socket_recv(client.socket, buffer.data(), buffer.size());
    if (n > 0) {
        client_take(client, buffer.first(static_cast<size_t>(n)), check, &latencies);
    } else if (n == 0 || !socket_would_block()) {
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

void stream_sum_add(StreamSum& sum, std::span<const char> data) {
    uint64_t low = sum.low;
    uint64_t high = sum.high;
    for (char c : data) {
        low += static_cast<uint8_t>(c);
        high += low;
    }
    sum.low = low;
    sum.high = high;
    sum.bytes += data.size();
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

FrameCheck frame_check(std::span<const ReceiverMessage> messages) {
    FrameCheck check{messages, {}};
    for (const ReceiverMessage& message : messages) {
        std::string line = stream_expected_at_line(message, 0);
        check.hex.push_back(line.substr(1 + kTimestampDigits));
    }
    return check;
}

std::unique_ptr<BenchClient> client_connect(uint16_t port) {
    auto client = std::make_unique<BenchClient>();
    client->socket = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (client->socket == INVALID_SOCKET ||
        connect(client->socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        client_close(*client);
        return nullptr;
    }
    socklen_t length = sizeof address;
    getsockname(client->socket, reinterpret_cast<sockaddr*>(&address), &length);
    client->local_port = ntohs(address.sin_port);
    socket_set_nonblocking(client->socket);
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
        PollFd entry{};
        entry.fd = client.socket;
        entry.events = POLLIN;
        if (socket_poll(&entry, 1, kWaitMs) <= 0)
            continue;
        int n = socket_recv(client.socket, buffer.get(), kReadSize);
        if (n > 0) {
            client_take(client, {buffer.get(), static_cast<size_t>(n)}, check, nullptr);
        } else if (n == 0 || !socket_would_block()) {
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
