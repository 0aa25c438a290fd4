#include "xray_native/messages.h"

#include "json/bounded_text.h"

namespace vemla::xray_native::messages {
namespace {

std::string text(std::string_view before, std::string_view quoted, std::string_view after = "") {
    std::string message(before);
    message += quote_bounded(quoted);
    message += after;
    return message;
}

}  // namespace

std::string must_be_object(std::string_view context) {
    return "Xray: " + std::string(context) + " должен быть объектом";
}

std::string unknown_key(std::string_view context, std::string_view key) {
    return text("Xray: " + std::string(context) + ": параметр ", key, " не поддерживается");
}

std::string not_set(std::string_view key) {
    return "Xray: не задан " + std::string(key);
}

std::string repeated_tag(std::string_view tag) {
    return text("Xray: повторный tag ", tag);
}

std::string missing_target(std::string_view target) {
    return text("Xray: правило ссылается на отсутствующий выход ", target);
}

std::string unsupported_inbound(std::string_view type) {
    return text("Xray: вход ", type, " не поддерживается");
}

std::string unsupported_packet_encoding(std::string_view encoding) {
    return text("Xray: VLESS packet_encoding ", encoding, " не поддерживается");
}

std::string unsupported_protocol(std::string_view type) {
    return text("Xray-only: протокол ", type, " не поддерживается этим компилятором");
}

std::string untranslated_dial_option(std::string_view key) {
    return "Xray: outbound " + std::string(key) + " требует отдельного перевода";
}

std::string unsupported_transport(std::string_view type) {
    return text("Xray 26.9.30: транспорт ", type,
                " не поддерживается (старый HTTP/H2 удалён из ядра)");
}

std::string unknown_outbound(std::string_view tag) {
    return text("Xray: неизвестный выход ", tag);
}

std::string empty_group(std::string_view tag) {
    return text("Xray: пустая группа ", tag);
}

std::string unknown_group_member(std::string_view group, std::string_view member) {
    return text("Xray: группа ", group, " содержит неизвестный ") + quote_bounded(member);
}

std::string default_not_a_member(std::string_view group) {
    return text("Xray: default группы ", group, " не входит в её участников");
}

std::string unsupported_dns_server(std::string_view type) {
    return text("Xray: DNS ", type, " не поддерживается");
}

std::string dns_server_not_host(std::size_t position) {
    return "Xray: DNS-сервер " + std::to_string(position) +
           ": server должен быть IP-адресом или именем хоста";
}

std::string dns_path_not_absolute(std::size_t position) {
    return "Xray: DNS-сервер " + std::to_string(position) + ": path должен начинаться с /";
}

std::string unsupported_action(std::string_view action) {
    return text("Xray: действие маршрута ", action, " не поддерживается");
}

std::string and_conflict(std::string_view key) {
    return text("Xray: AND двух разных условий ", key, " нельзя передать без изменения смысла");
}

std::string rule_set_not_prepared(std::string_view tag) {
    return text("Xray: набор ", tag,
                " не подготовлен в source JSON; SRS не запускается как VPN-ядро");
}

}  // namespace vemla::xray_native::messages
