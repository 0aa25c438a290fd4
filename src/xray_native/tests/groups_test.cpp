#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "xray_native/groups.h"

namespace vemla::xray_native {
namespace {

// The driver's view of a request's outbounds: plain tags (with direct and block) and groups.
struct Outbounds {
    Json objects;
    RoutingTargets targets;

    explicit Outbounds(Json list) : objects(std::move(list)) {
        targets.outbound_tags = {"direct", "block"};
        for (const Json& outbound : objects) {
            const std::string& tag = outbound.at("tag").get_ref<const std::string&>();
            const std::string type = outbound.value("type", "");
            if (type == "selector" || type == "urltest") {
                targets.groups.emplace(tag, &outbound);
            } else {
                targets.outbound_tags.insert(tag);
            }
        }
    }
};

Json plain(const char* tag) {
    return Json{{"tag", tag}, {"type", "vless"}};
}

CompileSettings settings_with_probe() {
    CompileSettings settings;
    settings.probe_url = "https://probe.example/generate_204";
    return settings;
}

struct GroupCase {
    const char* name;
    const char* outbounds;  // JSON array of the groups; plain outbounds x, y, z, p, q exist
    const char* balancers;  // expected JSON array, or nullptr when `error` is expected
    std::vector<std::string> subjects;
    const char* probe_url = "https://probe.example/generate_204";
    const char* probe_interval = "30s";
    const char* error = nullptr;
};

class GroupCompileTest : public testing::TestWithParam<GroupCase> {};

TEST_P(GroupCompileTest, CompilesBalancersAndObservatory) {
    const GroupCase& c = GetParam();
    Json list = Json::array({plain("x"), plain("y"), plain("z"), plain("p"), plain("q")});
    for (Json& group : Json::parse(c.outbounds)) {
        list.push_back(std::move(group));
    }
    const Outbounds outbounds(std::move(list));
    const auto result = compile_groups(outbounds.targets, settings_with_probe());
    if (c.error != nullptr) {
        ASSERT_FALSE(result.has_value());
        EXPECT_EQ(result.error(), c.error);
        return;
    }
    ASSERT_TRUE(result.has_value()) << result.error();
    EXPECT_EQ(result->balancers, Json::parse(c.balancers));
    EXPECT_EQ(result->subjects, c.subjects);
    EXPECT_EQ(result->probe_url, c.probe_url);
    EXPECT_EQ(result->probe_interval, c.probe_interval);
}

const GroupCase kGroupCases[] = {
    {"UrltestsSharingAMember",
     R"([{"type":"urltest","tag":"B","outbounds":["y","z"]},
         {"type":"urltest","tag":"A","outbounds":["x","y"]}])",
     R"([{"tag":"A","selector":["x~","y~"],"strategy":{"type":"leastPing"},"fallbackTag":"x~"},
         {"tag":"B","selector":["y~","z~"],"strategy":{"type":"leastPing"},"fallbackTag":"y~"}])",
     {"x~", "y~", "z~"}},
    {"SelectorWithoutDefaultTakesFirstMemberGroup",
     R"([{"type":"selector","tag":"S","outbounds":["A","x"],"url":"http://s.example/"},
         {"type":"urltest","tag":"A","outbounds":["p","q"]}])",
     R"([{"tag":"A","selector":["p~","q~"],"strategy":{"type":"leastPing"},"fallbackTag":"p~"},
         {"tag":"S","selector":["p~","q~"],"strategy":{"type":"leastPing"},"fallbackTag":"p~"}])",
     {"p~", "q~"},
     "http://s.example/"},
    {"SelectorDefaultIsNotMeasured",
     R"([{"type":"selector","tag":"S","outbounds":["x","y"],"default":"y"}])",
     R"([{"tag":"S","selector":["y~"],"strategy":{"type":"random"}}])",
     {}},
    {"SelectorNonStringDefaultTakesFirstMember",
     R"([{"type":"selector","tag":"S","outbounds":"x","default":7}])",
     R"([{"tag":"S","selector":["x~"],"strategy":{"type":"random"}}])",
     {}},
    {"SiblingsSharingAGroupAreNoCycle",
     R"([{"type":"urltest","tag":"X","outbounds":["A","B"]},
         {"type":"urltest","tag":"A","outbounds":["p"]},
         {"type":"urltest","tag":"B","outbounds":["p"]}])",
     R"([{"tag":"A","selector":["p~"],"strategy":{"type":"leastPing"},"fallbackTag":"p~"},
         {"tag":"B","selector":["p~"],"strategy":{"type":"leastPing"},"fallbackTag":"p~"},
         {"tag":"X","selector":["p~"],"strategy":{"type":"leastPing"},"fallbackTag":"p~"}])",
     {"p~"}},
    {"RepeatedMemberAndBuiltInsOnce",
     R"([{"type":"urltest","tag":"U","outbounds":["x","direct","x","block"]}])",
     R"([{"tag":"U","selector":["x~","direct~","block~"],"strategy":{"type":"leastPing"},
          "fallbackTag":"x~"}])",
     {"x~", "direct~", "block~"}},
    {"LastUrlAndIntervalInTagOrderWin",
     R"([{"type":"urltest","tag":"b","outbounds":["y"],"url":"https://b.example/",
          "interval":"1m"},
         {"type":"urltest","tag":"a","outbounds":["x"],"url":"https://a.example/",
          "interval":"5m"},
         {"type":"urltest","tag":"c","outbounds":["z"],"url":42}])",
     R"([{"tag":"a","selector":["x~"],"strategy":{"type":"leastPing"},"fallbackTag":"x~"},
         {"tag":"b","selector":["y~"],"strategy":{"type":"leastPing"},"fallbackTag":"y~"},
         {"tag":"c","selector":["z~"],"strategy":{"type":"leastPing"},"fallbackTag":"z~"}])",
     {"x~", "y~", "z~"},
     "https://b.example/",
     "1m"},
    {"SelectorUrlIsNotRead",
     R"([{"type":"selector","tag":"S","outbounds":["x"],"url":"ftp://s.example/"}])",
     R"([{"tag":"S","selector":["x~"],"strategy":{"type":"random"}}])",
     {}},
    {"NoGroups", "[]", "[]", {}},
    {"MutualCycle",
     R"([{"type":"urltest","tag":"A","outbounds":["B"]},
         {"type":"urltest","tag":"B","outbounds":["A"]}])",
     nullptr,
     {},
     "",
     "",
     "Xray: циклическая группа серверов"},
    {"SelfCycleThroughSelector",
     R"([{"type":"selector","tag":"S","outbounds":["x","S"],"default":"S"}])",
     nullptr,
     {},
     "",
     "",
     "Xray: циклическая группа серверов"},
    {"UnknownMember",
     R"([{"type":"urltest","tag":"U","outbounds":["x","nope"]}])",
     nullptr,
     {},
     "",
     "",
     "Xray: группа U содержит неизвестный nope"},
    {"EmptyMembers",
     R"([{"type":"urltest","tag":"U","outbounds":[]}])",
     nullptr,
     {},
     "",
     "",
     "Xray: пустая группа U"},
    {"MissingMembers",
     R"([{"type":"selector","tag":"S"}])",
     nullptr,
     {},
     "",
     "",
     "Xray: пустая группа S"},
    {"MembersOfWrongType",
     R"([{"type":"urltest","tag":"U","outbounds":{"x":1}}])",
     nullptr,
     {},
     "",
     "",
     "Xray: нужна строка или список строк"},
    {"MemberNotAString",
     R"([{"type":"urltest","tag":"U","outbounds":["x",1]}])",
     nullptr,
     {},
     "",
     "",
     "Xray: нужен список строк"},
    {"DefaultOutsideMembersThoughItExists",
     R"([{"type":"selector","tag":"S","outbounds":["x"],"default":"y"}])",
     nullptr,
     {},
     "",
     "",
     "Xray: default группы S не входит в её участников"},
    {"UrlInCapitals",
     R"([{"type":"urltest","tag":"U","outbounds":["x"],"url":"HTTPS://u.example/"}])",
     nullptr,
     {},
     "",
     "",
     "Xray: неверный URL авто-проверки"},
    {"UrlOfAnotherScheme",
     R"([{"type":"urltest","tag":"U","outbounds":["x"],"url":"ftp://u.example/"}])",
     nullptr,
     {},
     "",
     "",
     "Xray: неверный URL авто-проверки"},
};

