#pragma once

// The compiler's refusals, as the client shows them to the user. Each text lives here once;
// the ones that quote the request quote at most kMaxQuotedBytes of it.

#include <cstddef>
#include <string>
#include <string_view>

namespace vemla::xray_native::messages {

// Shapes of values.
std::string must_be_object(std::string_view context);
std::string unknown_key(std::string_view context, std::string_view key);
std::string not_set(std::string_view key);
inline constexpr std::string_view kNotStringOrList = "Xray: нужна строка или список строк";
inline constexpr std::string_view kNotListOfStrings = "Xray: нужен список строк";

// The document and its targets.
inline constexpr std::string_view kBadMode = "Xray: режим должен быть rule, global или direct";
inline constexpr std::string_view kOutboundsNotList = "Xray: outbounds должен быть списком";
inline constexpr std::string_view kTagRefused = "Xray: недопустимый или зарезервированный tag";
std::string repeated_tag(std::string_view tag);
inline constexpr std::string_view kRuleSourcesNotObject = "Xray: rule_sources должен быть объектом";
std::string missing_target(std::string_view target);

// Settings and inbounds.
inline constexpr std::string_view kUnsafeApiSecret =
    "Xray: IR не содержит безопасный случайный API secret";
inline constexpr std::string_view kBadMtu = "Xray: неверный MTU";
inline constexpr std::string_view kMixedWithoutPort = "Xray: mixed-in без listen_port";
inline constexpr std::string_view kBadMixedPort = "Xray: неверный mixed port";
inline constexpr std::string_view kWeakApiCredentials =
    "Xray: нужны API user и случайный пароль не короче 32 символов";
inline constexpr std::string_view kBadLocalPorts =
    "Xray: локальные порты должны быть ненулевыми и разными";
inline constexpr std::string_view kBadTunSettings = "Xray: неполная или неверная настройка TUN";
inline constexpr std::string_view kBadTunAddress = "Xray: неверный адрес/CIDR TUN";
std::string unsupported_inbound(std::string_view type);
inline constexpr std::string_view kInboundNotLoopback =
    "Xray: дополнительные входы должны слушать loopback";
inline constexpr std::string_view kInboundWithoutPort = "Xray: дополнительный вход без порта";
inline constexpr std::string_view kRepeatedInbound = "Xray: повторный tag или port входа";

// Outbounds and their streams.
inline constexpr std::string_view kBadServerPort = "Xray: server_port должен быть 1..65535";
inline constexpr std::string_view kFlowNeedsTcp = "Xray: VLESS flow допускается только на TCP";
std::string unsupported_packet_encoding(std::string_view encoding);
std::string unsupported_protocol(std::string_view type);
std::string untranslated_dial_option(std::string_view key);
inline constexpr std::string_view kWsHeadersNotObject = "Xray: WS headers должен быть объектом";
inline constexpr std::string_view kGrpcTimers =
    "Xray: нестандартные gRPC таймеры sing-box не переводятся";
std::string unsupported_transport(std::string_view type);
inline constexpr std::string_view kPinnedKey =
    "Xray: SPKI pin sing-box нельзя молча заменить проверкой сертификата";
inline constexpr std::string_view kRealityTransport =
    "Xray: REALITY поддерживает только TCP, gRPC и XHTTP";
inline constexpr std::string_view kFinalMask =
    "Xray: FinalMask пока не поддерживается безопасным компилятором";

// Groups.
inline constexpr std::string_view kTooManyGroupMembers =
    "Xray: слишком много участников в группах серверов";
inline constexpr std::string_view kGroupCycle = "Xray: циклическая группа серверов";
std::string unknown_outbound(std::string_view tag);
std::string empty_group(std::string_view tag);
std::string unknown_group_member(std::string_view group, std::string_view member);
std::string default_not_a_member(std::string_view group);
inline constexpr std::string_view kBadProbeUrl = "Xray: неверный URL авто-проверки";

// DNS.
std::string unsupported_dns_server(std::string_view type);
inline constexpr std::string_view kDnsServersNotList = "Xray: dns.servers должен быть списком";
inline constexpr std::string_view kNoDnsServerLeft = "Xray: не осталось DNS-серверов";
inline constexpr std::string_view kDnsPolicy =
    "Xray: пользовательская DNS policy не переводится автоматически";
// `position` is the server's place in dns.servers, counting from 0.
std::string dns_server_not_host(std::size_t position);
std::string dns_path_not_absolute(std::size_t position);

// Route rules.
inline constexpr std::string_view kRouteWithoutOutbound = "Xray: route rule без outbound";
std::string unsupported_action(std::string_view action);
inline constexpr std::string_view kTooManyRoutingRules = "Xray: скомпилировано больше 50000 правил";
inline constexpr std::string_view kDnsWithOtherProtocols =
    "Xray: protocol dns не переводится вместе с другими протоколами";
inline constexpr std::string_view kInvert =
    "Xray: отрицание invert не поддерживается без изменения смысла";
inline constexpr std::string_view kRuleSetSourceIp =
    "Xray: rule_set с source-IP требует отдельного перевода";
inline constexpr std::string_view kLogicalRulesNotList = "Xray: logical.rules должен быть списком";
inline constexpr std::string_view kBadLogicalMode = "Xray: logical.mode должен быть and или or";
inline constexpr std::string_view kTooMuchWork = "Xray: слишком много правил";
inline constexpr std::string_view kAndTooComplex = "Xray: слишком сложное логическое правило";
std::string and_conflict(std::string_view key);
inline constexpr std::string_view kRulesTooDeep = "Xray: правила вложены слишком глубоко";
inline constexpr std::string_view kBadSourceCidr = "Xray: неверный source CIDR";
inline constexpr std::string_view kBadCidr = "Xray: неверный CIDR";
inline constexpr std::string_view kEmptyDomain = "Xray: пустой домен в правиле";
inline constexpr std::string_view kBadPort = "Xray: некорректный порт";
inline constexpr std::string_view kRangeWithoutSeparator = "Xray: нужен диапазон портов lo:hi";
inline constexpr std::string_view kBadPortBound = "Xray: неверная граница порта";

// Rule sets and processes.
inline constexpr std::string_view kRuleSetCycle = "Xray: циклический rule_set";
std::string rule_set_not_prepared(std::string_view tag);
inline constexpr std::string_view kRuleSetWithoutRules = "Xray: source-набор без rules";
inline constexpr std::string_view kTooManyRuleSetRules = "Xray: слишком много правил набора";
inline constexpr std::string_view kArbitraryProcessRegex =
    "Xray: произвольный process_path_regex не поддерживается; используй точное имя .exe";
inline constexpr std::string_view kProcessWildcard =
    "Xray: произвольная маска процесса не поддерживается";
inline constexpr std::string_view kUnsupportedProcessEscape =
    "Xray: неподдерживаемая маска процесса";
inline constexpr std::string_view kCutProcessEscape =
    "Xray: оборванное экранирование имени процесса";
inline constexpr std::string_view kProcessNotExeName = "Xray: нужен basename .exe в исключении";

}  // namespace vemla::xray_native::messages
