#include <gtest/gtest.h>

#include <string>

#include "fakes.h"
#include "request_envelope.h"

namespace vemla::service {
namespace {

using namespace testing_support;

constexpr const char* kIdleStatus =
    R"({"adapter_recovered":false,"available":true,"connection_tracking_schema":1,)"
    R"("engine_error":null,"installed":true,"maintenance":false,"native_api_port":18970,)"
    R"("native_xray":true,"ok":true,"owned":false,"pid":null,"running":false,)"
    R"("version":"2.20.26"})";
constexpr const char* kIdleSnapshot =
    R"({"adapter_recovered":false,"available":true,"connection_tracking_schema":1,)"
    R"("engine_error":null,"installed":true,"maintenance":false,"native_api_port":18970,)"
    R"("native_xray":true,"ok":true,"pid":null,"running":false,"version":"2.20.26"})";
constexpr const char* kRunningOwned =
    R"({"adapter_recovered":false,"available":true,"connection_tracking_schema":1,)"
    R"("engine_error":null,"installed":true,"maintenance":false,"native_api_port":18970,)"
    R"("native_xray":true,"ok":true,"owned":true,"pid":4242,"running":true,)"
    R"("version":"2.20.26"})";
constexpr const char* kRunningNotOwned =
    R"({"adapter_recovered":false,"available":true,"connection_tracking_schema":1,)"
    R"("engine_error":null,"installed":true,"maintenance":false,"native_api_port":18970,)"
    R"("native_xray":true,"ok":true,"owned":false,"pid":4242,"running":true,)"
    R"("version":"2.20.26"})";
constexpr const char* kReservedStatus =
    R"({"adapter_recovered":false,"available":false,"connection_tracking_schema":1,)"
    R"("engine_error":null,"installed":true,"maintenance":true,"native_api_port":18970,)"
    R"("native_xray":true,"ok":true,"owned":false,"pid":null,"running":false,)"
    R"("version":"2.20.26"})";

constexpr const char* kNativeOnly =
    "Этот помощник запускает только native Xray; обнови клиент Vemla";
constexpr const char* kRulesRefused =
    "Правила обновляются через Xray controller; файл и действующая конфигурация не изменены";

// The same digits as kSessionA, upper case: a different session.
const std::string kSessionUpperA(64, 'A');

enum class Setup { idle, running_a, reserved_a };

struct EnvelopeCase {
    const char* name;
    Setup setup;
    std::string request;
    std::uint32_t client_pid;
    const char* error;  // nullptr: the reply below
    const char* reply;
};

std::string with_session(const std::string& op, const std::string& session) {
    return R"({"version":1,"op":")" + op + R"(","session":")" + session + R"("})";
}

class Envelope : public testing::TestWithParam<EnvelopeCase> {
protected:
    void SetUp() override {
        switch (GetParam().setup) {
            case Setup::idle:
                break;
            case Setup::running_a:
                connection_.install(state_, kSessionA);
                break;
            case Setup::reserved_a:
                state_.reservation = Reservation{
                    kSessionA,
                    std::make_unique<FakeProcess>(make_control("installer", 900, connection_.log))};
                break;
        }
    }