INSTANTIATE_TEST_SUITE_P(Groups, GroupCompileTest, testing::ValuesIn(kGroupCases),
                         [](const testing::TestParamInfo<GroupCase>& case_info) {
                             return std::string(case_info.param.name);
                         });

TEST(ResolveGroup, PlainOutboundResolvesToItself) {
    const Outbounds outbounds(Json::array({plain("x")}));
    TagSet visiting;
    const auto result =
        resolve_group("x", outbounds.targets.groups, outbounds.targets.outbound_tags, visiting);
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->members, std::vector<std::string>{"x"});
    EXPECT_FALSE(result->is_urltest);
}

TEST(ResolveGroup, UnknownTagAndGroupAlreadyOnThePath) {
    const Outbounds outbounds(
        Json::array({plain("x"), Json{{"type", "urltest"}, {"tag", "U"}, {"outbounds", "x"}}}));
    TagSet visiting;
    auto result =
        resolve_group("nope", outbounds.targets.groups, outbounds.targets.outbound_tags, visiting);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), "Xray: неизвестный выход nope");

    TagSet on_path{"U"};
    result = resolve_group("U", outbounds.targets.groups, outbounds.targets.outbound_tags, on_path);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), "Xray: циклическая группа серверов");

    TagSet fresh;
    result = resolve_group("U", outbounds.targets.groups, outbounds.targets.outbound_tags, fresh);
    ASSERT_TRUE(result.has_value());
    EXPECT_TRUE(result->is_urltest);
    EXPECT_TRUE(fresh.empty()) << "the group must leave the path when it is done";
}

