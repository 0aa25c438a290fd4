#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

#include "fakes.h"
#include "service_runtime.h"
#include "test_directory.h"

namespace vemla::service {
namespace {

using namespace testing_support;

// An absolute root in the build's own path syntax.
#ifdef _WIN32
const std::filesystem::path kRoot = "C:\\";
#else
const std::filesystem::path kRoot = "/";
#endif
const std::filesystem::path kInstallDir = kRoot / "Program Files" / "VemlaHelper";
const std::filesystem::path kDataDir = kRoot / "ProgramData" / "VemlaHelper";

// The host's pipe: the scripted client behind it, and its closing logged. With no connection
// scripted the loop ends at once, as a stop control would end it; `when_stopping` runs then.
class LoggedPipe final : public Pipe {
public:
    LoggedPipe(FakePipe& client, std::function<void()> when_stopping, std::shared_ptr<EventLog> log)
        : client_(client), when_stopping_(std::move(when_stopping)), log_(std::move(log)) {}
    ~LoggedPipe() override { log_->push_back("pipe:close"); }
    ConnectState connect() override {
        if (client_.connections.empty() && when_stopping_) {
            when_stopping_();
        }
        return client_.connect();
    }
    void disconnect() override { client_.disconnect(); }
    PipeRead read(std::span<char> buffer) override { return client_.read(buffer); }
    void write(std::string_view bytes) override { client_.write(bytes); }
    std::expected<std::string, std::string> caller_sid() override { return client_.caller_sid(); }
    std::expected<std::uint32_t, std::string> client_pid() override { return client_.client_pid(); }

private:
    FakePipe& client_;
    std::function<void()> when_stopping_;
    std::shared_ptr<EventLog> log_;
};

// The host's answers, each replaceable by a failure; every call is logged.
class FakeHost final : public ServiceHost {
public:
    FakeHost(StopFlag& stop, std::shared_ptr<EventLog> log) : client(stop), log_(std::move(log)) {}

    InstallPaths paths{kInstallDir, kDataDir};
    std::filesystem::path executable = kInstallDir / "vemla-tun-helper.exe";
    std::optional<std::string> fail_at;  // the step that fails, with the text "<step> failed"
    FakePipe client;                     // what the client does through the pipe
    std::function<void()> when_stopping;

    std::expected<InstallPaths, std::string> resolve_install_paths() override {
        return step("paths", paths);
    }
    std::expected<std::filesystem::path, std::string> running_executable() override {
        return step("executable", executable);
    }
    std::expected<std::string, std::string> read_owner_sid(const std::filesystem::path&) override {
        return step("owner", std::string(kOwnerSid));
    }
    std::expected<void, std::string> restrict_dll_loading() override {
        if (auto done = step("dll", true); !done) {
            return std::unexpected(done.error());
        }
        return {};
    }
    std::expected<std::unique_ptr<Pipe>, std::string> create_pipe(const std::string&) override {
        if (auto done = step("pipe", true); !done) {
            return std::unexpected(done.error());
        }
        return std::make_unique<LoggedPipe>(client, when_stopping, log_);
    }
    void report_running() override { log_->push_back("running"); }

private:
    template <class T>
    std::expected<T, std::string> step(const std::string& name, T value) {
        log_->push_back(name);
        if (fail_at == name) {
            return std::unexpected(name + " failed");
        }
        return value;
    }

