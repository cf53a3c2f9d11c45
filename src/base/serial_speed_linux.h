// Any serial speed on a POSIX terminal: Linux's termios2 takes the number itself
// (BOTHER), so 3,000,000 and odd speeds need no table. Its header clashes with
// <termios.h>, hence a file of its own.
#pragma once

#include <cstdint>

// Sets both directions' speed. False when the driver refuses it.
bool serial_speed_set(int fd, int32_t speed);
// The speed the terminal is set to (for a pseudo-terminal's master: its slave's), or -1.
int32_t serial_speed_get(int fd);
