#include "support/base/no_ipv6.h"

#include <dlfcn.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>

namespace {
std::atomic<bool> refusing{false};
}  // namespace

void refuse_ipv6_sockets(bool refuse) {
    refusing = refuse;
}

extern "C" int socket(int domain, int type, int protocol) noexcept {
    if (domain == AF_INET6 && refusing) {
        errno = EAFNOSUPPORT;
        return -1;
    }
    using Make = int (*)(int, int, int);
    static const auto real = reinterpret_cast<Make>(dlsym(RTLD_NEXT, "socket"));
    return real(domain, type, protocol);
}
