// Serial ports under one set of names: Win32 COM ports and POSIX terminals.
//
// Like the socket compatibility layer, this is where the core meets the platform for
// its serial source. A port is opened for receiving a receiver's stream: 8 data bits, no
// parity, one stop bit, raw bytes, no XON/XOFF, RTS and DTR asserted, the RTS/CTS
// handshake on where the driver takes it (a pseudo-terminal or an adapter without the
// lines refuses it, and is used without).
#pragma once

#include <cstddef>
#include <cstdint>

// Longest port name taken: a Linux /dev/serial/by-id/ path fits with room to spare.
constexpr int kSerialNameSize = 256;

#ifdef _WIN32
using SerialHandle = void*;  // a HANDLE
#else
using SerialHandle = int;  // a file descriptor
#endif

struct SerialPort {
#ifdef _WIN32
    SerialHandle handle = reinterpret_cast<SerialHandle>(-1);  // INVALID_HANDLE_VALUE
#else
    SerialHandle handle = -1;
#endif
    bool open = false;
    int read_timeout_ms = -1;  // what the port's read timeout is set to (Windows)
};

enum class SerialOpen {
    ok,
    name_too_long,
    missing,        // no such port (or unplugged)
    busy,           // another program holds it
    denied,         // no permission (Linux: not in the dialout group)
    not_serial,     // it exists but is no serial port
    speed_refused,  // the driver refused the speed
    failed,         // anything else
};

// Opens `name` at `speed`: on Windows "COMn" or "\\.\COMn" only, n from 1 to 256;
// elsewhere the path of a character device. Any other name is not_serial, unopened.
SerialOpen serial_open(SerialPort& port, const char* name, int32_t speed);
// Changes the speed of an open port and discards what was received at the old one.
SerialOpen serial_set_speed(SerialPort& port, int32_t speed);

// Waits up to `timeout_ms` for bytes and reads what is there, at most `size` bytes.
// Returns the count (0 when none came in time) or -1 when the port has failed or gone
// (a USB adapter unplugged).
int serial_read(SerialPort& port, char* data, size_t size, int timeout_ms);

void serial_close(SerialPort& port);
