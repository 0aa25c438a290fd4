#include "checker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>

#include "json/json_text.h"

namespace vemla::tools {
namespace {

const std::filesystem::path kExamples = std::filesystem::path(VEMLA_EXAMPLES_DIR);

struct Outcome {
    int code;
    std::string out;
    std::string err;
};

Outcome run(std::vector<std::string> args, const std::string& input = "") {
    std::istringstream in(input);
    std::ostringstream out;
    std::ostringstream err;
    const int code = run_checker(args, in, out, err, kExamples / "rules");
    return {code, out.str(), err.str()};
}

// A start request whose envelope the service accepts, around the given members.
std::string start_request(const std::string& members) {
    return R"({"version":1,"op":"start","native_xray":true,"session":")" + std::string(64, 'c') +
           "\"," + members + "}";
}

std::string example(const char* name) {
    const std::u8string text = (kExamples / name).u8string();
    return std::string(text.begin(), text.end());
}

TEST(Checker, PrintsTheNormalisedConfigurationOfAnExample) {
    const Outcome result = run({"--validate-only", example("vless-reality.json")});
    ASSERT_EQ(result.code, 0) << result.err;
    EXPECT_EQ(result.err, "");
    ASSERT_FALSE(result.out.empty());
    EXPECT_EQ(result.out.back(), '\n');
    EXPECT_EQ(result.out.find('\n'), result.out.size() - 1) << "one compact line";
    const auto printed = parse_json(result.out);
    ASSERT_TRUE(printed.has_value());
    EXPECT_EQ((*printed)["inbounds"][0]["interface_name"], "VemlaVPN");
    EXPECT_EQ((*printed)["log"], Json::parse(R"({"level":"warn","timestamp":true})"));
}

TEST(Checker, EveryExampleIsAccepted) {
    for (const auto& entry : std::filesystem::directory_iterator(kExamples)) {
        if (entry.path().extension() != ".json") {
            continue;
        }
        const std::u8string path = entry.path().u8string();
        const Outcome result = run({"--validate-only", std::string(path.begin(), path.end())});
        EXPECT_EQ(result.code, 0) << entry.path() << ": " << result.err;
    }
}

std::string read_bytes(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << file.rdbuf();
    return bytes.str();
}

// Every example request compiles to exactly the document checked in beside it, so that any
// change of output shows in review. A missing expected file is written nowhere: it fails.
TEST(Checker, EveryExampleCompilesToItsExpectedDocumentByteForByte) {
    std::size_t compared = 0;
    for (const auto& entry : std::filesystem::directory_iterator(kExamples)) {
        if (entry.path().extension() != ".json") {
            continue;
        }
        const std::u8string path = entry.path().u8string();
        const Outcome result = run({std::string(path.begin(), path.end())});
        ASSERT_EQ(result.code, 0) << entry.path() << ": " << result.err;
        EXPECT_EQ(result.err, "");
        const std::filesystem::path expected_path =
            kExamples / "expected" / (entry.path().stem().string() + ".xray.json");
        ASSERT_TRUE(std::filesystem::exists(expected_path)) << expected_path;
        EXPECT_EQ(result.out, read_bytes(expected_path)) << entry.path();
        // Identical input, identical bytes.
        EXPECT_EQ(run({std::string(path.begin(), path.end())}).out, result.out) << entry.path();
        ++compared;
    }
    // And no expected document outlives its request.
    std::size_t expected_files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(kExamples / "expected")) {
        EXPECT_TRUE(
            std::filesystem::exists(kExamples / (entry.path().stem().stem().string() + ".json")))
            << entry.path();
        ++expected_files;
    }
    EXPECT_EQ(expected_files, compared);
    EXPECT_GE(compared, 1u);
}

// The engine has no DNS sniffer: a routing rule that matches `protocol` dns never fires.
TEST(Checker, NoExampleRoutesByTheDnsProtocol) {
    for (const auto& entry : std::filesystem::directory_iterator(kExamples)) {
        if (entry.path().extension() != ".json") {
            continue;
        }
        const std::u8string path = entry.path().u8string();
        const Outcome result = run({std::string(path.begin(), path.end())});
        ASSERT_EQ(result.code, 0) << entry.path() << ": " << result.err;
        const auto document = parse_json(result.out);
        ASSERT_TRUE(document.has_value()) << document.error();
        for (const Json& rule : document->at("routing").at("rules")) {
            const Json protocols = rule.value("protocol", Json::array());
            EXPECT_EQ(std::count(protocols.begin(), protocols.end(), Json("dns")), 0)
                << entry.path() << ": " << rule.dump();
        }
    }
}

