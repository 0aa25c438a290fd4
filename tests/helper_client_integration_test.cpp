// The pipe client against the real pipe and Wine's service control manager: a missing service,
// a busy pipe, and a look-alike pipe served by another program.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "command_line.h"
#include "helper_client/helper_request.h"
#include "helper_client/server_identity.h"
#include "helper_client/win/win_client_system.h"
#include "pipe_test_support.h"
#include "service_entry.h"
#include "win/registration_win.h"

namespace vemla::helper_client {
namespace {

using namespace service::testing_support;
using namespace std::chrono_literals;

constexpr const char* kNotAvailable =
    "Защищённый помощник недоступен. Установите его один раз с подтверждением Windows.";
constexpr const char* kMismatch = "Pipe server does not match the running installed service";
const std::wstring kInstalledPath = L"\"C:\\Program Files\\VemlaHelper\\vemla-tun-helper.exe\"";

std::expected<Json, std::string> probe_status() {
    return helper_request(service::status_request(), service::win::check_installed_service);
}

double milliseconds_since(std::chrono::steady_clock::time_point began) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - began)
        .count();
}

// The look-alike server in its own process, with the pipe created.
class LookAlike : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server_.started()) << ::vemla::win::last_error_text();
        const std::string ready = server_.read_line();
        ASSERT_TRUE(ready.starts_with("ready ")) << ready;
    }

    TestProgram server_{own_directory() / L"vemla_lookalike_pipe_server.exe",
                        std::vector<std::wstring>{}};
    ServiceEntryGuard no_entry_;
};

TEST(NoService, NotAvailableAtOnce) {
    const ServiceEntryGuard no_entry;
    const auto began = std::chrono::steady_clock::now();
    const auto reply = probe_status();
    const double waited = milliseconds_since(began);
    ASSERT_FALSE(reply.has_value()) << to_compact_json(*reply);
    EXPECT_EQ(reply.error(), kNotAvailable);
    std::printf("no pipe: refused after %.1f ms\n", waited);
}

TEST_F(LookAlike, StoppedServiceDoesNotServeThePipe) {
    ASSERT_TRUE(create_service_entry(kInstalledPath)) << ::vemla::win::last_error_text();
    const auto reply = probe_status();
    ASSERT_FALSE(reply.has_value()) << to_compact_json(*reply);
    EXPECT_EQ(reply.error(), kMismatch);
    EXPECT_EQ(server_.read_line(), "received 0");
}

TEST_F(LookAlike, UnregisteredServiceCannotBeProved) {
    const auto reply = probe_status();
    ASSERT_FALSE(reply.has_value()) << to_compact_json(*reply);
    EXPECT_TRUE(reply.error().starts_with("Helper service query configuration/status: "))
        << reply.error();
    EXPECT_TRUE(reply.error().ends_with("(os error 1060)")) << reply.error();
    EXPECT_EQ(server_.read_line(), "received 0");
}

TEST_F(LookAlike, BusyPipeIsRetriedForTwoSeconds) {
    DWORD error = 0;
    const UniqueHandle first = try_open_client(error);
    ASSERT_TRUE(first) << error;
    const auto began = std::chrono::steady_clock::now();
    const auto reply = probe_status();
    const double waited = milliseconds_since(began);
    ASSERT_FALSE(reply.has_value()) << to_compact_json(*reply);
    EXPECT_EQ(reply.error(), kNotAvailable);
    std::printf("busy pipe: refused after %.1f ms (window 2000 ms)\n", waited);
}

// The configuration as the client reads it from the real manager: the layout of the record and
// the place of its binary path.
TEST(ServiceConfiguration, ReadsTheRegisteredBinaryPath) {
    const ServiceEntryGuard no_entry;
    ASSERT_TRUE(create_service_entry(kInstalledPath)) << ::vemla::win::last_error_text();
    win::Win32ServiceControl control;
    ASSERT_TRUE(control.connect().has_value());
    ASSERT_TRUE(control.open_service().has_value());
    const auto pid = control.process_id();
    ASSERT_TRUE(pid.has_value()) << pid.error();
    EXPECT_EQ(*pid, 0u);
    const auto size = configuration_buffer_size(control.configuration_size());
    ASSERT_TRUE(size.has_value()) << size.error();
    std::vector<std::uint64_t> buffer(*size / 8);
    const auto address = control.read_configuration(buffer);
    ASSERT_TRUE(address.has_value()) << address.error();
    const auto path = read_binary_path(std::as_bytes(std::span(buffer)), *address);
    ASSERT_TRUE(path.has_value()) << path.error();
    EXPECT_EQ(*path, ::vemla::win::to_utf8(kInstalledPath));
    EXPECT_TRUE(service::win::check_installed_service(*path).has_value());
}

TEST(ServiceConfiguration, MissingServiceFailsToOpen) {
    const ServiceEntryGuard no_entry;
    win::Win32ServiceControl control;
    ASSERT_TRUE(control.connect().has_value());
    const auto opened = control.open_service();
    ASSERT_FALSE(opened.has_value());
    EXPECT_EQ(opened.error(), ::vemla::win::os_error_text(ERROR_SERVICE_DOES_NOT_EXIST));
}

}  // namespace
}  // namespace vemla::helper_client
