// The source on a serial port: a reader thread and the ring its bytes wait in.
//
// While a port is configured, the reader thread opens it, finds or sets its speed
// (SpeedHunt), and puts every byte it reads at the speed in use into a fixed ring; the UI
// thread, woken by the front end, takes them out and sends them down the same road as a
// TCP chunk. The reader reports in the source link's slot of the link table, so the
// client line, the silence watchdog and the drops of the UI thread work as for TCP: a
// drop makes the reader close the port and open it again a second later. The reader owns
// the slot only for as long as the slot's drop count is the one its session began with,
// and it never closes anything but its own port. It waits rather than overwrite bytes the
// UI thread has not taken, so nothing is lost while the driver's own queue has room.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <span>
#include <string_view>
#include <thread>

#include "base/serial_port.h"
#include "base/text.h"
#include "net/byte_ring.h"
#include "net/link_table.h"
#include "net/links.h"
#include "net/worker.h"

constexpr size_t kSerialReadBytes = 65536;
constexpr auto kSerialRetryPause = std::chrono::milliseconds(1000);
constexpr int kSerialReadWaitMs = 100;  // a stop, drop or new setting is seen within this

struct SerialLink {
    LinkReports reports;
    Worker worker;
    // The port and speed to use; the reader takes a copy whenever `config_serial` moves.
    std::mutex config_lock;
    Text256 port_name{};  // under config_lock; empty: no serial source
    int32_t speed = 0;    // under config_lock; 0: automatic
    std::atomic<uint32_t> config_serial{0};
    std::condition_variable config_wake;  // with config_lock: new settings or a stop
    std::atomic<bool> binary{false};      // the receiver format, for the speed check
    std::chrono::milliseconds retry_pause = kSerialRetryPause;

    ByteRing ring;  // the reader puts, the UI thread takes

    std::atomic<int32_t> found_speed{0};               // tried first when the port is opened again
    std::array<char, kSerialReadBytes> read_buffer{};  // reader only
};

// Exports from the front end: the serial reader has put bytes in the ring. The front
// end makes the UI thread call the station's serial entry soon (the Win32 program posts
// a window message, the console program and the tests end their loop's wait). Returns
// false when the wake could not be delivered (a full message queue). Reader thread.
bool frontend_serial_wake();

// Uses `port` (empty: none) at `speed` (0: automatic) from now on; a port in use is
// closed and the new one opened at once. Any thread.
void serial_link_configure(SerialLink& link, std::string_view port, int32_t speed);
bool serial_link_active(SerialLink& link);
// Copies the configured port name.
void serial_link_port(SerialLink& link, Text256& port);

void serial_link_start(LinkTable& table, SerialLink& link);
// Asks the reader to end and waits up to `wait`; false if it did not end in time.
bool serial_link_stop(SerialLink& link, std::chrono::milliseconds wait);

// Takes up to `out.size()` bytes from the ring; returns how many. Call after
// serial_link_woken until it returns 0. UI thread.
size_t serial_link_take(SerialLink& link, std::span<char> out);
// The UI thread is about to take: later bytes wake it again. UI thread.
void serial_link_woken(SerialLink& link);
// Throws away what waits in the ring: the source has just changed. UI thread.
void serial_link_discard(SerialLink& link);
