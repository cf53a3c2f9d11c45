// The rows of the relay clients window: every reader of the relay's history (its relay
// clients and the push targets) with its figures, and the relay's totals. Texts are
// Windows-1251 and columns are separated by tabs, so a front end lines them up with its
// own tab stops.
#pragma once

#include <array>

#include "base/text.h"
#include "net/push.h"
#include "net/relay.h"

struct Station;

// A push target's row is the longest: its host and its status text.
constexpr int kReaderRowSize = 2 * kTextSize + 160;
// A title, a column heading and an empty row for each of the two kinds of reader, and the
// two rows of totals.
constexpr int kReaderRowsMost = kRelaySlots + kPushTargets + 8;
using ReaderRow = std::array<char, kReaderRowSize>;
using ReaderRows = std::array<ReaderRow, kReaderRowsMost>;

// Writes the rows as they are now: the relay clients in slot order, the push targets in
// the order they were given, then the readers cut and the clients refused. Returns how many
// rows. UI thread.
int station_reader_rows(const Station& station, ReaderRows& rows);
