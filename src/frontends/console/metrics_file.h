// The metrics file: the station's figures in the Prometheus text format, for the node
// exporter's textfile collector or any scraper that reads a file. Rewritten whole (through
// a new file beside it) once a second with the status file.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "decode/clock_report.h"
#include "frontends/console/quiet_log.h"

constexpr int kMetricsReaders = 100 + 8;  // relay slots and push targets
constexpr int kMetricsAddressSize = 256;

struct MetricsReader {
    bool push = false;  // a push target; else a relay client
    std::array<char, kMetricsAddressSize> address{};
    uint16_t port = 0;
    uint64_t behind_bytes = 0;
};

// What the file tells, gathered from the station at one moment.
struct MetricsFigures {
    int64_t started_s = 0;
    bool source_up = false;
    bool consumer_up = false;
    uint64_t bytes_received = 0;
    uint64_t messages_received = 0;
    int relay_clients = 0;
    std::array<MetricsReader, kMetricsReaders> readers{};
    int reader_count = 0;
    uint64_t readers_cut = 0;
    RefusalCounts refused{};  // not allowed, over share, full
    ClockVerdict verdict = ClockVerdict::waiting;
    bool have_rate = false;
    double offset_ppm = 0;
    double uncertainty_ppm = 0;
};

// The document, each metric with its # HELP and # TYPE lines.
std::string metrics_text(const MetricsFigures& figures);

// Writes `text` to `path` through a new file beside it, so that a reader never sees half
// of one. Returns whether it was written; if not, `why` says why.
bool document_write(const char* path, const std::string& text, std::span<char> why);
