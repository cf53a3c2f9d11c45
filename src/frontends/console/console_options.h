// The console program's command line.
#pragma once

#include <cstdint>
#include <span>

#include "base/file_system.h"
#include "base/text.h"
#include "settings/push_lines.h"

enum class ModeOverride { none, binary, text };

struct ConsoleOptions {
    std::array<char, kFilePathSize> dir{'.', '\0'};  // settings files and "connect.list"
    ModeOverride mode = ModeOverride::none;          // for this run only; the file is not touched
    std::array<char, kFilePathSize> status_file{};   // empty: none written
    std::array<char, kFilePathSize> prom_file{};     // the metrics file; empty: none
    // The serial source for this run ("initcom.ini" is not touched); empty: as the file says.
    Text256 serial_port{};
    int32_t serial_speed = -1;  // -1: as the file says; 0: automatic
    // --push: the push targets for this run, in place of "initpush.ini"; none: as the
    // file says.
    PushLines push{};
    int push_count = 0;
    bool help = false;
    bool version = false;
};

enum class OptionsResult { run, exit_ok, exit_error };

// Parses the arguments after the program name. On an error writes one line to `error`.
OptionsResult console_parse_options(std::span<char*> arguments, ConsoleOptions& options,
                                    std::span<char> error);

// The --help text.
const char* console_help_text();
