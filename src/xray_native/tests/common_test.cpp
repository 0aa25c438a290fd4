#include <gtest/gtest.h>

#include <string>

#include "json/result_test_support.h"
#include "xray_native/compiler_common.h"

namespace vemla::xray_native {
namespace {

Json parse(const char* text) {
    return Json::parse(text);
}

TEST(CheckKeys, RefusesNonObjectsAndNamesTheFirstUnknownKeyInByteOrder) {
    EXPECT_TRUE(
        refused_with(check_keys(parse("[]"), {"a"}, "DNS"), "Xray: DNS должен быть объектом"));
    EXPECT_TRUE(refused_with(check_keys(Json(), {"a"}, "DNS"), "Xray: DNS должен быть объектом"));
    EXPECT_TRUE(check_keys(parse(R"({"a":1,"b":null})"), {"b", "a"}, "DNS").has_value());
    EXPECT_TRUE(check_keys(parse("{}"), {}, "DNS").has_value());
    // "Z" sorts before "a" in byte order, and "é" (0xC3 0xA9) after every ASCII key.
    EXPECT_TRUE(refused_with(check_keys(parse(R"({"zz":1,"Z":1,"a":1})"), {"a"}, "конфигурация"),
                             "Xray: конфигурация: параметр Z не поддерживается"));
    EXPECT_TRUE(refused_with(check_keys(parse(R"({"é":1,"zz":1,"a":1})"), {"a"}, "ctx"),
                             "Xray: ctx: параметр zz не поддерживается"));
    // Exact, case-sensitive comparison.
    EXPECT_TRUE(refused_with(check_keys(parse(R"({"Tag":1})"), {"tag"}, "ctx"),
                             "Xray: ctx: параметр Tag не поддерживается"));
}

TEST(ReadTag, AcceptsAndRefusesTags) {
    struct Case {
        std::string name;
        Json object;
        std::string error;  // empty: accepted
    };
    const std::string bad = "Xray: недопустимый или зарезервированный tag";
    const std::string missing = "Xray: не задан tag";
    const Case cases[] = {
        {"plain", {{"tag", "proxy"}}, ""},
        {"128_bytes", {{"tag", std::string(128, 'a')}}, ""},
        {"129_bytes", {{"tag", std::string(129, 'a')}}, bad},
        // 64 two-byte letters are 128 bytes; one more ASCII byte crosses the limit.
        {"128_bytes_cyrillic",
         {{"tag",
           [] {
               std::string t;
               for (int i = 0; i < 64; ++i)
                   t += "ж";
               return t;
           }()}},
         ""},
        {"129_bytes_cyrillic",
         {{"tag",
           [] {
               std::string t = "x";
               for (int i = 0; i < 64; ++i)
                   t += "ж";
               return t;
           }()}},
         bad},
        {"tilde", {{"tag", "a~b"}}, bad},
        {"newline", {{"tag", "a\nb"}}, bad},
        {"nul", {{"tag", std::string("a\0b", 3)}}, bad},
        {"delete", {{"tag", "a\x7f"}}, bad},
        {"c1_control_u0085", {{"tag", "a\xc2\x85"}}, bad},
        {"c1_control_u009f", {{"tag", "a\xc2\x9f"}}, bad},
        {"u00a0_is_not_control", {{"tag", "a\xc2\xa0"}}, ""},
        {"reserved_http_in", {{"tag", "vemla-http-in"}}, bad},
        {"reserved_api_in", {{"tag", "vemla-api-in"}}, bad},
        {"reserved_api", {{"tag", "vemla-api"}}, bad},
        {"reserved_dns", {{"tag", "vemla-dns"}}, bad},
        {"reserved_dns_query", {{"tag", "vemla-dns-query-1"}}, bad},
        {"reserved_dns_query_bare_prefix", {{"tag", "vemla-dns-query-"}}, bad},
        {"not_reserved_final", {{"tag", "vemla-final"}}, ""},
        {"not_reserved_tun_in", {{"tag", "tun-in"}}, ""},
        {"not_reserved_dns_prefix", {{"tag", "vemla-dns-route-0"}}, ""},
        {"empty", {{"tag", ""}}, missing},
        {"number", {{"tag", 1}}, missing},
        {"absent", Json::object(), missing},
        {"not_object", Json::array(), missing},
    };
    for (const Case& c : cases) {
        const auto tag = read_tag(c.object);
        if (c.error.empty()) {
            ASSERT_TRUE(tag.has_value()) << c.name << ": " << tag.error();
            EXPECT_EQ(*tag, c.object["tag"].get<std::string>()) << c.name;
        } else {
            ASSERT_FALSE(tag.has_value()) << c.name;
            EXPECT_EQ(tag.error(), c.error) << c.name;
        }
    }
}

TEST(ReadRequiredText, NeedsANonEmptyString) {
    const auto server = read_required_text(parse(R"({"server":"a"})"), "server");
    ASSERT_TRUE(server.has_value()) << server.error();
    EXPECT_EQ(*server, "a");
    for (const char* text :
         {R"({"server":""})", R"({"server":1})", R"({"server":null})", "{}", R"(["server"])"}) {
        EXPECT_TRUE(
            refused_with(read_required_text(parse(text), "server"), "Xray: не задан server"))
            << text;
    }
}

TEST(ResolveRuleTarget, GroupsWinThenBuiltInNamesThenOutbounds) {
    const Json group = parse(R"({"type":"selector"})");
    RoutingTargets targets;
    targets.outbound_tags = {"proxy", "direct", "block", "both"};
    targets.groups = {{"auto", &group}, {"both", &group}};
    struct Case {
        std::string target;
        const char* expected;  // the one member added, or the error text
        bool ok;
    };
    const Case cases[] = {
        {"auto", R"({"balancerTag":"auto"})", true},
        {"both", R"({"balancerTag":"both"})", true},
        {"vemla-dns", R"({"outboundTag":"vemla-dns"})", true},
        {"vemla-api", R"({"outboundTag":"vemla-api"})", true},
        {"proxy", R"({"outboundTag":"proxy~"})", true},
        {"block", R"({"outboundTag":"block~"})", true},
        {"missing", "Xray: правило ссылается на отсутствующий выход missing", false},
        {"proxy~", "Xray: правило ссылается на отсутствующий выход proxy~", false},
        {"vemla-dns-query-0", "Xray: правило ссылается на отсутствующий выход vemla-dns-query-0",
         false},
    };
    for (const Case& c : cases) {
        Json rule = Json::object();
        const auto result = resolve_rule_target(rule, c.target, targets);
        if (c.ok) {
            ASSERT_TRUE(result.has_value()) << c.target << ": " << result.error();
            EXPECT_EQ(rule, parse(c.expected)) << c.target;
        } else {
            ASSERT_FALSE(result.has_value()) << c.target;
            EXPECT_EQ(result.error(), c.expected);
            EXPECT_EQ(rule, Json::object()) << "nothing added on failure";
        }
    }
}

TEST(StringOrList, ReadsEveryFormAndNamesTheFault) {
    using List = std::vector<std::string>;
    struct Case {
        const char* object;
        List entries;
        const char* error;  // nullptr: read
    };
    const Case cases[] = {
        {"{}", {}, nullptr},
        {R"({"k":null})", {}, nullptr},
        {R"({"k":""})", {""}, nullptr},
        {R"({"k":"a"})", {"a"}, nullptr},
        {R"({"k":[]})", {}, nullptr},
        {R"({"k":["b","a","b"]})", {"b", "a", "b"}, nullptr},
        {R"({"k":["a",1]})", {}, "Xray: нужен список строк"},
        {R"({"k":[null]})", {}, "Xray: нужен список строк"},
        {R"({"k":1})", {}, "Xray: нужна строка или список строк"},
        {R"({"k":true})", {}, "Xray: нужна строка или список строк"},
        {R"({"k":{}})", {}, "Xray: нужна строка или список строк"},
    };
    for (const Case& c : cases) {
        const Json object = parse(c.object);
        const auto list = string_or_list(object, "k");
        if (c.error != nullptr) {
            ASSERT_FALSE(list.has_value()) << c.object;
            EXPECT_EQ(list.error(), c.error) << c.object;
        } else {
            ASSERT_TRUE(list.has_value()) << c.object << ": " << list.error();
            EXPECT_EQ(list->to_vector(), c.entries) << c.object;
        }
    }
}

TEST(AddressHelpers, ClassifyAddressesCidrsAndLoopback) {
    struct Case {
        const char* text;
        bool address;
        bool cidr;
        bool loopback;
    };
    const Case cases[] = {
        {"127.0.0.1", true, true, true},
        {"127.255.0.9", true, true, true},
        {"128.0.0.1", true, true, false},
        {"0.0.0.0", true, true, false},
        {"255.255.255.255", true, true, false},
        {"256.0.0.1", false, false, false},
        {"1.2.3", false, false, false},
        {"1.2.3.4.5", false, false, false},
        {"01.2.3.4", false, false, false},
        {"1.2.3.4 ", false, false, false},
        {"+1.2.3.4", false, false, false},
        {"localhost", false, false, false},
        {"", false, false, false},
        {"::1", true, true, true},
        {"0:0:0:0:0:0:0:1", true, true, true},
        {"::", true, true, false},
        {"::ffff:127.0.0.1", true, true, false},
        {"2001:db8::1", true, true, false},
        {"fdfe::1", true, true, false},
        {"1:2:3:4:5:6:7:8", true, true, false},
        {"1:2:3:4:5:6:7::", true, true, false},
        {"1:2:3:4:5:6:7:8:9", false, false, false},
        {"1:2:3:4:5:6:7:8::", false, false, false},
        {"1::2::3", false, false, false},
        {":::", false, false, false},
        {"1:", false, false, false},
        {":1", false, false, false},
        {"12345::1", false, false, false},
        {"g::1", false, false, false},
        {"[::1]", false, false, false},
        {"fe80::1%eth0", false, false, false},
        {"127.0.0.1/8", false, true, false},
        {"10.0.0.1/32", false, true, false},
        {"10.0.0.1/33", false, false, false},
        {"10.0.0.1/0", false, true, false},
        {"10.0.0.1/008", false, true, false},
        {"10.0.0.1/+8", false, true, false},
        {"10.0.0.1/+", false, false, false},
        {"10.0.0.1/", false, false, false},
        {"10.0.0.1/-8", false, false, false},
        {"10.0.0.1/8/8", false, false, false},
        {"10.0.0.1/8x", false, false, false},
        {"10.0.0.1/99999999999999999999", false, false, false},
        {"fdfe::1/126", false, true, false},
        {"fdfe::1/128", false, true, false},
        {"fdfe::1/129", false, false, false},
        {"/8", false, false, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(is_ip_address(c.text), c.address) << c.text;
        EXPECT_EQ(is_ip_or_cidr(c.text), c.cidr) << c.text;
        EXPECT_EQ(is_loopback(c.text), c.loopback) << c.text;
    }
}

TEST(PrivateCidrs, AreFourteenValidCidrsInDocumentOrder) {
    ASSERT_EQ(kPrivateCidrs.size(), 14u);
    EXPECT_EQ(kPrivateCidrs.front(), "0.0.0.0/8");
    EXPECT_EQ(kPrivateCidrs[8], "255.255.255.255/32");
    EXPECT_EQ(kPrivateCidrs.back(), "ff00::/8");
    for (const std::string& cidr : kPrivateCidrs) {
        EXPECT_TRUE(is_ip_or_cidr(cidr)) << cidr;
    }
}

}  // namespace
}  // namespace vemla::xray_native
