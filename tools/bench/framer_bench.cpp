// Framer speed on real traffic, beside a loop that only finds the line ends or escape
// bytes in the same bytes, so the framer's own cost is visible as a ratio.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

#include "decode/framer.h"
#include "sim/receiver_stream.h"
#include "station/station.h"

namespace {

constexpr size_t kStreamBytes = 4 << 20;
constexpr size_t kChunk = 65535;

struct Stream {
    std::string bytes;
    int64_t messages = 0;
};

// The real capture as '@' lines with 12 MHz timestamps, repeated to about 4 MB.
const Stream& text_stream() {
    static const Stream stream = [] {
        auto messages = stream_parse_avr_text(stream_real_capture());
        Stream s;
        uint64_t ticks = 0;
        std::array<char, 64> line;
        while (s.bytes.size() < kStreamBytes) {
            for (const auto& m : messages) {
                ticks += kReceiverClockHz / 4300;  // a busy receiver's message rate
                s.bytes.append(line.data(), stream_text_line(m, TextForm::at, ticks, "\r\n", line));
                ++s.messages;
            }
        }
        return s;
    }();
    return stream;
}

// The same messages as Beast binary frames.
const Stream& binary_stream() {
    static const Stream stream = [] {
        auto messages = stream_parse_avr_text(stream_real_capture());
        Stream s;
        uint64_t ticks = 0;
        std::array<uint8_t, kMaxWireFrame> frame;
        while (s.bytes.size() < kStreamBytes) {
            for (const auto& m : messages) {
                ticks += kReceiverClockHz / 4300;
                size_t n = stream_binary_frame(m, ticks, 0x90, frame);
                s.bytes.append(reinterpret_cast<const char*>(frame.data()), n);
                ++s.messages;
            }
        }
        return s;
    }();
    return stream;
}

const std::string& stream_for(const benchmark::State& state) {
    return (state.range(0) != 0 ? binary_stream() : text_stream()).bytes;
}

// Bytes and lines per second; every message of the stream is one line.
void report(benchmark::State& state) {
    const Stream& stream = state.range(0) != 0 ? binary_stream() : text_stream();
    auto iterations = static_cast<int64_t>(state.iterations());
    state.SetBytesProcessed(iterations * static_cast<int64_t>(stream.bytes.size()));
    state.counters["lines/s"] = benchmark::Counter(
        static_cast<double>(iterations * stream.messages), benchmark::Counter::kIsRate);
    state.SetLabel(state.range(0) != 0 ? "binary" : "text");
}

// The framer alone, in receive-sized chunks.
void BM_Framer(benchmark::State& state) {
    const std::string& stream = stream_for(state);
    bool binary = state.range(0) != 0;
    Framer framer;
    FormattedLine line;
    int64_t lines = 0;
    for (auto _ : state) {
        for (size_t at = 0; at < stream.size(); at += kChunk) {
            std::span<const char> chunk(stream.data() + at, std::min(kChunk, stream.size() - at));
            while (!chunk.empty()) {
                chunk = chunk.subspan(framer_scan(framer, chunk, binary, line));
                lines += line.length != 0;
            }
        }
        benchmark::DoNotOptimize(lines);
    }
    if (lines != static_cast<int64_t>(state.iterations()) *
                     (binary ? binary_stream() : text_stream()).messages) {
        state.SkipWithError("the framer lost lines");
    }
    report(state);
}

// The whole decoding path: framer, display entry in relative-time mode, display ring.
void BM_FramerToDisplay(benchmark::State& state) {
    const std::string& stream = stream_for(state);
    Clocks clocks = system_clocks();
    clocks.calendar_s = [] { return int64_t{1000}; };
    auto station = station_create("", clocks);
    station_override_binary_mode(*station, state.range(0) != 0);
    station_toggle_relative_time(*station);
    for (auto _ : state) {
        for (size_t at = 0; at < stream.size(); at += kChunk) {
            source_decode(*station, {stream.data() + at, std::min(kChunk, stream.size() - at)});
        }
        benchmark::DoNotOptimize(station->ring.write_index);
    }
    report(state);
}

// Reference: only find the line ends (text) or escape bytes (binary) with memchr.
void BM_ScanReference(benchmark::State& state) {
    const std::string& stream = stream_for(state);
    char mark = state.range(0) != 0 ? '\x1A' : '\n';
    int64_t found = 0;
    for (auto _ : state) {
        const char* p = stream.data();
        const char* end = p + stream.size();
        while ((p = static_cast<const char*>(std::memchr(p, mark, static_cast<size_t>(end - p))))) {
            ++found;
            ++p;
        }
        benchmark::DoNotOptimize(found);
    }
    report(state);
}

}  // namespace

BENCHMARK(BM_ScanReference)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Framer)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FramerToDisplay)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
