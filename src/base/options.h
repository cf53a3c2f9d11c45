// Command-line options read from a table one at a time, as getopt does. The caller keeps
// its own messages: the scan says which option came with its value, or what was wrong.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

enum class OptionKind {
    flag,
    whole,    // digits only, from low to high
    decimal,  // as strtod reads it ("2.5", "1e6"), from low to high
    text,
};

struct OptionRule {
    std::string_view name;  // "--port", "-h"
    OptionKind kind = OptionKind::flag;
    int id = 0;  // the caller's; "-h" and "--help" may share one
    double low = 0;
    double high = 0;
    const char* wanted = "";  // what a value must be, for the caller's messages
};

enum class OptionStatus { ok, unknown, no_value, bad_number };

// The arguments after the program name: C strings, so every value ends in a NUL.
struct OptionScan {
    std::span<const char* const> args;
    std::span<const OptionRule> table;
    bool equals_values = true;  // "--name=value" as well as "--name value"
    size_t next = 0;
};

struct OptionHit {
    OptionStatus status = OptionStatus::ok;
    const OptionRule* rule = nullptr;  // null when unknown (a flag given "=value" too)
    size_t at = 0;                     // index of the argument that named it
    std::string_view arg;              // that argument, whole
    std::string_view value;
    bool value_after_equals = false;
    uint64_t whole = 0;
    double decimal = 0;
};

// Reads the next option into `hit`; false when no argument is left.
bool option_next(OptionScan& scan, OptionHit& hit);

// All of `text` as a number from low to high; a decimal's text must end in a NUL.
bool option_whole(std::string_view text, double low, double high, uint64_t& value);
bool option_decimal(std::string_view text, double low, double high, double& value);
