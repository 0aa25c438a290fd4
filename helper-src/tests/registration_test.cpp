#include "registration.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "fakes.h"

namespace vemla::service {
namespace {

using namespace testing_support;
namespace fs = std::filesystem;

const fs::path kInstallDir = kRoot / "pf" / "VemlaHelper";
const fs::path kDataDir = kRoot / "pd" / "VemlaHelper";
const fs::path kInstalled = kInstallDir / "vemla-tun-helper.exe";
const std::string kQuoted = "\"" + path_text(kInstalled) + "\"";
const fs::path kUserCopy = kRoot / "home" / "user" / "Downloads" / "vemla-tun-helper.exe";

// Records what registration asked of the manager and answers as scripted.
class FakeRegistrar final : public ServiceRegistrar {
public:
    std::vector<std::string> calls;
    std::optional<ServiceSettings> written;
    std::optional<std::string> manager_error;
    std::optional<std::uint32_t> service_error;
    std::optional<std::string> create_error;
    std::optional<std::string> change_error;

    std::expected<void, std::string> open_manager() override {
        calls.push_back("open_manager");
        return result(manager_error);
    }
    std::expected<void, std::uint32_t> open_service() override {
        calls.push_back("open_service");
        if (service_error) {
            return std::unexpected(*service_error);
        }
        return {};
    }
    std::expected<void, std::string> create_service(const ServiceSettings& settings) override {
        calls.push_back("create_service");
        written = settings;
        return result(create_error);
    }
    std::expected<void, std::string> change_service(const ServiceSettings& settings) override {
        calls.push_back("change_service");
        written = settings;
        return result(change_error);
    }

private:
    static std::expected<void, std::string> result(const std::optional<std::string>& error) {
        if (error) {
            return std::unexpected(*error);
        }
        return {};
    }
};

// Registration run from the installed copy, on an installation the fake inspector calls
// protected, unless a test says otherwise.
class Registration : public testing::Test {
public:
    std::expected<void, std::string> run() {
        return register_service(
            checks, [this] { return paths; }, [this] { return running; }, manager);
    }

