#include "tun_recovery/windows_networks.h"
#include "json/result.h"

#include <algorithm>
#include <optional>

namespace vemla::tun_recovery {
namespace {

constexpr std::string_view kBadNetwork = "Некорректный сетевой адрес Windows";
constexpr std::string_view kTooLarge = "Список адресов Windows слишком большой";
constexpr std::string_view kNotJson = "Windows вернула неполный список адресов";
constexpr std::string_view kNoNames = "Не удалось прочитать имена сетевых адаптеров";
constexpr std::string_view kNoNetworks = "Не удалось прочитать адреса сетевых адаптеров";

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// A decimal number of one or more ASCII digits, or nothing; stops counting past `limit`.
std::optional<unsigned> parse_decimal(std::string_view text, unsigned limit) {
    if (text.empty()) {
        return std::nullopt;
    }
    unsigned value = 0;
    for (const char c : text) {
        if (!is_digit(c)) {
            return std::nullopt;
        }
        value = std::min(value * 10 + static_cast<unsigned>(c - '0'), limit + 1);
    }
    return value;
}

// Four decimal octets. A leading zero is refused, as everywhere else the helper reads an
// address: "010" is 8 to some readers and 10 to others, and Windows never writes one, so such
// a text did not come from Windows and tells nothing reliable about what is taken.
std::optional<std::uint32_t> parse_ipv4(std::string_view text) {
    std::uint32_t address = 0;
    for (int index = 0; index < 4; ++index) {
        const std::size_t dot = index < 3 ? text.find('.') : text.size();
        if (dot == std::string_view::npos) {
            return std::nullopt;
        }
        const std::string_view octet = text.substr(0, dot);
        const std::optional<unsigned> value = parse_decimal(octet, 255);
        if (!value || *value > 255 || (octet.size() > 1 && octet[0] == '0')) {
            return std::nullopt;
        }
        address = (address << 8) | *value;
        text.remove_prefix(index < 3 ? dot + 1 : dot);
    }
    return address;
}

std::optional<unsigned> parse_prefix(std::string_view text) {
    if (text.starts_with('+')) {
        text.remove_prefix(1);
    }
    const std::optional<unsigned> prefix = parse_decimal(text, 32);
    if (!prefix || *prefix > 32) {
        return std::nullopt;
    }
    return prefix;
}

const Json* member(const Json& object, const char* key) {
    if (!object.is_object()) {
        return nullptr;
    }
    const auto found = object.find(key);
    return found == object.end() ? nullptr : &*found;
}

}  // namespace

std::expected<WindowsNetwork, std::string> parse_windows_network(const Json& value) {
    if (!value.is_string()) {
        return std::unexpected(std::string(kBadNetwork));
    }
    const std::string_view text = value.get_ref<const std::string&>();
    const std::size_t slash = text.find('/');
    if (slash == std::string_view::npos) {
        return std::unexpected(std::string(kBadNetwork));
    }
    const std::optional<std::uint32_t> address = parse_ipv4(text.substr(0, slash));
    const std::optional<unsigned> prefix = parse_prefix(text.substr(slash + 1));
    if (!address || !prefix) {
        return std::unexpected(std::string(kBadNetwork));
    }
    return WindowsNetwork{*address, *prefix};
}

std::expected<NetworkInventory, std::string> parse_network_inventory(std::string_view output) {
    if (output.size() > kMaxInventoryBytes) {
        return std::unexpected(std::string(kTooLarge));
    }
    while (output.starts_with(kByteOrderMark)) {
        output.remove_prefix(kByteOrderMark.size());
    }
    const std::expected<Json, std::string> document = parse_json(output);
    if (!document) {
        return std::unexpected(std::string(kNotJson));
    }
    const Json* names = member(*document, "names");
    if (names == nullptr || !names->is_array()) {
        return std::unexpected(std::string(kNoNames));
    }
    const Json* networks = member(*document, "networks");
    if (networks == nullptr || !networks->is_array()) {
        return std::unexpected(std::string(kNoNetworks));
    }
    NetworkInventory inventory;
    for (const Json& name : *names) {
        if (name.is_string()) {
            inventory.names.push_back(name.get<std::string>());
        }
    }
    for (const Json& text : *networks) {
        std::expected<WindowsNetwork, std::string> network = parse_windows_network(text);
        if (!network) {
            return failure_of(network);
        }
        inventory.networks.push_back(*network);
    }
    return inventory;
}

}  // namespace vemla::tun_recovery
