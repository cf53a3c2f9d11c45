#include "sim/receiver_sim.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "support/base/net_helpers.h"
#include "support/decode/framer_helpers.h"

namespace {

using Lines = std::vector<std::string>;

SimParse parse(std::vector<const char*> args, SimOptions& options, SimText& error) {
    return sim_parse_options(args, options, error);
}

std::string error_of(std::vector<const char*> args) {
    SimOptions options;
    SimText error{};
    EXPECT_EQ(parse(args, options, error), SimParse::error) << args[0];
    return error.data();
}

ReceiverMessage message_of(std::string_view avr) {
    ReceiverMessage message;
    EXPECT_TRUE(stream_parse_avr_line(avr, message)) << avr;
    return message;
}

std::vector<std::string> fields_of(std::string_view line) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (size_t comma; (comma = line.find(',', start)) != std::string_view::npos;) {
        fields.emplace_back(line.substr(start, comma - start));
        start = comma + 1;
    }
    fields.emplace_back(line.substr(start));
    return fields;
}

std::string basestation(const ReceiverMessage& message, SimWallTime wall = {}) {
    std::array<char, kSimLineSize> out;
    return std::string(out.data(), sim_basestation_line(message, wall, "", out));
}

std::string basestation(std::string_view avr, SimWallTime wall = {}) {
    return basestation(message_of(avr), wall);
}

std::string write_message(SimStream& stream, uint64_t ticks) {
    std::array<char, kSimLineSize> out;
    return std::string(out.data(), sim_write_message(stream, ticks, {}, out));
}

uint64_t timestamp_of(const std::string& at_line) {
    return std::stoull(at_line.substr(1, 12), nullptr, 16);
}

// ---- Options ----

TEST(SimOptions, DefaultsPlayTheCaptureAsStarLinesOnTheProgramsSourcePort) {
    SimOptions options;
    SimText error{};
    ASSERT_EQ(parse({}, options, error), SimParse::run);
    EXPECT_EQ(options.port, 7777);
    EXPECT_EQ(options.bind_address, 0x7F000001u);
    EXPECT_EQ(options.format, SimFormat::avr);
    EXPECT_EQ(options.rate, 100);
    EXPECT_EQ(options.line_end, "\r\n");
    EXPECT_TRUE(options.file.empty());
    EXPECT_EQ(options.chunk_size + options.chunk_max, 0u);
    EXPECT_EQ(options.pause_after, kSimNever);
    EXPECT_EQ(options.close_after, kSimNever);
    EXPECT_EQ(options.clock, SimClockSource::start);
}

TEST(SimOptions, EveryOptionIsReadWithItsValueAfterASpaceOrAnEqualsSign) {
    SimOptions a;
    SimText error{};
    ASSERT_EQ(parse({"--port", "0", "--bind=0.0.0.0", "--format", "beast", "--rate", "2.5",
                     "--file", "my file.avr", "--line-end=lf", "--random-chunk", "9", "--seed",
                     "4294967295", "--pause-after", "0", "--clock", "monotonic"},
                    a, error),
              SimParse::run)
        << error.data();
    EXPECT_EQ(a.port, 0);
    EXPECT_EQ(a.bind_address, 0u);
    EXPECT_EQ(a.format, SimFormat::beast);
    EXPECT_EQ(a.rate, 2.5);
    EXPECT_EQ(a.file, "my file.avr");
    EXPECT_EQ(a.line_end, "\n");
    EXPECT_EQ(a.chunk_max, 9u);
    EXPECT_EQ(a.seed, 4294967295u);
    EXPECT_EQ(a.pause_after, 0u);
    EXPECT_EQ(a.clock, SimClockSource::monotonic);

    SimOptions b;
    ASSERT_EQ(parse({"--port=65535", "--format=avr-mlat", "--rate", "max", "--chunk", "65535",
                     "--close-after=12", "--line-end", "cr", "--bind", "10.0.255.1",
                     "--clock=monotonic", "--clock=start"},
                    b, error),
              SimParse::run)
        << error.data();
    EXPECT_EQ(b.port, 65535);
    EXPECT_EQ(b.format, SimFormat::avr_mlat);
    EXPECT_EQ(b.rate, 0);  // flat out
    EXPECT_EQ(b.chunk_size, 65535u);
    EXPECT_EQ(b.close_after, 12u);
    EXPECT_EQ(b.line_end, "\r");
    EXPECT_EQ(b.bind_address, 0x0A00FF01u);
    EXPECT_EQ(b.clock, SimClockSource::start);  // the last one given counts

    SimOptions c;
    ASSERT_EQ(parse({"--format", "basestation"}, c, error), SimParse::run);
    EXPECT_EQ(c.format, SimFormat::basestation);
    EXPECT_EQ(parse({"--port", "1", "--help"}, c, error), SimParse::help);
    EXPECT_EQ(parse({"-h", "--bogus"}, c, error), SimParse::help);
}

