#include "base/serial_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

#include "base/serial_speed_linux.h"

namespace {

// 8N1, raw, no XON/XOFF, receiver on, modem lines not waited for. The speed is set apart.
bool set_raw(int fd) {
    termios tio{};
    if (tcgetattr(fd, &tio) != 0)
        return false;
    cfmakeraw(&tio);
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK | ISTRIP);
    tio.c_iflag |= IGNBRK;
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | HUPCL);
    tio.c_cflag |= CS8 | CREAD | CLOCAL;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    // The handshake lets an FTDI adapter stop a Beast before its own buffer overflows.
    termios with_handshake = tio;
    with_handshake.c_cflag |= CRTSCTS;
    if (tcsetattr(fd, TCSANOW, &with_handshake) == 0)
        return true;
    return tcsetattr(fd, TCSANOW, &tio) == 0;
}

SerialOpen open_error(int error) {
    switch (error) {
        case ENOENT:
        case ENODEV:
        case ENXIO:
            return SerialOpen::missing;
        case EBUSY:
        case EWOULDBLOCK:
            return SerialOpen::busy;
        case EACCES:
        case EPERM:
            return SerialOpen::denied;
        case ENOTTY:
            return SerialOpen::not_serial;
        default:
            return SerialOpen::failed;
    }
}

SerialOpen fail(SerialPort& port, SerialOpen why) {
    serial_close(port);
    return why;
}

}  // namespace

SerialOpen serial_open(SerialPort& port, const char* name, int32_t speed) {
    serial_close(port);
    if (strnlen(name, kSerialNameSize) >= static_cast<size_t>(kSerialNameSize))
        return SerialOpen::name_too_long;
    // Only a character device is opened. Anything else is no port, and opening it may do
    // something of its own (a writer waiting to open a FIFO goes on as if a reader had
    // come), once a second while the port is tried again. The isatty check after the
    // open refuses devices that are no terminal, and what took the device's place since.
    struct stat info {};
    if (stat(name, &info) != 0)
        return open_error(errno);
    if (!S_ISCHR(info.st_mode))
        return SerialOpen::not_serial;
    int fd = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return open_error(errno);
    port.handle = fd;
    port.open = true;
    if (!isatty(fd))
        return fail(port, SerialOpen::not_serial);
    // Two programs reading one receiver would each get half of its bytes. The lock is
    // advisory but holds even against root, which TIOCEXCL does not.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0)
        return fail(port, SerialOpen::busy);
    ioctl(fd, TIOCEXCL);
    if (!set_raw(fd))
        return fail(port, SerialOpen::not_serial);
    // A receiver whose handshake is on sends nothing while RTS is off. Pseudo-terminals
    // refuse the modem ioctls; that is no reason to give up.
    int lines = TIOCM_RTS | TIOCM_DTR;
    ioctl(fd, TIOCMBIS, &lines);
    SerialOpen result = serial_set_speed(port, speed);
    if (result != SerialOpen::ok)
        return fail(port, result);
    return SerialOpen::ok;
}

SerialOpen serial_set_speed(SerialPort& port, int32_t speed) {
    if (speed <= 0 || !serial_speed_set(port.handle, speed))
        return SerialOpen::speed_refused;
    tcflush(port.handle, TCIFLUSH);
    return SerialOpen::ok;
}

int serial_read(SerialPort& port, char* data, size_t size, int timeout_ms) {
    pollfd watch{port.handle, POLLIN, 0};
    int ready = poll(&watch, 1, timeout_ms);
    if (ready < 0)
        return errno == EINTR ? 0 : -1;
    if (ready == 0)
        return 0;
    ssize_t got = read(port.handle, data, size);
    if (got > 0)
        return static_cast<int>(got);
    if (got < 0 && (errno == EAGAIN || errno == EINTR))
        return 0;
    // Readable yet nothing to read, an I/O error, or a hang-up: the device is gone.
    return -1;
}

void serial_close(SerialPort& port) {
    if (port.open)
        close(port.handle);
    port.open = false;
    port.handle = -1;
}