// Thousands of groups nested in one chain must neither exhaust the stack nor take long.
TEST(GroupsHostile, LongChainOfNestedGroups) {
    constexpr int kDepth = 20000;
    Json list = Json::array({plain("x")});
    for (int i = 0; i < kDepth; ++i) {
        const std::string next = i + 1 < kDepth ? "g" + std::to_string(i + 1) : "x";
        list.push_back(Json{{"type", i % 2 == 0 ? "selector" : "urltest"},
                            {"tag", "g" + std::to_string(i)},
                            {"outbounds", Json::array({next})}});
    }
    const Outbounds outbounds(std::move(list));
    const auto result = compile_groups(outbounds.targets, settings_with_probe());
    ASSERT_TRUE(result.has_value()) << result.error();
    ASSERT_EQ(result->balancers.size(), static_cast<std::size_t>(kDepth));
    for (const Json& balancer : result->balancers) {
        EXPECT_EQ(balancer.at("selector"), Json::array({"x~"}));
    }
}

// Each level names the next one twice: walked path by path this is 2^60 resolutions.
TEST(GroupsHostile, SharedBranchesAreWalkedOnce) {
    constexpr int kLevels = 60;
    Json list = Json::array({plain("x"), plain("y")});
    for (int i = 0; i < kLevels; ++i) {
        Json members = i + 1 < kLevels
                           ? Json::array({"L" + std::to_string(i + 1), "R" + std::to_string(i + 1)})
                           : Json::array({"x", "y"});
        list.push_back(
            Json{{"type", "urltest"}, {"tag", "L" + std::to_string(i)}, {"outbounds", members}});
        list.push_back(
            Json{{"type", "urltest"}, {"tag", "R" + std::to_string(i)}, {"outbounds", members}});
    }
    const Outbounds outbounds(std::move(list));
    const auto result = compile_groups(outbounds.targets, settings_with_probe());
    ASSERT_TRUE(result.has_value()) << result.error();
    EXPECT_EQ(result->balancers.size(), static_cast<std::size_t>(2 * kLevels));
    EXPECT_EQ(result->subjects, (std::vector<std::string>{"x~", "y~"}));
}

