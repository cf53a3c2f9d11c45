#include "base/serial_speed_linux.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#ifdef __linux__
bool serial_speed_set(int fd, int32_t speed) {
    struct termios2 tio {};
    if (ioctl(fd, TCGETS2, &tio) != 0)
        return false;
    tio.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    tio.c_ispeed = static_cast<speed_t>(speed);
    tio.c_ospeed = static_cast<speed_t>(speed);
    return ioctl(fd, TCSETS2, &tio) == 0;
}

int32_t serial_speed_get(int fd) {
    struct termios2 tio {};
    if (ioctl(fd, TCGETS2, &tio) != 0)
        return -1;
    return static_cast<int32_t>(tio.c_ospeed);
}
#endif
