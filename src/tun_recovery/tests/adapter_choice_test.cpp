#include "tun_recovery/adapter_choice.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace vemla::tun_recovery {
namespace {

constexpr const char* kNoFreeCandidate =
    "Не найден свободный адрес для адаптера Vemla. Закройте другое VPN-подключение и повторите "
    "вход.";
constexpr const char* kNotOwnAdapter = "Восстановление разрешено только для адаптера Vemla";

// A normalised configuration as validation returns it: the canonical TUN between other members.
constexpr const char* kConfiguration = R"({
    "log": {"level": "warn", "timestamp": true},
    "dns": {"servers": [{"type": "local", "tag": "local"}], "final": "local"},
    "inbounds": [
        {"type": "mixed", "tag": "mixed-in", "listen": "127.0.0.1", "listen_port": 2080},
        {"type": "tun", "tag": "tun-in", "interface_name": "VemlaVPN",
         "address": ["172.19.0.1/30"], "mtu": 1400, "auto_route": true, "strict_route": true,
         "stack": "mixed"}
    ],
    "outbounds": [{"type": "direct", "tag": "direct"}],
    "route": {"rules": [], "rule_set": [], "final": "direct"},
    "experimental": {"clash_api": {"external_controller": "127.0.0.1:9097",
                                   "secret": "0123456789abcdef01234567"}}
})";

Json configuration_with_tun(const Json& name, const Json& address) {
    Json configuration = Json::parse(kConfiguration);
    configuration["inbounds"][1]["interface_name"] = name;
    configuration["inbounds"][1]["address"] = address;
    return configuration;
}

NetworkInventory inventory(std::vector<std::string> names,
                           std::initializer_list<const char*> networks) {
    NetworkInventory result{std::move(names), {}};
    for (const char* text : networks) {
        const auto network = parse_windows_network(Json(text));
        EXPECT_TRUE(network.has_value()) << text;
        result.networks.push_back(network.value_or(WindowsNetwork{}));
    }
    return result;
}

TEST(AdapterChoice, ChangesOnlyTheTunNameAndAddress) {
    const Json configuration = Json::parse(kConfiguration);
    const auto chosen = choose_tun_adapter(configuration, {}, 0);
    ASSERT_TRUE(chosen.has_value()) << chosen.error();
    // Candidate 0 is the address the TUN already has; candidate 1 wins.
    EXPECT_EQ(*chosen, Json::parse(R"({
        "log": {"level": "warn", "timestamp": true},
        "dns": {"servers": [{"type": "local", "tag": "local"}], "final": "local"},
        "inbounds": [
            {"type": "mixed", "tag": "mixed-in", "listen": "127.0.0.1", "listen_port": 2080},
            {"type": "tun", "tag": "tun-in", "interface_name": "VemlaVPN-00000001",
             "address": ["172.19.1.1/30"], "mtu": 1400, "auto_route": true,
             "strict_route": true, "stack": "mixed"}
        ],
        "outbounds": [{"type": "direct", "tag": "direct"}],
        "route": {"rules": [], "rule_set": [], "final": "direct"},
        "experimental": {"clash_api": {"external_controller": "127.0.0.1:9097",
                                       "secret": "0123456789abcdef01234567"}}
    })"))
        << chosen->dump();
}

struct WalkCase {
    const char* label;
    std::uint32_t start;
    Json tun_name;
    Json tun_address;
    NetworkInventory taken;
    const char* name;  // nullptr: no free candidate
    const char* address;
};

void expect_walk(const WalkCase& c) {
    const auto chosen =
        choose_tun_adapter(configuration_with_tun(c.tun_name, c.tun_address), c.taken, c.start);
    if (c.name == nullptr) {
        ASSERT_FALSE(chosen.has_value()) << c.label << ": " << chosen->dump();
        EXPECT_EQ(chosen.error(), kNoFreeCandidate) << c.label;
        return;
    }
    ASSERT_TRUE(chosen.has_value()) << c.label << ": " << chosen.error();
    const Json& tun = (*chosen)["inbounds"][1];
    EXPECT_EQ(tun["interface_name"], c.name) << c.label;
    EXPECT_EQ(tun["address"], Json::array({c.address})) << c.label;
}