// Each group names the next and an outbound of its own, so each flattens to every outbound
// below it: the members grow with the square of the chain and are refused past the bound.
TEST(GroupsHostile, ChainThatFlattensQuadratically) {
    for (const int groups : {1000, 2000}) {
        Json list = Json::array();
        for (int i = 0; i < groups; ++i) {
            list.push_back(plain(("p" + std::to_string(i)).c_str()));
        }
        for (int i = 0; i < groups; ++i) {
            Json members = Json::array({"p" + std::to_string(i)});
            if (i + 1 < groups) {
                members.push_back("g" + std::to_string(i + 1));
            }
            list.push_back(Json{{"type", "urltest"},
                                {"tag", "g" + std::to_string(i)},
                                {"outbounds", std::move(members)}});
        }
        const Outbounds outbounds(std::move(list));
        const auto result = compile_groups(outbounds.targets, settings_with_probe());
        if (groups == 1000) {
            ASSERT_TRUE(result.has_value()) << result.error();
            EXPECT_EQ(result->balancers[0]["selector"].size(), 1000u);
        } else {
            ASSERT_FALSE(result.has_value());
            EXPECT_EQ(result.error(), "Xray: слишком много участников в группах серверов");
        }
    }
}

// The bound counts the members of every flattened group once: 1000 groups that each flatten to
// the same 1000 outbounds reach it exactly, and one more member anywhere crosses it.
TEST(GroupsHostile, MemberBoundIsExact) {
    constexpr int kWidth = 1000;
    static_assert(std::size_t{kWidth} * kWidth == kMaxGroupMembers);
    for (const bool one_more : {false, true}) {
        Json list = Json::array();
        Json all = Json::array();
        for (int i = 0; i < kWidth; ++i) {
            list.push_back(plain(("p" + std::to_string(i)).c_str()));
            all.push_back("p" + std::to_string(i));
        }
        list.push_back(Json{{"type", "urltest"}, {"tag", "all"}, {"outbounds", std::move(all)}});
        for (int i = 1; i < kWidth; ++i) {
            list.push_back(
                Json{{"type", "urltest"}, {"tag", "g" + std::to_string(i)}, {"outbounds", "all"}});
        }
        if (one_more) {
            list.push_back(Json{{"type", "urltest"}, {"tag", "single"}, {"outbounds", "p0"}});
        }
        const Outbounds outbounds(std::move(list));
        const auto result = compile_groups(outbounds.targets, settings_with_probe());
        if (!one_more) {
            ASSERT_TRUE(result.has_value()) << result.error();
            EXPECT_EQ(result->balancers.size(), static_cast<std::size_t>(kWidth));
        } else {
            ASSERT_FALSE(result.has_value());
            EXPECT_EQ(result.error(), "Xray: слишком много участников в группах серверов");
        }
    }
}

// A cycle deep below shared branches is still found, whichever group is resolved first.
TEST(GroupsHostile, CycleBelowSharedBranches) {
    Json list =
        Json::array({plain("x"), Json{{"type", "urltest"}, {"tag", "A"}, {"outbounds", {"C", "D"}}},
                     Json{{"type", "urltest"}, {"tag", "C"}, {"outbounds", {"x"}}},
                     Json{{"type", "urltest"}, {"tag", "D"}, {"outbounds", {"C", "E"}}},
                     Json{{"type", "selector"}, {"tag", "E"}, {"outbounds", {"D"}}}});
    const Outbounds outbounds(std::move(list));
    const auto result = compile_groups(outbounds.targets, settings_with_probe());
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), "Xray: циклическая группа серверов");
}

}  // namespace
}  // namespace vemla::xray_native
