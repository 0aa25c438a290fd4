#include "tun_recovery/windows_networks.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace vemla::tun_recovery {
namespace {

constexpr const char* kBadNetwork = "Некорректный сетевой адрес Windows";

std::uint32_t ipv4(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d) {
    return (a << 24) | (b << 16) | (c << 8) | d;
}

TEST(WindowsNetwork, ReadsAddressSlashPrefix) {
    struct Case {
        const char* text;
        WindowsNetwork network;
    };
    const Case cases[] = {
        {"192.168.1.10/24", {ipv4(192, 168, 1, 10), 24}},
        {"0.0.0.0/0", {0, 0}},
        {"255.255.255.255/32", {ipv4(255, 255, 255, 255), 32}},
        {"172.19.0.1/30", {ipv4(172, 19, 0, 1), 30}},
        {"10.0.0.1/+24", {ipv4(10, 0, 0, 1), 24}},
        {"10.0.0.1/+0", {ipv4(10, 0, 0, 1), 0}},
        // Leading zeros in a prefix length are harmless: no reader takes it for octal.
        {"10.0.0.1/024", {ipv4(10, 0, 0, 1), 24}},
        {"10.0.0.1/00000000000000000000032", {ipv4(10, 0, 0, 1), 32}},
        {"0.10.100.200/8", {ipv4(0, 10, 100, 200), 8}},
    };
    for (const Case& c : cases) {
        const auto network = parse_windows_network(Json(c.text));
        ASSERT_TRUE(network.has_value()) << c.text << ": " << network.error();
        EXPECT_EQ(*network, c.network) << c.text;
    }
}

TEST(WindowsNetwork, RefusesEverythingElse) {
    const char* const texts[] = {
        // prefix
        "10.0.0.1/33", "10.0.0.1/4294967320", "10.0.0.1/99999999999999999999", "10.0.0.1",
        "10.0.0.1/", "10.0.0.1/-1", "10.0.0.1/-0", "10.0.0.1/+", "10.0.0.1/-", "10.0.0.1/++24",
        "10.0.0.1/+-24", "10.0.0.1/24/8", "10.0.0.1/ 24", "10.0.0.1/24 ", "10.0.0.1/2 4",
        "10.0.0.1/0x18", "10.0.0.1/24.0", "10.0.0.1/\xD9\xA2\xD9\xA4",
        // address
        "/24", "10.0.0/24", "10.0.0.1.5/24", "10..0.1/24", ".10.0.0.1/24", "10.0.0.1./24",
        "256.0.0.1/24", "10.0.0.256/24", "1000.0.0.1/24", "+10.0.0.1/24", "-10.0.0.1/24",
        " 10.0.0.1/24", "10.0.0.1 /24", "a.b.c.d/24", "fe80::1/64", "::ffff:10.0.0.1/120",
        "\xEF\xBC\x91.2.3.4/8",
        // a leading zero in an octet: octal to some readers, decimal to others
        "010.0.0.1/8", "10.00.0.1/8", "10.0.0.01/32", "10.0.0.001/32",
        // empty
        "", "/"};
    for (const char* text : texts) {
        const auto network = parse_windows_network(Json(text));
        ASSERT_FALSE(network.has_value()) << text;
        EXPECT_EQ(network.error(), kBadNetwork) << text;
    }
    for (const Json& value : {Json(), Json(24), Json::array({"10.0.0.1/24"}),
                              Json::object({{"IPAddress", "10.0.0.1"}, {"PrefixLength", 24}})}) {
        const auto network = parse_windows_network(value);
        ASSERT_FALSE(network.has_value()) << value.dump();
        EXPECT_EQ(network.error(), kBadNetwork) << value.dump();
    }
}

constexpr const char* kAnswer =
    R"({"names":["Ethernet","VemlaVPN",7,null,"Подключение по локальной сети"],)"
    R"("networks":["192.168.1.20/24","127.0.0.1/8","0.0.0.0/0","172.19.0.1/30"]})";

TEST(NetworkInventory, KeepsStringNamesAndEveryNetworkInOrder) {
    const auto inventory = parse_network_inventory(kAnswer);
    ASSERT_TRUE(inventory.has_value()) << inventory.error();
    EXPECT_EQ(inventory->names,
              (std::vector<std::string>{"Ethernet", "VemlaVPN", "Подключение по локальной сети"}));
    EXPECT_EQ(inventory->networks, (std::vector<WindowsNetwork>{{ipv4(192, 168, 1, 20), 24},
                                                                {ipv4(127, 0, 0, 1), 8},
                                                                {0, 0},
                                                                {ipv4(172, 19, 0, 1), 30}}));
}

TEST(NetworkInventory, SkipsLeadingByteOrderMarksOnly) {
    const std::string bom = "\xEF\xBB\xBF";
    struct Case {
        const char* label;
        std::string output;
        bool parsed;
    };
    const Case cases[] = {
        {"none", kAnswer, true},
        {"one", bom + kAnswer, true},
        {"three", bom + bom + bom + kAnswer, true},
        {"then_line_break", bom + kAnswer + "\r\n", true},
        {"after_white_space", " " + bom + kAnswer, false},
        {"cut_mark", "\xEF\xBB" + std::string(kAnswer), false},
        {"only_marks", bom + bom, false},
    };
    for (const Case& c : cases) {
        const auto inventory = parse_network_inventory(c.output);
        if (c.parsed) {
            ASSERT_TRUE(inventory.has_value()) << c.label << ": " << inventory.error();
            EXPECT_EQ(inventory->names.size(), 3u) << c.label;
            continue;
        }
        ASSERT_FALSE(inventory.has_value()) << c.label;
        EXPECT_EQ(inventory.error(), "Windows вернула неполный список адресов") << c.label;
    }
}

TEST(NetworkInventory, ReadsAtMost512KiB) {
    const std::string document = R"({"names":[],"networks":[]})";
    const std::string bom = "\xEF\xBB\xBF";
    // Byte order marks count towards the limit: it applies to the output as it came.
    const std::string at_limit = bom + document + std::string(524288 - 3 - document.size(), ' ');
    ASSERT_EQ(at_limit.size(), 524288u);
    EXPECT_TRUE(parse_network_inventory(at_limit).has_value());

    for (const std::string& over : {at_limit + " ", std::string(600000, 'x')}) {
        const auto inventory = parse_network_inventory(over);
        ASSERT_FALSE(inventory.has_value());
        EXPECT_EQ(inventory.error(), "Список адресов Windows слишком большой");
    }
}

TEST(NetworkInventory, NamesEachMalformedPart) {
    struct Case {
        const char* label;
        std::string output;
        const char* message;
    };
    const char* const not_json = "Windows вернула неполный список адресов";
    const char* const no_names = "Не удалось прочитать имена сетевых адаптеров";
    const char* const no_networks = "Не удалось прочитать адреса сетевых адаптеров";
    const Case cases[] = {
        {"empty", "", not_json},
        {"cut_short", R"({"names":["Ethernet"],"networks":["10.0.0.1/8")", not_json},
        {"two_documents", R"({"names":[],"networks":[]}{})", not_json},
        {"bad_utf8", "{\"names\":[\"\xFF\"],\"networks\":[]}", not_json},
        {"nested_past_the_cap", std::string(100, '[') + std::string(100, ']'), not_json},
        {"top_level_array", R"([{"names":[],"networks":[]}])", no_names},
        {"top_level_string", R"("names")", no_names},
        {"no_names", R"({"networks":[]})", no_names},
        {"names_single_string", R"({"names":"Ethernet","networks":[]})", no_names},
        {"names_null", R"({"names":null,"networks":[]})", no_names},
        {"names_checked_first", R"({"names":{},"networks":{}})", no_names},
        {"no_networks", R"({"names":[]})", no_networks},
        {"networks_single_string", R"({"names":[],"networks":"10.0.0.1/8"})", no_networks},
        {"networks_object", R"({"names":[],"networks":{"value":[],"Count":0}})", no_networks},
        {"network_not_text", R"({"names":[],"networks":["10.0.0.1/8",8]})", kBadNetwork},
        {"network_without_prefix", R"({"names":[],"networks":["10.0.0.1"]})", kBadNetwork},
        {"network_ipv6", R"({"names":[],"networks":["fe80::1/64"]})", kBadNetwork},
    };
    for (const Case& c : cases) {
        const auto inventory = parse_network_inventory(c.output);
        ASSERT_FALSE(inventory.has_value()) << c.label;
        EXPECT_EQ(inventory.error(), c.message) << c.label;
    }
}

}  // namespace
}  // namespace vemla::tun_recovery
