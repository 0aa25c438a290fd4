#include <gtest/gtest.h>

#include "fakes.h"
#include "service_runtime.h"

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

// A pipe with no client that ends the loop at once, as a stop control would.
class IdlePipe final : public Pipe {
public:
    IdlePipe(StopFlag& stop, std::shared_ptr<EventLog> log) : stop_(stop), log_(std::move(log)) {}
    ~IdlePipe() override { log_->push_back("pipe:close"); }
    ConnectState connect() override {
        stop_.set();
        return ConnectState::waiting;
    }
    void disconnect() override {}
    PipeRead read(std::span<char>) override { return {}; }
    void write(std::string_view) override {}
    std::expected<std::string, std::string> caller_sid() override { return kOwnerSid; }
    std::expected<std::uint32_t, std::string> client_pid() override { return 1u; }

private:
    StopFlag& stop_;
    std::shared_ptr<EventLog> log_;
};

// The host's answers, each replaceable by a failure; every call is logged.
class FakeHost final : public ServiceHost {
public:
    FakeHost(StopFlag& stop, std::shared_ptr<EventLog> log) : stop_(stop), log_(std::move(log)) {}

    InstallPaths paths{kInstallDir, kDataDir};
    std::filesystem::path executable = kInstallDir / "vemla-tun-helper.exe";
    std::optional<std::string> fail_at;  // the step that fails, with the text "<step> failed"

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
        return std::make_unique<IdlePipe>(stop_, log_);
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

    StopFlag& stop_;
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
