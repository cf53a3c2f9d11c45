// Settings files: every setting that outlives the process lives in a small text file of
// one value per line in the config directory, and has a compiled-in default.
//
// The link ports and hosts load straight into the link table, and the timer frequency
// into the clock annotation that divides by it; everything else is held here.
// Files are Windows text files on every platform: each line ends in CR LF on disk, and
// a read counts a CR LF pair as one character, so a file written anywhere is the same.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>

#include "app/text.h"

struct ClockAnnotation;
struct LinkTable;

// Where the coordinates dialog starts when "point.ini" is missing: Pulkovo Observatory.
constexpr char kDefaultLatitudeText[] = "59.771944";
constexpr char kDefaultLongitudeText[] = "30.326111";
constexpr double kDefaultLatitudeArcsec = 59.771944 * 3600;
constexpr double kDefaultLongitudeArcsec = 30.326111 * 3600;
constexpr char kDefaultReceiverName[] = "Varnholm";
constexpr int32_t kDefaultSignalThreshold = 50;
constexpr uint16_t kDefaultRelayPort = 7777;

struct Settings {
    // Also read by the status refresh on the connector thread, hence atomic.
    std::atomic<uint16_t> relay_port{kDefaultRelayPort};
    int32_t binary_mode = 0;  // 0 text, anything else binary
    double latitude_arcsec = kDefaultLatitudeArcsec;
    double longitude_arcsec = kDefaultLongitudeArcsec;
    Text256 receiver_name = text256(kDefaultReceiverName);
    int32_t signal_threshold = kDefaultSignalThreshold;
};

// Reads every settings file of `dir` in the start-up order; a missing file leaves its
// settings as they are (at start, the defaults).
void settings_startup_load(const char* dir, Settings& settings, LinkTable& links,
                           ClockAnnotation& clock);

// Opens `dir`/`file` and reads one line into each buffer in turn, at most size - 1
// characters each, cut at the first CR or LF. A line that is not there leaves its buffer
// exactly as it was. Returns false if the file could not be opened.
bool settings_file_read(const char* dir, const char* file, std::span<const std::span<char>> lines);

// Rewrites `dir`/`file` with each text followed by a line end. If the file cannot be
// opened nothing is written and nothing is reported.
void settings_file_save(const char* dir, const char* file, std::span<const char* const> texts);

// Rewrites "BinarComOn.ini" with the flag ("%d" and a line end).
void settings_save_binary_mode(const char* dir, int32_t binary_mode);
