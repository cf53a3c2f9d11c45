// The source link's events, the fan-out of source data and the silence watchdog.
#pragma once

#include <cstdint>

#include "net/socket_compat.h"

struct Station;

constexpr int kSourceReceiveSize = 65535;
// The source link is dropped on the 391st tick without a decoded line.
constexpr int32_t kSilenceLimitTicks = 390;

// The source link's notification: a read event receives one chunk, feeds it to the
// framer and then relays it unchanged; a close event drops the link. Events for a socket
// that is no longer the source link's are stale and ignored. UI thread.
void source_event(Station& station, SOCKET s, unsigned event);

// One timer tick of the silence watchdog. UI thread.
void watchdog_step(Station& station);