TEST(AdapterChoice, MapsTheCandidateNumberToNameAndAddress) {
    const Json canonical = "VemlaVPN";
    const Json elsewhere = Json::array({"10.99.0.1/30"});
    const WalkCase cases[] = {
        {"zero_is_the_canonical_address",
         0,
         canonical,
         elsewhere,
         {},
         "VemlaVPN-00000000",
         "172.19.0.1/30"},
        {"low_byte_is_the_third_octet",
         255,
         canonical,
         elsewhere,
         {},
         "VemlaVPN-000000ff",
         "172.19.255.1/30"},
        {"next_byte_moves_the_second_octet",
         256,
         canonical,
         elsewhere,
         {},
         "VemlaVPN-00000100",
         "172.20.0.1/30"},
        {"second_octet_tops_out_at_31",
         0xcff,
         canonical,
         elsewhere,
         {},
         "VemlaVPN-00000cff",
         "172.31.255.1/30"},
        {"second_octet_wraps_to_16",
         0xd00,
         canonical,
         elsewhere,
         {},
         "VemlaVPN-00000d00",
         "172.16.0.1/30"},
        {"addresses_repeat_every_4096",
         0x1000,
         canonical,
         elsewhere,
         {},
         "VemlaVPN-00001000",
         "172.19.0.1/30"},
        {"lower_case_hex_and_high_bits",
         0xABCDEF01u,
         canonical,
         elsewhere,
         {},
         "VemlaVPN-abcdef01",
         "172.18.1.1/30"},
        {"largest_number",
         0xFFFFFFFFu,
         canonical,
         elsewhere,
         {},
         "VemlaVPN-ffffffff",
         "172.18.255.1/30"},
    };
    for (const WalkCase& c : cases) {
        expect_walk(c);
    }
}

TEST(AdapterChoice, RejectsTakenNamesAddressesAndTheTunsOwnAddress) {
    const Json canonical = "VemlaVPN";
    const Json canonical_address = Json::array({"172.19.0.1/30"});
    const Json preview = "VemlaVPN-Preview";
    const Json elsewhere = Json::array({"10.99.0.1/30"});
    const WalkCase cases[] = {
        {"own_address_rejected",
         0,
         canonical,
         canonical_address,
         {},
         "VemlaVPN-00000001",
         "172.19.1.1/30"},
        {"own_address_among_others",
         0,
         canonical,
         Json::array({"10.0.0.1/30", 5, "172.19.0.1/30"}),
         {},
         "VemlaVPN-00000001",
         "172.19.1.1/30"},
        {"own_address_not_an_array_is_not_compared",
         0,
         canonical,
         "172.19.0.1/30",
         {},
         "VemlaVPN-00000000",
         "172.19.0.1/30"},
        {"leftover_adapter", 0, canonical, canonical_address,
         inventory({"Ethernet", "VemlaVPN"}, {"192.168.1.20/24", "172.19.0.1/30"}),
         "VemlaVPN-00000001", "172.19.1.1/30"},
        {"name_taken", 7, canonical, elsewhere, inventory({"VemlaVPN-00000007"}, {}),
         "VemlaVPN-00000008", "172.19.8.1/30"},
        {"name_taken_in_other_letter_case", 10, canonical, elsewhere,
         inventory({"VEMLAVPN-0000000A"}, {}), "VemlaVPN-0000000b", "172.19.11.1/30"},
        {"similar_names_do_not_clash", 7, canonical, elsewhere,
         inventory({"VemlaVPN-00000007 ", "VemlaVPN-7", "VemlaVPN", "VemlaVPN-000000007"}, {}),
         "VemlaVPN-00000007", "172.19.7.1/30"},
        {"host_route_inside_the_block", 0, preview, elsewhere, inventory({}, {"172.19.0.2/32"}),
         "VemlaVPN-00000001", "172.19.1.1/30"},
        {"last_address_of_the_block", 0, preview, elsewhere, inventory({}, {"172.19.0.3/32"}),
         "VemlaVPN-00000001", "172.19.1.1/30"},
        {"host_route_past_the_block", 0, preview, elsewhere, inventory({}, {"172.19.0.4/32"}),
         "VemlaVPN-00000000", "172.19.0.1/30"},
        {"slash_31_inside_the_block", 0, preview, elsewhere, inventory({}, {"172.19.0.0/31"}),
         "VemlaVPN-00000001", "172.19.1.1/30"},
        {"slash_24_blocks_one", 1, preview, elsewhere, inventory({}, {"172.19.1.0/24"}),
         "VemlaVPN-00000002", "172.19.2.1/30"},
        {"slash_16_blocks_256", 0, preview, elsewhere, inventory({}, {"172.19.0.0/16"}),
         "VemlaVPN-00000100", "172.20.0.1/30"},
        {"prefix_0_and_1_block_nothing", 9, preview, elsewhere,
         inventory({}, {"0.0.0.0/0", "0.0.0.0/1", "128.0.0.0/1", "172.19.9.1/0"}),
         "VemlaVPN-00000009", "172.19.9.1/30"},
        {"prefix_2_blocks_everything", 9, preview, elsewhere, inventory({}, {"128.0.0.0/2"}),
         nullptr, nullptr},
        {"private_block_blocks_everything", 0, preview, elsewhere, inventory({}, {"172.16.0.0/12"}),
         nullptr, nullptr},
        {"neighbouring_blocks_block_nothing", 0, preview, elsewhere,
         inventory({}, {"172.0.0.0/12", "172.32.0.0/11", "10.0.0.0/8", "192.168.0.0/16"}),
         "VemlaVPN-00000000", "172.19.0.1/30"},
        {"wraps_at_2_to_the_32", 0xFFFFFFFFu, canonical, canonical_address,
         inventory({"VemlaVPN-ffffffff"}, {}), "VemlaVPN-00000001", "172.19.1.1/30"},
    };
    for (const WalkCase& c : cases) {
        expect_walk(c);
    }
}

