// The ports and the host the program uses until its settings files say otherwise; here,
// below both, so that the link table (net) and the settings files (settings) share them.
#pragma once

#include <cstdint>

constexpr uint16_t kDefaultUpstreamPort = 9999;   // the upstream link, never opened
constexpr uint16_t kDefaultSourcePort = 7777;     // the receiver's data port
constexpr uint16_t kDefaultConsumerPort = 8888;   // the processing server
constexpr uint16_t kDefaultRelayPort = 7777;      // where relay clients connect
constexpr char kDefaultLinkHost[] = "127.0.0.1";  // every link's host
