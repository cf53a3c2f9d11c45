#include "bench/bench_clients.h"

#include <linux/errqueue.h>
#include <linux/net_tstamp.h>
#include <sys/epoll.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

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

void note_fault(BenchClient& client, const char* what, uint64_t seq) {
    ++client.bad_frames;
    if (client.first_fault[0] == '\0') {
        std::snprintf(client.first_fault.data(), client.first_fault.size(),
                      "%s at frame %llu (expected %llu)", what,
                      static_cast<unsigned long long>(seq),
                      static_cast<unsigned long long>(client.next_seq));
    }
}

// The timestamp field of a framer line; false when the line is not a frame.
bool read_timestamp(const BenchClient& client, uint64_t& timestamp) {
    std::string_view text = client.line.view();
    return text.size() >= 1 + kTimestampDigits && text[0] == '@' &&
           parse_hex(text.substr(1, kTimestampDigits), timestamp);
}

// Checks one framer line against the frame the receiver sent and stores its sequence
// number in `seq`. False when the line is not a frame of this stream at all.
bool check_line(BenchClient& client, const FrameCheck& check, uint64_t& seq) {
    std::string_view text = client.line.view();
    if (!read_timestamp(client, seq)) {
        note_fault(client, "unreadable line", client.next_seq);
        return false;
    }
    const std::string& hex = check.hex[seq % check.hex.size()];
    if (text.substr(1 + kTimestampDigits) != hex) {
        note_fault(client, "wrong message", seq);
    } else if (seq != client.next_seq) {
        note_fault(client, "out of sequence", seq);
    }
    client.next_seq = seq + 1;
    return true;
}

void time_frame(uint64_t seq, const Receipt& receipt, const SendTimes& times,
                Latencies& latencies) {
    int64_t sent_ns;
    if (!send_time_of(times, seq, sent_ns)) {
        ++latencies.untimed;
        return;
    }
    latency_add(latencies.read, receipt.read_ns - sent_ns);
    if (receipt.arrival_ns != 0)
        latency_add(latencies.arrival, receipt.arrival_ns - sent_ns);
}

void note_clocked_fault(BenchClient& client, const char* what, uint64_t index) {
    ++client.bad_frames;
    if (client.first_fault[0] == '\0') {
        std::snprintf(client.first_fault.data(), client.first_fault.size(), "%s at frame %llu",
                      what, static_cast<unsigned long long>(index));
    }
}

// Checks the line of clock-stamped frame `index`: the simulator sends the capture in
// order from its top, each frame stamped later than the one before. Adds the bytes the
// simulator wrote for such a frame to `expected`, so that the sums show whether the
// relay passed on every byte (escapes and signal levels included) unchanged. False when
// the line is not a frame.
bool check_clocked_line(BenchClient& client, const FrameCheck& check, uint64_t index,
                        uint64_t& ticks) {
    if (!read_timestamp(client, ticks)) {
        note_clocked_fault(client, "unreadable line", index);
        return false;
    }
    size_t message = index % check.messages.size();
    uint64_t step = (ticks - client.last_ticks) & kTimestampMask;
    if (client.line.view().substr(1 + kTimestampDigits) != check.hex[message]) {
        note_clocked_fault(client, "wrong message", index);
    } else if (index != 0 && (step == 0 || step > kTimestampMask / 2)) {
        note_clocked_fault(client, "timestamp not rising", index);
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
int64_t clocked_age_ns(uint64_t ticks, int64_t now_ns) {
    uint64_t now_ticks = sim_receiver_ticks(std::chrono::nanoseconds(now_ns));
    auto age_ticks = static_cast<int64_t>(((now_ticks - ticks) & kTimestampMask) << 16) >> 16;
    return age_ticks * 1000 / static_cast<int64_t>(kReceiverClockHz / 1000000);
}

void take_clocked_frame(BenchClient& client, const FrameCheck& check, const Receipt& receipt,
                        Latencies* latencies) {
    uint64_t index = client.frames - 1;
    uint64_t ticks;
    if (!check_clocked_line(client, check, index, ticks))
        return;
    if (index == 0)
        client.first_ticks = ticks;
    client.last_ticks = ticks;
    if (latencies == nullptr)
        return;
    int64_t age_ns = clocked_age_ns(ticks, receipt.read_steady_ns);
    int64_t sent_ns = receipt.read_steady_ns - age_ns;
    if (index == 0)
        client.first_sent_ns = sent_ns;
    client.last_read_ns = receipt.read_steady_ns;
    if (sent_ns < client.first_sent_ns + check.lead_in_ns) {
        latencies->lead_in_max_ns = std::max(latencies->lead_in_max_ns, age_ns);
        return;
    }
    latency_add(latencies->read, age_ns);
    // The arrival is as much earlier than the read on the steady clock as on the calendar.
    if (receipt.arrival_ns != 0)
        latency_add(latencies->arrival, age_ns - (receipt.read_ns - receipt.arrival_ns));
}

// One recv that also collects the kernel's arrival stamp.
int receive(SOCKET s, std::span<char> buffer, Receipt& receipt) {
    iovec io{buffer.data(), buffer.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(scm_timestamping))];
    msghdr message{};
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    auto n = static_cast<int>(recvmsg(s, &message, 0));
    receipt.read_ns = bench_wall_ns();
    receipt.read_steady_ns = bench_now_ns();
    receipt.arrival_ns = 0;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPING) {
            scm_timestamping stamps;
            std::memcpy(&stamps, CMSG_DATA(c), sizeof stamps);
            receipt.arrival_ns = int64_t{stamps.ts[0].tv_sec} * 1000000000 + stamps.ts[0].tv_nsec;
        }
    }
    return n;
}