    FakeInspector inspector;
    InstallationChecks checks{inspector, TrustPolicy()};
    std::expected<InstallPaths, std::string> paths = InstallPaths{kInstallDir, kDataDir};
    std::expected<fs::path, std::string> running = kInstalled;
    FakeRegistrar manager;
};

std::string text(const NativeText& native) {
    return path_text(fs::path(native));
}

TEST_F(Registration, MissingServiceIsCreatedWithEverySetting) {
    manager.service_error = kErrorServiceDoesNotExist;
    const auto registered = run();
    ASSERT_TRUE(registered.has_value()) << registered.error();
    EXPECT_EQ(manager.calls,
              (std::vector<std::string>{"open_manager", "open_service", "create_service"}));
    ASSERT_TRUE(manager.written.has_value());
    const ServiceSettings& settings = *manager.written;
    EXPECT_EQ(settings.type, 0x10u);
    EXPECT_EQ(settings.start, 2u);
    EXPECT_EQ(settings.error_control, 1u);
    EXPECT_EQ(text(settings.binary_path), kQuoted);
    EXPECT_EQ(settings.display_name, "Vemla protected TUN helper");
    EXPECT_EQ(settings.account, "");
}

TEST_F(Registration, ExistingServiceIsRewrittenKeepingItsDisplayName) {
    const auto registered = run();
    ASSERT_TRUE(registered.has_value()) << registered.error();
    EXPECT_EQ(manager.calls,
              (std::vector<std::string>{"open_manager", "open_service", "change_service"}));
    ASSERT_TRUE(manager.written.has_value());
    const ServiceSettings& settings = *manager.written;
    EXPECT_EQ(settings.type, 0x10u);
    EXPECT_EQ(settings.start, 2u);
    EXPECT_EQ(settings.error_control, 1u);
    EXPECT_EQ(text(settings.binary_path), kQuoted);
    EXPECT_EQ(settings.display_name, std::nullopt);
    EXPECT_EQ(settings.account, "LocalSystem");
}

TEST_F(Registration, RunningCopyElsewhereRegistersTheInstalledExecutable) {
    const fs::path copy = kRoot / "opt" / "staging" / "vemla-tun-helper.exe";
    running = copy;
    ASSERT_TRUE(run().has_value());
    EXPECT_EQ(text(manager.written->binary_path), kQuoted);
    // Both chains were proved, the installed one first.
    const auto& checked = inspector.checked;
    const auto installed_at = std::ranges::find(checked, kInstalled);
    const auto copy_at = std::ranges::find(checked, copy);
    ASSERT_NE(installed_at, checked.end());
    ASSERT_NE(copy_at, checked.end());
    EXPECT_LT(installed_at, copy_at);
    EXPECT_NE(std::ranges::find(checked, kRoot / "opt" / "staging"), checked.end());
}

struct FailureCase {
    const char* name;
    void (*arrange)(Registration&);
    std::string message;
    std::vector<std::string> calls;  // made on the manager
};

void PrintTo(const FailureCase& c, std::ostream* out) {
    *out << c.name;
}

class RegistrationFailure : public Registration, public testing::WithParamInterface<FailureCase> {};

const std::string kDenied = "Access is denied. (os error 5)";

INSTANTIATE_TEST_SUITE_P(
    Cases, RegistrationFailure,
    testing::Values(FailureCase{"paths_unknown",
                                [](Registration& r) {
                                    r.paths = std::unexpected(std::string(
                                        "The system cannot find the file specified. (os error 2)"));
                                },
                                "The system cannot find the file specified. (os error 2)",
                                {}},
                    FailureCase{"installed_unprotected",
                                [](Registration& r) { r.inspector.untrusted.insert(kInstalled); },
                                "Untrusted write access: " + path_text(kInstalled),
                                {}},
                    FailureCase{"running_unknown",
                                [](Registration& r) {
                                    r.running = std::unexpected(
                                        std::string("The parameter is incorrect. (os error 87)"));
                                },
                                "The parameter is incorrect. (os error 87)",
                                {}},
                    FailureCase{"running_from_a_user_folder",
                                [](Registration& r) {
                                    r.running = kUserCopy;
                                    r.inspector.untrusted.insert(kUserCopy);
                                },
                                "Untrusted write access: " + path_text(kUserCopy),
                                {}},
                    FailureCase{"not_elevated",
                                [](Registration& r) { r.manager.manager_error = kDenied; },
                                "Service registration requires administrator consent: " + kDenied,
                                {"open_manager"}},
                    FailureCase{"service_not_openable",
                                [](Registration& r) { r.manager.service_error = 5; },
                                "Cannot change helper service configuration: 5",
                                {"open_manager", "open_service"}},
                    FailureCase{"creation_refused",
                                [](Registration& r) {
                                    r.manager.service_error = kErrorServiceDoesNotExist;
                                    r.manager.create_error = kDenied;
                                },
                                "Cannot create helper service: " + kDenied,
                                {"open_manager", "open_service", "create_service"}},
                    FailureCase{"reconfiguration_refused",
                                [](Registration& r) { r.manager.change_error = kDenied; },
                                "Cannot configure exact helper executable: " + kDenied,
                                {"open_manager", "open_service", "change_service"}}),
    [](const testing::TestParamInfo<FailureCase>& case_info) { return case_info.param.name; });

TEST_P(RegistrationFailure, StopsAtTheFirstFailureWithItsMessage) {
    GetParam().arrange(*this);
    const auto registered = run();
    ASSERT_FALSE(registered.has_value());
    EXPECT_EQ(registered.error(), GetParam().message);
    EXPECT_EQ(manager.calls, GetParam().calls);
}

TEST(InstalledServicePath, AcceptsExactlyWhatRegistrationWrites) {
    const InstallPathsResolver resolve = [] {
        return std::expected<InstallPaths, std::string>(InstallPaths{kInstallDir, kDataDir});
    };
    const std::string registered = path_text(fs::path(quoted_binary_path(kInstalled)));
    EXPECT_EQ(registered, kQuoted);
    EXPECT_TRUE(check_installed_service_path(registered, resolve).has_value());

    const std::string refused = "Helper service executable is not the exact protected installation";
    for (const std::string& configured :
         {path_text(kInstalled), kQuoted + " --flag",
          "\"" + path_text(kInstallDir / "other.exe") + "\"", std::string()}) {
        const auto checked = check_installed_service_path(configured, resolve);
        ASSERT_FALSE(checked.has_value()) << configured;
        EXPECT_EQ(checked.error(), refused) << configured;
    }

    const InstallPathsResolver unknown = [] {
        return std::expected<InstallPaths, std::string>(std::unexpected(
            std::string("The system cannot find the file specified. (os error 2)")));
    };
    const auto checked = check_installed_service_path(kQuoted, unknown);
    ASSERT_FALSE(checked.has_value());
    EXPECT_EQ(checked.error(), "The system cannot find the file specified. (os error 2)");
}

}  // namespace
}  // namespace vemla::service
