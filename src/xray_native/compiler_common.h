#pragma once

// What every translator of the configuration compiler shares: the compile settings, the names
// a routing rule may target, and the small readers and checks that give the same message
// wherever they are used.

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "helper_protocol/constants.h"
#include "json/json_access.h"
#include "json/json_text.h"
#include "json/result.h"

namespace vemla::xray_native {

using TagSet = std::unordered_set<std::string>;

// Maps a rule-set tag to its rule source document. The documents are borrowed from the rules
// map or the IR, which outlive the compilation; nothing large is copied.
using RuleSetTable = std::unordered_map<std::string, const Json*>;

// The routing rule limit of one document, the driver's own rules included.
inline constexpr std::size_t kMaxRoutingRules = 50000;

struct CompileSettings {
    std::string interface_name{helper_protocol::kTunInterfaceName};
    std::vector<std::string> tun_address{std::string(helper_protocol::kTunAddress)};
    std::vector<std::string> tun_dns{"172.19.0.2"};
    std::vector<std::string> tun_routes{"0.0.0.0/0"};
    std::string api_user = "vemla";
    std::string api_secret;
    std::string mode = "rule";
    std::string probe_url;  // set by extract_compile_settings to the fixed default
    std::string probe_interval = "30s";
    // The request's rules map (tag -> rule source document); borrowed, must outlive the
    // compilation.
    const Json* rule_sources = nullptr;
    std::uint32_t mtu = 1500;
    std::uint16_t mixed_port = 2080;
    std::uint16_t api_port = helper_protocol::kNativeApiPort;
    bool tun_enabled = false;
};

// The names a routing rule may target, filled by the driver before any rule is compiled.
struct RoutingTargets {
    TagSet outbound_tags;                                 // plain IR outbounds, direct, block
    std::unordered_map<std::string, const Json*> groups;  // group tag -> IR group object
};

// `value` must be an object whose keys are all in `allowed`; messages name `context`.
Check check_keys(const Json& value, KeyList allowed, std::string_view context);

// The `tag` of an IR outbound: non-empty, at most 128 bytes, no "~", no control character,
// not reserved.
Result<std::string> read_tag(const Json& object);

// A member that must be a non-empty string.
Result<std::string> read_required_text(const Json& object, std::string_view key);

// Adds `balancerTag` or `outboundTag` for `target` to `rule`.
Check resolve_rule_target(Json& rule, const std::string& target, const RoutingTargets& targets);

// Reads a string-or-list member in place: absent or null -> {}, string -> {s}, array of
// strings -> all.
Result<StringList> string_or_list(const Json& object, std::string_view key);

bool is_ip_address(std::string_view text);
bool is_ip_or_cidr(std::string_view text);
bool is_loopback(std::string_view ip);

// The private address ranges, in the order the document lists them.
extern const std::vector<std::string> kPrivateCidrs;

}  // namespace vemla::xray_native
