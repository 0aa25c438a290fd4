#pragma once

#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform.h"
#include "service_state.h"

namespace vemla::service::testing_support {

// What happened to the fake objects, in order, as "<name>:<event>".
using EventLog = std::vector<std::string>;

// The test's side of a fake process: it decides when the process ends and sees what the
// service did to it.
struct ProcessControl {
    std::string name;
    std::uint32_t pid = 0;
    std::optional<std::uint32_t> exited_with;
    bool closed = false;
    std::optional<std::uint32_t> terminated_with;
    bool query_fails = false;
    bool terminate_fails = false;
    bool wait_fails = false;
    std::shared_ptr<EventLog> log;

    void record(const std::string& event) {
        if (log) {
            log->push_back(name + ":" + event);
        }
    }
};

class FakeProcess final : public Process {
public:
    explicit FakeProcess(std::shared_ptr<ProcessControl> control) : control_(std::move(control)) {}
    ~FakeProcess() override {
        control_->closed = true;
        control_->record("close");
    }
    std::uint32_t pid() const override { return control_->pid; }
    bool has_ended() override { return control_->exited_with.has_value(); }
    std::expected<std::optional<std::uint32_t>, std::string> exit_code() override {
        if (control_->query_fails) {
            return std::unexpected("query failed (os error 5)");
        }
        return control_->exited_with;
    }
    std::expected<void, std::string> terminate(std::uint32_t code) override {
        control_->record("terminate");
        if (control_->terminate_fails) {
            return std::unexpected("terminate failed (os error 5)");
        }
        control_->terminated_with = code;
        control_->exited_with = code;
        return {};
    }
    std::expected<void, std::string> wait() override {
        control_->record("wait");
        if (control_->wait_fails) {
            return std::unexpected("wait failed (os error 6)");
        }
        return {};
    }

private:
    std::shared_ptr<ProcessControl> control_;
};

class FakeJob final : public OwnedObject {
public:
    explicit FakeJob(std::shared_ptr<EventLog> log) : log_(std::move(log)) {}
    ~FakeJob() override { log_->push_back("job:close"); }

private:
    std::shared_ptr<EventLog> log_;
};

inline std::shared_ptr<ProcessControl> make_control(std::string name, std::uint32_t pid,
                                                    std::shared_ptr<EventLog> log) {
    auto control = std::make_shared<ProcessControl>();
    control->name = std::move(name);
    control->pid = pid;
    control->log = std::move(log);
    return control;
}

inline constexpr const char* kSessionA =
    "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa";
inline constexpr const char* kSessionB =
    "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

// A state with a running connection (engine, job, client) owned by `session`.
struct RunningConnection {
    std::shared_ptr<EventLog> log = std::make_shared<EventLog>();
    std::shared_ptr<ProcessControl> engine = make_control("engine", 4242, log);
    std::shared_ptr<ProcessControl> client = make_control("client", 77, log);

    void install(ServiceState& state, const std::string& session) const {
        state.engine = std::make_unique<FakeProcess>(engine);
        state.client_process = std::make_unique<FakeProcess>(client);
        state.job = std::make_unique<FakeJob>(log);
        state.session = session;
        state.rule_source_tags = {"custom"};
    }
};

}  // namespace vemla::service::testing_support