    std::shared_ptr<EventLog> log_;
};

class ServiceRun : public testing::Test {
protected:
    FakeContext fake_;
    std::shared_ptr<EventLog> log_ = std::make_shared<EventLog>();
    FakeHost host_{fake_.stop, log_};
};

TEST_F(ServiceRun, ChecksInOrderThenServesUntilStoppedAndClosesThePipe) {
    const auto result = run_service(host_, fake_.context);
    ASSERT_TRUE(result.has_value()) << result.error();
    EXPECT_EQ(*log_,
              (EventLog{"paths", "executable", "owner", "dll", "pipe", "running", "pipe:close"}));
    // Both directories and every one above them were proved, the install directory first.
    const auto& checked = fake_.inspector.checked;
    ASSERT_GE(checked.size(), 6u);
    EXPECT_EQ(checked[2], kInstallDir);
    EXPECT_EQ(checked.back(), kDataDir);
}

TEST_F(ServiceRun, FirstFailureEndsTheStartAndIsReturned) {
    for (const char* step : {"paths", "executable", "owner", "dll", "pipe"}) {
        log_->clear();
        host_.fail_at = step;
        const auto result = run_service(host_, fake_.context);
        ASSERT_FALSE(result.has_value()) << step;
        EXPECT_EQ(result.error(), std::string(step) + " failed");
        EXPECT_EQ(log_->back(), step);
        EXPECT_EQ(std::ranges::count(*log_, "running"), 0) << step;
    }
}

TEST_F(ServiceRun, UnprotectedDirectoryStopsTheStart) {
    fake_.inspector.untrusted = {kDataDir};
    const auto result = run_service(host_, fake_.context);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), "Untrusted write access: " + path_text(kDataDir));
    EXPECT_EQ(*log_, EventLog{"paths"});
}

TEST_F(ServiceRun, CopyOutsideTheInstallDirectoryIsRefused) {
    host_.executable = kRoot / "Users" / "x" / "Downloads" / "vemla-tun-helper.exe";
    const auto result = run_service(host_, fake_.context);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), "Service executable is outside protected install");
}

// The installation as the start-up checks list it: a file and a directory with a file in it,
// and a file of the data directory.
class ServiceRunEntries : public ServiceRun {
protected:
    void SetUp() override {
        fake_.inspector.listings = {
            {kInstallDir, {{kXray, false}, {kRules, true}}},
            {kRules, {{kRuleSource, false}}},
            {kDataDir, {{kOwnerSidFile, false}}},
        };
    }

    const std::filesystem::path kXray = kInstallDir / "xray.exe";
    const std::filesystem::path kRules = kInstallDir / "rules";
    const std::filesystem::path kRuleSource = kRules / "geoip-ru.json";
    const std::filesystem::path kOwnerSidFile = kDataDir / "owner.sid";
};

TEST_F(ServiceRunEntries, AnUnprotectedEntryStopsTheStartBeforeTheOwnerIsRead) {
    struct Case {
        const char* name;
        std::filesystem::path unprotected;
    };
    const Case cases[] = {
        {"an entry of the install directory", kXray},
        {"an entry one level below the install directory", kRuleSource},
        {"an entry of the data directory", kOwnerSidFile},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        log_->clear();
        fake_.inspector.untrusted = {c.unprotected};
        const auto result = run_service(host_, fake_.context);
        if (result.has_value()) {
            ADD_FAILURE() << "the service started";
            continue;
        }
        EXPECT_EQ(result.error(), "Untrusted write access: " + path_text(c.unprotected));
        EXPECT_EQ(*log_, (EventLog{"paths", "executable"}));
    }
}

TEST_F(ServiceRunEntries, EveryEntryProtectedRuns) {
    const auto result = run_service(host_, fake_.context);
    ASSERT_TRUE(result.has_value()) << result.error();
    EXPECT_EQ(log_->back(), "pipe:close");
    for (const auto& entry : {kXray, kRules, kRuleSource, kOwnerSidFile}) {
        EXPECT_EQ(std::ranges::count(fake_.inspector.checked, entry), 1) << entry;
    }
}

// A client starts a connection in an installation laid out for the run, and the stop control
// arrives while its engine runs. The host, the pipe, the engine, its job and the client
// process all write into one log, and the stop control writes "stop" into it.
class ServiceRunWithConnection : public testing::Test {
protected:
    void SetUp() override {
        root_ = make_test_directory("vemla-runtime-");
        const TestInstallation made =
            lay_out_installation(root_, std::filesystem::path(VEMLA_EXAMPLES_DIR) / "rules");
        host_.paths = {made.install_dir, made.data_dir};
        host_.executable = made.install_dir / "vemla-tun-helper.exe";
        fake_.system.processes[client_->pid] = client_;
        host_.client.pid = client_->pid;
        host_.client.connections = {ConnectState::connected};
        host_.client.reads = {start_request()};
        host_.when_stopping = [this] {
            log_->push_back("stop");
            ASSERT_EQ(fake_.system.engine_controls.size(), 1u);
            ProcessControl& engine = *fake_.system.engine_controls.front();
            engine_ran_until_stop_ = !engine.exited_with.has_value();
            engine.wait_fails = final_wait_fails_;
        };
    }
    void TearDown() override { std::filesystem::remove_all(root_); }

