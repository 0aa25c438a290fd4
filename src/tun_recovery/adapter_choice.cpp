#include "tun_recovery/adapter_choice.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <optional>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "helper_protocol/constants.h"

namespace vemla::tun_recovery {
namespace {

constexpr std::string_view kNoTunConfiguration = "Нет конфигурации TUN";
constexpr std::string_view kNotOwnAdapter = "Восстановление разрешено только для адаптера Vemla";
constexpr std::string_view kNoFreeCandidate =
    "Не найден свободный адрес для адаптера Vemla. Закройте другое VPN-подключение и повторите "
    "вход.";

constexpr std::string_view kPreviewAdapterName = "VemlaVPN-Preview";
constexpr std::string_view kNumberedAdapterPrefix = "VemlaVPN-";
constexpr std::size_t kNumberedAdapterDigits = 8;

// The canonical name, the preview build's name, and every name an earlier recovery may have
// chosen; a recovery may take over only these.
bool is_own_adapter_name(std::string_view name) {
    if (name == helper_protocol::kTunInterfaceName || name == kPreviewAdapterName) {
        return true;
    }
    if (!name.starts_with(kNumberedAdapterPrefix)) {
        return false;
    }
    const std::string_view digits = name.substr(kNumberedAdapterPrefix.size());
    return digits.size() == kNumberedAdapterDigits &&
           digits.find_first_not_of("0123456789abcdefABCDEF") == std::string_view::npos;
}

std::string ascii_lower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return lower;
}

struct Candidate {
    std::string name;
    std::uint32_t address;  // the /30's host .1, first octet most significant
    std::string address_text;
};

// The address depends on n modulo 4096 only, so the 4096 attempts visit every block once.
// n = 0 is the canonical address 172.19.0.1/30.
Candidate candidate(std::uint32_t n) {
    const std::uint32_t second = 16 + (((n / 256) + 3) % 16);
    const std::uint32_t third = n % 256;
    char name[32];
    char address[32];
    std::snprintf(name, sizeof name, "VemlaVPN-%08x", static_cast<unsigned>(n));
    std::snprintf(address, sizeof address, "172.%u.%u.1/30", static_cast<unsigned>(second),
                  static_cast<unsigned>(third));
    return {name, (172u << 24) | (second << 16) | (third << 8) | 1u, address};
}

std::uint32_t leading_bits_mask(unsigned bits) {
    return bits == 0 ? 0 : ~std::uint32_t{0} << (32 - bits);
}

// A network blocks a candidate when the two share their first min(prefix, 30) bits, that is
// when the candidate /30 and the network overlap. The networks are kept by that bit count, cut
// to it, so that a candidate is one lookup per count instead of a pass over every network.
class TakenNetworks {
public:
    // Prefixes 0 and 1 are default routes and the two half-space routes other VPN clients
    // install; they cover every candidate and must not block any.
    void add(const WindowsNetwork& network) {
        if (network.prefix < 2) {
            return;
        }
        const unsigned bits = std::min(network.prefix, 30u);
        by_bits_[bits].insert(network.address & leading_bits_mask(bits));
    }

    bool overlap(std::uint32_t address) const {
        for (unsigned bits = 2; bits <= 30; ++bits) {
            if (by_bits_[bits].contains(address & leading_bits_mask(bits))) {
                return true;
            }
        }
        return false;
    }

private:
    std::array<std::unordered_set<std::uint32_t>, 31> by_bits_;
};

// What the walk compares a candidate with.
struct TakenSet {
    std::unordered_set<std::string> lower_names;
    TakenNetworks networks;
    std::vector<std::string> current_addresses;  // the TUN inbound's own address texts

    bool rejects(const Candidate& c) const {
        return lower_names.contains(ascii_lower(c.name)) || networks.overlap(c.address) ||
               std::find(current_addresses.begin(), current_addresses.end(), c.address_text) !=
                   current_addresses.end();
    }
};

TakenSet taken_set(const NetworkInventory& inventory, const Json& tun) {
    TakenSet taken;
    for (const std::string& name : inventory.names) {
        taken.lower_names.insert(ascii_lower(name));
    }
    for (const WindowsNetwork& network : inventory.networks) {
        taken.networks.add(network);
    }
    const auto address = tun.find("address");
    if (address != tun.end() && address->is_array()) {
        for (const Json& text : *address) {
            if (text.is_string()) {
                taken.current_addresses.push_back(text.get<std::string>());
            }
        }
    }
    return taken;
}

bool is_tun(const Json& inbound) {
    if (!inbound.is_object()) {
        return false;
    }
    const auto type = inbound.find("type");
    return type != inbound.end() && type->is_string() && *type == "tun";
}

// The index of the one TUN inbound, when it exists and carries one of the helper's own names.
std::optional<std::size_t> own_tun_index(const Json& inbounds) {
    std::optional<std::size_t> found;
    for (std::size_t i = 0; i < inbounds.size(); ++i) {
        if (is_tun(inbounds[i])) {
            if (found) {
                return std::nullopt;
            }
            found = i;
        }
    }
    if (!found) {
        return std::nullopt;
    }
    const Json& tun = inbounds[*found];
    const auto name = tun.find("interface_name");
    if (name == tun.end() || !name->is_string() ||
        !is_own_adapter_name(name->get_ref<const std::string&>())) {
        return std::nullopt;
    }
    return found;
}

}  // namespace

std::expected<Json, std::string> choose_tun_adapter(const Json& configuration,
                                                    const NetworkInventory& inventory,
                                                    std::uint32_t start) {
    // find() gives end() for a configuration that is not an object.
    const auto inbounds = configuration.find("inbounds");
    if (inbounds == configuration.end() || !inbounds->is_array()) {
        return std::unexpected(std::string(kNoTunConfiguration));
    }
    const std::optional<std::size_t> index = own_tun_index(*inbounds);
    if (!index) {
        return std::unexpected(std::string(kNotOwnAdapter));
    }
    const TakenSet taken = taken_set(inventory, (*inbounds)[*index]);
    for (std::uint32_t i = 0; i < kCandidateCount; ++i) {
        // Unsigned arithmetic wraps at 2^32, as the walk requires.
        const Candidate chosen = candidate(start + i);
        if (taken.rejects(chosen)) {
            continue;
        }
        Json result = configuration;
        Json& tun = result["inbounds"][*index];
        tun["interface_name"] = chosen.name;
        tun["address"] = Json::array({chosen.address_text});
        return result;
    }
    return std::unexpected(std::string(kNoFreeCandidate));
}

}  // namespace vemla::tun_recovery
