#include "support/base/refused_speeds.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <dlfcn.h>
#include <cerrno>
#include <cstdarg>
#include <mutex>

namespace {

struct SpeedCode {
    int32_t speed;
    tcflag_t code;
};
constexpr SpeedCode kCodes[] = {{115200, B115200},   {230400, B230400},   {921600, B921600},
                                {1000000, B1000000}, {3000000, B3000000}, {4000000, B4000000}};

std::mutex lock;
int32_t refused[8];
int refused_count = 0;

bool is_refused(int32_t speed) {
    std::lock_guard guard(lock);
    for (int i = 0; i < refused_count; ++i) {
        if (refused[i] == speed)
            return true;
    }
    return false;
}

int32_t speed_of_code(tcflag_t cflag) {
    for (const SpeedCode& entry : kCodes) {
        if ((cflag & CBAUD) == entry.code)
            return entry.speed;
    }
    return -1;
}

// The speed a request sets, or -1 for any other request.
int32_t requested_speed(unsigned long request, const void* argument) {
    if (request == TCSETS2 || request == TCSETSW2 || request == TCSETSF2)
        return static_cast<int32_t>(static_cast<const termios2*>(argument)->c_ospeed);
    if (request == TCSETS || request == TCSETSW || request == TCSETSF)
        return speed_of_code(static_cast<const termios*>(argument)->c_cflag);
    return -1;
}

}  // namespace

void refuse_serial_speeds(std::initializer_list<int32_t> speeds) {
    std::lock_guard guard(lock);
    refused_count = 0;
    for (int32_t speed : speeds) {
        if (refused_count < static_cast<int>(std::size(refused)))
            refused[refused_count++] = speed;
    }
}

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept {
    va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    int32_t speed = requested_speed(request, argument);
    if (speed > 0 && is_refused(speed)) {
        errno = EINVAL;
        return -1;
    }
    using Ioctl = int (*)(int, unsigned long, void*);
    static const auto real = reinterpret_cast<Ioctl>(dlsym(RTLD_NEXT, "ioctl"));
    return real(fd, request, argument);
}
