// "initpush.ini": the servers the relay pushes the receiver's stream to, one a line,
// "host port" (or "host:port"), at most kPushLines of them. Empty lines and lines that
// begin with '#' are no target; a line that does not read as a host and a port is kept
// with its text, so that its status line can say so.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "base/text.h"

constexpr char kPushSettingsFile[] = "initpush.ini";
constexpr int kPushLines = 8;

struct PushLine {
    Text256 text{};  // the line as it stands, blanks around it taken off
    Text256 host{};
    uint16_t port = 0;
    bool parsed = false;  // host and port read; else the line is shown as an error
};
using PushLines = std::array<PushLine, kPushLines>;

// One line: "host port" or "host:port", a port from 1 to 65535.
PushLine push_line_parse(std::string_view text);

// Reads the file's targets into `lines`; returns how many, 0 when there is no file.
int push_lines_load(const char* dir, PushLines& lines);

// Rewrites the file with `count` lines' texts.
void push_lines_save(const char* dir, const PushLines& lines, int count);

// Whether two lines name the same target (the same host and port).
bool push_line_same_target(const PushLine& a, const PushLine& b);
