#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "engine.h"
#include "fakes.h"
#include "lifecycle.h"
#include "pipe_server.h"
#include "request_envelope.h"
#include "test_directory.h"
#include "xray_native/start_request.h"

namespace vemla::service {
namespace {

using namespace testing_support;
using namespace std::chrono_literals;

constexpr const char* kTunConflict =
    "Failed to start: configure tun interface: Object already exists";
constexpr const char* kNotConfirmed = "Помощник не подтвердил запуск VPN вовремя";

std::string read_text(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

Json example_request(const char* name) {
    const auto text = read_text(std::filesystem::path(VEMLA_EXAMPLES_DIR) / name);
    auto request = parse_json(text);
    EXPECT_TRUE(request.has_value()) << name;
    return request.value_or(Json());
}

// An installation with the built-in rule sources, a data directory, and the fakes around them.
class Lifecycle : public testing::Test {
protected:
    void SetUp() override {
        root_ = make_test_directory("vemla-lifecycle-");
        const TestInstallation made =
            lay_out_installation(root_, std::filesystem::path(VEMLA_EXAMPLES_DIR) / "rules");
        state_.install_dir = made.install_dir;
        state_.data_dir = made.data_dir;
        state_.owner_sid = kOwnerSid;
        fake_.system.processes[77] = client_;
    }
    void TearDown() override { std::filesystem::remove_all(root_); }

    std::expected<Json, std::string> start(Json request, const char* session = kSessionA) {
        request["session"] = session;
        return handle_request(fake_.context, state_, request, 77);
    }
    std::expected<Json, std::string> start_example_as(const char* session) {
        return start(example_request("vless-reality.json"), session);
    }
    std::expected<Json, std::string> start_example() { return start_example_as(kSessionA); }
    // The document the offline tool prints for the same request.
    std::string tool_document(const Json& request) {
        auto prepared = xray_native::prepare_start(
            request["config"], request["rules"], state_.install_dir, state_.data_dir,
            [this](std::string_view tag) -> std::expected<std::string, std::string> {
                return read_text(state_.install_dir / "rules" / (std::string(tag) + ".json"));
            });
        EXPECT_TRUE(prepared.has_value()) << prepared.error();
        auto document =
            xray_native::compile_engine_document(prepared->config, prepared->rule_sources);
        EXPECT_TRUE(document.has_value()) << document.error();
        return to_compact_json(*document);
    }
    std::filesystem::path active() const { return state_.data_dir / "active.json"; }

    std::filesystem::path root_;
    ServiceState state_;
    FakeContext fake_;
    std::shared_ptr<ProcessControl> client_ = make_control("client", 77, nullptr);
};

TEST_F(Lifecycle, StartRunsTheEngineOnTheCompiledDocumentAndCommits) {
    state_.engine_error = "earlier";
    const Json request = example_request("vless-reality.json");

    const auto reply = start(request);

    ASSERT_TRUE(reply.has_value()) << reply.error();
    EXPECT_EQ((*reply)["running"], true);
    EXPECT_EQ((*reply)["pid"], 5001u);
    EXPECT_TRUE((*reply)["engine_error"].is_null());
    EXPECT_FALSE(reply->contains("owned"));
    EXPECT_EQ(read_text(active()), tool_document(request));
    EXPECT_EQ(state_.session, kSessionA);
    EXPECT_NE(state_.job, nullptr);
    EXPECT_FALSE(state_.engine_error.has_value());

    ASSERT_EQ(fake_.system.launched.size(), 1u);
    const EngineCommand& command = fake_.system.launched[0];
    EXPECT_EQ(command.program, state_.install_dir / "xray.exe");
    EXPECT_EQ(command.arguments, (std::vector<std::string>{"run", "-c", active().string()}));
    EXPECT_EQ(command.working_directory, state_.install_dir);
    EXPECT_EQ(command.environment, (std::vector<std::string>{
                                       "SystemRoot=C:\\Windows", "TEMP=" + state_.data_dir.string(),
                                       "TMP=" + state_.data_dir.string(),
                                       "XRAY_LOCATION_ASSET=" + state_.install_dir.string()}));
    // The built-in sources it names, then the engine's files, were proved before use.
    EXPECT_EQ(fake_.inspector.checked,
              (std::vector<std::filesystem::path>{state_.install_dir / "rules" / "geoip-ru.json",
                                                  state_.install_dir / "rules" / "geosite-ru.json",
                                                  state_.install_dir / "xray.exe",
                                                  state_.install_dir / "wintun.dll"}));
}

TEST_F(Lifecycle, ClientRulesAreRememberedAndBuiltInsTheyCarryAreNotRead) {
    Json request = example_request("groups-and-rule-sets.json");
    request["rules"]["geosite-ads"] =
        Json::parse(R"({"version":3,"rules":[{"domain":["a.test"]}]})");

    const auto reply = start(request);

    ASSERT_TRUE(reply.has_value()) << reply.error();
    EXPECT_EQ(state_.rule_source_tags, (std::set<std::string>{"corp", "geosite-ads"}));
    EXPECT_EQ(std::ranges::count(fake_.inspector.checked,
                                 state_.install_dir / "rules" / "geosite-ads.json"),
              0);
    EXPECT_NE(read_text(active()).find("a.test"), std::string::npos);
}

TEST_F(Lifecycle, SecondStartOfTheOwnerRepliesAndStartsNothing) {
    ASSERT_TRUE(start_example().has_value());

    const auto again = start_example();
    ASSERT_TRUE(again.has_value()) << again.error();
    EXPECT_EQ((*again)["running"], true);
    EXPECT_EQ(fake_.system.launched.size(), 1u);

    const auto other = start_example_as(kSessionB);
    ASSERT_FALSE(other.has_value());
    EXPECT_EQ(other.error(), "Helper already owns an active connection; stop explicitly first");
}

TEST_F(Lifecycle, ReservationRefusesStart) {
    state_.reservation = Reservation{kSessionB, std::make_unique<FakeProcess>(client_)};
    const auto reply = start_example();
    ASSERT_FALSE(reply.has_value());
    EXPECT_EQ(reply.error(), "Helper is reserved for an idle update");
}

TEST_F(Lifecycle, EngineThatExitsSetsTheEngineErrorAndLeavesNothingRunning) {
    fake_.system.engines = {EngineScript::exiting(3, "[Error] boom\n")};

    const auto reply = start_example();

    ASSERT_FALSE(reply.has_value());
    EXPECT_EQ(reply.error(), "Движок завершился с кодом 3: [Error] boom");
    EXPECT_EQ(state_.engine_error, reply.error());
    EXPECT_EQ(state_.engine, nullptr);
    EXPECT_FALSE(state_.session.has_value());
    EXPECT_TRUE(fake_.system.engine_controls[0]->closed);
    EXPECT_TRUE(fake_.recovered_from.empty());
}

TEST_F(Lifecycle, EngineThatNeverAnswersIsEndedAfterTheDeadline) {
    state_.engine_error = "earlier";
    fake_.system.engines = {EngineScript::not_listening("[Warning] core: Xray 26.9.30 started\n")};

    const auto reply = start_example();

    ASSERT_FALSE(reply.has_value());
    EXPECT_EQ(reply.error(), kNotConfirmed);
    EXPECT_EQ(fake_.clock.elapsed(), 10s);
    EXPECT_EQ(state_.engine_error, "earlier");
    const auto& engine = fake_.system.engine_controls[0];
    EXPECT_TRUE(engine->closed);
    EXPECT_TRUE(engine->exited_with.has_value());
    EXPECT_EQ(state_.engine, nullptr);
    EXPECT_EQ(state_.job, nullptr);
}

TEST_F(Lifecycle, EngineWhoseStatusCannotBeReadIsEndedAndNotConfirmed) {
    state_.engine_error = "earlier";
    EngineScript unreadable;
    unreadable.status_unreadable = true;
    fake_.system.engines = {unreadable};

    const auto reply = start_example();

    ASSERT_FALSE(reply.has_value());
    EXPECT_EQ(reply.error(), kNotConfirmed);
    EXPECT_EQ(state_.engine_error, "earlier");
    ASSERT_EQ(fake_.system.engine_controls.size(), 1u);
    EXPECT_EQ(fake_.system.engine_controls[0]->terminated_with, 1u);
    const EventLog& log = *fake_.system.log;
    const auto launched = std::ranges::find(log, "launch");
    ASSERT_NE(launched, log.end());
    EXPECT_EQ(EventLog(launched + 1, log.end()),
              (EventLog{"job:close", "engine:terminate", "engine:wait", "engine:close"}));
    EXPECT_EQ(state_.engine, nullptr);
    EXPECT_EQ(state_.job, nullptr);
}

TEST_F(Lifecycle, TunConflictOnTheFirstAttemptIsRecoveredAndRetried) {
    fake_.system.engines = {EngineScript::exiting(1, std::string(kTunConflict) + "\n"),
                            EngineScript{}};
    Json recovered = Json::object();
    fake_.recovery = std::unexpected(std::string("unset"));

    // The recovery renames the adapter in the configuration it is given.
    fake_.context.recover_adapter = [&](const Json& config) -> std::expected<Json, std::string> {
        fake_.recovered_from.push_back(config);
        Json next = config;
        for (Json& inbound : next["inbounds"]) {
            if (inbound["type"] == "tun") {
                inbound["interface_name"] = "VemlaVPN-00000001";
                inbound["address"] = Json::array({"172.19.1.1/30"});
            }
        }
        return next;
    };

    const auto reply = start_example();

    ASSERT_TRUE(reply.has_value()) << reply.error();
    EXPECT_EQ((*reply)["adapter_recovered"], true);
    EXPECT_EQ(fake_.system.launched.size(), 2u);
    ASSERT_EQ(fake_.recovered_from.size(), 1u);
    EXPECT_EQ(fake_.recovered_from[0]["inbounds"][0]["interface_name"], "VemlaVPN");
    EXPECT_NE(read_text(active()).find("VemlaVPN-00000001"), std::string::npos);
    EXPECT_TRUE(fake_.system.engine_controls[0]->closed);
    EXPECT_FALSE(state_.engine_error.has_value());
}

TEST_F(Lifecycle, FailedRecoveryJoinsBothMessagesAndKeepsTheEngineError) {
    state_.engine_error = "earlier";
    fake_.system.engines = {EngineScript::exiting(1, std::string(kTunConflict) + "\n")};
    fake_.recovery = std::unexpected(std::string("Нет конфигурации TUN"));

    const auto reply = start_example();

    ASSERT_FALSE(reply.has_value());
    EXPECT_EQ(reply.error(), std::string("Движок завершился с кодом 1: ") + kTunConflict +
                                 ". Автовосстановление: Нет конфигурации TUN");
    EXPECT_EQ(state_.engine_error, "earlier");
    EXPECT_FALSE(state_.adapter_recovered);
}

TEST_F(Lifecycle, TunConflictOnTheSecondAttemptIsAnEngineError) {
    fake_.system.engines = {EngineScript::exiting(1, std::string(kTunConflict) + "\n"),
                            EngineScript::exiting(2, std::string(kTunConflict) + "\n")};
    fake_.recovery = example_request("vless-reality.json")["config"];

    const auto reply = start_example();

    ASSERT_FALSE(reply.has_value());
    EXPECT_EQ(reply.error(), std::string("Движок завершился с кодом 2: ") + kTunConflict);
    EXPECT_EQ(state_.engine_error, reply.error());
    EXPECT_EQ(fake_.recovered_from.size(), 1u);
    // The flag describes the start that ran the recovery.
    EXPECT_TRUE(state_.adapter_recovered);
}

TEST_F(Lifecycle, StopDuringTheFirstAttemptLeavesATunConflictUnrecovered) {
    fake_.system.engines = {EngineScript::exiting(1, std::string(kTunConflict) + "\n"),
                            EngineScript{}};
    fake_.recovery = example_request("vless-reality.json")["config"];
    fake_.system.after_launch = [this] { fake_.stop.set(); };

    const auto reply = start_example();

    ASSERT_FALSE(reply.has_value());
    EXPECT_EQ(reply.error(), std::string("Движок завершился с кодом 1: ") + kTunConflict);
    EXPECT_EQ(state_.engine_error, reply.error());
    EXPECT_TRUE(fake_.recovered_from.empty());
    EXPECT_EQ(fake_.system.launched.size(), 1u);
    EXPECT_FALSE(state_.adapter_recovered);
}

TEST_F(Lifecycle, NoAttemptOnceTheServiceIsStopping) {
    fake_.stop.set();
    const auto reply = start_example();
    ASSERT_FALSE(reply.has_value());
    EXPECT_EQ(reply.error(), "Подключение отменено");
    EXPECT_TRUE(fake_.system.launched.empty());
}

TEST_F(Lifecycle, FailuresBeforeTheEngineRunsLeaveTheStateAsItWas) {
    RunningConnection previous;
    state_.engine_error = "earlier";
    state_.adapter_recovered = true;
    const std::string untrusted_active = "Untrusted write access: " + active().string();

    // Each failure in the order the steps are taken.
    std::ofstream(active()) << "old";
    fake_.inspector.untrusted = {active()};
    auto reply = start_example();
    ASSERT_FALSE(reply.has_value());
    EXPECT_EQ(reply.error(), untrusted_active);
    EXPECT_EQ(read_text(active()), "old");

    fake_.inspector.untrusted = {state_.install_dir / "wintun.dll"};
    reply = start_example();
    ASSERT_FALSE(reply.has_value());
    EXPECT_EQ(reply.error(),
              "Untrusted write access: " + (state_.install_dir / "wintun.dll").string());
    EXPECT_NE(read_text(active()), "old");

    fake_.inspector.untrusted.clear();
    fake_.system.variables.clear();
    reply = start_example();
    ASSERT_FALSE(reply.has_value());
    EXPECT_EQ(reply.error(), "Missing system root");

    fake_.system.variables = {{"SystemRoot", "C:\\Windows"}};
    EngineScript resume_fails;
    resume_fails.resume_fails = true;
    fake_.system.engines = {resume_fails};
    reply = start_example();
    ASSERT_FALSE(reply.has_value());
    EXPECT_EQ(reply.error(), "Cannot resume protected engine");

    EngineScript missing;
    missing.launch_error = "The system cannot find the file specified. (os error 2)";
    fake_.system.engines = {missing};
    reply = start_example();
    ASSERT_FALSE(reply.has_value());
    EXPECT_EQ(reply.error(), "The system cannot find the file specified. (os error 2)");

    EXPECT_EQ(state_.engine_error, "earlier");
    EXPECT_FALSE(state_.adapter_recovered);  // reset once a start reaches its attempts
    EXPECT_EQ(state_.engine, nullptr);
    EXPECT_FALSE(state_.session.has_value());
}

TEST_F(Lifecycle, BuiltInRuleSourcesAreProvedAndBounded) {
    const auto geoip = state_.install_dir / "rules" / "geoip-ru.json";
    fake_.inspector.untrusted = {geoip};
    auto reply = start_example();
    ASSERT_FALSE(reply.has_value());
    EXPECT_EQ(reply.error(), "Untrusted write access: " + geoip.string());

    fake_.inspector.untrusted.clear();
    std::ofstream(geoip, std::ios::trunc) << std::string(8388609, ' ');
    reply = start_example();
    ASSERT_FALSE(reply.has_value());
    EXPECT_EQ(reply.error(), "Protected native rule source is too large");

    std::filesystem::remove(geoip);
    reply = start_example();
    ASSERT_FALSE(reply.has_value());
    EXPECT_EQ(reply.error(), "The system cannot find the file specified. (os error 2)");
    EXPECT_TRUE(fake_.system.launched.empty());
}

// A recovery reported by an earlier start is forgotten only by a start that reaches its attempts.
enum class StartEnd { refused_by_validation, refused_by_rule_source, stopped, started };

struct RecoveredCase {
    const char* name;
    StartEnd end;
    const char* error;  // nullptr: started
    bool recovered_after;
};

class AdapterRecoveredFlag : public Lifecycle, public testing::WithParamInterface<RecoveredCase> {};

TEST_P(AdapterRecoveredFlag, SurvivesUntilAStartReachesItsAttempts) {
    const RecoveredCase& c = GetParam();
    state_.adapter_recovered = true;
    Json request = example_request("vless-reality.json");
    switch (c.end) {
        case StartEnd::refused_by_validation:
            request["config"]["unexpected"] = 1;
            break;
        case StartEnd::refused_by_rule_source:
            std::filesystem::remove(state_.install_dir / "rules" / "geoip-ru.json");
            break;
        case StartEnd::stopped:
            fake_.stop.set();
            break;
        case StartEnd::started:
            break;
    }

    const auto reply = start(request);

    if (c.error == nullptr) {
        ASSERT_TRUE(reply.has_value()) << reply.error();
        EXPECT_EQ((*reply)["adapter_recovered"], c.recovered_after);
    } else {
        ASSERT_FALSE(reply.has_value());
        EXPECT_EQ(reply.error(), c.error);
    }
    EXPECT_EQ(state_.adapter_recovered, c.recovered_after);
}

INSTANTIATE_TEST_SUITE_P(
    Starts, AdapterRecoveredFlag,
    testing::Values(RecoveredCase{"refused_by_validation", StartEnd::refused_by_validation,
                                  "Unsupported privileged option: unexpected", true},
                    RecoveredCase{"refused_by_rule_source", StartEnd::refused_by_rule_source,
                                  "The system cannot find the file specified. (os error 2)", true},
                    RecoveredCase{"stopped_before_the_first_attempt", StartEnd::stopped,
                                  "Подключение отменено", false},
                    RecoveredCase{"started_without_recovery", StartEnd::started, nullptr, false}),
    [](const testing::TestParamInfo<RecoveredCase>& param) { return param.param.name; });

// The client of a start is watched only while a connection holds an engine.
enum class Before { idle, running_owned, running_other };

struct ClientCase {
    const char* name;
    Before before;
    EngineScript engine;
    std::optional<bool> running;           // the reply's, none: refused
    std::optional<std::uint32_t> watched;  // the client process the state holds afterwards
};

// The start's client, and the client of a connection already running.
constexpr std::uint32_t kStarting = 77;
constexpr std::uint32_t kEarlier = 78;

class StartClient : public Lifecycle, public testing::WithParamInterface<ClientCase> {};

TEST_P(StartClient, IsKeptOnlyWithARunningEngine) {
    const ClientCase& c = GetParam();
    RunningConnection previous;
    previous.client->pid = kEarlier;
    if (c.before != Before::idle) {
        previous.install(state_, c.before == Before::running_owned ? kSessionA : kSessionB);
    }
    fake_.system.engines = {c.engine};
    FakePipe pipe(fake_.stop);
    Json request = example_request("vless-reality.json");
    request["session"] = kSessionA;

    const auto reply = handle_connection(fake_.context, pipe, state_, request);

    if (c.running) {
        ASSERT_TRUE(reply.has_value()) << reply.error();
        EXPECT_EQ((*reply)["running"], *c.running);
    } else {
        ASSERT_FALSE(reply.has_value());
    }
    if (c.watched) {
        ASSERT_NE(state_.client_process, nullptr);
        EXPECT_EQ(state_.client_process->pid(), *c.watched);
    } else {
        EXPECT_EQ(state_.client_process, nullptr);
    }
    EXPECT_EQ(client_->closed, c.watched != kStarting);
    EXPECT_EQ(previous.client->closed, c.before == Before::running_owned);
}

EngineScript dies_once_answered() {
    EngineScript script;
    script.exits_once_answered = 0;
    return script;
}

INSTANTIATE_TEST_SUITE_P(
    Starts, StartClient,
    testing::Values(
        ClientCase{"engine_alive_at_commit", Before::idle, EngineScript{}, true, kStarting},
        ClientCase{"engine_died_before_the_snapshot", Before::idle, dies_once_answered(), false,
                   std::nullopt},
        ClientCase{"refused_while_another_session_runs", Before::running_other, EngineScript{},
                   std::nullopt, kEarlier},
        ClientCase{"failed_start", Before::idle, EngineScript::exiting(3, "[Error] boom\n"),
                   std::nullopt, std::nullopt},
        ClientCase{"already_running_and_owned", Before::running_owned, EngineScript{}, true,
                   kStarting}),
    [](const testing::TestParamInfo<ClientCase>& param) { return param.param.name; });

// prepare_update: the installer owner is the client or its parent, of the owner's account, alive.
struct ReservationCase {
    const char* name;
    const char* owner_pid;  // JSON text of the member, or nullptr for none
    const char* error;      // nullptr: reserved
};

class Reservations : public Lifecycle, public testing::WithParamInterface<ReservationCase> {
protected:
    std::shared_ptr<ProcessControl> parent_ = make_control("parent", 500, nullptr);
};

TEST_P(Reservations, OwnerIsProvedBeforeTheReservation) {
    const ReservationCase& c = GetParam();
    const std::string name = c.name;
    client_->created = std::uint64_t{200};
    parent_->created = std::uint64_t{100};
    fake_.system.processes[500] = parent_;
    fake_.system.lineages[77] = ProcessLineage{500, 200};
    if (name == "client_not_inspectable") {
        fake_.system.lineages.erase(77);
    } else if (name == "parent_unreadable") {
        fake_.system.lineages[77] = ProcessLineage{std::nullopt, 200};
    } else if (name == "owner_gone") {
        fake_.system.processes.erase(500);
    } else if (name == "recycled_parent_pid") {
        parent_->created = std::uint64_t{300};
    } else if (name == "same_tick") {
        parent_->created = std::uint64_t{200};
    } else if (name == "owner_sid_unreadable") {
        parent_->user_sid = std::unexpected(std::string("Access is denied. (os error 5)"));
    } else if (name == "owner_other_account") {
        parent_->user_sid = std::string("S-1-5-21-1-2-3-1002");
    } else if (name == "owner_exited") {
        parent_->exited_with = 0;
    } else if (name == "self_other_account") {
        client_->user_sid = std::string("S-1-5-21-9");
    } else if (name == "largest_pid") {
        fake_.system.processes[4294967295u] = parent_;
        fake_.system.lineages[77] = ProcessLineage{4294967295u, 200};
    } else if (name == "client_created_unreadable") {
        fake_.system.lineages[77] = ProcessLineage{500, std::nullopt};
    } else if (name == "owner_created_unreadable") {
        parent_->created = std::unexpected(std::string("Access is denied. (os error 5)"));
    } else if (name == "ended_owner_other_account") {
        parent_->user_sid = std::string("S-1-5-21-1-2-3-1002");
        parent_->exited_with = 0;
    }
    Json request = Json::parse(R"({"version":1,"op":"prepare_update"})");
    request["session"] = kSessionA;
    if (c.owner_pid != nullptr) {
        request["owner_pid"] = Json::parse(c.owner_pid);
    }

    const auto reply = handle_request(fake_.context, state_, request, 77);

    if (c.error == nullptr) {
        ASSERT_TRUE(reply.has_value()) << reply.error();
        EXPECT_EQ(to_compact_json(*reply), R"({"maintenance":true,"ok":true,"running":false})");
        ASSERT_TRUE(state_.reservation.has_value());
        EXPECT_EQ(state_.reservation->session, kSessionA);
        EXPECT_EQ(build_status(state_)["available"], false);
    } else {
        ASSERT_FALSE(reply.has_value());
        EXPECT_EQ(reply.error(), c.error);
        EXPECT_FALSE(state_.reservation.has_value());
    }
}

constexpr const char* kDelegation = "Reservation delegation requires the actual client parent";

INSTANTIATE_TEST_SUITE_P(
    Owners, Reservations,
    testing::Values(
        ReservationCase{"self", nullptr, nullptr}, ReservationCase{"self_by_pid", "77", nullptr},
        ReservationCase{"parent", "500", nullptr}, ReservationCase{"same_tick", "500", nullptr},
        ReservationCase{"pid_zero", "0", "Invalid installer owner PID"},
        ReservationCase{"pid_negative", "-5", "Invalid installer owner PID"},
        ReservationCase{"pid_float", "500.0", "Invalid installer owner PID"},
        ReservationCase{"pid_text", "\"500\"", "Invalid installer owner PID"},
        ReservationCase{"pid_too_large", "4294967296", "Invalid installer owner PID"},
        ReservationCase{"largest_pid", "4294967295", nullptr},
        ReservationCase{"not_the_parent", "501", kDelegation},
        ReservationCase{"client_not_inspectable", "500",
                        "Cannot inspect authenticated installer client"},
        ReservationCase{"parent_unreadable", "500", kDelegation},
        ReservationCase{"recycled_parent_pid", "500", kDelegation},
        ReservationCase{"client_created_unreadable", "500", kDelegation},
        ReservationCase{"owner_created_unreadable", "500", kDelegation},
        ReservationCase{
            "owner_gone", "500",
            "Cannot monitor installer owner: The parameter is incorrect. (os error 87)"},
        ReservationCase{"owner_sid_unreadable", "500", "Access is denied. (os error 5)"},
        ReservationCase{"owner_other_account", "500",
                        "Installer owner process belongs to another Windows account"},
        ReservationCase{"self_other_account", nullptr,
                        "Installer owner process belongs to another Windows account"},
        // The account is proved before the owner's end is looked at.
        ReservationCase{"ended_owner_other_account", "500",
                        "Installer owner process belongs to another Windows account"},
        ReservationCase{"owner_exited", "500", "Installer owner process has already exited"}),
    [](const testing::TestParamInfo<ReservationCase>& param) { return param.param.name; });

TEST_F(Lifecycle, ReservationRulesBetweenSessions) {
    const auto prepare = [&](const char* session) {
        Json request = Json::parse(R"({"version":1,"op":"prepare_update"})");
        request["session"] = session;
        return handle_request(fake_.context, state_, request, 77);
    };
    const auto cancel = [&](const char* session) {
        Json request = Json::parse(R"({"version":1,"op":"cancel_update"})");
        request["session"] = session;
        return handle_request(fake_.context, state_, request, 77);
    };

    auto first = make_control("first", 77, nullptr);
    fake_.system.processes[77] = first;
    ASSERT_TRUE(prepare(kSessionA).has_value());
    auto second = make_control("second", 77, nullptr);
    fake_.system.processes[77] = second;
    ASSERT_TRUE(prepare(kSessionA).has_value());
    EXPECT_TRUE(first->closed);  // the same session's new reservation replaced the old one

    const auto other = prepare(kSessionB);
    ASSERT_FALSE(other.has_value());
    EXPECT_EQ(other.error(), "Maintenance belongs to another installer session");
    const auto other_cancel = cancel(kSessionB);
    ASSERT_FALSE(other_cancel.has_value());
    EXPECT_EQ(other_cancel.error(), "Maintenance belongs to another installer session");

    ASSERT_TRUE(cancel(kSessionA).has_value());
    EXPECT_TRUE(second->closed);
    EXPECT_TRUE(start_example().has_value());

    const auto while_running = prepare(kSessionA);
    ASSERT_FALSE(while_running.has_value());
    EXPECT_EQ(while_running.error(),
              "Active VPN must be explicitly disconnected before helper update");
}

}  // namespace
}  // namespace vemla::service
