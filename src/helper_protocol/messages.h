#pragma once

// The refusals of validation and of the request envelope, each text in one place. They are
// English and short; the ones that quote the request quote at most kMaxQuotedBytes of it.

#include <string>
#include <string_view>

namespace vemla::helper_protocol::messages {

// Envelope.
inline constexpr std::string_view kInvalidRequest = "Invalid request";
inline constexpr std::string_view kUnknownRequestField = "Unknown request field";
inline constexpr std::string_view kProtocolMismatch = "Protocol version mismatch";
inline constexpr std::string_view kNotStartRequest = "Not a start request";
inline constexpr std::string_view kNotNativeXray =
    "Этот помощник запускает только native Xray; обнови клиент Vemla";
inline constexpr std::string_view kMissingSession = "Missing client session";
inline constexpr std::string_view kInvalidSession = "Invalid client session";

// Shapes and limits of values.
inline constexpr std::string_view kTooDeep = "Configuration is too deeply nested";
inline constexpr std::string_view kBadString = "Invalid or oversized string";
inline constexpr std::string_view kTooManyEntries = "Too many entries";
inline constexpr std::string_view kTooManyFields = "Too many fields";
inline constexpr std::string_view kExpectedObject = "Expected an object";
std::string unsupported_option(std::string_view key);

// Rules map and rule sources.
inline constexpr std::string_view kRulesMapTooLarge = "Combined rule sources exceed 12 MiB";
inline constexpr std::string_view kRulesNotMap = "rules must be a tag/document object";
inline constexpr std::string_view kTooManyRuleSources = "Too many rule sources";
inline constexpr std::string_view kInvalidRuleTag = "Invalid rule tag";
inline constexpr std::string_view kRuleSourceTooLarge = "Rule source exceeds 8 MiB";
inline constexpr std::string_view kBadRuleSourceVersion = "Unsupported rule source version";
inline constexpr std::string_view kMissingRuleSourceArray = "Missing rule source array";
inline constexpr std::string_view kMissingRules = "Missing rules";
inline constexpr std::string_view kMissingRuleSets = "Missing rule sets";
inline constexpr std::string_view kMissingRuleTag = "Missing rule tag";
inline constexpr std::string_view kBadOrRepeatedRuleTag = "Invalid or duplicate rule tag";
std::string missing_safe_rule_source(std::string_view tag);
inline constexpr std::string_view kUnreferencedRuleSource = "Unreferenced rule source";
inline constexpr std::string_view kMissingNativeRuleSource = "Missing validated native rule source";
inline constexpr std::string_view kBuiltInRuleSourceTooLarge =
    "Protected native rule source is too large";
inline constexpr std::string_view kPathNotText =
    "Service directory path is not representable as text";

// Inbounds, outbounds, DNS, route, control API.
inline constexpr std::string_view kMissingInbounds = "Missing inbounds";
inline constexpr std::string_view kUnsupportedInbound = "Unsupported privileged inbound";
inline constexpr std::string_view kBadTunMtu = "Invalid TUN MTU";
inline constexpr std::string_view kNotLoopbackListener =
    "Only unprivileged loopback listeners are allowed";
inline constexpr std::string_view kNotOneTun = "Exactly one Vemla TUN is required";
inline constexpr std::string_view kMissingOutbounds = "Missing outbounds";
inline constexpr std::string_view kUnsupportedOutbound = "Unsupported outbound type";
inline constexpr std::string_view kBadIdleTimeout =
    "URLTest idle timeout must be a duration string";
inline constexpr std::string_view kEncryptionNotText = "VLESS encryption must be text";
inline constexpr std::string_view kUnsupportedTransport = "Unsupported transport";
inline constexpr std::string_view kXhttpHeadersNotObject = "XHTTP headers must be object";
inline constexpr std::string_view kXhttpHeaderNotText = "XHTTP header must be text";
inline constexpr std::string_view kHeadersNotObject = "Headers must be object";
inline constexpr std::string_view kHeaderNotText = "Header must be text";
inline constexpr std::string_view kPinsNotArray = "Certificate pins must be an array";
inline constexpr std::string_view kBadPinPolicy = "Invalid certificate pin policy";
inline constexpr std::string_view kPinNotText = "Certificate pin must be text";
inline constexpr std::string_view kBadPin = "Invalid SHA-256 public key pin";
inline constexpr std::string_view kMissingDnsServers = "Missing DNS servers";
inline constexpr std::string_view kUnsupportedDnsServer = "Unsupported DNS server";
inline constexpr std::string_view kMissingRouteRules = "Missing route rules";
inline constexpr std::string_view kUnsupportedAction = "Unsupported route action";
inline constexpr std::string_view kNestedRulesNotArray = "rules must be array";
inline constexpr std::string_view kNoLoopbackApi = "Authenticated loopback API required";

}  // namespace vemla::helper_protocol::messages
