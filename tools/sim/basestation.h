// BaseStation ("SBS") text lines derived from Mode S messages.
//
// A BaseStation line has 22 comma-separated fields: "MSG", the transmission type (1 to
// 8), session, aircraft and flight ids, the ICAO address, the dates and times the
// message was generated and logged, then callsign, altitude, ground speed, track,
// latitude, longitude, vertical rate, squawk and the alert, emergency, SPI and on-ground
// flags (-1 for set, 0 for clear). Fields a message does not carry stay empty.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "sim/receiver_stream.h"

// The computer's local date and time, as BaseStation writes it.
struct SimWallTime {
    int year = 1970;
    int month = 1;
    int day = 1;
    int hour = 0;
    int minute = 0;
    int second = 0;
    int millisecond = 0;
};

// Room for the longest line in any form the simulator sends, line end included.
constexpr size_t kSimLineSize = 256;

// Writes the BaseStation line of one message, ending in `line_end`. Every message gives
// a line: those whose contents are not decoded here give a type 8 line (the aircraft
// was heard) with only the address. Returns the bytes written.
size_t sim_basestation_line(const ReceiverMessage& message, const SimWallTime& time,
                            std::string_view line_end, std::span<char, kSimLineSize> out);

// The Mode S CRC-24 (generator 0x1FFF409) over `bytes`. A whole message with a plain
// parity field gives 0.
uint32_t sim_modes_crc(std::span<const uint8_t> bytes);

// The 24-bit ICAO address of a 7- or 14-byte message: sent in the clear in all-call
// replies and extended squitters, otherwise recovered from the address/parity field.
// 0 for 2-byte Mode A/C messages, which carry none.
uint32_t sim_icao_address(const ReceiverMessage& message);
