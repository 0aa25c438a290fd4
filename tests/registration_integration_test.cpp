// Registration against Wine's service control manager, from a copy of this program laid out as
// the installed executable. Under Wine every file belongs to the Wine user, so only a policy
// that also trusts that user lets the installation pass.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <string>

#include "install_checks.h"
#include "pipe_test_support.h"
#include "registration.h"
#include "service_entry.h"
#include "win/path_security.h"
#include "win/registration_win.h"

namespace vemla::service {
namespace {

using namespace testing_support;
namespace fs = std::filesystem;

const std::wstring kExpectedPath = L"\"C:\\Program Files\\VemlaHelper\\vemla-tun-helper.exe\"";

class Registration : public testing::Test {
protected:
    void SetUp() override {
        const auto paths = win::resolve_install_paths();
        ASSERT_TRUE(paths.has_value()) << paths.error();
        ASSERT_EQ(paths->install_dir, fs::path(L"C:\\Program Files\\VemlaHelper"));
        installed_ = installed_executable(*paths);
        fs::create_directories(paths->install_dir);
        fs::copy_file(own_directory() / L"registration_integration_test.exe", installed_,
                      fs::copy_options::overwrite_existing);
    }

    // Registration as the installed copy would run it.
    std::expected<void, std::string> register_as_installed(const InstallationChecks& checks) {
        win::Win32ServiceRegistrar manager;
        return register_service(
            checks, win::resolve_install_paths,
            [this] { return std::expected<fs::path, std::string>(installed_); }, manager);
    }

    ServiceEntryGuard no_entry_;
    win::Win32PathInspector inspector_;
    InstallationChecks wine_checks_{inspector_, TrustPolicy().also_trusting(own_sid())};
    fs::path installed_;
};

void expect_registered(const ServiceEntry& entry, const std::wstring& display_name) {
    EXPECT_EQ(entry.binary_path, kExpectedPath);
    EXPECT_EQ(entry.type, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(entry.start, static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_EQ(entry.error_control, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
    EXPECT_EQ(entry.display_name, display_name);
    EXPECT_EQ(entry.account, L"LocalSystem");
}

TEST_F(Registration, CreatesThenRewritesTheEntryKeepingItsDisplayName) {
    const auto created = register_as_installed(wine_checks_);
    ASSERT_TRUE(created.has_value()) << created.error();
    const auto first = read_service_entry();
    ASSERT_TRUE(first.has_value());
    expect_registered(*first, L"Vemla protected TUN helper");

    // An administrator points the entry elsewhere.
    {
        const auto service = open_entry(SERVICE_CHANGE_CONFIG);
        ASSERT_TRUE(service);
        ASSERT_TRUE(::ChangeServiceConfigW(
            service.get(), SERVICE_WIN32_SHARE_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE,
            L"C:\\elsewhere\\other.exe --flag", nullptr, nullptr, nullptr,
            L"NT AUTHORITY\\LocalService", L"", L"Renamed helper"))
            << ::vemla::win::last_error_text();
    }
    const auto changed = read_service_entry();
    ASSERT_TRUE(changed.has_value());
    ASSERT_EQ(changed->binary_path, L"C:\\elsewhere\\other.exe --flag");
    ASSERT_EQ(changed->start, static_cast<DWORD>(SERVICE_DEMAND_START));
    ASSERT_EQ(changed->type, static_cast<DWORD>(SERVICE_WIN32_SHARE_PROCESS));
    ASSERT_EQ(changed->error_control, static_cast<DWORD>(SERVICE_ERROR_IGNORE));
    ASSERT_EQ(changed->account, L"NT AUTHORITY\\LocalService");

    const auto rewritten = register_as_installed(wine_checks_);
    ASSERT_TRUE(rewritten.has_value()) << rewritten.error();
    const auto second = read_service_entry();
    ASSERT_TRUE(second.has_value());
    expect_registered(*second, L"Renamed helper");
}

TEST_F(Registration, WhatIsRegisteredPassesTheClientsCheck) {
    ASSERT_TRUE(register_as_installed(wine_checks_).has_value());
    const auto entry = read_service_entry();
    ASSERT_TRUE(entry.has_value());
    const std::string configured = ::vemla::win::to_utf8(entry->binary_path);
    EXPECT_TRUE(win::check_installed_service(configured).has_value());
    const auto unquoted = win::check_installed_service(configured.substr(1, configured.size() - 2));
    ASSERT_FALSE(unquoted.has_value());
    EXPECT_EQ(unquoted.error(),
              "Helper service executable is not the exact protected installation");
}

TEST_F(Registration, UnprotectedInstallationNeverReachesTheManager) {
    const InstallationChecks standard(inspector_, TrustPolicy());
    const auto refused = register_as_installed(standard);
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error(), "Untrusted owner or unrestricted ACL");
    EXPECT_FALSE(read_service_entry().has_value());
}

TEST(RunningExecutable, IsThisProgram) {
    const auto path = win::running_executable_path();
    ASSERT_TRUE(path.has_value()) << path.error();
    EXPECT_EQ(path->filename(), fs::path(L"registration_integration_test.exe"));
    EXPECT_TRUE(path->is_absolute());
}

}  // namespace
}  // namespace vemla::service