    RunningConnection connection_;
    ServiceState state_;
    FakeContext fake_;
};

TEST_P(Envelope, RepliesOrRefuses) {
    const EnvelopeCase& c = GetParam();
    const auto result = handle_request(fake_.context, state_, Json::parse(c.request), c.client_pid);
    if (c.error != nullptr) {
        ASSERT_FALSE(result.has_value()) << to_compact_json(*result);
        EXPECT_EQ(result.error(), c.error);
    } else {
        ASSERT_TRUE(result.has_value()) << result.error();
        EXPECT_EQ(to_compact_json(*result), c.reply);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Requests, Envelope,
    testing::Values(
        // Shape, keys and version, in that order.
        EnvelopeCase{"array", Setup::idle, R"([{"version":1,"op":"status"}])", 7, "Invalid request",
                     nullptr},
        EnvelopeCase{"text", Setup::idle, R"("status")", 7, "Invalid request", nullptr},
        EnvelopeCase{"null", Setup::idle, "null", 7, "Invalid request", nullptr},
        EnvelopeCase{"unknown_null_key", Setup::idle, R"({"version":1,"op":"status","extra":null})",
                     7, "Unknown request field", nullptr},
        EnvelopeCase{"unknown_key_before_version", Setup::idle, R"({"version":2,"Op":"status"})", 7,
                     "Unknown request field", nullptr},
        EnvelopeCase{"empty_object", Setup::idle, "{}", 7, "Protocol version mismatch", nullptr},
        EnvelopeCase{"version_float", Setup::idle, R"({"version":1.0,"op":"status"})", 7,
                     "Protocol version mismatch", nullptr},
        EnvelopeCase{"version_text", Setup::idle, R"({"version":"1","op":"status"})", 7,
                     "Protocol version mismatch", nullptr},
        EnvelopeCase{"version_missing", Setup::idle, R"({"op":"status"})", 7,
                     "Protocol version mismatch", nullptr},
        EnvelopeCase{"version_two", Setup::idle, R"({"version":2,"op":"status"})", 7,
                     "Protocol version mismatch", nullptr},
        EnvelopeCase{"version_minus_one", Setup::idle, R"({"version":-1,"op":"status"})", 7,
                     "Protocol version mismatch", nullptr},
        // The engine kind is checked before anything about the session.
        EnvelopeCase{"start_without_native", Setup::idle, R"({"version":1,"op":"start"})", 0,
                     kNativeOnly, nullptr},
        EnvelopeCase{"start_native_false", Setup::idle,
                     R"({"version":1,"op":"start","native_xray":false,"session":"x"})", 7,
                     kNativeOnly, nullptr},
        EnvelopeCase{"start_native_text", Setup::idle,
                     R"({"version":1,"op":"start","native_xray":"true"})", 7, kNativeOnly, nullptr},
        // Status without a session needs no valid caller at all.
        EnvelopeCase{"status_idle", Setup::idle, R"({"version":1,"op":"status"})", 7, nullptr,
                     kIdleStatus},
        EnvelopeCase{"status_pid_zero", Setup::idle, R"({"op":"status","version":1})", 0, nullptr,
                     kIdleStatus},
        EnvelopeCase{"status_ignored_members", Setup::idle,
                     R"({"version":1,"op":"status","tag":[1],"document":{"a":null}})", 7, nullptr,
                     kIdleStatus},
        EnvelopeCase{"status_running_no_session", Setup::running_a,
                     R"({"version":1,"op":"status"})", 7, nullptr, kRunningNotOwned},
        EnvelopeCase{"status_reserved", Setup::reserved_a, R"({"version":1,"op":"status"})", 7,
                     nullptr, kReservedStatus},
        // Once present, the session is checked even for status.
        EnvelopeCase{"status_short_session", Setup::idle,
                     R"({"version":1,"op":"status","session":"abc"})", 7, "Invalid client session",
                     nullptr},
        EnvelopeCase{"status_session_number", Setup::idle,
                     R"({"version":1,"op":"status","session":12})", 7, "Missing client session",
                     nullptr},
        EnvelopeCase{"status_session_null", Setup::idle,
                     R"({"version":1,"op":"status","session":null})", 7, "Missing client session",
                     nullptr},
        EnvelopeCase{"session_63", Setup::idle, with_session("status", std::string(63, 'a')), 7,
                     "Invalid client session", nullptr},
        EnvelopeCase{"session_65", Setup::idle, with_session("status", std::string(65, 'a')), 7,
                     "Invalid client session", nullptr},
        EnvelopeCase{"session_not_hex", Setup::idle,
                     with_session("status", std::string(63, 'a') + "g"), 7,
                     "Invalid client session", nullptr},
        EnvelopeCase{"session_upper_not_hex", Setup::idle,
                     with_session("status", std::string(63, 'a') + "G"), 7,
                     "Invalid client session", nullptr},
        EnvelopeCase{"session_pid_zero", Setup::idle, with_session("status", kSessionA), 0,
                     "Invalid client session", nullptr},
        EnvelopeCase{"missing_op_no_session", Setup::idle, R"({"version":1})", 7,
                     "Missing client session", nullptr},
        // Ownership: byte for byte, case included.
        EnvelopeCase{"status_owner", Setup::running_a, with_session("status", kSessionA), 7,
                     nullptr, kRunningOwned},
        EnvelopeCase{"status_upper_case_is_other", Setup::running_a,
                     with_session("status", kSessionUpperA), 7, nullptr, kRunningNotOwned},
        EnvelopeCase{"status_idle_with_session", Setup::idle, with_session("status", kSessionA), 7,
                     nullptr, kIdleStatus},
        // Operations.
        EnvelopeCase{"op_capital", Setup::idle, with_session("Status", kSessionA), 7,
                     "Operation not permitted", nullptr},
        EnvelopeCase{"op_unknown", Setup::running_a, with_session("restart", kSessionB), 7,
                     "Operation not permitted", nullptr},
        EnvelopeCase{"op_missing", Setup::idle,
                     std::string(R"({"version":1,"session":")") + kSessionA + R"("})", 7,
                     "Operation not permitted", nullptr},
        EnvelopeCase{"op_number", Setup::idle,
                     std::string(R"({"version":1,"op":1,"session":")") + kSessionA + R"("})", 7,
                     "Operation not permitted", nullptr},
        EnvelopeCase{"update_rules_owner", Setup::running_a,
                     with_session("update_rules", kSessionA), 7, kRulesRefused, nullptr},
        EnvelopeCase{"update_rules_idle", Setup::idle, with_session("update_rules", kSessionB), 7,
                     kRulesRefused, nullptr},
        EnvelopeCase{"update_rules_other", Setup::running_a,
                     with_session("update_rules", kSessionB), 7,
                     "Connection belongs to another client session", nullptr},
        EnvelopeCase{"stop_other", Setup::running_a, with_session("stop", kSessionUpperA), 7,
                     "Connection belongs to another client session", nullptr},
        EnvelopeCase{"stop_owner", Setup::running_a, with_session("stop", kSessionA), 7, nullptr,
                     kIdleSnapshot},
        EnvelopeCase{"stop_idle", Setup::idle, with_session("stop", kSessionB), 7, nullptr,
                     kIdleSnapshot},
        // The update operations do not look at the connection's session.
        EnvelopeCase{"cancel_update_idle", Setup::idle, with_session("cancel_update", kSessionA), 7,
                     nullptr, R"({"ok":true})"},
        EnvelopeCase{"cancel_update_while_running", Setup::running_a,
                     with_session("cancel_update", kSessionB), 7, nullptr, R"({"ok":true})"},
        EnvelopeCase{"cancel_update_other_installer", Setup::reserved_a,
                     with_session("cancel_update", kSessionB), 7,
                     "Maintenance belongs to another installer session", nullptr},
        EnvelopeCase{"cancel_update_upper_case_is_other", Setup::reserved_a,
                     with_session("cancel_update", kSessionUpperA), 7,
                     "Maintenance belongs to another installer session", nullptr},
        EnvelopeCase{"cancel_update_owner", Setup::reserved_a,
                     with_session("cancel_update", kSessionA), 7, nullptr, R"({"ok":true})"}),
    [](const testing::TestParamInfo<EnvelopeCase>& case_info) { return case_info.param.name; });

TEST(EnvelopeEffects, StopEndsTheConnectionAndKeepsTheEngineError) {
    FakeContext fake;
    RunningConnection connection;
    ServiceState state;
    connection.install(state, kSessionA);
    state.engine_error = "Движок завершился с кодом 1";
    state.adapter_recovered = true;

    const auto reply =
        handle_request(fake.context, state, Json::parse(with_session("stop", kSessionA)), 7);

    ASSERT_TRUE(reply.has_value()) << reply.error();
    EXPECT_EQ((*reply)["engine_error"], "Движок завершился с кодом 1");
    EXPECT_EQ((*reply)["adapter_recovered"], true);
    EXPECT_FALSE(reply->contains("owned"));
    EXPECT_TRUE(connection.engine->closed);
    EXPECT_TRUE(connection.client->closed);
    EXPECT_FALSE(state.session.has_value());
    EXPECT_TRUE(state.rule_source_tags.empty());
}

TEST(EnvelopeEffects, StopFailureIsTheReply) {
    FakeContext fake;
    RunningConnection connection;
    ServiceState state;
    connection.install(state, kSessionA);
    connection.engine->terminate_fails = true;
    connection.engine->never_ends = true;

    const auto reply =
        handle_request(fake.context, state, Json::parse(with_session("stop", kSessionA)), 7);

    ASSERT_FALSE(reply.has_value());
    EXPECT_EQ(reply.error(), "terminate failed (os error 5)");
    EXPECT_EQ(state.engine, nullptr);
    EXPECT_EQ(state.job, nullptr);
}

TEST(EnvelopeEffects, CancelUpdateDropsTheReservationAndClosesItsHandle) {
    FakeContext fake;
    auto log = std::make_shared<EventLog>();
    auto installer = make_control("installer", 900, log);
    ServiceState state;
    state.reservation = Reservation{kSessionA, std::make_unique<FakeProcess>(installer)};

    ASSERT_TRUE(handle_request(fake.context, state,
                               Json::parse(with_session("cancel_update", kSessionA)), 7));

    EXPECT_FALSE(state.reservation.has_value());
    EXPECT_TRUE(installer->closed);
}

TEST(EnvelopeEffects, RefusalsLeaveTheConnectionAlone) {
    FakeContext fake;
    RunningConnection connection;
    ServiceState state;
    connection.install(state, kSessionA);
    for (const char* op : {"stop", "update_rules", "restart"}) {
        EXPECT_FALSE(
            handle_request(fake.context, state, Json::parse(with_session(op, kSessionB)), 7))
            << op;
    }
    EXPECT_EQ(state.session, kSessionA);
    EXPECT_FALSE(connection.engine->closed);
    EXPECT_TRUE(connection.log->empty());
}

TEST(EnvelopeEffects, HousekeepingRunsBeforeTheSessionCheck) {
    FakeContext fake;
    RunningConnection connection;
    ServiceState state;
    connection.install(state, kSessionA);
    connection.engine->exited_with = 3;

    // The engine's end is noticed even by a request refused afterwards.
    EXPECT_FALSE(
        handle_request(fake.context, state, Json::parse(R"({"version":1,"op":"stop"})"), 7));
    EXPECT_EQ(state.engine, nullptr);
    EXPECT_TRUE(state.engine_error.has_value());
}

TEST(ErrorReply, HasTwoMembersInKeyOrder) {
    EXPECT_EQ(to_compact_json(error_reply("Invalid request")),
              R"({"error":"Invalid request","ok":false})");
    EXPECT_EQ(to_compact_json(error_reply(kNativeOnly)),
              std::string(R"({"error":")") + kNativeOnly + R"(","ok":false})");
}

}  // namespace
}  // namespace vemla::service
