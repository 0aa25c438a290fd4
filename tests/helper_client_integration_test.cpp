// The pipe client against the real pipe and Wine's service control manager: a missing service,
// a busy pipe, a look-alike pipe served by another program, and a stand-in service that the
// manager runs from the installed executable's place.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "command_line.h"
#include "helper_client/helper_request.h"
#include "helper_client/server_identity.h"
#include "helper_client/win/win_client_system.h"
#include "pipe_test_support.h"
#include "registration.h"
#include "service_entry.h"
#include "test_directory.h"
#include "win/path_security.h"
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

// The stand-in service, copied to the installed executable's place, registered there with the
// quotation marks and started by the manager with a log of what each connection brought.
class RunningService : public testing::Test {
protected:
    void SetUp() override {
        const auto paths = service::win::resolve_install_paths();
        ASSERT_TRUE(paths.has_value()) << paths.error();
        installed_ = service::installed_executable(*paths);
        std::filesystem::create_directories(paths->install_dir);
        std::filesystem::copy_file(own_directory() / L"vemla_stand_in_service.exe", installed_,
                                   std::filesystem::copy_options::overwrite_existing);
        directory_ = service::testing_support::make_test_directory("vemla-client-");
        log_ = directory_ / L"connections.log";
        ASSERT_TRUE(create_service_entry(L"\"" + installed_.wstring() + L"\""))
            << ::vemla::win::last_error_text();
        start();
    }

    void TearDown() override {
        const auto service = open_entry(SERVICE_STOP | SERVICE_QUERY_STATUS);
        SERVICE_STATUS status{};
        ::ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
        if (process_) {
            ::WaitForSingleObject(process_.get(), 10000);
        }
        std::error_code ignored;
        std::filesystem::remove_all(directory_, ignored);
    }

    void start() {
        const auto service = open_entry(SERVICE_START | SERVICE_QUERY_STATUS);
        ASSERT_TRUE(service) << ::vemla::win::last_error_text();
        const std::wstring log = log_.wstring();
        const wchar_t* arguments[] = {log.c_str()};
        ASSERT_TRUE(::StartServiceW(service.get(), 1, arguments))
            << ::vemla::win::last_error_text();
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        SERVICE_STATUS_PROCESS status{};
        DWORD needed = 0;
        while (::QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                                      reinterpret_cast<BYTE*>(&status), sizeof status, &needed) &&
               status.dwCurrentState != SERVICE_RUNNING &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(20ms);
        }
        ASSERT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
        process_.reset(::OpenProcess(SYNCHRONIZE, FALSE, status.dwProcessId));
    }

    // The log's lines once it has `count` of them; the service writes each after the client
    // has gone.
    std::vector<std::string> connections(std::size_t count) {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        std::vector<std::string> lines;
        do {
            lines.clear();
            std::ifstream in(log_, std::ios::binary);
            for (std::string line; std::getline(in, line);) {
                lines.push_back(line);
            }
            if (lines.size() >= count) {
                break;
            }
            std::this_thread::sleep_for(20ms);
        } while (std::chrono::steady_clock::now() < deadline);
        return lines;
    }

    std::expected<Json, std::string> send(const std::string& op) {
        return helper_request(Json{{"op", op}, {"version", 1}},
                              service::win::check_installed_service);
    }

    ServiceEntryGuard no_entry_;
    std::filesystem::path installed_;
    std::filesystem::path directory_;
    std::filesystem::path log_;
    UniqueHandle process_;
};

TEST_F(RunningService, StatusRoundTrip) {
    const auto reply = probe_status();
    ASSERT_TRUE(reply.has_value()) << reply.error();
    EXPECT_EQ(*reply, (Json{{"ok", true}, {"running", false}}));
    EXPECT_EQ(connections(1),
              std::vector<std::string>{R"(bytes=28 ack=1 request={"op":"status","version":1})"});
}

TEST_F(RunningService, RepliesAreJudgedAsTheyCome) {
    const auto refused = send("refuse");
    ASSERT_FALSE(refused.has_value()) << to_compact_json(*refused);
    EXPECT_EQ(refused.error(), "Соединение принадлежит другой сессии");

    const auto exact = send("exact");
    ASSERT_TRUE(exact.has_value()) << exact.error();
    EXPECT_EQ(to_compact_json(*exact).size() + 1, 65536u);

    const auto huge = send("huge");
    ASSERT_FALSE(huge.has_value()) << to_compact_json(*huge);
    EXPECT_EQ(huge.error(), "Helper response too large");

    const auto lines = connections(3);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(lines[0].starts_with("bytes=28 ack=1 ")) << lines[0];
    EXPECT_TRUE(lines[1].starts_with("bytes=27 ack=1 ")) << lines[1];
    // Too large a reply is not acknowledged.
    EXPECT_TRUE(lines[2].starts_with("bytes=26 ack=0 ")) << lines[2];
}

TEST_F(RunningService, UnquotedRegistrationReceivesNoByte) {
    {
        const auto service = open_entry(SERVICE_CHANGE_CONFIG);
        ASSERT_TRUE(::ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                           SERVICE_NO_CHANGE, installed_.c_str(), nullptr, nullptr,
                                           nullptr, nullptr, nullptr, nullptr))
            << ::vemla::win::last_error_text();
    }
    const auto reply = probe_status();
    ASSERT_FALSE(reply.has_value()) << to_compact_json(*reply);
    EXPECT_EQ(reply.error(), "Helper service executable is not the exact protected installation");
    EXPECT_EQ(connections(1), std::vector<std::string>{"bytes=0 ack=0 request="});
}

TEST_F(RunningService, SilentServiceTimesOut) {
    const auto began = std::chrono::steady_clock::now();
    const auto reply = send("silent");
    const double waited = milliseconds_since(began);
    ASSERT_FALSE(reply.has_value()) << to_compact_json(*reply);
    EXPECT_EQ(reply.error(), "Helper response timeout");
    std::printf("silent service: refused after %.1f ms (window 15000 ms)\n", waited);
}

}  // namespace
}  // namespace vemla::helper_client
