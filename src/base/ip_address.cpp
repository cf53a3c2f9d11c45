#include "base/ip_address.h"

#include <cstring>

#include "base/text.h"

namespace {

constexpr uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};

IpAddress mapped(const in_addr& v4) {
    IpAddress address;
    std::memcpy(address.bytes.data(), kMappedPrefix, sizeof kMappedPrefix);
    std::memcpy(address.bytes.data() + 12, &v4, 4);
    return address;
}

IpAddress from_v6(const in6_addr& v6) {
    IpAddress address;
    std::memcpy(address.bytes.data(), &v6, 16);
    return address;
}

// A NUL-terminated copy for the C calls; false when the text cannot be an address.
bool terminated(std::string_view text, std::array<char, 64>& copy) {
    if (text.empty() || text.size() >= copy.size())
        return false;
    text_copy(copy, text);
    return true;
}

// A prefix length: decimal digits only, at most `limit`.
bool parse_prefix(std::string_view text, int limit, int& prefix) {
    if (text.empty() || text.size() > 3)
        return false;
    prefix = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        prefix = prefix * 10 + (c - '0');
    }
    return prefix <= limit;
}

}  // namespace

bool ip_is_v4(const IpAddress& address) {
    return std::memcmp(address.bytes.data(), kMappedPrefix, sizeof kMappedPrefix) == 0;
}

bool ip_parse(std::string_view text, IpAddress& address) {
    std::array<char, 64> copy;
    if (!terminated(text, copy))
        return false;
    in_addr v4;
    if (inet_pton(AF_INET, copy.data(), &v4) == 1) {
        address = mapped(v4);
        return true;
    }
    in6_addr v6;
    if (inet_pton(AF_INET6, copy.data(), &v6) == 1) {
        address = from_v6(v6);
        return true;
    }
    return false;
}

bool ip_from_socket_address(const sockaddr_storage& socket_address, IpAddress& address) {
    if (socket_address.ss_family == AF_INET) {
        address = mapped(reinterpret_cast<const sockaddr_in&>(socket_address).sin_addr);
        return true;
    }
    if (socket_address.ss_family == AF_INET6) {
        address = from_v6(reinterpret_cast<const sockaddr_in6&>(socket_address).sin6_addr);
        return true;
    }
    return false;
}

socklen_t ip_socket_address(const IpAddress& address, uint16_t port, sockaddr_storage& out) {
    out = sockaddr_storage{};
    if (ip_is_v4(address)) {
        auto& v4 = reinterpret_cast<sockaddr_in&>(out);
        v4.sin_family = AF_INET;
        v4.sin_port = htons(port);
        std::memcpy(&v4.sin_addr, address.bytes.data() + 12, 4);
        return sizeof v4;
    }
    auto& v6 = reinterpret_cast<sockaddr_in6&>(out);
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(port);
    std::memcpy(&v6.sin6_addr, address.bytes.data(), 16);
    return sizeof v6;
}

uint16_t socket_address_port(const sockaddr_storage& socket_address) {
    if (socket_address.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in&>(socket_address).sin_port);
    if (socket_address.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6&>(socket_address).sin6_port);
    return 0;
}

void ip_format(const IpAddress& address, std::span<char> text) {
    if (text.empty())
        return;
    std::array<char, kIpTextSize> written{};
    bool done = false;
    if (ip_is_v4(address)) {
        in_addr v4;
        std::memcpy(&v4, address.bytes.data() + 12, 4);
        std::array<char, 16> dotted;
        socket_format_address(v4, dotted);
        text_copy(written, dotted.data());
        done = true;
    } else {
        in6_addr v6;
        std::memcpy(&v6, address.bytes.data(), 16);
        done = inet_ntop(AF_INET6, &v6, written.data(), written.size()) != nullptr;
    }
    text_copy(text, done ? written.data() : "");
}

bool ip_network_parse(std::string_view text, IpNetwork& network) {
    size_t slash = text.find('/');
    if (!ip_parse(text.substr(0, slash), network.base))
        return false;
    bool v4 = ip_is_v4(network.base);
    network.prefix = 128;
    if (slash == std::string_view::npos)
        return true;
    int prefix = 0;
    if (!parse_prefix(text.substr(slash + 1), v4 ? 32 : 128, prefix))
        return false;
    network.prefix = v4 ? 96 + prefix : prefix;
    return true;
}

bool ip_network_contains(const IpNetwork& network, const IpAddress& address) {
    int whole = network.prefix / 8;
    if (std::memcmp(network.base.bytes.data(), address.bytes.data(), static_cast<size_t>(whole)) !=
        0)
        return false;
    int rest = network.prefix % 8;
    if (rest == 0)
        return true;
    auto mask = static_cast<uint8_t>(0xFF << (8 - rest));
    return (network.base.bytes[static_cast<size_t>(whole)] & mask) ==
           (address.bytes[static_cast<size_t>(whole)] & mask);
}

bool ip_allow_list_admits(const IpAllowList& list, const IpAddress& address) {
    if (!list.restricts)
        return true;
    for (int i = 0; i < list.count; ++i) {
        if (ip_network_contains(list.networks[static_cast<size_t>(i)], address))
            return true;
    }
    return false;
}
