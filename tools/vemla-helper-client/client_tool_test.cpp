#include "client_tool.h"

#include <gtest/gtest.h>

#include <array>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

namespace vemla::tools {
namespace {

const std::string kSession(64, 'c');
const std::string kOtherSession =
    "0123456789ABCDEF0123456789abcdef0123456789ABCDEF0123456789abcdef";

TEST(ToolArguments, CommandsAndTheirOperands) {
    const struct {
        std::vector<std::string> arguments;
        std::optional<ToolAction> action;  // none: refused
        std::string request_file;
        std::optional<std::string> session;
    } cases[] = {
        {{"--help"}, ToolAction::help, "", std::nullopt},
        {{"status"}, ToolAction::status, "", std::nullopt},
        {{"disconnect"}, ToolAction::disconnect, "", std::nullopt},
        {{"connect", "request.json"}, ToolAction::connect, "request.json", std::nullopt},
        {{"connect", "-"}, ToolAction::connect, "-", std::nullopt},
        {{"--session", kOtherSession, "status"}, ToolAction::status, "", kOtherSession},
        {{"--session", kSession, "connect", "r.json"}, ToolAction::connect, "r.json", kSession},
        {{}, std::nullopt, "", std::nullopt},
        {{"--session", kSession}, std::nullopt, "", std::nullopt},
        {{"--session", "abc", "status"}, std::nullopt, "", std::nullopt},
        {{"--session", kSession + "0", "status"}, std::nullopt, "", std::nullopt},
        {{"connect"}, std::nullopt, "", std::nullopt},
        {{"connect", "a.json", "b.json"}, std::nullopt, "", std::nullopt},
        {{"status", "extra"}, std::nullopt, "", std::nullopt},
        {{"disconnect", "now"}, std::nullopt, "", std::nullopt},
        {{"Status"}, std::nullopt, "", std::nullopt},
        {{"status", "--session", kSession}, std::nullopt, "", std::nullopt},
    };
    for (const auto& c : cases) {
        const std::string shown = testing::PrintToString(c.arguments);
        const auto command = parse_tool_arguments(c.arguments);
        if (!c.action) {
            ASSERT_FALSE(command.has_value()) << shown;
            EXPECT_FALSE(command.error().empty()) << shown;
            continue;
        }
        ASSERT_TRUE(command.has_value()) << shown << ": " << command.error();
        EXPECT_EQ(command->action, *c.action) << shown;
        EXPECT_EQ(command->request_file, c.request_file) << shown;
        EXPECT_EQ(command->session, c.session) << shown;
    }
}

TEST(Session, SixtyFourHexDigits) {
    EXPECT_TRUE(is_session(kSession));
    EXPECT_TRUE(is_session(kOtherSession));
    EXPECT_FALSE(is_session(std::string(63, 'a')));
    EXPECT_FALSE(is_session(std::string(65, 'a')));
    EXPECT_FALSE(is_session(std::string(63, 'a') + "g"));
    EXPECT_FALSE(is_session(std::string(63, 'a') + "\n"));
    EXPECT_FALSE(is_session(""));
}

TEST(Session, RandomBytesBecomeLowerCaseHex) {
    std::array<std::uint8_t, 32> bytes{};
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 8 + 7);
    }
    const std::string session = session_from_random(bytes);
    EXPECT_EQ(session, "070f171f272f373f474f575f676f777f878f979fa7afb7bfc7cfd7dfe7eff7ff");
    EXPECT_TRUE(is_session(session));
}

ToolCommand command(ToolAction action) {
    ToolCommand result;
    result.action = action;
    return result;
}

TEST(ToolRequest, StatusAndDisconnectCarryTheSession) {
    const auto status = build_tool_request(command(ToolAction::status), kSession);
    ASSERT_TRUE(status.has_value()) << status.error();
    EXPECT_EQ(to_compact_json(*status),
              R"({"op":"status","session":")" + kSession + R"(","version":1})");
    const auto stop = build_tool_request(command(ToolAction::disconnect), kSession);
    ASSERT_TRUE(stop.has_value()) << stop.error();
    EXPECT_EQ(to_compact_json(*stop),
              R"({"op":"stop","session":")" + kSession + R"(","version":1})");
}

std::string read_example(const std::string& name) {
    std::ifstream in(std::string(VEMLA_EXAMPLES_DIR) + "/" + name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(ToolRequest, ConnectSendsTheFileWithItsOwnSession) {
    const std::string text = read_example("vless-reality.json");
    ASSERT_FALSE(text.empty());
    const auto request = build_tool_request(command(ToolAction::connect), kSession, text);
    ASSERT_TRUE(request.has_value()) << request.error();
    Json expected = *parse_json(text);
    ASSERT_NE(expected["session"], kSession);
    expected["session"] = kSession;
    EXPECT_EQ(*request, expected);
}

TEST(ToolRequest, ConnectRefusesWhatIsNotAStartRequest) {
    for (const std::string& text :
         {std::string(R"({"op":"stop","version":1})"), std::string(R"({"version":1})"),
          std::string(R"([{"op":"start"}])"), std::string("{\"op\":\"start\""), std::string()}) {
        const auto request = build_tool_request(command(ToolAction::connect), kSession, text);
        ASSERT_FALSE(request.has_value()) << text;
        EXPECT_FALSE(request.error().empty());
    }
}

TEST(ToolReply, IndentedWithTextAsItIs) {
    const Json reply = {{"ok", false}, {"engine_error", "Ядро остановилось"}, {"pid", nullptr}};
    EXPECT_EQ(
        readable_reply(reply),
        "{\n  \"engine_error\": \"Ядро остановилось\",\n  \"ok\": false,\n  \"pid\": null\n}\n");
}

}  // namespace
}  // namespace vemla::tools
