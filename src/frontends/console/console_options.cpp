#include "frontends/console/console_options.h"

#include "base/options.h"

namespace {

constexpr char kHelp[] = R"(Usage: qalmor [options]

QALMOR link: keeps a TCP link to a Mode S receiver, shows its messages, and serves
the receiver's raw bytes, unchanged, to up to 100 programs on its relay port.

On a terminal it shows the monitor: the newest messages (one new line every 100 ms),
the relay server line, the receiver link line and, while it runs, the consumer link
line. Keys: 4 stops and resumes the display, 5 switches receiver-clock times on and
off, q or Ctrl+C quits.
Not on a terminal (as a service) it logs each change of the status lines with a UTC
time stamp, and stops cleanly on SIGTERM or SIGINT.

Options:
  --dir DIR     folder of the settings files and of the client log "connect.list"
                (default: the current folder)
  --binary      read the receiver's Beast binary format for this run
  --text        read the receiver's text lines for this run
                (both leave "BinarComOn.ini" as it is)
  --status-file PATH
                write the links' states, the relay clients, messages per second,
                bytes received and the receiver-clock check to PATH as JSON, once a
                second, replacing the file whole (see man qalmor)
  --prom-file PATH
                write the same figures to PATH in the Prometheus text format (for
                the node exporter's textfile collector), once a second
  --serial PORT read the receiver from a serial port (a USB receiver) for this run,
                for example /dev/ttyUSB0 or /dev/serial/by-id/usb-FTDI_...
  --speed N     the serial port's speed in baud; 0 finds it by itself (3000000,
                1000000, 921600, 230400 and 115200 are tried)
                (both leave "initcom.ini" as it is)
  --push HOST:PORT
                push the receiver's stream to a server for this run, in place of
                "initpush.ini"; up to 8 times
  --version     print the version and exit
  -h, --help    print this text and exit

Settings files (one value per line, as the Windows program writes them):
  initmkp1.ini    receiver: port (line 1), address or host name (line 2)
                  default 7777 and 127.0.0.1
  initcom.ini     serial receiver: port (line 1), speed (line 2; empty or 0 finds
                it); while line 1 names a port it replaces the TCP receiver
  initsocket.ini  relay port (line 1; default 7777), where it listens (line 3;
                  empty: every interface), slots one address may hold (line 4)
  allow.list      networks the relay serves, one a line (192.168.1.0/24, ::1);
                  none: everyone
  BinarComOn.ini  1 for the Beast binary format, 0 for text lines (default 0)
  frequency.ini   the receiver's timer frequency in Hz (default 12000000)
  initmkp2.ini    processing server (the consumer link): port (line 1), address
                  (line 2); the link runs only while this file names an address
  initpush.ini    servers to push the receiver's stream to, byte for byte as the
                  relay clients get it: "host port" on each line, at most 8
  point.ini, name.ini, porog.ini
                  receiver coordinates and name (sent to the processing server)
                  and signal threshold (binary frames below it are not sent)
The client log "connect.list" gets one line per status refresh: the UTC time and
the addresses of the connected relay clients.

The relay port and the receiver port are both 7777 by default: with a receiver on
this computer, move one of them.
)";

enum Option {
    kHelpOption,
    kVersion,
    kBinary,
    kText,
    kDir,
    kStatusFile,
    kPromFile,
    kSerial,
    kSpeed,
    kPush
};

constexpr OptionRule kOptions[] = {
    {"-h", OptionKind::flag, kHelpOption},
    {"--help", OptionKind::flag, kHelpOption},
    {"--version", OptionKind::flag, kVersion},
    {"--binary", OptionKind::flag, kBinary},
    {"--text", OptionKind::flag, kText},
    {"--dir", OptionKind::text, kDir},
    {"--status-file", OptionKind::text, kStatusFile},
    {"--prom-file", OptionKind::text, kPromFile},
    {"--serial", OptionKind::text, kSerial},
    {"--speed", OptionKind::whole, kSpeed, 0, 1e9},
    {"--push", OptionKind::text, kPush},
};

OptionsResult fail(std::span<char> error, const char* format, std::string_view arg = "") {
    text_format(error, format, static_cast<int>(arg.size()), arg.data());
    return OptionsResult::exit_error;
}

}  // namespace

OptionsResult console_parse_options(std::span<char*> arguments, ConsoleOptions& options,
                                    std::span<char> error) {
    OptionScan scan{{arguments.data(), arguments.size()}, kOptions};
    OptionHit hit;
    while (option_next(scan, hit)) {
        int id = hit.status == OptionStatus::ok ? hit.rule->id : -1;
        if (hit.status == OptionStatus::no_value && hit.rule->id == kStatusFile)
            return fail(error, "--status-file needs a file name");
        if (hit.status == OptionStatus::no_value && hit.rule->id == kPromFile)
            return fail(error, "--prom-file needs a file name");
        if (hit.status == OptionStatus::no_value && hit.rule->id == kPush)
            return fail(error, "--push needs HOST:PORT");
        bool serial_rule =
            hit.rule != nullptr && (hit.rule->id == kSerial || hit.rule->id == kSpeed);
        if (serial_rule && hit.status != OptionStatus::ok)
            return fail(error, hit.rule->id == kSerial ? "--serial needs a port name"
                                                       : "--speed needs a number of baud");
        // "--dir=" names no folder, and is no option either.
        bool no_dir = hit.status == OptionStatus::no_value || (id == kDir && hit.value.empty());
        if (no_dir && !hit.value_after_equals)
            return fail(error, "--dir needs a folder");
        if (id < 0 || no_dir)
            return fail(error, "unknown option '%.*s'", hit.arg);
        if (id == kHelpOption || id == kVersion) {
            (id == kHelpOption ? options.help : options.version) = true;
            return OptionsResult::exit_ok;
        }
        if (id == kStatusFile || id == kPromFile) {
            auto& file = id == kStatusFile ? options.status_file : options.prom_file;
            if (hit.value.empty() || hit.value.size() >= file.size())
                return fail(error, id == kStatusFile ? "--status-file needs a file name that fits"
                                                     : "--prom-file needs a file name that fits");
            text_copy(file, hit.value);
            continue;
        }
        if (id == kDir && hit.value.size() >= options.dir.size())
            return fail(error, "--dir: the folder name is too long");
        if (id == kDir) {
            text_copy(options.dir, hit.value);
            continue;
        }
        if (id == kSerial) {
            if (hit.value.empty() || hit.value.size() >= options.serial_port.size())
                return fail(error, "--serial needs a port name of at most 255 characters");
            text_copy(options.serial_port, hit.value);
            continue;
        }
        if (id == kSpeed) {
            options.serial_speed = static_cast<int32_t>(hit.whole);
            continue;
        }
        if (id == kPush) {
            PushLine line = push_line_parse(hit.value);
            if (!line.parsed)
                return fail(error, "--push needs HOST:PORT, not '%.*s'", hit.value);
            if (options.push_count >= kPushLines)
                return fail(error, "--push: at most 8 servers");
            options.push[static_cast<size_t>(options.push_count++)] = line;
            continue;
        }
        ModeOverride mode = id == kBinary ? ModeOverride::binary : ModeOverride::text;
        if (options.mode != ModeOverride::none && options.mode != mode)
            return fail(error, "--binary and --text exclude each other");
        options.mode = mode;
    }
    return OptionsResult::run;
}

const char* console_help_text() {
    return kHelp;
}
