// The simulator as a receiver on a serial port: a pseudo-terminal whose far end the
// program opens as its port. Linux only.
//
// It plays the stream either at one speed only, like a real receiver, sending noise
// while the program's port is set to any other speed (it reads back the speed the program
// set on the pseudo-terminal), or at whatever speed the program sets.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>
#include <string>

#include "sim/receiver_sim.h"

struct SimSerial {
    int master = -1;
    int slave = -1;        // held open so the terminal keeps its settings between opens
    std::string path;      // the device the program opens
    std::string link;      // a symbolic link to it, when asked for
    uint64_t written = 0;  // stream bytes written (noise not counted)
};

// Makes the pseudo-terminal (raw, so nothing is echoed or translated before the program
// sets it up) and, when `link` is not empty, a symbolic link to it there. False, with a
// reason, when it cannot.
bool sim_serial_open(SimSerial& serial, const std::string& link, SimText& error);

// The speed the program has set on its end, or -1.
int32_t sim_serial_speed(const SimSerial& serial);

// Plays the messages until `stop`: at `only_speed` baud only (noise at any other), or at
// any speed for 0. Paced at the line rate (10 bits a byte) and, unless options.rate is 0,
// at options.rate messages a second. Waits rather than drops when the program is slow.
void sim_serial_play(SimSerial& serial, const SimOptions& options, int32_t only_speed,
                     std::span<const ReceiverMessage> messages, const std::atomic<bool>& stop);

// Closes both ends and removes the link: to the program, the device was unplugged.
void sim_serial_close(SimSerial& serial);