TEST(SimOptions, BadOptionsGiveOneLineNamingTheOptionAndTheValue) {
    struct Case {
        std::vector<const char*> args;
        const char* names;  // must appear in the error
    };
    const Case cases[] = {
        {{"--bogus"}, "unknown option '--bogus'"},
        {{"7777"}, "unexpected argument '7777'"},
        {{"--port"}, "--port needs a value"},
        {{"--port", "65536"}, "--port: '65536'"},
        {{"--port", "80x"}, "--port: '80x'"},
        {{"--port="}, "--port: ''"},
        {{"--bind", "localhost"}, "--bind: 'localhost'"},
        {{"--bind", "1.2.3"}, "--bind: '1.2.3'"},
        {{"--bind", "1.2.3.256"}, "--bind: '1.2.3.256'"},
        {{"--bind", "1.2.3.4."}, "--bind: '1.2.3.4.'"},
        {{"--bind", "1..3.4"}, "--bind: '1..3.4'"},
        {{"--format", "sbs"}, "--format: 'sbs'"},
        {{"--rate", "0"}, "--rate: '0'"},
        {{"--rate", "fast"}, "--rate: 'fast'"},
        {{"--rate", "5x"}, "--rate: '5x'"},
        {{"--rate", "nan"}, "--rate: 'nan'"},
        {{"--rate", "2e7"}, "--rate: '2e7'"},
        {{"--line-end", "CRLF"}, "--line-end: 'CRLF'"},
        {{"--chunk", "0"}, "--chunk: '0'"},
        {{"--chunk", "65536"}, "--chunk: '65536'"},
        {{"--seed", "4294967296"}, "--seed: '4294967296'"},
        {{"--pause-after", "x"}, "--pause-after: 'x'"},
        {{"--close-after", "-1"}, "--close-after: '-1'"},
        {{"--clock", "utc"}, "--clock: 'utc'"},
        {{"--clock"}, "--clock needs a value"},
        {{"--chunk", "3", "--random-chunk", "4"}, "--chunk and --random-chunk"},
        {{"--pause-after", "1", "--close-after", "2"}, "--pause-after and --close-after"},
    };
    for (const Case& c : cases) {
        std::string error = error_of(c.args);
        EXPECT_NE(error.find(c.names), std::string::npos) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    }
}

TEST(SimOptions, HelpExplainsEveryOptionAndEveryFormWithExamples) {
    std::string_view help = sim_help_text();
    for (const char* word : {"--port",      "--bind",        "--format",      "--rate",
                             "--file",      "--line-end",    "--chunk",       "--random-chunk",
                             "--seed",      "--pause-after", "--close-after", "--clock",
                             "monotonic",   "--help",        "avr-mlat",      "basestation",
                             "beast",       "max",           "crlf",          "Examples:",
                             "listening on"}) {
        EXPECT_NE(help.find(word), std::string_view::npos) << word;
    }
}