std::vector<std::string> numbered_names(std::uint32_t first, std::uint32_t count) {
    std::vector<std::string> names;
    for (std::uint32_t n = first; n < first + count; ++n) {
        char name[32];
        std::snprintf(name, sizeof name, "VemlaVPN-%08X", static_cast<unsigned>(n));
        names.push_back(name);
    }
    return names;
}

TEST(AdapterChoice, TriesExactly4096Candidates) {
    const Json name = "VemlaVPN";
    const Json elsewhere = Json::array({"10.99.0.1/30"});
    // Every name from start to start + 4095 is taken: nothing is left, although candidate 4096
    // would be free.
    expect_walk({"all_names_taken", 0, name, elsewhere, inventory(numbered_names(0, 4096), {}),
                 nullptr, nullptr});
    // With the last of them free, the walk reaches it.
    expect_walk({"last_candidate_free", 0, name, elsewhere, inventory(numbered_names(0, 4095), {}),
                 "VemlaVPN-00000fff", "172.18.255.1/30"});
    // Past the taken names the addresses begin again; the TUN's own is still refused.
    expect_walk({"names_taken_below_start", 4096, name, Json::array({"172.19.0.1/30"}),
                 inventory(numbered_names(0, 4096), {}), "VemlaVPN-00001001", "172.19.1.1/30"});
}

TEST(AdapterChoice, MovesOnlyTheHelpersOwnAdapter) {
    for (const char* own : {"VemlaVPN", "VemlaVPN-Preview", "VemlaVPN-0123abcd",
                            "VemlaVPN-ABCDEF01", "VemlaVPN-aBcD0000"}) {
        const auto chosen =
            choose_tun_adapter(configuration_with_tun(own, Json::array({"172.19.0.1/30"})), {}, 0);
        ASSERT_TRUE(chosen.has_value()) << own << ": " << chosen.error();
        EXPECT_EQ((*chosen)["inbounds"][1]["interface_name"], "VemlaVPN-00000001") << own;
    }
    const Json foreign[] = {"vemlavpn",
                            "VEMLAVPN",
                            "VemlaVPN ",
                            "VemlaVPN-",
                            "VemlaVPN-1234567",
                            "VemlaVPN-123456789",
                            "VemlaVPN-1234567g",
                            "VemlaVPN-preview",
                            "VemlaVPN-Preview2",
                            "VemlaVPN_01234567",
                            "Ethernet",
                            "wintun",
                            "",
                            5,
                            nullptr,
                            Json::array({"VemlaVPN"})};
    for (const Json& name : foreign) {
        const auto chosen = choose_tun_adapter(configuration_with_tun(name, Json::array()), {}, 0);
        ASSERT_FALSE(chosen.has_value()) << name.dump();
        EXPECT_EQ(chosen.error(), kNotOwnAdapter) << name.dump();
    }
    Json unnamed = Json::parse(kConfiguration);
    unnamed["inbounds"][1].erase("interface_name");
    ASSERT_FALSE(choose_tun_adapter(unnamed, {}, 0).has_value());
    EXPECT_EQ(choose_tun_adapter(unnamed, {}, 0).error(), kNotOwnAdapter);
}