TEST(Checker, CompiledDocumentIsWhatTheServiceWrites) {
    const Outcome result = run({example("vless-reality.json")});
    ASSERT_EQ(result.code, 0) << result.err;
    ASSERT_FALSE(result.out.empty());
    EXPECT_EQ(result.out.find('\n'), result.out.size() - 1) << "one compact line";
    const auto document = parse_json(result.out);
    ASSERT_TRUE(document.has_value());
    EXPECT_EQ(to_compact_json(*document) + "\n", result.out);
    // The engine's API inbound listens on the service's fixed native API port.
    EXPECT_EQ((*document)["inbounds"][0]["tag"], "vemla-api-in");
    EXPECT_EQ((*document)["inbounds"][0]["port"], 18970);
    EXPECT_EQ((*document)["routing"]["rules"].back()["ruleTag"], "vemla-final");
}

TEST(Checker, CompilerRefusalIsOneLineOnStandardErrorWithExitOne) {
    std::ostringstream request;
    request << std::ifstream(kExamples / "vless-reality.json").rdbuf();
    auto parsed = parse_json(request.str());
    ASSERT_TRUE(parsed.has_value()) << parsed.error();
    Json edited = std::move(*parsed);
    // Valid for the helper's checks, but the DNS-over-TLS server has no exact translation.
    edited["config"]["dns"]["servers"][0]["type"] = "tls";
    const Outcome refused = run({"-"}, to_compact_json(edited));
    EXPECT_EQ(refused.code, 1);
    EXPECT_EQ(refused.out, "");
    EXPECT_EQ(refused.err, "Xray: DNS tls не поддерживается\n");
    // The same request only validated is accepted.
    EXPECT_EQ(run({"--validate-only", "-"}, to_compact_json(edited)).code, 0);
}

// The example request with its selected DNS server made a "udp" server of `server`, going
// through the proxy.
std::string with_udp_dns_server(const std::string& server) {
    std::ostringstream text;
    text << std::ifstream(kExamples / "vless-reality.json").rdbuf();
    Json request = parse_json(text.str()).value_or(Json());
    request["config"]["dns"]["servers"][0] =
        Json{{"tag", "dns-remote"}, {"type", "udp"}, {"server", server}, {"detour", "proxy"}};
    return to_compact_json(request);
}

// Address texts that the engine would send outside the tunnel are refused by the tool as they
// would be by the service; plain addresses and names compile to the server as written.
TEST(Checker, DnsServerAddressIsAnIpLiteralOrAHostName) {
    struct Case {
        const char* server;
        bool accepted;
    };
    const Case cases[] = {
        {"https+local://1.1.1.1/dns-query", false},
        {"tcp+local://1.1.1.1", false},
        {"localhost", false},
        {"fakedns", false},
        {"1.1.1.1/x", false},
        {"a@b", false},
        {"1.1.1.1", true},
        {"2606:4700::1111", true},
        {"dns.google", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.server);
        const Outcome result = run({"-"}, with_udp_dns_server(c.server));
        if (!c.accepted) {
            EXPECT_EQ(result.code, 1);
            EXPECT_EQ(result.out, "");
            EXPECT_EQ(result.err,
                      "Xray: DNS-сервер 0: server должен быть IP-адресом или именем хоста\n");
            continue;
        }
        EXPECT_EQ(result.err, "");
        const auto document = parse_json(result.out);
        if (result.code != 0 || !document.has_value()) {
            ADD_FAILURE() << "exit " << result.code << ": " << result.err;
            continue;
        }
        const Json& server = document->at("dns").at("servers").at(0);
        EXPECT_EQ(server.value("address", Json()), c.server);
        EXPECT_EQ(server.value("tag", Json()), "vemla-dns-query-0");
    }
}

