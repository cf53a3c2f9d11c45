#include "base/serial_speed_linux.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#ifdef __linux__
namespace {

// The speeds that have a code of their own, for where termios2 is not to be had (qemu's
// user-mode emulation, which the arm builds' tests run under, does not pass it on).
struct SpeedCode {
    int32_t speed;
    tcflag_t code;
};
constexpr SpeedCode kSpeedCodes[] = {
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

bool set_by_code(int fd, int32_t speed) {
    for (const SpeedCode& entry : kSpeedCodes) {
        if (entry.speed != speed)
            continue;
        struct termios tio {};
        if (ioctl(fd, TCGETS, &tio) != 0)
            return false;
        tio.c_cflag = (tio.c_cflag & ~static_cast<tcflag_t>(CBAUD)) | entry.code;
        return ioctl(fd, TCSETS, &tio) == 0;
    }
    return false;
}

int32_t get_by_code(int fd) {
    struct termios tio {};
    if (ioctl(fd, TCGETS, &tio) != 0)
        return -1;
    for (const SpeedCode& entry : kSpeedCodes) {
        if ((tio.c_cflag & CBAUD) == entry.code)
            return entry.speed;
    }
    return -1;
}

}  // namespace

bool serial_speed_set(int fd, int32_t speed) {
    struct termios2 tio {};
    if (ioctl(fd, TCGETS2, &tio) != 0)
        return set_by_code(fd, speed);
    tio.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    tio.c_ispeed = static_cast<speed_t>(speed);
    tio.c_ospeed = static_cast<speed_t>(speed);
    return ioctl(fd, TCSETS2, &tio) == 0;
}

int32_t serial_speed_get(int fd) {
    struct termios2 tio {};
    if (ioctl(fd, TCGETS2, &tio) != 0)
        return get_by_code(fd);
    return static_cast<int32_t>(tio.c_ospeed);
}
#endif
