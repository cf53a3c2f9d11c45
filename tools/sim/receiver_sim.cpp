#include "sim/receiver_sim.h"

#include <cmath>
#include <cstring>
#include <ctime>

#include "base/options.h"

namespace {

constexpr std::string_view kHelp = R"(Usage: qalmor-sim [options]

Plays a Mode S receiver so that QALMOR link can be tried without one. It listens on a
TCP port and sends, to the program that connects (as its source link), the messages of
a message file, looping it. It serves one connection at a time and accepts the next
when that one closes; every connection starts again at the top of the file.

Options:
  --port N            TCP port to listen on (default 7777, the program's source port);
                      0 picks a free port
  --bind ADDRESS      IPv4 address to listen on (default 127.0.0.1; 0.0.0.0 for all)
  --format FORM       what to send (default avr):
                        avr          text lines "*<hex>;"
                        avr-mlat     text lines "@<timestamp><hex>;", the timestamp as
                                     12 hex digits of a 12 MHz clock
                        basestation  text lines "MSG,..." derived from each message
                        beast        Beast binary frames with 12 MHz timestamps (switch
                                     the program to binary mode)
  --rate R            messages per second (default 100; decimals allowed, e.g. 0.5),
                      or "max" to send as fast as the connection takes them
  --file PATH         message file, one "*<hex>;" or "@<timestamp><hex>;" line per
                      message (default: the real capture built into this program)
  --line-end E        end of text lines: crlf (default), lf or cr
  --chunk N           cut the stream into sends of exactly N bytes (1 to 65535),
                      whatever the message boundaries; a send waits until N bytes
                      are ready, only the last before a pause or close is shorter
  --random-chunk MAX  cut the stream into sends of 1 to MAX bytes, sizes at random
  --seed N            seed of the random sizes (default 1), to repeat a run
  --pause-after N     send N messages on each connection, then nothing, keeping it
                      open (the program's silence watchdog should drop it)
  --close-after N     close each connection after N messages
  --clock CLOCK       what the timestamps count (default start):
                        start      12 MHz ticks since the simulator started
                        monotonic  12 MHz ticks of this computer's monotonic clock
                                   (CLOCK_MONOTONIC on Linux) modulo 2^48, so that
                                   a program on the same computer can tell how long
                                   each message took to reach it; messages written
                                   in the same instant are one tick apart
  --clock-hz HZ       the rate of the receiver's timestamp count (default 12000000;
                      20000000 for a 20 MHz receiver)
  --clock-ppm N       the count runs N ppm fast (or slow, when negative) against this
                      computer's monotonic clock, e.g. 250 or -40
  --clock-reset S     the count restarts from 0 once, S seconds after the start
  --gps               timestamps as GPS seconds of the day (top 18 bits) and
                      nanoseconds (low 30 bits) instead of a count
  --merge             two receivers in one stream, each message from either at
                      random; the second's clock runs 0.4 s ahead and 30 ppm faster
  --delay-max MS      hold each send back by 0 to MS milliseconds at random, as a
                      network would (the timestamps stay those of the messages)
  --consumer          play a processing server for the program's consumer link
                      instead of a receiver: listen (give --port, e.g. 8888), and
                      print the greeting and every line the program delivers
  --listen            play a server the program pushes the receiver's stream to
                      (initpush.ini, qalmor --push): listen (give --port), and print
                      once a second how many bytes each connection has brought
  --send COMMAND      with --consumer, after the greeting ask for: original (the
                      receiver's raw bytes) or text (lines again)
  --serial            play a receiver on a serial port instead (Linux): make a
                      pseudo-terminal and print its device, which the program opens
                      as its port ("qalmor --serial DEVICE", or under Wine a link
                      "$WINEPREFIX/dosdevices/com5" to it, and COM5 as the port);
                      paced at the line rate, 10 bits a byte
  --speed N           with --serial, the receiver's speed in baud: the stream goes
                      out only while the program's port is set to N, noise at any
                      other speed; without it, the stream goes out at any speed
  --link PATH         with --serial, also make a symbolic link PATH to the device
                      (a stable name, like /dev/serial/by-id/...); removed on exit
  -h, --help          show this text

On start it prints "qalmor-sim: listening on ADDRESS:PORT" on standard output;
connections are reported on standard error. Ctrl-C stops it. Timestamps follow real
time (see --clock). Bad options exit with code 2, a port that cannot be opened 1.

Examples:
  qalmor-sim
      the real capture as "*" lines, 100 a second, on 127.0.0.1:7777
  qalmor-sim --port 30005 --format beast --rate max
      Beast frames as fast as they are taken, on port 30005
  qalmor-sim --port 0 --format avr-mlat --random-chunk 7 --seed 42
      "@" lines in sends of 1 to 7 bytes, on a free port
  qalmor-sim --pause-after 50
      50 messages, then silence on a connection left open
  qalmor-sim --format beast --rate 2000 --clock monotonic --pause-after 6000
      6000 Beast frames stamped with the monotonic clock, to time a relay
  qalmor-sim --bind 0.0.0.0 --file flights.avr --format basestation --rate 2.5
      "MSG" lines from your own file, 2.5 a second, to other computers too
  qalmor-sim --serial --format beast --speed 921600 --rate max
      a Beast set to 921600 baud on a pseudo-terminal, sending flat out
  qalmor-sim --consumer --port 8888
      a processing server on 127.0.0.1:8888 that prints what the program sends
  qalmor-sim --format beast --clock-ppm 250 --delay-max 20
      a receiver whose clock runs 250 ppm fast, behind a jittery network

The program's relay port is also 7777 by default: give one of the two another port.
)";

// A reason naming the option and the value given; `format` takes both, in that order.
bool fail(SimText& error, const char* format, std::string_view option, std::string_view value) {
    std::snprintf(error.data(), error.size(), format, static_cast<int>(option.size()),
                  option.data(), static_cast<int>(value.size()), value.data());
    return false;
}

bool fail(SimText& error, std::string_view reason) {
    return fail(error, "%.*s%.*s", reason, "");
}

enum Option {
    kHelpOption,
    kPort,
    kBind,
    kFormat,
    kRate,
    kFile,
    kLineEnd,
    kChunk,
    kRandomChunk,
    kSeed,
    kPauseAfter,
    kCloseAfter,
    kClock,
    kConsumer,
    kListen,
    kSend,
    kClockHz,
    kClockPpm,
    kClockReset,
    kGps,
    kMerge,
    kDelayMax,
    kSerial,
    kSpeed,
    kLink,
};

// The counts stop one short of kSimNever, which means "no count"; the table's range
// cannot say so as a double.
constexpr double kMaxCount = 18446744073709551615.0;

constexpr OptionRule kOptions[] = {
    {"-h", OptionKind::flag, kHelpOption},
    {"--help", OptionKind::flag, kHelpOption},
    {"--port", OptionKind::whole, kPort, 0, 65535, "a port number (0 to 65535)"},
    {"--bind", OptionKind::text, kBind, 0, 0, "an IPv4 address such as 127.0.0.1"},
    {"--format", OptionKind::text, kFormat, 0, 0, "one of avr, avr-mlat, basestation, beast"},
    {"--rate", OptionKind::text, kRate, 0, 0,
     "a rate from 0.001 to 10000000 messages a second, or max"},
    {"--file", OptionKind::text, kFile},
    {"--line-end", OptionKind::text, kLineEnd, 0, 0, "one of crlf, lf, cr"},
    {"--chunk", OptionKind::whole, kChunk, 1, kSimMaxChunk, "a size from 1 to 65535 bytes"},
    {"--random-chunk", OptionKind::whole, kRandomChunk, 1, kSimMaxChunk,
     "a size from 1 to 65535 bytes"},
    {"--seed", OptionKind::whole, kSeed, 0, 4294967295.0, "a number from 0 to 4294967295"},
    {"--pause-after", OptionKind::whole, kPauseAfter, 0, kMaxCount, "a number of messages"},
    {"--close-after", OptionKind::whole, kCloseAfter, 0, kMaxCount, "a number of messages"},
    {"--clock", OptionKind::text, kClock, 0, 0, "one of start, monotonic"},
    {"--consumer", OptionKind::flag, kConsumer},
    {"--listen", OptionKind::flag, kListen},
    {"--send", OptionKind::text, kSend, 0, 0, "one of original, text"},
    {"--clock-hz", OptionKind::decimal, kClockHz, 1, 4e9, "a rate from 1 to 4000000000 Hz"},
    {"--clock-ppm", OptionKind::decimal, kClockPpm, -100000, 100000,
     "a number of ppm from -100000 to 100000"},
    {"--clock-reset", OptionKind::decimal, kClockReset, 0.001, 1e9, "a number of seconds"},
    {"--gps", OptionKind::flag, kGps},
    {"--merge", OptionKind::flag, kMerge},
    {"--delay-max", OptionKind::whole, kDelayMax, 0, 10000, "a number of ms from 0 to 10000"},
    {"--serial", OptionKind::flag, kSerial},
    {"--speed", OptionKind::whole, kSpeed, 0, 100000000, "a speed in baud"},
    {"--link", OptionKind::text, kLink},
};

// The value's index in `names`; false when it is none of them.
template <typename Choice, size_t N>
bool pick(std::string_view value, const std::string_view (&names)[N], Choice& choice) {
    for (size_t i = 0; i < N; ++i) {
        if (value == names[i]) {
            choice = static_cast<Choice>(i);
            return true;
        }
    }
    return false;
}

constexpr std::string_view kFormats[] = {"avr", "avr-mlat", "basestation", "beast"};
constexpr std::string_view kLineEnds[] = {"crlf", "lf", "cr"};
constexpr std::string_view kLineEndBytes[] = {"\r\n", "\n", "\r"};
constexpr std::string_view kClocks[] = {"start", "monotonic"};
constexpr std::string_view kCommands[] = {"original", "text"};

bool set_rate(std::string_view value, SimOptions& options) {
    if (value == "max") {
        options.rate = 0;
        return true;
    }
    return option_decimal(value, kSimMinRate, kSimMaxRate, options.rate);
}

bool set_line_end(std::string_view value, SimOptions& options) {
    size_t index = 0;
    if (!pick(value, kLineEnds, index))
        return false;
    options.line_end = kLineEndBytes[index];
    return true;
}

bool set_send(std::string_view value, SimOptions& options) {
    size_t index = 0;
    if (!pick(value, kCommands, index))
        return false;
    options.command = static_cast<SimCommand>(index + 1);  // after none
    return true;
}

// Stores an option read without fault; false when its value is not one it takes.
bool set_option(const OptionHit& hit, SimOptions& options) {
    switch (hit.rule->id) {
        case kPort:
            options.port = static_cast<uint16_t>(hit.whole);
            return true;
        case kBind:
            return sim_parse_ipv4(hit.value, options.bind_address);
        case kFormat:
            return pick(hit.value, kFormats, options.format);
        case kRate:
            return set_rate(hit.value, options);
        case kFile:
            options.file = std::string(hit.value);
            return true;
        case kLineEnd:
            return set_line_end(hit.value, options);
        case kChunk:
        case kRandomChunk:
            (hit.rule->id == kChunk ? options.chunk_size : options.chunk_max) = hit.whole;
            return true;
        case kSeed:
            options.seed = static_cast<uint32_t>(hit.whole);
            return true;
        case kPauseAfter:
        case kCloseAfter:
            (hit.rule->id == kPauseAfter ? options.pause_after : options.close_after) = hit.whole;
            return hit.whole != kSimNever;
        case kClock:
            return pick(hit.value, kClocks, options.clock);
        case kConsumer:
            options.consumer = true;
            return true;
        case kListen:
            options.listen = true;
            return true;
        case kSend:
            return set_send(hit.value, options);
        case kClockHz:
            options.clock_hz = hit.decimal;
            return true;
        case kClockPpm:
            options.clock_ppm = hit.decimal;
            return true;
        case kClockReset:
            options.clock_reset_s = hit.decimal;
            return true;
        case kGps:
            options.gps = true;
            return true;
        case kMerge:
            options.merge = true;
            return true;
        case kDelayMax:
            options.delay_max_ms = static_cast<uint32_t>(hit.whole);
            return true;
        case kSerial:
            options.serial = true;
            return true;
        case kSpeed:
            options.serial_speed = static_cast<int32_t>(hit.whole);
            return true;
        case kLink:
            options.serial_link = std::string(hit.value);
            return !options.serial_link.empty();
    }
    return false;
}

// The one-line reason for an argument that could not be read.
bool fail_on(const OptionHit& hit, SimText& error) {
    if (hit.status == OptionStatus::unknown) {
        const char* format = hit.arg.starts_with("-") ? "unknown option '%.*s%.*s'"
                                                      : "unexpected argument '%.*s%.*s'";
        return fail(error, format, hit.arg, "");
    }
    if (hit.status == OptionStatus::no_value)
        return fail(error, "%.*s needs a value%.*s", hit.rule->name, "");
    std::string_view name = hit.rule->name;
    std::snprintf(error.data(), error.size(), "%.*s: '%.*s' is not %s",
                  static_cast<int>(name.size()), name.data(), static_cast<int>(hit.value.size()),
                  hit.value.data(), hit.rule->wanted);
    return false;
}

// Options that make no sense together.
bool check_combination(const SimOptions& options, SimText& error) {
    if (options.chunk_size != 0 && options.chunk_max != 0) {
        return fail(error, "--chunk and --random-chunk cannot be used together");
    }
    if (options.pause_after != kSimNever && options.close_after != kSimNever) {
        return fail(error, "--pause-after and --close-after cannot be used together");
    }
    if (options.command != SimCommand::none && !options.consumer) {
        return fail(error, "--send goes with --consumer");
    }
    if ((options.serial_speed != 0 || !options.serial_link.empty()) && !options.serial) {
        return fail(error, "--speed and --link go with --serial");
    }
    return true;
}

}  // namespace

SimParse sim_parse_options(std::span<const char* const> args, SimOptions& options, SimText& error) {
    error[0] = '\0';
    OptionScan scan{args, kOptions};
    OptionHit hit;
    while (option_next(scan, hit)) {
        if (hit.status == OptionStatus::ok && hit.rule->id == kHelpOption)
            return SimParse::help;
        if (hit.status != OptionStatus::ok || !set_option(hit, options)) {
            fail_on(hit, error);
            return SimParse::error;
        }
    }
    return check_combination(options, error) ? SimParse::run : SimParse::error;
}

std::string_view sim_help_text() {
    return kHelp;
}

bool sim_load_messages(const SimOptions& options, std::vector<ReceiverMessage>& messages,
                       SimText& error) {
    if (options.file.empty()) {
        messages = stream_parse_avr_text(stream_real_capture());
    } else {
        messages = stream_load_avr_file(options.file);
    }
    if (messages.empty()) {
        fail(error, "%.*s: '%.*s' cannot be read or holds no \"*...;\" or \"@...;\" line", "--file",
             options.file);
        return false;
    }
    return true;
}

bool sim_parse_ipv4(std::string_view text, uint32_t& address) {
    uint32_t result = 0;
    for (int part = 0; part < 4; ++part) {
        size_t dot = text.find('.');
        std::string_view digits = text.substr(0, dot);
        uint64_t value = 0;
        if (digits.size() > 3 || !option_whole(digits, 0, 255, value)) {
            return false;
        }
        result = result << 8 | static_cast<uint32_t>(value);
        bool last = part == 3;
        if (last != (dot == std::string_view::npos)) {
            return false;
        }
        text = last ? std::string_view{} : text.substr(dot + 1);
    }
    address = result;
    return true;
}

void sim_format_endpoint(uint32_t address, uint16_t port, SimEndpoint& out) {
    std::snprintf(out.data(), out.size(), "%u.%u.%u.%u:%u", address >> 24, (address >> 16) & 255,
                  (address >> 8) & 255, address & 255, static_cast<unsigned>(port));
}

uint64_t sim_receiver_ticks(std::chrono::nanoseconds elapsed) {
    // Split so that the product cannot overflow however long the simulator runs.
    uint64_t ns = static_cast<uint64_t>(elapsed.count());
    uint64_t per_second = kReceiverClockHz;
    return ((ns / 1000000000) * per_second + (ns % 1000000000) * per_second / 1000000000) &
           kTimestampMask;
}

uint64_t sim_clock_ticks(const SimClock& clock) {
    if (clock.frozen)
        return clock.frozen_ticks;
    auto elapsed = std::chrono::steady_clock::now() - clock.start;
    bool plain = clock.hz == 12e6 && clock.ppm == 0 && clock.reset_s == 0 && !clock.gps;
    return plain ? sim_receiver_ticks(elapsed) : sim_clock_stamp(clock, elapsed, 0);
}

uint64_t sim_clock_stamp(const SimClock& clock, std::chrono::nanoseconds elapsed, int receiver) {
    int64_t ns = elapsed.count();
    // The first receiver's count restarts once; the second's runs on.
    int64_t reset_ns = static_cast<int64_t>(clock.reset_s * 1e9);
    if (receiver == 0 && reset_ns > 0 && ns >= reset_ns)
        ns -= reset_ns;
    if (clock.gps) {
        constexpr int64_t kDayNs = 86400 * int64_t{1000000000};
        int64_t ahead_ns = receiver == 0 ? 0 : static_cast<int64_t>(kSimMergeAheadS * 1e9);
        int64_t day_ns = (clock.gps_start_ns + ns + ahead_ns) % kDayNs;
        return static_cast<uint64_t>(day_ns / 1000000000) << 30 |
               static_cast<uint64_t>(day_ns % 1000000000);
    }
    double ppm = clock.ppm + (receiver == 0 ? 0 : kSimMergePpm);
    double ahead_s = receiver == 0 ? 0 : kSimMergeAheadS;
    // Whole seconds and the rest apart, so that a long run keeps every tick.
    double hz = clock.hz * (1 + ppm * 1e-6);
    int64_t seconds = ns / 1000000000;
    double ticks = static_cast<double>(seconds) * hz +
                   static_cast<double>(ns % 1000000000) * 1e-9 * hz + ahead_s * clock.hz;
    return static_cast<uint64_t>(std::fmod(ticks, 281474976710656.0)) & kTimestampMask;
}

SimWallTime sim_clock_wall(const SimClock& clock) {
    if (clock.frozen)
        return clock.frozen_wall;
    auto now = std::chrono::system_clock::now();
    std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &seconds);
#else
    localtime_r(&seconds, &local);
#endif
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch());
    return {local.tm_year + 1900,
            local.tm_mon + 1,
            local.tm_mday,
            local.tm_hour,
            local.tm_min,
            local.tm_sec,
            static_cast<int>(ms.count() % 1000)};
}

