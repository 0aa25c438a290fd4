#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "fakes.h"
#include "request_envelope.h"
#include "service_state.h"
#include "test_directory.h"

namespace vemla::service {
namespace {

using namespace testing_support;

// A data directory of its own holding an engine log.
class Housekeeping : public testing::Test {
protected:
    void SetUp() override {
        state_.data_dir = testing_support::make_test_directory("vemla-state-");
        std::ofstream(state_.data_dir / "engine.log", std::ios::binary)
            << "starting\r\n[Error] tun: cannot configure\r\n\r\n";
    }
    void TearDown() override { std::filesystem::remove_all(state_.data_dir); }

    std::shared_ptr<ProcessControl> reserve(const std::string& session) {
        auto installer = make_control("installer", 900, connection_.log);
        state_.reservation = Reservation{session, std::make_unique<FakeProcess>(installer)};
        return installer;
    }

    RunningConnection connection_;
    ServiceState state_;
};

TEST_F(Housekeeping, EngineThatEndsSetsTheErrorAndClearsTheConnection) {
    connection_.install(state_, kSessionA);
    connection_.engine->exited_with = 0xC0000005;

    const Json snapshot = build_status(state_);

    EXPECT_EQ(state_.engine_error,
              "Движок завершился с кодом -1073741819: [Error] tun: cannot configure");
    EXPECT_EQ(state_.engine, nullptr);
    EXPECT_EQ(state_.job, nullptr);
    EXPECT_EQ(state_.client_process, nullptr);
    EXPECT_FALSE(state_.session.has_value());
    EXPECT_TRUE(state_.rule_source_tags.empty());
    EXPECT_TRUE(connection_.engine->closed);
    EXPECT_TRUE(connection_.client->closed);
    EXPECT_FALSE(connection_.engine->terminated_with.has_value());
    EXPECT_EQ(snapshot["running"], false);
    EXPECT_TRUE(snapshot["pid"].is_null());
    EXPECT_EQ(snapshot["engine_error"], *state_.engine_error);

    // A status with the old session is no longer the owner.
    FakeContext fake;
    const auto reply = handle_request(
        fake.context, state_,
        Json::parse(std::string(R"({"version":1,"op":"status","session":")") + kSessionA + R"("})"),
        7);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ((*reply)["owned"], false);
}

TEST_F(Housekeeping, ClientThatEndsStopsTheConnectionAndKeepsTheEngineError) {
    connection_.install(state_, kSessionA);
    state_.engine_error = "earlier";
    connection_.client->exited_with = 0;

    refresh_state(state_);

    EXPECT_EQ(*connection_.log, (EventLog{"job:close", "client:close", "engine:terminate",
                                          "engine:wait", "engine:close"}));
    EXPECT_EQ(connection_.engine->terminated_with, 1u);
    EXPECT_EQ(state_.engine_error, "earlier");
    EXPECT_FALSE(state_.session.has_value());
    EXPECT_TRUE(state_.rule_source_tags.empty());
    EXPECT_EQ(build_status(state_)["running"], false);
}

TEST_F(Housekeeping, InstallerOwnerThatEndsDropsTheReservation) {
    const auto installer = reserve(kSessionB);
    EXPECT_EQ(build_status(state_)["available"], false);

    installer->exited_with = 0;
    const Json snapshot = build_status(state_);

    EXPECT_FALSE(state_.reservation.has_value());
    EXPECT_TRUE(installer->closed);
    EXPECT_EQ(snapshot["available"], true);
    EXPECT_EQ(snapshot["maintenance"], false);
}

TEST_F(Housekeeping, LiveProcessesAreLeftAlone) {
    connection_.install(state_, kSessionA);
    const auto installer = reserve(kSessionB);

    const Json snapshot = build_status(state_);

    EXPECT_TRUE(connection_.log->empty());
    EXPECT_EQ(state_.session, kSessionA);
    EXPECT_TRUE(state_.reservation.has_value());
    EXPECT_EQ(snapshot["running"], true);
    EXPECT_EQ(snapshot["pid"], 4242u);
    EXPECT_EQ(snapshot["maintenance"], true);
}

TEST_F(Housekeeping, EngineWhoseStatusCannotBeReadCountsAsRunning) {
    connection_.install(state_, kSessionA);
    connection_.engine->query_fails = true;

    refresh_state(state_);

    EXPECT_NE(state_.engine, nullptr);
    EXPECT_EQ(state_.session, kSessionA);
    EXPECT_FALSE(state_.engine_error.has_value());
}

TEST_F(Housekeeping, StopWithoutEngineClearsTheSession) {
    state_.session = kSessionA;
    state_.rule_source_tags = {"custom"};
    const auto installer = reserve(kSessionB);
    state_.engine_error = "earlier";
    state_.adapter_recovered = true;

    ASSERT_TRUE(stop_connection(state_).has_value());

    EXPECT_FALSE(state_.session.has_value());
    EXPECT_TRUE(state_.rule_source_tags.empty());
    EXPECT_TRUE(state_.reservation.has_value());
    EXPECT_FALSE(installer->closed);
    EXPECT_EQ(state_.engine_error, "earlier");
    EXPECT_TRUE(state_.adapter_recovered);
}

TEST_F(Housekeeping, StopOfAnEngineThatAlreadyEndedOnlyReapsIt) {
    connection_.install(state_, kSessionA);
    connection_.engine->exited_with = 0;

    ASSERT_TRUE(stop_connection(state_).has_value());

    EXPECT_EQ(*connection_.log,
              (EventLog{"job:close", "client:close", "engine:wait", "engine:close"}));
}

struct StopFailure {
    const char* name;
    bool query_fails;
    bool terminate_fails;
    bool wait_fails;
    const char* error;
    EventLog events;
};

class StopFailures : public testing::TestWithParam<StopFailure> {};

TEST_P(StopFailures, ReportTheTextAndKeepWhatWasDone) {
    const StopFailure& c = GetParam();
    RunningConnection connection;
    ServiceState state;
    connection.install(state, kSessionA);
    connection.engine->query_fails = c.query_fails;
    connection.engine->terminate_fails = c.terminate_fails;
    connection.engine->wait_fails = c.wait_fails;
    connection.engine->never_ends = true;

    const auto result = stop_connection(state);

    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), c.error);
    EXPECT_EQ(*connection.log, c.events);
    EXPECT_EQ(state.engine, nullptr);
    EXPECT_EQ(state.job, nullptr);
    EXPECT_EQ(state.client_process, nullptr);
    EXPECT_FALSE(state.session.has_value());
}

INSTANTIATE_TEST_SUITE_P(
    Steps, StopFailures,
    testing::Values(StopFailure{"query",
                                true,
                                false,
                                false,
                                "query failed (os error 5)",
                                {"job:close", "client:close", "engine:terminate", "engine:wait",
                                 "engine:close"}},
                    StopFailure{"terminate",
                                false,
                                true,
                                false,
                                "terminate failed (os error 5)",
                                {"job:close", "client:close", "engine:terminate",
                                 "engine:wait-bounded", "engine:close"}},
                    StopFailure{"wait",
                                false,
                                false,
                                true,
                                "wait failed (os error 6)",
                                {"job:close", "client:close", "engine:terminate", "engine:wait",
                                 "engine:close"}}),
    [](const testing::TestParamInfo<StopFailure>& case_info) { return case_info.param.name; });

// Ending an engine with its job: the job is closed first, whatever the engine's status says.
struct EngineEnding {
    const char* name;
    bool in_kill_on_close_job;
    bool query_fails;
    bool wait_fails;
    const char* error;  // nullptr: ended without a failure
    EventLog events;
};

class EngineEndings : public testing::TestWithParam<EngineEnding> {};

TEST_P(EngineEndings, CloseTheJobThenTerminateAndReap) {
    const EngineEnding& c = GetParam();
    auto log = std::make_shared<EventLog>();
    auto engine = make_control("engine", 4242, log);
    engine->ends_when_job_closes = c.in_kill_on_close_job;
    engine->query_fails = c.query_fails;
    engine->wait_fails = c.wait_fails;

    const auto result = end_engine(std::make_unique<FakeJob>(log, std::vector{engine}),
                                   std::make_unique<FakeProcess>(engine));

    if (c.error == nullptr) {
        ASSERT_TRUE(result.has_value()) << result.error();
    } else {
        ASSERT_FALSE(result.has_value());
        EXPECT_EQ(result.error(), c.error);
    }
    EXPECT_EQ(*log, c.events);
}

INSTANTIATE_TEST_SUITE_P(
    Engines, EngineEndings,
    testing::Values(EngineEnding{"running",
                                 false,
                                 false,
                                 false,
                                 nullptr,
                                 {"job:close", "engine:terminate", "engine:wait", "engine:close"}},
                    // The closed job has already ended it, so it is only reaped.
                    EngineEnding{"ended_by_its_job",
                                 true,
                                 false,
                                 false,
                                 nullptr,
                                 {"job:close", "engine:wait", "engine:close"}},
                    // An unreadable status reads as "maybe still running".
                    EngineEnding{"status_unreadable",
                                 true,
                                 true,
                                 false,
                                 "query failed (os error 5)",
                                 {"job:close", "engine:terminate", "engine:wait", "engine:close"}},
                    // The first failure is the one reported.
                    EngineEnding{"status_unreadable_and_wait_fails",
                                 false,
                                 true,
                                 true,
                                 "query failed (os error 5)",
                                 {"job:close", "engine:terminate", "engine:wait", "engine:close"}}),
    [](const testing::TestParamInfo<EngineEnding>& case_info) { return case_info.param.name; });

TEST_F(Housekeeping, EngineAlreadyEndingByItsJobCountsAsStopped) {
    // Terminating a process that its closed job is already ending fails; the wait decides.
    connection_.install(state_, kSessionA);
    connection_.engine->terminate_fails = true;

    ASSERT_TRUE(stop_connection(state_).has_value());

    EXPECT_EQ(*connection_.log, (EventLog{"job:close", "client:close", "engine:terminate",
                                          "engine:wait-bounded", "engine:close"}));
    EXPECT_TRUE(state_.rule_source_tags.empty());
}

TEST(ServiceStateRecord, ReplacingAFieldClosesTheOldHandle) {
    auto log = std::make_shared<EventLog>();
    auto first = make_control("first", 1, log);
    auto second = make_control("second", 2, log);
    ServiceState state;
    state.client_process = std::make_unique<FakeProcess>(first);
    state.client_process = std::make_unique<FakeProcess>(second);
    EXPECT_EQ(*log, EventLog{"first:close"});
    { ServiceState other = std::move(state); }
    EXPECT_EQ(*log, (EventLog{"first:close", "second:close"}));
}

}  // namespace
}  // namespace vemla::service