    static std::string start_request() {
        std::ifstream in(std::filesystem::path(VEMLA_EXAMPLES_DIR) / "vless-reality.json",
                         std::ios::binary);
        const auto request = parse_json(std::string(std::istreambuf_iterator<char>(in), {}));
        EXPECT_TRUE(request.has_value()) << request.error();
        return to_compact_json(request.value_or(Json())) + "\n";
    }
    // The log from the stop control on.
    EventLog after_stop() const {
        const auto stop = std::ranges::find(*log_, "stop");
        return EventLog(stop, log_->end());
    }
    void expect_the_start_was_replied_as_running() const {
        ASSERT_EQ(host_.client.written.size(), 1u);
        const auto reply = parse_json(host_.client.written.front());
        ASSERT_TRUE(reply.has_value()) << reply.error();
        EXPECT_EQ((*reply)["running"], true) << host_.client.written.front();
        EXPECT_TRUE(engine_ran_until_stop_);
    }

    std::filesystem::path root_;
    FakeContext fake_;
    std::shared_ptr<EventLog> log_ = fake_.system.log;
    FakeHost host_{fake_.stop, log_};
    std::shared_ptr<ProcessControl> client_ = make_control("client", 77, log_);
    bool final_wait_fails_ = false;
    bool engine_ran_until_stop_ = false;
};

TEST_F(ServiceRunWithConnection, StopEndsTheConnectionOnceBeforeThePipeCloses) {
    const auto result = run_service(host_, fake_.context);

    // The run returns to the host only now, and the host reports stopped only then.
    ASSERT_TRUE(result.has_value()) << result.error();
    expect_the_start_was_replied_as_running();
    EXPECT_EQ(after_stop(), (EventLog{"stop", "job:close", "client:close", "engine:wait",
                                      "engine:close", "pipe:close"}));
    EXPECT_EQ(stopped_exit_code(result), 0u);
}

TEST_F(ServiceRunWithConnection, FailingFinalStopFailsTheRun) {
    final_wait_fails_ = true;

    const auto result = run_service(host_, fake_.context);

    ASSERT_FALSE(result.has_value());
    expect_the_start_was_replied_as_running();
    EXPECT_EQ(result.error(), "wait failed (os error 6)");
    EXPECT_EQ(stopped_exit_code(result), kServiceSpecificError);
    // The pipe is closed all the same, and so are the engine's handles.
    EXPECT_EQ(after_stop(), (EventLog{"stop", "job:close", "client:close", "engine:wait",
                                      "engine:close", "pipe:close"}));
}

TEST(SamePath, ComparesComponentsWithoutLetterCase) {
    struct Case {
        const char* a;
        const char* b;
        bool same;
    };
    const Case cases[] = {
        {"C:/Program Files/VemlaHelper/vemla-tun-helper.exe",
         "C:/PROGRAM FILES/vemlahelper/Vemla-Tun-Helper.EXE", true},
        {"C:/Program Files/VemlaHelper/./vemla-tun-helper.exe",
         "C:/Program Files/VemlaHelper/vemla-tun-helper.exe", true},
        {"C:/Program Files/VemlaHelper/vemla-tun-helper.exe",
         "C:/Program Files/VemlaHelper2/vemla-tun-helper.exe", false},
        {"C:/Program Files/VemlaHelper/vemla-tun-helper.exe",
         "C:/Program Files/VemlaHelper/sub/vemla-tun-helper.exe", false},
        {"C:/Program Files/VemlaHelper/vemla-tun-helper.exe", "C:/Program Files/VemlaHelper",
         false},
        // Only ASCII letters fold: other scripts must match exactly.
        {"C:/Пример/vemla-tun-helper.exe", "C:/пример/vemla-tun-helper.exe", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(same_path(c.a, c.b), c.same) << c.a << " | " << c.b;
    }
}

}  // namespace
}  // namespace vemla::service