TEST(SimOptions, MessagesComeFromTheFileOrTheBuiltInCapture) {
    SimOptions options;
    SimText error{};
    std::vector<ReceiverMessage> messages;
    ASSERT_TRUE(sim_load_messages(options, messages, error));
    EXPECT_EQ(messages.size(), 217u);

    auto path = std::filesystem::temp_directory_path() / "qalmor-sim-test-messages.avr";
    std::ofstream(path, std::ios::binary)
        << "*5d4d20237a55a6;\r\n# note\n@0000000000018d4840d6202cc371c32ce0576098;\n";
    options.file = path.string();
    ASSERT_TRUE(sim_load_messages(options, messages, error));
    EXPECT_EQ(messages.size(), 2u);

    std::ofstream(path, std::ios::binary) << "not a message\n";
    EXPECT_FALSE(sim_load_messages(options, messages, error));
    EXPECT_NE(std::string(error.data()).find(options.file), std::string::npos);
    std::filesystem::remove(path);
    EXPECT_FALSE(sim_load_messages(options, messages, error));
}

TEST(SimOptions, EndpointsAreWrittenAsDottedQuadAndPort) {
    SimEndpoint text;
    sim_format_endpoint(0x0A00FF01, 65535, text);
    EXPECT_STREQ(text.data(), "10.0.255.1:65535");
    sim_format_endpoint(0xFFFFFFFF, 0, text);
    EXPECT_STREQ(text.data(), "255.255.255.255:0");
}

// ---- The stream ----

TEST(SimStream, ReceiverClockRunsAt12MHzAndWrapsAt48Bits) {
    using namespace std::chrono;
    EXPECT_EQ(sim_receiver_ticks(seconds(1)), 12000000u);
    EXPECT_EQ(sim_receiver_ticks(milliseconds(250)), 3000000u);
    EXPECT_EQ(sim_receiver_ticks(nanoseconds(999)), 11u);
    auto days_300 = hours(24 * 300);
    EXPECT_EQ(sim_receiver_ticks(days_300),
              static_cast<uint64_t>(duration_cast<seconds>(days_300).count()) * 12000000 %
                  (uint64_t{1} << 48));
}

TEST(SimStream, EachFormLoopsTheFileAndTimestampsAlwaysRise) {
    std::vector<ReceiverMessage> file = {message_of("*5d4d20237a55a6;"),
                                         message_of("*8d4840d6202cc371c32ce0576098;")};
    SimOptions options;
    options.line_end = "\n";
    SimStream star = sim_stream(file, options);
    EXPECT_EQ(write_message(star, 5), "*5D4D20237A55A6;\n");
    EXPECT_EQ(write_message(star, 5), "*8D4840D6202CC371C32CE0576098;\n");
    EXPECT_EQ(write_message(star, 5), "*5D4D20237A55A6;\n");

    // A clock that stands still or steps back still gives rising timestamps.
    options.format = SimFormat::avr_mlat;
    SimStream at = sim_stream(file, options);
    Lines lines;
    for (uint64_t ticks : {100, 100, 50, 500}) {
        lines.push_back(write_message(at, ticks));
    }
    EXPECT_EQ(
        lines,
        (Lines{"@0000000000645D4D20237A55A6;\n", "@0000000000658D4840D6202CC371C32CE0576098;\n",
               "@0000000000665D4D20237A55A6;\n", "@0000000001F48D4840D6202CC371C32CE0576098;\n"}));

    // Binary frames, escapes and all, decode to the same lines the '@' form gives.
    options.format = SimFormat::beast;
    SimStream beast = sim_stream(file, options);
    std::string bytes;
    for (uint64_t ticks : {0x1A1A1A1A1A1Aull, 0x1A1A1A1A1A1Aull, 7ull}) {
        bytes += write_message(beast, ticks);
    }
    Framer framer;
    EXPECT_EQ(framer_lines(framer, bytes, true),
              (Lines{stream_expected_at_line(file[0], 0x1A1A1A1A1A1A),
                     stream_expected_at_line(file[1], 0x1A1A1A1A1A1B),
                     stream_expected_at_line(file[0], 0x1A1A1A1A1A1C)}));
}