SimStream sim_stream(std::span<const ReceiverMessage> messages, const SimOptions& options) {
    SimStream stream;
    stream.messages = messages;
    stream.format = options.format;
    stream.line_end = options.line_end;
    stream.gps = options.gps;
    stream.merge = options.merge;
    stream.restarts = options.clock_reset_s > 0;
    return stream;
}

int sim_merge_pick(SimStream& stream) {
    return static_cast<int>(sim_next_random(stream.pick) & 1);
}

size_t sim_write_second(SimStream& stream, uint64_t ticks, const SimWallTime& wall,
                        std::span<char, kSimLineSize> out) {
    // The first receiver's last timestamp is kept aside while the second writes, so
    // that each receiver's timestamps rise on their own.
    uint64_t first_last = stream.last_ticks;
    stream.last_ticks = stream.last_second;
    size_t length = sim_write_message(stream, ticks, wall, out);
    stream.last_second = stream.last_ticks;
    stream.last_ticks = first_last;
    return length;
}

uint8_t sim_signal_level(uint64_t index) {
    return static_cast<uint8_t>(0x10 + index * 37 % 0xF0);
}

size_t sim_write_message(SimStream& stream, uint64_t ticks, const SimWallTime& wall,
                         std::span<char, kSimLineSize> out) {
    const ReceiverMessage& message = stream.messages[stream.next];
    stream.next = (stream.next + 1) % stream.messages.size();
    // Two messages never share a timestamp, even when the clock has not moved between them.
    // A step back of more than a second is the count restarting (--clock-reset): kept.
    bool restarted = stream.restarts && stream.last_ticks - ticks > kReceiverClockHz;
    if (stream.written != 0 && ticks <= stream.last_ticks && !restarted) {
        ticks = (stream.last_ticks + 1) & kTimestampMask;
        // GPS nanoseconds stop below a second: one more carries into the seconds.
        if (stream.gps && (ticks & 0x3FFFFFFF) >= 1000000000)
            ticks = ((ticks >> 30) + 1) << 30;
    }
    stream.last_ticks = ticks;
    uint64_t index = stream.written++;
    switch (stream.format) {
        case SimFormat::avr:
            return stream_text_line(message, TextForm::star, ticks, stream.line_end,
                                    out.first<64>());
        case SimFormat::avr_mlat:
            return stream_text_line(message, TextForm::at, ticks, stream.line_end, out.first<64>());
        case SimFormat::basestation:
            return sim_basestation_line(message, wall, stream.line_end, out);
        case SimFormat::beast:
            break;
    }
    std::array<uint8_t, kMaxWireFrame> frame;
    size_t length = stream_binary_frame(message, ticks, sim_signal_level(index), frame);
    std::memcpy(out.data(), frame.data(), length);
    return length;
}

SimChunker sim_chunker(const SimOptions& options) {
    SimChunker chunker;
    chunker.fixed = options.chunk_size;
    chunker.max = options.chunk_max;
    chunker.state = options.seed;
    return chunker;
}

size_t sim_chunk_next(SimChunker& chunker) {
    if (chunker.max != 0) {
        return 1 + static_cast<size_t>(sim_next_random(chunker.state) % chunker.max);
    }
    return chunker.fixed;
}

uint64_t sim_next_random(uint64_t& state) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return state >> 33;
}