// Hostile requests through everything the service runs: each ends in its message (or, for a
// merely large rule, in its document) without running away.
TEST(Checker, HostileRequestsEndInTheirMessages) {
    std::ostringstream text;
    text << std::ifstream(kExamples / "vless-reality.json").rdbuf();
    auto parsed = parse_json(text.str());
    ASSERT_TRUE(parsed.has_value()) << parsed.error();
    const Json base = std::move(*parsed);
    auto with_route = [&base](Json rules, const std::vector<std::string>& sets, Json sources) {
        Json request = base;
        request["config"]["route"]["rules"] = std::move(rules);
        Json entries = Json::array();
        for (const std::string& tag : sets) {
            entries.push_back(
                Json{{"type", "local"}, {"tag", tag}, {"format", "source"}, {"path", tag}});
        }
        request["config"]["route"]["rule_set"] = std::move(entries);
        request["rules"] = std::move(sources);
        return to_compact_json(request);
    };
    auto source = [](Json rules) { return Json{{"version", 3}, {"rules", std::move(rules)}}; };
    Json domains = Json::array();
    for (int i = 0; i < 100000; ++i) {
        domains.push_back("h" + std::to_string(i) + ".example");
    }
    Json split_rules = Json::array();
    for (int i = 0; i < 20; ++i) {
        split_rules.push_back(Json{{"domain", "a.example"}, {"ip_cidr", "10.0.0.0/8"}});
    }
    struct Case {
        const char* name;
        std::string request;
        const char* error;  // nullptr: compiles
    };
    const Case cases[] = {
        {"rule_sets_naming_themselves_through_others",
         with_route(Json::parse(R"([{"rule_set":["a"],"outbound":"direct"}])"), {"a", "b", "c"},
                    Json{{"a", source(Json::parse(R"([{"rule_set":["b"]}])"))},
                         {"b", source(Json::parse(R"([{"rule_set":["c"]}])"))},
                         {"c", source(Json::parse(R"([{"rule_set":["a"]}])"))}}),
         "Xray: циклический rule_set\n"},
        {"and_product_explodes",
         with_route(Json::array({Json{{"type", "logical"},
                                      {"mode", "and"},
                                      {"rules", split_rules},
                                      {"outbound", "direct"}}}),
                    {}, Json::object()),
         "Xray: слишком сложное логическое правило\n"},
        {"rule_of_100000_domains",
         with_route(Json::parse(R"([{"rule_set":["big"],"outbound":"direct"}])"), {"big"},
                    Json{{"big", source(Json::array({Json{{"domain_suffix", domains}}}))}}),
         nullptr},
    };
    for (const Case& c : cases) {
        const Outcome result = run({"-"}, c.request);
        if (c.error == nullptr) {
            EXPECT_EQ(result.code, 0) << c.name << ": " << result.err;
            const auto document = parse_json(result.out);
            ASSERT_TRUE(document.has_value()) << c.name;
            const Json& rule = document->at("routing").at("rules").at(2);
            EXPECT_EQ(rule.at("ruleTag"), "vemla-rule-0-0") << c.name;
            EXPECT_EQ(rule.at("domain").size(), 100000u) << c.name;
        } else {
            EXPECT_EQ(result.code, 1) << c.name;
            EXPECT_EQ(result.err, c.error) << c.name;
        }
    }
}

TEST(Checker, ReadsStandardInputForADash) {
    std::ostringstream request;
    request << std::ifstream(kExamples / "vless-reality.json").rdbuf();
    for (const char* mode : {"--validate-only", ""}) {
        std::vector<std::string> args = {"-"};
        std::vector<std::string> file_args = {example("vless-reality.json")};
        if (*mode != '\0') {
            args.insert(args.begin(), mode);
            file_args.insert(file_args.begin(), mode);
        }
        const Outcome from_stdin = run(args, request.str());
        const Outcome from_file = run(file_args);
        ASSERT_EQ(from_stdin.code, 0) << from_stdin.err;
        EXPECT_EQ(from_stdin.out, from_file.out) << mode;
    }
}

TEST(Checker, RefusalIsOneLineOnStandardErrorWithExitOne) {
    const Outcome result =
        run({"--validate-only", "-"}, start_request(R"("config":{"inbounds":[]},"rules":{})"));
    EXPECT_EQ(result.code, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "Exactly one Vemla TUN is required\n");
}

TEST(Checker, BuiltInRuleSourcesComeFromTheRulesDirectory) {
    std::ostringstream request;
    request << std::ifstream(kExamples / "vless-reality.json").rdbuf();
    const Outcome missing = run({"--rules-dir", "/nonexistent-dir", "-"}, request.str());
    EXPECT_EQ(missing.code, 1);
    EXPECT_NE(missing.err.find("cannot open built-in rule source"), std::string::npos)
        << missing.err;
}

