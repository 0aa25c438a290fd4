#include "xray_native/compiler_common.h"

#include <array>
#include <optional>

#include "xray_native/messages.h"

namespace vemla::xray_native {
namespace {

constexpr std::size_t kMaxTagBytes = 128;

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// Dotted quad of decimal octets. A leading zero is refused: "010" means 8 to some resolvers and
// 10 to others, and an address that two readers understand differently has no place in a rule.
std::optional<std::array<std::uint8_t, 4>> parse_ipv4(std::string_view text) {
    std::array<std::uint8_t, 4> octets{};
    std::size_t position = 0;
    for (std::size_t index = 0; index < 4; ++index) {
        if (index > 0) {
            if (position >= text.size() || text[position] != '.') {
                return std::nullopt;
            }
            ++position;
        }
        const std::size_t start = position;
        unsigned value = 0;
        while (position < text.size() && is_digit(text[position]) && position - start < 3) {
            value = value * 10 + static_cast<unsigned>(text[position] - '0');
            ++position;
        }
        const std::size_t length = position - start;
        if (length == 0 || value > 255 || (length > 1 && text[start] == '0')) {
            return std::nullopt;
        }
        octets[index] = static_cast<std::uint8_t>(value);
    }
    if (position != text.size()) {
        return std::nullopt;
    }
    return octets;
}

// Standard IPv6 text: eight groups of one to four hex digits, at most one "::" standing for one
// or more zero groups, optionally ending in a dotted quad that fills the last two groups.
std::optional<std::array<std::uint16_t, 8>> parse_ipv6(std::string_view text) {
    std::array<std::uint16_t, 8> groups{};
    std::size_t count = 0;
    std::optional<std::size_t> gap;  // index of the group where "::" stands
    std::size_t position = 0;
    if (text.starts_with("::")) {
        gap = 0;
        position = 2;
        if (position == text.size()) {
            return groups;
        }
    } else if (text.empty() || text.front() == ':') {
        return std::nullopt;
    }
    while (true) {
        // One group, or the trailing dotted quad.
        const std::size_t start = position;
        std::size_t digits = 0;
        unsigned value = 0;
        while (position < text.size() && hex_value(text[position]) >= 0 && digits < 5) {
            value = value * 16 + static_cast<unsigned>(hex_value(text[position]));
            ++position;
            ++digits;
        }
        if (position < text.size() && text[position] == '.') {
            const auto quad = parse_ipv4(text.substr(start));
            if (!quad || count + 2 > 8) {
                return std::nullopt;
            }
            groups[count++] = static_cast<std::uint16_t>((*quad)[0] << 8 | (*quad)[1]);
            groups[count++] = static_cast<std::uint16_t>((*quad)[2] << 8 | (*quad)[3]);
            position = text.size();
            break;
        }
        if (digits == 0 || digits > 4 || count >= 8) {
            return std::nullopt;
        }
        groups[count++] = static_cast<std::uint16_t>(value);
        if (position == text.size()) {
            break;
        }
        if (text[position] != ':') {
            return std::nullopt;
        }
        ++position;
        if (position < text.size() && text[position] == ':') {
            if (gap) {
                return std::nullopt;
            }
            gap = count;
            ++position;
            if (position == text.size()) {
                break;
            }
        } else if (position == text.size()) {
            return std::nullopt;  // a single trailing ":"
        }
    }
    if (gap) {
        if (count >= 8) {
            return std::nullopt;  // "::" must stand for at least one group
        }
        const std::size_t tail = count - *gap;
        std::array<std::uint16_t, 8> expanded{};
        for (std::size_t i = 0; i < *gap; ++i) {
            expanded[i] = groups[i];
        }
        for (std::size_t i = 0; i < tail; ++i) {
            expanded[8 - tail + i] = groups[*gap + i];
        }
        return expanded;
    }
    if (count != 8) {
        return std::nullopt;
    }
    return groups;
}

bool is_control_character(std::string_view text, std::size_t position) {
    const auto byte = static_cast<unsigned char>(text[position]);
    if (byte < 0x20 || byte == 0x7F) {
        return true;
    }
    // U+0080..U+009F are encoded as C2 80..C2 9F.
    return byte == 0xC2 && position + 1 < text.size() &&
           static_cast<unsigned char>(text[position + 1]) >= 0x80 &&
           static_cast<unsigned char>(text[position + 1]) <= 0x9F;
}

bool is_reserved_tag(std::string_view tag) {
    return tag == "vemla-http-in" || tag == "vemla-api-in" || tag == "vemla-api" ||
           tag == "vemla-dns" || tag.starts_with("vemla-dns-query-");
}

}  // namespace

const std::vector<std::string> kPrivateCidrs = {
    "0.0.0.0/8",     "10.0.0.0/8",     "100.64.0.0/10", "127.0.0.0/8",        "169.254.0.0/16",
    "172.16.0.0/12", "192.168.0.0/16", "224.0.0.0/4",   "255.255.255.255/32", "::/128",
    "::1/128",       "fc00::/7",       "fe80::/10",     "ff00::/8",
};

Check check_keys(const Json& value, KeyList allowed, std::string_view context) {
    if (!value.is_object()) {
        return fail(messages::must_be_object(context));
    }
    if (const std::string* key = first_key_outside(value, allowed)) {
        return fail(messages::unknown_key(context, *key));
    }
    return {};
}

Result<std::string> read_tag(const Json& object) {
    auto tag = read_required_text(object, "tag");
    if (!tag) {
        return tag;
    }
    bool refused =
        tag->size() > kMaxTagBytes || tag->find('~') != std::string::npos || is_reserved_tag(*tag);
    for (std::size_t i = 0; !refused && i < tag->size(); ++i) {
        refused = is_control_character(*tag, i);
    }
    if (refused) {
        return fail(messages::kTagRefused);
    }
    return tag;
}

Result<std::string> read_required_text(const Json& object, std::string_view key) {
    const std::string* text = as_text(find_member(object, key));
    if (text == nullptr || text->empty()) {
        return fail(messages::not_set(key));
    }
    return *text;
}

Check resolve_rule_target(Json& rule, const std::string& target, const RoutingTargets& targets) {
    if (targets.groups.contains(target)) {
        rule["balancerTag"] = target;
    } else if (target == "vemla-dns" || target == "vemla-api") {
        rule["outboundTag"] = target;
    } else if (targets.outbound_tags.contains(target)) {
        rule["outboundTag"] = target + "~";
    } else {
        return fail(messages::missing_target(target));
    }
    return {};
}

Result<StringList> string_or_list(const Json& object, std::string_view key) {
    auto list = read_string_list(find_member(object, key));
    if (!list) {
        return fail(list.error() == StringListFault::kNotStringOrList
                        ? messages::kNotStringOrList
                        : messages::kNotListOfStrings);
    }
    return *list;
}

bool is_ip_address(std::string_view text) {
    return parse_ipv4(text).has_value() || parse_ipv6(text).has_value();
}

bool is_ip_or_cidr(std::string_view text) {
    const std::size_t slash = text.find('/');
    const std::string_view address = text.substr(0, slash);
    const bool v4 = parse_ipv4(address).has_value();
    if (!v4 && !parse_ipv6(address).has_value()) {
        return false;
    }
    if (slash == std::string_view::npos) {
        return true;
    }
    std::string_view prefix = text.substr(slash + 1);
    if (prefix.starts_with('+')) {
        prefix.remove_prefix(1);
    }
    if (prefix.empty()) {
        return false;
    }
    const unsigned width = v4 ? 32 : 128;
    unsigned value = 0;
    for (char c : prefix) {
        if (!is_digit(c)) {
            return false;
        }
        value = value * 10 + static_cast<unsigned>(c - '0');
        if (value > width) {
            return false;  // also keeps a long run of digits from overflowing
        }
    }
    return true;
}

bool is_loopback(std::string_view ip) {
    if (const auto v4 = parse_ipv4(ip)) {
        return (*v4)[0] == 127;
    }
    constexpr std::array<std::uint16_t, 8> kLoopback6{0, 0, 0, 0, 0, 0, 0, 1};
    const auto v6 = parse_ipv6(ip);
    return v6.has_value() && *v6 == kLoopback6;
}

}  // namespace vemla::xray_native