// The clocks the program's clock check is tried with: a count off by N ppm that
// restarts once, GPS time of day, and a second receiver's clock under a second ahead
// whose timestamps rise on their own, so that the merged stream steps back.
TEST(SimStream, ReceiverClocksDriftRestartAndMerge) {
    using namespace std::chrono;
    SimClock clock;
    clock.ppm = 250;
    clock.reset_s = 200;
    EXPECT_EQ(sim_clock_stamp(clock, seconds(100), 0), 1200300000u);
    EXPECT_EQ(sim_clock_stamp(clock, seconds(201), 0), 12003000u);
    EXPECT_EQ(sim_clock_stamp(clock, seconds(100), 1),
              static_cast<uint64_t>(100 * 12e6 * (1 + 280e-6) + 0.4 * 12e6));

    clock.gps = true;
    clock.gps_start_ns = 86399 * int64_t{1000000000};
    EXPECT_EQ(sim_clock_stamp(clock, milliseconds(500), 0), uint64_t{86399} << 30 | 500000000);
    EXPECT_EQ(sim_clock_stamp(clock, milliseconds(1500), 0), uint64_t{0} << 30 | 500000000);

    std::vector<ReceiverMessage> file = {message_of("*5d4d20237a55a6;")};
    SimOptions options;
    options.format = SimFormat::avr_mlat;
    SimStream merged = sim_stream(file, options);
    std::array<char, kSimLineSize> out;
    std::string ahead(out.data(), sim_write_second(merged, 5000, {}, out));
    std::string behind = write_message(merged, 100);
    EXPECT_EQ(timestamp_of(ahead), 5000u);
    EXPECT_EQ(timestamp_of(behind), 100u);
}

TEST(SimStream, SendSizesAreFixedOrRandomWithinTheMaximumAndRepeatable) {
    SimOptions options;
    SimChunker uncut = sim_chunker(options);
    EXPECT_EQ(sim_chunk_next(uncut), 0u);

    options.chunk_size = 7;
    SimChunker fixed = sim_chunker(options);
    EXPECT_EQ(sim_chunk_next(fixed), 7u);
    EXPECT_EQ(sim_chunk_next(fixed), 7u);

    options.chunk_size = 0;
    options.chunk_max = 5;
    options.seed = 42;
    SimChunker random = sim_chunker(options);
    SimChunker same = sim_chunker(options);
    std::array<int, 6> seen{};
    for (int i = 0; i < 1000; ++i) {
        size_t size = sim_chunk_next(random);
        ASSERT_GE(size, 1u);
        ASSERT_LE(size, 5u);
        ++seen[size];
        ASSERT_EQ(sim_chunk_next(same), size);
    }
    for (int size = 1; size <= 5; ++size) {
        EXPECT_GT(seen[static_cast<size_t>(size)], 100) << size;
    }
}

// ---- BaseStation lines ----

