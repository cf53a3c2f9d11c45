// IP addresses of either family, and the networks an allow-list names.
//
// An address is held as 16 bytes: an IPv4 address in its IPv4-mapped IPv6 form
// (::ffff:a.b.c.d). A peer that reaches a dual-stack socket over IPv4 arrives in that form
// anyway, so one comparison serves both families, and an IPv4 network matches its peers
// whichever socket they came in on.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "base/socket_compat.h"

struct IpAddress {
    std::array<uint8_t, 16> bytes{};
    bool operator==(const IpAddress&) const = default;
};

// The longest text ip_format writes, with its NUL: a full IPv6 address (no zone).
constexpr int kIpTextSize = 46;

// Whether it is an IPv4 address (held mapped).
bool ip_is_v4(const IpAddress& address);
// A numeric address, "192.168.1.10" or "fd00::1"; never a name, so never a lookup.
bool ip_parse(std::string_view text, IpAddress& address);
// The address of a socket address of either family; false for another family.
bool ip_from_socket_address(const sockaddr_storage& socket_address, IpAddress& address);
// The socket address of `address` and `port`: IPv4 for an IPv4 address, IPv6 otherwise.
// Returns its length.
socklen_t ip_socket_address(const IpAddress& address, uint16_t port, sockaddr_storage& out);
// The port of a socket address of either family (0 for another family).
uint16_t socket_address_port(const sockaddr_storage& socket_address);
// Dotted IPv4 for an IPv4 address, however it came; the usual short IPv6 form otherwise.
void ip_format(const IpAddress& address, std::span<char> text);

// A network: the addresses whose first `prefix` bits (of the 128) are those of `base`.
struct IpNetwork {
    IpAddress base;
    int prefix = 128;
};

// "10.0.0.5", "192.168.1.0/24", "::1", "fd00::/8": an address alone is a network of one.
// An IPv4 prefix counts IPv4 bits (0 to 32), an IPv6 prefix IPv6 bits (0 to 128).
bool ip_network_parse(std::string_view text, IpNetwork& network);
bool ip_network_contains(const IpNetwork& network, const IpAddress& address);

// The networks a listener lets in. A list that restricts nothing lets everyone in; one that
// restricts but holds no network (every line was wrong) lets nobody in.
constexpr int kAllowNetworks = 64;
struct IpAllowList {
    std::array<IpNetwork, kAllowNetworks> networks{};
    int count = 0;
    bool restricts = false;
};

bool ip_allow_list_admits(const IpAllowList& list, const IpAddress& address);