// One read from a ready client; a close or an error ends the client.
void read_ready(BenchClient& client, int epoll, std::span<char> buffer, const FrameCheck& check,
                const SendTimes& times, Latencies& latencies) {
    Receipt receipt;
    int n = receive(client.socket, buffer, receipt);
    if (n > 0) {
        client_take(client, buffer.first(static_cast<size_t>(n)), receipt, check, &times,
                    &latencies);
    } else if (n == 0 || !socket_would_block()) {
        epoll_ctl(epoll, EPOLL_CTL_DEL, client.socket, nullptr);
        client.closed.store(true);
    }
}

void reader_run(ClientReaders& readers, ClientReaders::Share& share, const FrameCheck& check,
                const SendTimes& times) {
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
            read_ready(*client, epoll, {buffer.get(), kReadSize}, check, times, share.latencies);
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

// The upper edge of a bucket below the last one.
int64_t bucket_top_us(int bucket) {
    for (int i = 0; i < kLatencyTiers; ++i) {
        Tier t = tier(i);
        if (bucket < t.first_bucket + t.buckets)
            return t.first_us + (bucket - t.first_bucket + 1) * t.step_us;
    }
    return 0;
}

}  // namespace

void latency_add(LatencyHistogram& histogram, int64_t ns) {
    ++histogram.counts[static_cast<size_t>(bucket_of(std::max<int64_t>(ns, 0) / 1000))];
    ++histogram.total;
    histogram.max_ns = std::max(histogram.max_ns, ns);
}

void latency_merge(LatencyHistogram& into, const LatencyHistogram& from) {
    for (size_t i = 0; i < into.counts.size(); ++i) {
        into.counts[i] += from.counts[i];
    }
    into.total += from.total;
    into.max_ns = std::max(into.max_ns, from.max_ns);
}

double latency_percentile_us(const LatencyHistogram& histogram, double fraction) {
    if (histogram.total == 0)
        return 0;
    // The rank of the sample wanted, counting from 1.
    auto rank = static_cast<uint64_t>(std::ceil(fraction * static_cast<double>(histogram.total)));
    uint64_t seen = 0;
    for (int bucket = 0; bucket < kLatencyBuckets - 1; ++bucket) {
        seen += histogram.counts[static_cast<size_t>(bucket)];
        if (seen >= std::max<uint64_t>(rank, 1))
            return static_cast<double>(bucket_top_us(bucket));
    }
    return latency_max_us(histogram);
}

double latency_max_us(const LatencyHistogram& histogram) {
    return static_cast<double>(histogram.max_ns) / 1000.0;
}

FrameCheck frame_check(std::span<const ReceiverMessage> messages) {
    FrameCheck check{messages, {}};
    for (const ReceiverMessage& message : messages) {
        // The framer's line of a frame, past its timestamp: "<hex>;\r\n".
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
    int stamping = SOF_TIMESTAMPING_RX_SOFTWARE | SOF_TIMESTAMPING_SOFTWARE;
    setsockopt(client->socket, SOL_SOCKET, SO_TIMESTAMPING, &stamping, sizeof stamping);
    return client;
}

void client_close(BenchClient& client) {
    if (client.socket != INVALID_SOCKET)
        closesocket(client.socket);
    client.socket = INVALID_SOCKET;
}

void client_take(BenchClient& client, std::span<const char> bytes, const Receipt& receipt,
                 const FrameCheck& check, const SendTimes* times, Latencies* latencies) {
    stream_sum_add(client.sum, bytes);
    client.bytes.store(client.sum.bytes, std::memory_order_relaxed);
    while (!bytes.empty()) {
        bytes = bytes.subspan(framer_scan(client.framer, bytes, true, client.line));
        if (client.line.length == 0)
            continue;
        ++client.frames;
        uint64_t seq;
        if (check.stamp == FrameStamp::monotonic_clock) {
            take_clocked_frame(client, check, receipt, latencies);
        } else if (check_line(client, check, seq) && latencies != nullptr) {
            time_frame(seq, receipt, *times, *latencies);
        }
    }
    client.frames_read.store(client.frames, std::memory_order_relaxed);
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
            client_take(client, {buffer.get(), static_cast<size_t>(n)}, Receipt{}, check, nullptr,
                        nullptr);
        } else if (n == 0 || !socket_would_block()) {
            client.closed.store(true);
            return true;
        }
    }
    return false;
}

void readers_start(ClientReaders& readers, std::span<BenchClient* const> clients, int thread_count,
                   const FrameCheck& check, const SendTimes& times) {
    int threads = std::clamp(thread_count, 1, std::max(1, static_cast<int>(clients.size())));
    for (int i = 0; i < threads; ++i) {
        readers.shares.push_back(std::make_unique<ClientReaders::Share>());
    }
    for (size_t i = 0; i < clients.size(); ++i) {
        readers.shares[i % readers.shares.size()]->clients.push_back(clients[i]);
    }
    for (auto& share : readers.shares) {
        share->thread = std::thread(reader_run, std::ref(readers), std::ref(*share),
                                    std::cref(check), std::cref(times));
    }
}

void readers_stop(ClientReaders& readers) {
    readers.stop.store(true);
    for (auto& share : readers.shares) {
        if (share->thread.joinable())
            share->thread.join();
    }
}