TEST(SimBaseStation, KnownMessagesGiveTheirTypeAddressAndFields) {
    SimWallTime wall{2024, 3, 9, 14, 5, 7, 89};
    EXPECT_EQ(basestation("*8d4840d6202cc371c32ce0576098;", wall),
              "MSG,1,1,1,4840D6,1,2024/03/09,14:05:07.089,2024/03/09,14:05:07.089,"
              "KLM1023,,,,,,,,,,,");

    struct Case {
        const char* avr;
        std::vector<std::pair<size_t, const char*>> fields;  // index and text
    };
    const Case cases[] = {
        // Airborne position: 38000 ft.
        {"*8d40621d58c382d690c8ac2863a7;", {{1, "3"}, {4, "40621D"}, {11, "38000"}, {21, "0"}}},
        // Velocity over ground: 159.2 kt on 182.88 degrees, descending 832 ft/min.
        {"*8d485020994409940838175b284f;",
         {{1, "4"}, {4, "485020"}, {12, "159"}, {13, "183"}, {16, "-832"}}},
        // Surveillance replies from the capture: address from the parity field.
        {"*20000f1f684a6c;", {{1, "5"}, {4, "4D2023"}, {11, "23375"}, {18, "0"}, {21, "0"}}},
        {"*280010248c796b;", {{1, "6"}, {4, "4D2023"}, {17, "0112"}, {19, "0"}}},
        {"*02e60eb9be4118;", {{1, "7"}, {4, "4D2023"}, {11, "22825"}, {21, "0"}}},
        // The same reply in metres (M bit set) is not decoded.
        {"*20000f5f684a6c;", {{1, "5"}, {11, ""}}},
        {"*5d4d20237a55a6;", {{1, "8"}, {4, "4D2023"}, {21, "0"}}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> fields = fields_of(basestation(c.avr));
        ASSERT_EQ(fields.size(), 22u) << c.avr;
        EXPECT_EQ(fields[0], "MSG");
        for (const auto& [index, text] : c.fields) {
            EXPECT_EQ(fields[index], text) << c.avr << " field " << index;
        }
    }
}

TEST(SimBaseStation, CrcRecoversTheOneAircraftOfTheCaptureFromEveryMessage) {
    ReceiverMessage klm = message_of("*8d4840d6202cc371c32ce0576098;");
    EXPECT_EQ(sim_modes_crc({klm.bytes.data(), 14}), 0u);
    EXPECT_EQ(sim_modes_crc({klm.bytes.data(), 11}), 0x576098u);
    // Whatever the downlink format, every message of the capture comes from 4D2023.
    for (const ReceiverMessage& message : real_capture()) {
        ASSERT_EQ(sim_icao_address(message), 0x4D2023u);
        std::string line = basestation(message);
        EXPECT_EQ(fields_of(line).size(), 22u) << line;
    }
}

// ---- Sessions over loopback ----

constexpr uint64_t kFrozenTicks = 0x1A1A1A1A1A00;  // runs into 0x1A...1A on purpose
constexpr SimWallTime kFrozenWall{2025, 12, 31, 23, 59, 59, 999};

// The simulator on a thread, serving the real capture on a free loopback port.
struct Session {
    std::vector<ReceiverMessage> messages = real_capture();
    std::unique_ptr<SimServer> server = std::make_unique<SimServer>();
    std::atomic<bool> stop{false};
    std::thread thread;

    explicit Session(SimOptions options, bool frozen_clock = true) {
        sockets_start();
        options.port = 0;
        SimText error{};
        server->clock.frozen = frozen_clock;
        server->clock.frozen_ticks = kFrozenTicks;
        server->clock.frozen_wall = kFrozenWall;
        EXPECT_TRUE(sim_listen(*server, options, error)) << error.data();
        thread = std::thread([this, options] { sim_serve(*server, options, messages, stop); });
    }
    ~Session() {
        stop = true;
        thread.join();
        sim_close(*server);
        sockets_stop();
    }
};

// A client that waits no more than 5 s for each read, so that no test can hang on a
// silent server.
struct Client {
    SOCKET socket = INVALID_SOCKET;

    explicit Client(uint16_t port) : socket(connect_to(port)) { EXPECT_NE(socket, INVALID_SOCKET); }
    ~Client() { closesocket(socket); }

    // Every byte until the server closes; `closed` is false if it stopped on the timeout.
    std::string read_to_end(bool& closed) {
        std::string bytes;
        std::array<char, 4096> buffer;
        int got;
        while ((got = relay_client_read(socket, buffer, 5000)) > 0) {
            bytes.append(buffer.data(), static_cast<size_t>(got));
        }
        closed = got < 0;
        return bytes;
    }

    // Reads until the framer has `count` lines (or the timeout); the lines read.
    Lines read_lines(size_t count, bool binary) {
        Framer framer;
        Lines lines;
        std::array<char, 64> buffer;
        int got;
        while (lines.size() < count && (got = relay_client_read(socket, buffer, 5000)) > 0) {
            for (auto& line :
                 framer_lines(framer, {buffer.data(), static_cast<size_t>(got)}, binary)) {
                lines.push_back(line);
            }
        }
        return lines;
    }

    // True when neither data nor a close arrives within `ms`.
    bool silent_for(int ms) {
        std::array<char, 1> byte;
        return relay_client_read(socket, byte, ms) == 0;
    }
};

// The lines the program's framer should make of message i in each form.
std::string expected_line(SimFormat format, const ReceiverMessage& message, uint64_t i) {
    std::array<char, kSimLineSize> out;
    switch (format) {
        case SimFormat::avr:
            return std::string(out.data(), stream_text_line(message, TextForm::star, 0, "\r\n",
                                                            std::span(out).first<64>()));
        case SimFormat::basestation:
            return std::string(out.data(), sim_basestation_line(message, kFrozenWall, "\r\n", out));
        default:
            return stream_expected_at_line(message, kFrozenTicks + i);
    }
}

TEST(SimSession, EveryFormDecodesToTheFileInOrderLoopingIt) {
    const uint64_t count = 2 * 217 + 3;
    for (SimFormat format :
         {SimFormat::avr, SimFormat::avr_mlat, SimFormat::basestation, SimFormat::beast}) {
        SimOptions options;
        options.format = format;
        options.rate = 0;
        options.close_after = count;
        Session session(options);
        Client client(session.server->port);
        bool closed = false;
        std::string bytes = client.read_to_end(closed);
        EXPECT_TRUE(closed);
        Framer framer;
        Lines lines = framer_lines(framer, bytes, format == SimFormat::beast);
        ASSERT_EQ(lines.size(), count) << static_cast<int>(format);
        for (uint64_t i = 0; i < count; ++i) {
            ASSERT_EQ(lines[i], expected_line(format, session.messages[i % 217], i))
                << "format " << static_cast<int>(format) << " message " << i;
        }
    }
}

TEST(SimSession, RealClockTimestampsRiseAndTheFramesCarryTheFile) {
    SimOptions options;
    options.format = SimFormat::beast;
    options.rate = 5000;
    options.close_after = 250;
    Session session(options, false);
    Client client(session.server->port);
    bool closed = false;
    std::string bytes = client.read_to_end(closed);
    Framer framer;
    Lines lines = framer_lines(framer, bytes, true);
    ASSERT_EQ(lines.size(), 250u);
    uint64_t previous = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        uint64_t ticks = timestamp_of(lines[i]);
        EXPECT_GT(ticks, previous) << i;
        EXPECT_EQ(lines[i], stream_expected_at_line(session.messages[i % 217], ticks));
        previous = ticks;
    }
}

