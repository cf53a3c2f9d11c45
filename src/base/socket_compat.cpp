// The socket layer's part that is the same on every platform.
#include "base/socket_compat.h"

#include <cstdio>

void socket_format_address(const in_addr& address, std::array<char, 16>& text) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(&address);
    std::snprintf(text.data(), text.size(), "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
}

bool socket_set_dual_stack(SOCKET s) {
    int v6_only = 0;
    return setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&v6_only),
                      sizeof v6_only) == 0;
}

void socket_no_delay(SOCKET s) {
    int no_delay = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&no_delay),
               sizeof no_delay);
}

sockaddr_in socket_ipv4_address(uint32_t host_order_address, uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(host_order_address);
    address.sin_port = htons(port);
    return address;
}
