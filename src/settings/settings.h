// Settings files: every setting that outlives the process lives in a small text file of
// one value per line in the config directory, and has a compiled-in default.
//
// The link ports and hosts and the timer frequency are handed back to the caller, which
// keeps them with the links and the clock; everything else is held here.
// Files are Windows text files on every platform: each line ends in CR LF on disk, and
// a read counts a CR LF pair as one character, so a file written anywhere is the same.
// A Ctrl-Z ends a file as it does for a text-mode read on Windows, and a lone CR is an
// ordinary byte: it ends a value but not a line.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <span>

#include "base/default_ports.h"
#include "base/file_system.h"
#include "base/text.h"

// Where the coordinates dialog starts when "point.ini" is missing: Pulkovo Observatory.
constexpr char kDefaultLatitudeText[] = "59.771944";
constexpr char kDefaultLongitudeText[] = "30.326111";
constexpr double kDefaultLatitudeArcsec = 59.771944 * 3600;
constexpr double kDefaultLongitudeArcsec = 30.326111 * 3600;
constexpr char kDefaultReceiverName[] = "Varnholm";
constexpr int32_t kDefaultSignalThreshold = 50;
constexpr int32_t kDefaultRelayShare = 100;  // every relay slot

// The settings files, opened by these bare names in the config directory.
// Relay port (line 1), LINK_UPSTREAM host (line 2), then the relay's listening address
// (line 3; empty or absent: every interface) and the relay slots one address may hold
// (line 4; absent or not from 1 to kDefaultRelayShare: all of them). Older files have
// two lines and keep their meaning.
constexpr char kRelaySettingsFile[] = "initsocket.ini";
constexpr char kSourceSettingsFile[] = "initmkp1.ini";    // LINK_SOURCE port and host
constexpr char kConsumerSettingsFile[] = "initmkp2.ini";  // LINK_CONSUMER port and host
constexpr char kBinaryModeFile[] = "BinarComOn.ini";
constexpr char kPointFile[] = "point.ini";  // latitude, longitude in decimal degrees
constexpr char kNameFile[] = "name.ini";
constexpr char kThresholdFile[] = "porog.ini";
constexpr char kFrequencyFile[] = "frequency.ini";
// The serial source: port name (line 1; "COM3", or a device path on Linux) and speed
// (line 2; anything but a positive number means automatic). While line 1 names a port,
// the source is that port instead of the TCP link.
constexpr char kSerialSettingsFile[] = "initcom.ini";

// Line buffer sizes: a read takes at most size - 1 characters.
constexpr int kLinkLineSize = 256;        // both lines of the three link files
constexpr int kBinaryModeLineSize = 128;  // "BinarComOn.ini"
constexpr int kStartupLineSize = 1024;    // start-up reads of the other four files
constexpr int kDialogLineSize = 256;      // every read a settings dialog makes

struct Settings {
    // Also read by the status refresh on the connector thread, hence atomic.
    std::atomic<uint16_t> relay_port{kDefaultRelayPort};
    Text256 relay_address{};  // numeric; empty: every interface, both families
    int32_t relay_share = kDefaultRelayShare;
    int32_t binary_mode = 0;  // 0 text, anything else binary
    double latitude_arcsec = kDefaultLatitudeArcsec;
    double longitude_arcsec = kDefaultLongitudeArcsec;
    Text256 receiver_name = text256(kDefaultReceiverName);
    int32_t signal_threshold = kDefaultSignalThreshold;
    Text256 serial_port{};     // empty: the source is the TCP link
    int32_t serial_speed = 0;  // bits per second; 0 finds the speed by itself
};

// A link's address as its settings file gives it.
struct LinkAddress {
    uint16_t port = 0;
    Text256 host{};
};

// What the start-up load finds for the rest of the program: the addresses of the three
// link files ("initsocket.ini", "initmkp1.ini", "initmkp2.ini", in that order; a missing
// file keeps what was passed in) and the timer frequency, if "frequency.ini" gives one.
struct StartupValues {
    std::array<LinkAddress, 3> links{};
    std::array<bool, 3> links_found{};  // whether each link file was there
    std::array<bool, 3> links_named{};  // ... and its line 2 names a host
    bool frequency_read = false;
    int32_t frequency_hz = 0;
};

// `dir`/`file`, or the bare name when `dir` is empty or "." (the current directory).
// Returns false when it does not fit: a cut path could name another file. A settings
// file's path that does not fit kFilePathSize is not opened at all.
bool settings_path(const char* dir, const char* file, std::span<char> path);

// Reads every settings file of `dir` in the start-up order; a missing file leaves its
// settings as they are (at start, the defaults). An empty `dir` or "." is the current
// directory.
void settings_startup_load(const char* dir, Settings& settings, StartupValues& values);

// Opens `dir`/`file` and reads one line into each buffer in turn, at most size - 1
// characters each, cut at the first CR or LF. A line that is not there leaves its buffer
// exactly as it was, and so does a buffer of fewer than 2 bytes. Returns how many lines
// were read, or -1 if the file could not be opened.
int settings_file_read(const char* dir, const char* file, std::span<const std::span<char>> lines);

// Rewrites `dir`/`file` with each text followed by a line end: the texts go into a new
// file beside it, which then replaces it whole. If that cannot be done (the folder cannot
// be written, the disk is full) the file stays as it was and nothing is reported.
void settings_file_save(const char* dir, const char* file, std::span<const char* const> texts);

// Rewrites a one-number file with `value` ("%d" and a line end).
void settings_save_number(const char* dir, const char* file, int32_t value);
// Rewrites "BinarComOn.ini" with the flag.
void settings_save_binary_mode(const char* dir, int32_t binary_mode);

// Ends a NUL-terminated text at its first CR or LF, if it has one.
void settings_cut(std::span<char> text);

// atoi: optional leading white space and sign, then decimal digits up to the first other
// character; 0 without a digit. Values beyond 32 bits stop at the nearest limit.
int32_t settings_parse_int(const char* text);

// atof, for decimal numbers only (no "inf", "nan" or hexadecimal, which the file format
// never holds), so every platform reads a value alike; 0 without a digit.
double settings_parse_double(const char* text);

// A port: the low 16 bits of settings_parse_int, so 70000 is 4464 and -1 is 65535.
uint16_t settings_parse_port(const char* text);

// A serial speed: a positive decimal number, blanks around it allowed; 0 (automatic) for
// anything else, so "0", "", "-5", "Auto" and "96OO" all mean automatic.
int32_t settings_parse_speed(const char* text);

// The relay slots one address may hold: 1 to kDefaultRelayShare, blanks around it allowed;
// kDefaultRelayShare for anything else.
int32_t settings_parse_share(const char* text);

// A latitude (limit 90) or longitude (limit 180) in decimal degrees, in arc-seconds. A
// value beyond the limit ("1e999", "400") is no place on Earth and would also run the
// consumer's greeting line past its size: `fallback_arcsec` is taken instead.
constexpr double kLatitudeLimitDegrees = 90;
constexpr double kLongitudeLimitDegrees = 180;
double settings_parse_coordinate(const char* text, double limit_degrees, double fallback_arcsec);