// Another process on this computer reads the same clock: each frame's timestamp lies
// between this test's readings of it before the connection and after the last frame
// (written in one instant, the frames are one tick apart, hence the allowance).
TEST(SimSession, MonotonicClockStampsEachFrameWithTheComputersClockWhenSent) {
    const uint64_t count = 300;
    SimOptions options;
    options.format = SimFormat::beast;
    options.rate = 0;
    options.close_after = count;
    options.clock = SimClockSource::monotonic;
    Session session(options, false);
    auto now_ticks = [] {
        return sim_receiver_ticks(std::chrono::steady_clock::now().time_since_epoch());
    };
    uint64_t before = now_ticks();
    Client client(session.server->port);
    bool closed = false;
    std::string bytes = client.read_to_end(closed);
    uint64_t window = (now_ticks() - before + count) & kTimestampMask;
    Framer framer;
    Lines lines = framer_lines(framer, bytes, true);
    ASSERT_EQ(lines.size(), count);
    uint64_t previous_age = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        uint64_t age = (timestamp_of(lines[i]) - before) & kTimestampMask;
        ASSERT_LE(age, window) << "frame " << i << " of " << lines[i];
        EXPECT_TRUE(i == 0 || age > previous_age) << i;
        EXPECT_EQ(lines[i], stream_expected_at_line(session.messages[i % 217], before + age));
        previous_age = age;
    }
}

