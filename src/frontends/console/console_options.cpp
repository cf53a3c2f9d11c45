#include "frontends/console/console_options.h"

#include <cstring>

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
  --version     print the version and exit
  -h, --help    print this text and exit

Settings files (one value per line, as the Windows program writes them):
  initmkp1.ini    receiver: port (line 1), address or host name (line 2)
                  default 7777 and 127.0.0.1
  initsocket.ini  relay port (line 1); default 7777
  BinarComOn.ini  1 for the Beast binary format, 0 for text lines (default 0)
  frequency.ini   the receiver's timer frequency in Hz (default 12000000)
  initmkp2.ini    processing server (the consumer link): port (line 1), address
                  (line 2); the link runs only while this file names an address
  point.ini, name.ini, porog.ini
                  receiver coordinates and name (sent to the processing server)
                  and signal threshold (binary frames below it are not sent)
The client log "connect.list" gets one line per status refresh: the UTC time and
the addresses of the connected relay clients.

The relay port and the receiver port are both 7777 by default: with a receiver on
this computer, move one of them.
)";

bool is(const char* argument, const char* name) {
    return std::strcmp(argument, name) == 0;
}

}  // namespace

OptionsResult console_parse_options(std::span<char*> arguments, ConsoleOptions& options,
                                    std::span<char> error) {
    for (size_t i = 0; i < arguments.size(); ++i) {
        const char* argument = arguments[i];
        if (is(argument, "-h") || is(argument, "--help")) {
            options.help = true;
            return OptionsResult::exit_ok;
        }
        if (is(argument, "--version")) {
            options.version = true;
            return OptionsResult::exit_ok;
        }
        if (is(argument, "--binary") || is(argument, "--text")) {
            ModeOverride mode =
                is(argument, "--binary") ? ModeOverride::binary : ModeOverride::text;
            if (options.mode != ModeOverride::none && options.mode != mode) {
                text_copy(error, "--binary and --text exclude each other");
                return OptionsResult::exit_error;
            }
            options.mode = mode;
            continue;
        }
        const char* dir = nullptr;
        if (is(argument, "--dir")) {
            if (i + 1 >= arguments.size() || arguments[i + 1][0] == '\0') {
                text_copy(error, "--dir needs a folder");
                return OptionsResult::exit_error;
            }
            dir = arguments[++i];
        } else if (std::strncmp(argument, "--dir=", 6) == 0 && argument[6] != '\0') {
            dir = argument + 6;
        }
        if (dir != nullptr) {
            if (std::strlen(dir) >= options.dir.size()) {
                text_copy(error, "--dir: the folder name is too long");
                return OptionsResult::exit_error;
            }
            text_copy(options.dir, dir);
            continue;
        }
        text_format(error, "unknown option '%s'", argument);
        return OptionsResult::exit_error;
    }
    return OptionsResult::run;
}

const char* console_help_text() {
    return kHelp;
}
