// "allow.list": the networks the relay serves, one a line ("192.168.1.0/24", "10.0.0.5",
// "::1", "fd00::/8"), '#' beginning a comment. No file, or one without a network, lets
// everyone in. A line that is no network is reported and left out; the others still
// restrict, so a typing error never opens the relay to everyone.
#pragma once

#include "base/ip_address.h"
#include "base/text.h"

constexpr char kAllowListFile[] = "allow.list";
// Lines read, comments and empty ones included; a longer file is cut there and says so.
constexpr int kAllowFileLines = 2 * kAllowNetworks;

struct AllowListLoad {
    bool found = false;
    int bad_lines = 0;       // lines that are no network, or past kAllowNetworks networks
    int first_bad_line = 0;  // counted from 1
    Text256 first_bad_text{};
    bool cut = false;  // the file goes on past kAllowFileLines
};

// Reads the file into `list`.
AllowListLoad allow_list_load(const char* dir, IpAllowList& list);