TEST(SimSession, CuttingTheStreamIntoChunksLeavesTheBytesUnchanged) {
    for (SimFormat format : {SimFormat::avr, SimFormat::beast}) {
        auto session_bytes = [format](size_t chunk_size, size_t chunk_max) {
            SimOptions options;
            options.format = format;
            options.rate = 0;
            options.close_after = 120;  // 1-byte sends are slow under Wine
            options.chunk_size = chunk_size;
            options.chunk_max = chunk_max;
            options.seed = 5;
            Session session(options);
            Client client(session.server->port);
            bool closed = false;
            std::string bytes = client.read_to_end(closed);
            EXPECT_TRUE(closed);
            return bytes;
        };
        std::string whole = session_bytes(0, 0);
        ASSERT_GT(whole.size(), 120u * 10);
        EXPECT_EQ(session_bytes(1, 0), whole);
        EXPECT_EQ(session_bytes(7, 0), whole);
        EXPECT_EQ(session_bytes(0, 13), whole);
        EXPECT_EQ(session_bytes(65535, 0), whole);  // one short last send
    }
}

TEST(SimSession, CloseAfterSendsExactlyNThenClosesAndServesTheNextFromTheTop) {
    SimOptions options;
    options.rate = 1000;
    options.close_after = 5;
    options.chunk_size = 3;  // the fifth message ends inside a send
    Session session(options);
    Lines first;
    for (int connection = 0; connection < 2; ++connection) {
        Client client(session.server->port);
        bool closed = false;
        std::string bytes = client.read_to_end(closed);
        EXPECT_TRUE(closed);
        Framer framer;
        Lines lines = framer_lines(framer, bytes, false);
        EXPECT_EQ(lines.size(), 5u);
        if (connection == 0) {
            first = lines;
        } else {
            EXPECT_EQ(lines, first);
        }
    }
    EXPECT_EQ(first[0], expected_line(SimFormat::avr, session.messages[0], 0));

    options.close_after = 0;
    Session at_once(options);
    Client client(at_once.server->port);
    bool closed = false;
    EXPECT_EQ(client.read_to_end(closed), "");
    EXPECT_TRUE(closed);
}

TEST(SimSession, PauseAfterFallsSilentUntilThePeerLeavesThenServesTheNext) {
    SimOptions options;
    options.format = SimFormat::beast;
    options.rate = 0;
    options.pause_after = 10;
    options.chunk_max = 9;
    Session session(options);

    auto first = std::make_unique<Client>(session.server->port);
    Lines lines = first->read_lines(10, true);
    ASSERT_EQ(lines.size(), 10u);
    EXPECT_TRUE(first->silent_for(300));  // nothing more, and not closed

    // One connection at a time: the next one waits until the first has gone.
    Client second(session.server->port);
    EXPECT_TRUE(second.silent_for(200));
    first.reset();
    Lines again = second.read_lines(10, true);
    ASSERT_EQ(again.size(), 10u);
    EXPECT_TRUE(second.silent_for(200));
    for (size_t i = 0; i < 10; ++i) {
        EXPECT_EQ(again[i], stream_expected_at_line(session.messages[i], kFrozenTicks + 10 + i));
    }
}

}  // namespace