TEST(Checker, BadInputOfEveryKindGetsAMessage) {
    struct Case {
        const char* name;
        std::string input;
        std::string error_part;
    };
    const Case cases[] = {
        {"garbage", "garbage\n", "parse error"},
        {"empty", "", "parse error"},
        {"brackets_20mib", std::string(20u << 20, '['), "Request exceeds 512 KiB"},
        // The limit is 16 MiB: at it the request is read and parsed, one byte more is refused.
        {"brackets_at_the_limit", std::string(16777216, '['), "nesting deeper than 64"},
        {"brackets_one_byte_over", std::string(16777217, '['), "Request exceeds 512 KiB"},
        {"brackets_1mib", std::string(1u << 20, '['), "nesting deeper than 64"},
        {"invalid_utf8", "{\"config\":\"\xc3\x28\"}", "ill-formed UTF-8"},
        {"nul_in_string", start_request(R"("config":{"log":{"level":"a\u0000"}},"rules":{})"),
         "Invalid or oversized string"},
        {"raw_nul", std::string("{\"config\":\"a\0\"}", 15), "parse error"},
        {"not_object", "[1,2]", "Invalid request"},
        {"no_envelope", R"({"config":{},"rules":{}})", "Protocol version mismatch"},
        {"not_start", R"({"version":1,"op":"stop"})", "Not a start request"},
        {"no_session", R"({"version":1,"op":"start","native_xray":true,"config":{}})",
         "Missing client session"},
        {"session_with_capital_beyond_f",
         R"({"version":1,"op":"start","native_xray":true,"session":")" + std::string(63, 'a') +
             "G\"}",
         "Invalid client session"},
        {"no_config", start_request(R"("rules":{})"), "Expected an object"},
        {"no_rules", start_request(R"("config":{})"), "rules must be a tag/document object"},
    };
    for (const Case& c : cases) {
        const Outcome result = run({"-"}, c.input);
        EXPECT_EQ(result.code, 1) << c.name;
        EXPECT_EQ(result.out, "") << c.name;
        EXPECT_NE(result.err.find(c.error_part), std::string::npos) << c.name << ": " << result.err;
        EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << c.name;
    }
}

TEST(Checker, HelpPrintsTheUsageAndTheExitCodesOnStandardOutput) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--help"}, std::vector<std::string>{"--validate-only", "--help"},
          std::vector<std::string>{"--help", "request.json"}}) {
        const Outcome result = run(args);
        EXPECT_EQ(result.code, 0) << testing::PrintToString(args);
        EXPECT_EQ(result.err, "");
        EXPECT_TRUE(result.out.starts_with(std::string(kCheckerUsage) + "\n")) << result.out;
        for (const char* part : {"exit codes", "  0  accepted", "  1  refused", "  2  bad usage",
                                 "--pretty", "--rules-dir", "--validate-only"}) {
            EXPECT_NE(result.out.find(part), std::string::npos) << part;
        }
    }
}

TEST(Checker, UnreadableRequestGivesTheSystemsReason) {
    const Outcome result = run({"/nonexistent/request.json"});
    EXPECT_EQ(result.code, 2);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "/nonexistent/request.json: cannot read the request: " +
                              std::generic_category().message(ENOENT) + "\n" + kCheckerUsage +
                              "\n");
}

// --pretty indents the same JSON for people; without it the bytes are those of active.json.
TEST(Checker, PrettyPrintsTheSameJsonIndented) {
    for (const bool validate_only : {false, true}) {
        std::vector<std::string> args = {example("vless-reality.json")};
        if (validate_only) {
            args.insert(args.begin(), "--validate-only");
        }
        const Outcome compact = run(args);
        args.insert(args.begin(), "--pretty");
        const Outcome pretty = run(args);
        ASSERT_EQ(compact.code, 0) << compact.err;
        ASSERT_EQ(pretty.code, 0) << pretty.err;
        EXPECT_NE(pretty.out, compact.out);
        EXPECT_NE(pretty.out.find("{\n  \""), std::string::npos) << "indented by two spaces";
        EXPECT_EQ(pretty.out.back(), '\n');
        const auto from_pretty = parse_json(pretty.out);
        const auto from_compact = parse_json(compact.out);
        ASSERT_TRUE(from_pretty.has_value()) << from_pretty.error();
        ASSERT_TRUE(from_compact.has_value()) << from_compact.error();
        EXPECT_EQ(*from_pretty, *from_compact) << validate_only;
    }
}

TEST(Checker, BadUsageAndUnreadableInputExitTwoWithTheUsageLine) {
    const std::vector<std::vector<std::string>> usages = {
        {},
        {"--validate-only"},
        {"--frobnicate", "-"},
        {"a.json", "b.json"},
        {"--rules-dir"},
        {"/nonexistent/request.json"},
    };
    for (const auto& args : usages) {
        const Outcome result = run(args);
        EXPECT_EQ(result.code, 2) << testing::PrintToString(args);
        EXPECT_NE(result.err.find(kCheckerUsage), std::string::npos) << result.err;
    }
}

}  // namespace
}  // namespace vemla::tools