TEST(AdapterChoice, NeedsExactlyOneTunInAnInboundsArray) {
    const Json tun = Json::parse(kConfiguration)["inbounds"][1];
    const Json mixed = Json::parse(kConfiguration)["inbounds"][0];
    Json upper_case_type = tun;
    upper_case_type["type"] = "TUN";
    struct Case {
        const char* label;
        Json inbounds;  // null: no `inbounds` member
        const char* message;
    };
    const Case cases[] = {
        {"no_inbounds", nullptr, "Нет конфигурации TUN"},
        {"inbounds_object", Json::object({{"tun", tun}}), "Нет конфигурации TUN"},
        {"inbounds_string", "tun", "Нет конфигурации TUN"},
        {"empty", Json::array(), kNotOwnAdapter},
        {"mixed_only", Json::array({mixed}), kNotOwnAdapter},
        {"two_tuns", Json::array({tun, mixed, tun}), kNotOwnAdapter},
        {"type_is_case_sensitive", Json::array({upper_case_type}), kNotOwnAdapter},
        {"one_tun_among_others", Json::array({5, mixed, "tun", tun, upper_case_type}), nullptr},
    };
    for (const Case& c : cases) {
        Json configuration = Json::parse(kConfiguration);
        configuration.erase("inbounds");
        if (!c.inbounds.is_null()) {
            configuration["inbounds"] = c.inbounds;
        }
        const auto chosen = choose_tun_adapter(configuration, {}, 0);
        if (c.message == nullptr) {
            ASSERT_TRUE(chosen.has_value()) << c.label << ": " << chosen.error();
            EXPECT_EQ((*chosen)["inbounds"][3]["interface_name"], "VemlaVPN-00000001") << c.label;
            EXPECT_EQ((*chosen)["inbounds"][4], upper_case_type) << c.label;
            continue;
        }
        ASSERT_FALSE(chosen.has_value()) << c.label;
        EXPECT_EQ(chosen.error(), c.message) << c.label;
    }
    for (const Json& not_object : {Json(), Json::array({tun}), Json("inbounds")}) {
        const auto chosen = choose_tun_adapter(not_object, {}, 0);
        ASSERT_FALSE(chosen.has_value()) << not_object.dump();
        EXPECT_EQ(chosen.error(), "Нет конфигурации TUN");
    }
}

// The largest inventory the output limit allows: 32768 different networks that block nothing,
// then one that blocks every candidate, so that all 4096 are tried.
TEST(AdapterChoice, PrintsTheTimeOfTheLongestWalk) {
    NetworkInventory taken;
    for (std::uint32_t k = 0; k < 524288 / 16; ++k) {
        taken.networks.push_back({(10u << 24) + k, 32});
    }
    const auto blocking = parse_windows_network(Json("172.16.0.0/12"));
    ASSERT_TRUE(blocking.has_value());
    taken.networks.push_back(*blocking);
    const auto begin = std::chrono::steady_clock::now();
    const auto chosen = choose_tun_adapter(Json::parse(kConfiguration), taken, 0);
    const auto took = std::chrono::steady_clock::now() - begin;
    ASSERT_FALSE(chosen.has_value());
    EXPECT_EQ(chosen.error(), kNoFreeCandidate);
    std::printf("4096 candidates against %zu networks: %lld ms\n", taken.networks.size(),
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
}

}  // namespace
}  // namespace vemla::tun_recovery
