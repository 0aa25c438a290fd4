#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "json/json_text.h"

namespace vemla::tun_recovery {

// One IPv4 network the machine knows: an interface address or a route destination.
struct WindowsNetwork {
    std::uint32_t address = 0;  // the first octet in the most significant byte
    unsigned prefix = 0;        // 0..32

    friend bool operator==(const WindowsNetwork&, const WindowsNetwork&) = default;
};

// What the machine already uses: every adapter name (hidden adapters included) and every IPv4
// interface address and route destination, in the order Windows listed them.
struct NetworkInventory {
    // Only the names that are strings; anything else in the list cannot clash with a name.
    std::vector<std::string> names;
    std::vector<WindowsNetwork> networks;
};

// The largest query output that is read as an inventory.
inline constexpr std::size_t kMaxInventoryBytes = 524288;

// "a.b.c.d/p": a dotted-decimal IPv4 address, "/", and a decimal prefix length of at most 32
// that may begin with one "+".
std::expected<WindowsNetwork, std::string> parse_windows_network(const Json& value);

// The query's standard output: at most kMaxInventoryBytes bytes, any number of leading UTF-8
// byte order marks, then a JSON object whose `names` and `networks` members are arrays.
std::expected<NetworkInventory, std::string> parse_network_inventory(std::string_view output);

}  // namespace vemla::tun_recovery
