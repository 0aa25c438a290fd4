// launch_in_job driving the stand-in engine as the service drives the real one: from an
// installation directory of its own, with the document in a data directory, engine.log as its
// standard output and error, and the null device as its input.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <windows.h>

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "win32/launch.h"
#include "win32/unique_object.h"
#include "win32/win32_text.h"

namespace vemla::win {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;
using ::testing::UnorderedElementsAreArray;

constexpr std::uint16_t kApiPort = 18970;
// Bounds that only show that a wait ended; a healthy run takes a fraction of them.
constexpr DWORD kExitWaitMs = 20000;
constexpr auto kLogWait = 20s;

// The API inbound is not the first one: the stand-in finds it by its tag.
constexpr std::string_view kDocument =
    R"({"inbounds":[{"listen":"127.0.0.1","port":10808,"protocol":"socks","tag":"mixed-in"},)"
    R"({"listen":"127.0.0.1","port":18970,"protocol":"http","tag":"vemla-api-in"}]})";
constexpr std::string_view kUsageLine = "usage: xray run -c <config.json>";

struct SocketTraits {
    using Value = SOCKET;
    static Value empty() { return INVALID_SOCKET; }
    static bool is_valid(Value value) { return value != INVALID_SOCKET; }
    static void close(Value value) { ::closesocket(value); }
};
using UniqueSocket = UniqueObject<SocketTraits>;

bool accepts_connection(std::uint16_t port) {
    const UniqueSocket connection(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = ::htons(port);
    address.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
    return connection && ::connect(connection.get(), reinterpret_cast<const sockaddr*>(&address),
                                   sizeof address) == 0;
}

std::string read_file(const fs::path& path) {
    const UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    std::string content;
    char chunk[4096];
    DWORD got = 0;
    while (file && ::ReadFile(file.get(), chunk, sizeof chunk, &got, nullptr) && got > 0) {
        content.append(chunk, got);
    }
    return content;
}

// Moved into place whole, as the stand-in may read the file at any moment.
bool write_file(const fs::path& path, std::string_view content) {
    fs::path partial = path;
    partial += L".partial";
    {
        const UniqueHandle file(::CreateFileW(partial.c_str(), GENERIC_WRITE, 0, nullptr,
                                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD written = 0;
        if (!file || !::WriteFile(file.get(), content.data(), static_cast<DWORD>(content.size()),
                                  &written, nullptr)) {
            return false;
        }
    }
    return ::MoveFileExW(partial.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
}

std::vector<std::string> lines_of(std::string_view text) {
    std::vector<std::string> lines;
    while (!text.empty()) {
        const auto end = text.find('\n');
        std::string line(text.substr(0, end));
        if (line.ends_with('\r')) {
            line.pop_back();
        }
        lines.push_back(std::move(line));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    }
    return lines;
}

bool has_start_line(std::string_view log) {
    for (const std::string& line : lines_of(log)) {
        if (line.find("[Warning] core: Xray ") != std::string::npos && line.ends_with(" started")) {
            return true;
        }
    }
    return false;
}

bool valid_utf8(std::string_view text) {
    return text.empty() || ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                                                 static_cast<int>(text.size()), nullptr, 0) > 0;
}

std::optional<DWORD> wait_for_exit(HANDLE process) {
    DWORD code = 0;
    if (::WaitForSingleObject(process, kExitWaitMs) != WAIT_OBJECT_0 ||
        !::GetExitCodeProcess(process, &code)) {
        return std::nullopt;
    }
    return code;
}

bool running(HANDLE process) {
    return ::WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
}

// Whether `entries` sets the variable that `entry` sets; names ignore case, as on Windows.
bool has_variable(const std::vector<std::string>& entries, std::string_view entry) {
    const auto name = [](std::string_view text) { return text.substr(0, text.find('=', 1)); };
    return std::ranges::any_of(entries, [&](const std::string& other) {
        const std::string_view a = name(other), b = name(entry);
        return a.size() == b.size() && std::ranges::equal(a, b, [](char x, char y) {
                   return std::tolower(static_cast<unsigned char>(x)) ==
                          std::tolower(static_cast<unsigned char>(y));
               });
    });
}

fs::path stand_in_path() {
    std::wstring path(MAX_PATH, L'\0');
    path.resize(::GetModuleFileNameW(nullptr, path.data(), MAX_PATH));
    return fs::path(path).parent_path() / L"xray.exe";
}

std::string utf8(const fs::path& path) {
    return to_utf8(path.wstring());
}

std::string system_root() {
    std::wstring value(MAX_PATH, L'\0');
    value.resize(::GetEnvironmentVariableW(L"SystemRoot", value.data(), MAX_PATH));
    return to_utf8(value);
}

class LaunchInJob : public testing::Test {
protected:
    static void SetUpTestSuite() {
        WSADATA data{};
        ::WSAStartup(MAKEWORD(2, 2), &data);
    }
    static void TearDownTestSuite() { ::WSACleanup(); }

    void SetUp() override {
        std::random_device random;
        const std::string name = testing::UnitTest::GetInstance()->current_test_info()->name();
        root_ = fs::temp_directory_path() /
                to_wide("vemla launch " + name + " " + std::to_string(random()));
        // Spaces in both directories and Cyrillic in one: every path reaches the child through
        // UTF-8 and a quoted command line.
        install_ = root_ / L"install dir";
        data_ = root_ / L"data dir Данные";
        fs::create_directories(install_);
        fs::create_directories(data_);
        ASSERT_TRUE(::CopyFileW(stand_in_path().c_str(), (install_ / L"xray.exe").c_str(), FALSE))
            << last_error_text();
        ASSERT_TRUE(write_file(document(), kDocument));
        ASSERT_FALSE(accepts_connection(kApiPort))
            << "another process holds port " << kApiPort << "; these tests need it";
    }

    // Whatever a test started ends with its job; waiting for it here frees the port and the
    // executable before the next test.
    void TearDown() override {
        for (const UniqueHandle& process : started_) {
            if (::WaitForSingleObject(process.get(), kExitWaitMs) != WAIT_OBJECT_0) {
                ADD_FAILURE() << "a stand-in outlived its job; ending it";
                ::TerminateProcess(process.get(), 1);
                ::WaitForSingleObject(process.get(), kExitWaitMs);
            }
        }
        started_.clear();
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }

    fs::path document() const { return data_ / L"active.json"; }
    fs::path engine() const { return install_ / L"xray.exe"; }
    std::vector<std::string> engine_arguments() const { return {"run", "-c", utf8(document())}; }

    void set_behaviour(std::string_view text) {
        ASSERT_TRUE(write_file(install_ / L"stand-in.behaviour", text));
    }

    // What the service does for every attempt: a fresh engine.log shared for read, write and
    // delete, standard output a duplicate of its handle, standard error the handle itself,
    // standard input the null device. Its own copies are closed once the child has its own.
    std::expected<LaunchedProcess, LaunchFailure> launch(std::vector<std::string> arguments,
                                                         fs::path program = {}) {
        const UniqueHandle log(::CreateFileW((data_ / L"engine.log").c_str(), GENERIC_WRITE,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                             nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                             nullptr));
        HANDLE copy = nullptr;
        ::DuplicateHandle(::GetCurrentProcess(), log.get(), ::GetCurrentProcess(), &copy, 0, FALSE,
                          DUPLICATE_SAME_ACCESS);
        const UniqueHandle log_copy(copy);
        const UniqueHandle null_device(
            ::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        EXPECT_TRUE(log && log_copy && null_device) << last_error_text();

        LaunchSpec spec;
        spec.program = program.empty() ? engine() : std::move(program);
        spec.arguments = std::move(arguments);
        spec.working_directory = install_;
        spec.environment = {"SystemRoot=" + system_root(), "TEMP=" + utf8(data_),
                            "TMP=" + utf8(data_), "XRAY_LOCATION_ASSET=" + utf8(install_)};
        spec.standard_input = null_device.get();
        spec.standard_output = log_copy.get();
        spec.standard_error = log.get();
        auto launched = launch_in_job(spec);
        if (launched) {
            watch(launched->process.get());
        }
        return launched;
    }

    // A process that must have ended by the end of the test. Under Wine a process left behind
    // keeps the test runner's output open, and so the whole test run waiting.
    void watch(HANDLE process) {
        HANDLE watched = nullptr;
        ASSERT_TRUE(::DuplicateHandle(::GetCurrentProcess(), process, ::GetCurrentProcess(),
                                      &watched, SYNCHRONIZE | PROCESS_TERMINATE, FALSE, 0))
            << last_error_text();
        started_.emplace_back(watched);
    }

    std::expected<LaunchedProcess, LaunchFailure> launch() { return launch(engine_arguments()); }

    // The stand-in started by a plain CreateProcess, not the launcher: the control for what the
    // launcher's child sees. Its exit code, or nothing if it was not started or did not end.
    std::optional<DWORD> run_directly(bool inherit_handles, wchar_t* environment) {
        std::wstring command =
            L"\"" + engine().wstring() + L"\" run -c \"" + document().wstring() + L"\"";
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION created{};
        if (!::CreateProcessW(engine().c_str(), command.data(), nullptr, nullptr, inherit_handles,
                              CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT, environment,
                              install_.c_str(), &startup, &created)) {
            ADD_FAILURE() << last_error_text();
            return std::nullopt;
        }
        const UniqueHandle process(created.hProcess), thread(created.hThread);
        return wait_for_exit(process.get());
    }

    // What the system adds to any environment block a process is given: Windows nothing, Wine
    // its WINE* variables and SystemDrive. Learnt from a stand-in given one variable only.
    std::vector<std::string> environment_added_by_system() {
        set_behaviour("exit 0");
        std::wstring block = L"VEMLA_ONLY=1";
        block.append(2, L'\0');
        EXPECT_EQ(run_directly(false, block.data()), 0u);
        std::vector<std::string> added = seen("env");
        EXPECT_EQ(std::erase(added, "VEMLA_ONLY=1"), 1u);
        return added;
    }

    std::string log() const { return read_file(data_ / L"engine.log"); }

    bool wait_for_start_line() const {
        const auto deadline = std::chrono::steady_clock::now() + kLogWait;
        while (!has_start_line(log())) {
            if (std::chrono::steady_clock::now() >= deadline) {
                return false;
            }
            std::this_thread::sleep_for(20ms);
        }
        return true;
    }

    // The values of the stand-in's record lines that begin with `kind` and a space.
    std::vector<std::string> seen(std::string_view kind) const {
        std::vector<std::string> values;
        const std::string prefix = std::string(kind) + " ";
        for (const std::string& line : lines_of(read_file(data_ / L"stand-in.seen"))) {
            if (line.starts_with(prefix)) {
                values.push_back(line.substr(prefix.size()));
            }
        }
        return values;
    }

    bool request_exit(std::string_view code) {
        return write_file(install_ / L"stand-in.exit", code);
    }

    fs::path root_;
    fs::path install_;
    fs::path data_;
    std::vector<UniqueHandle> started_;
};

TEST_F(LaunchInJob, TheEngineGetsExactlyItsArgumentsEnvironmentAndDirectory) {
    std::vector<std::string> expected_environment = {"SystemRoot=" + system_root(),
                                                     "TEMP=" + utf8(data_), "TMP=" + utf8(data_),
                                                     "XRAY_LOCATION_ASSET=" + utf8(install_)};
    for (std::string& added : environment_added_by_system()) {
        if (!has_variable(expected_environment, added)) {
            expected_environment.push_back(std::move(added));
        }
    }

    set_behaviour("normal");
    auto engine = launch();
    ASSERT_TRUE(engine.has_value()) << engine.error().text;
    ASSERT_TRUE(wait_for_start_line()) << log();

    EXPECT_THAT(seen("arg"), ElementsAre("run", "-c", utf8(document())));
    EXPECT_THAT(seen("env"), UnorderedElementsAreArray(expected_environment));
    EXPECT_THAT(seen("cwd"), ElementsAre(utf8(install_)));
    EXPECT_THAT(seen("pid"), ElementsAre(std::to_string(engine->pid)));
    EXPECT_EQ(::GetProcessId(engine->process.get()), engine->pid);
    EXPECT_EQ(::GetProcessIdOfThread(engine->thread.get()), engine->pid);
}

TEST_F(LaunchInJob, AStartedEngineLogsItsStartLineAndAcceptsOnItsApiPort) {
    auto engine = launch();
    ASSERT_TRUE(engine.has_value()) << engine.error().text;
    ASSERT_TRUE(wait_for_start_line()) << log();
    EXPECT_TRUE(accepts_connection(kApiPort));
    EXPECT_TRUE(accepts_connection(kApiPort)) << "a second connection";
    EXPECT_TRUE(running(engine->process.get()));
}

TEST_F(LaunchInJob, AnExitRequestEndsTheEngineWithThatCodeAndALastLine) {
    auto engine = launch();
    ASSERT_TRUE(engine.has_value()) << engine.error().text;
    ASSERT_TRUE(wait_for_start_line()) << log();
    ASSERT_TRUE(request_exit("-1073741819"));

    EXPECT_EQ(wait_for_exit(engine->process.get()), 0xC0000005u);
    const auto lines = lines_of(log());
    ASSERT_FALSE(lines.empty());
    EXPECT_THAT(lines.back(), HasSubstr("asked to exit with code 3221225477"));
    EXPECT_FALSE(fs::exists(install_ / L"stand-in.exit")) << "a request serves one run";
}

TEST_F(LaunchInJob, AnEngineThatExitsAtOnceLeavesItsCodeAndItsLine) {
    struct Case {
        std::string_view behaviour;
        DWORD code;
        std::string_view log;
    };
    const Case cases[] = {
        {"exit 23 Failed to start: main: failed to load config files", 23,
         "Failed to start: main: failed to load config files\n"},
        // The engine's own crash codes come as NTSTATUS values, written either way.
        {"exit -1073741819 panic: runtime error", 0xC0000005, "panic: runtime error\n"},
        {"exit 3221225477 Ошибка:  два  пробела", 0xC0000005, "Ошибка:  два  пробела\n"},
        {"exit 0", 0, ""},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.behaviour);
        set_behaviour(row.behaviour);
        auto engine = launch();
        ASSERT_TRUE(engine.has_value()) << engine.error().text;
        EXPECT_EQ(wait_for_exit(engine->process.get()), row.code);
        EXPECT_EQ(log(), row.log);
    }
}

TEST_F(LaunchInJob, ExitFirstFailsTheFirstAttemptOnlyAsABusyTunAdapterDoes) {
    set_behaviour("exit-first 1 Failed to start: configure tun interface: Object already exists\n");
    auto first = launch();
    ASSERT_TRUE(first.has_value()) << first.error().text;
    EXPECT_EQ(wait_for_exit(first->process.get()), 1u);
    EXPECT_EQ(log(), "Failed to start: configure tun interface: Object already exists\n");

    auto second = launch();
    ASSERT_TRUE(second.has_value()) << second.error().text;
    ASSERT_TRUE(wait_for_start_line()) << log();
    EXPECT_TRUE(accepts_connection(kApiPort));
}

// Each live behaviour is asked to exit at the end; what the log holds then shows all that it
// did before.
TEST_F(LaunchInJob, LiveBehavioursShowWhatTheyWereToldTo) {
    struct Case {
        std::string_view behaviour;
        bool start_line;
        bool listens;
        bool valid_log;
    };
    const Case cases[] = {
        {.behaviour = "", .start_line = true, .listens = true, .valid_log = true},
        {.behaviour = "normal", .start_line = true, .listens = true, .valid_log = true},
        {.behaviour = "no-listen", .start_line = true, .listens = false, .valid_log = true},
        {.behaviour = "invalid-utf8", .start_line = true, .listens = true, .valid_log = false},
        {.behaviour = "hang", .start_line = false, .listens = false, .valid_log = true},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.behaviour.empty() ? "(no behaviour file)" : row.behaviour);
        if (row.behaviour.empty()) {
            fs::remove(install_ / L"stand-in.behaviour");
        } else {
            set_behaviour(row.behaviour);
        }
        auto engine = launch();
        ASSERT_TRUE(engine.has_value()) << engine.error().text;
        if (row.start_line) {
            ASSERT_TRUE(wait_for_start_line()) << log();
            EXPECT_EQ(accepts_connection(kApiPort), row.listens);
        }
        ASSERT_TRUE(request_exit("0"));
        EXPECT_EQ(wait_for_exit(engine->process.get()), 0u);

        const std::string text = log();
        EXPECT_EQ(has_start_line(text), row.start_line) << text;
        EXPECT_EQ(valid_utf8(text), row.valid_log) << text;
        const auto lines = lines_of(text);
        ASSERT_FALSE(lines.empty());
        EXPECT_THAT(lines.back(), HasSubstr("asked to exit with code 0"));
        if (!row.start_line) {
            EXPECT_EQ(lines.size(), 1u) << text;
        }
    }
}

TEST_F(LaunchInJob, ClosingTheJobEndsTheEngineAndTheProcessItStarted) {
    set_behaviour("child");
    auto engine = launch();
    ASSERT_TRUE(engine.has_value()) << engine.error().text;
    ASSERT_TRUE(wait_for_start_line()) << log();
    const std::string child_pid = read_file(data_ / L"stand-in.child");
    ASSERT_FALSE(child_pid.empty());
    const UniqueHandle child(::OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE,
                                           static_cast<DWORD>(std::stoul(child_pid))));
    ASSERT_TRUE(child) << last_error_text();
    watch(child.get());
    ASSERT_TRUE(running(engine->process.get()));
    ASSERT_TRUE(running(child.get()));

    // The child sleeps for minutes and does not watch its parent: only the job ends it.
    engine->job.reset();
    EXPECT_EQ(::WaitForSingleObject(engine->process.get(), kExitWaitMs), WAIT_OBJECT_0);
    EXPECT_EQ(::WaitForSingleObject(child.get(), kExitWaitMs), WAIT_OBJECT_0);
}

// The probe reports from inside the stand-in whether a handle value names an object there, and
// its name. An ordinary inheriting CreateProcess first shows that the probe finds the test's
// event when it is inherited.
TEST_F(LaunchInJob, AnInheritableHandleOfTheServiceIsNotInherited) {
    std::random_device random;
    const std::string name = "vemla-stand-in-probe-" + std::to_string(::GetCurrentProcessId()) +
                             "-" + std::to_string(random());
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    const UniqueHandle event(::CreateEventW(&inheritable, TRUE, FALSE, to_wide(name).c_str()));
    ASSERT_TRUE(event) << last_error_text();
    const std::string value = std::to_string(reinterpret_cast<std::uintptr_t>(event.get()));
    set_behaviour("exit 0\nprobe-handle " + value + "\n");

    ASSERT_EQ(run_directly(true, nullptr), 0u);
    const auto probed = seen("handle");
    ASSERT_EQ(probed.size(), 1u);
    ASSERT_THAT(probed[0], StartsWith(value + " present "));
    ASSERT_THAT(probed[0], HasSubstr(name));

    auto engine = launch();
    ASSERT_TRUE(engine.has_value()) << engine.error().text;
    ASSERT_EQ(wait_for_exit(engine->process.get()), 0u);
    // The value may name one of the stand-in's own objects, never the test's event.
    EXPECT_THAT(seen("handle"), ElementsAre(AllOf(StartsWith(value + " "), Not(HasSubstr(name)))));
}

TEST_F(LaunchInJob, AMissingProgramFailsAtCreateWithTheSystemText) {
    const auto engine = launch(engine_arguments(), install_ / L"missing.exe");
    ASSERT_FALSE(engine.has_value());
    EXPECT_EQ(engine.error().step, LaunchFailure::Step::create);
    EXPECT_EQ(engine.error().text, os_error_text(ERROR_FILE_NOT_FOUND));
}

// The other tests' stand-in runs stand for the engine only if it refuses what the engine would.
TEST_F(LaunchInJob, TheStandInRefusesOtherCommandLinesAndBrokenBehaviours) {
    struct Case {
        std::vector<std::string> arguments;  // empty: the engine's own
        std::string_view behaviour;
        std::string_view log_start;
    };
    const std::string path = utf8(document());
    const Case cases[] = {
        {{"run"}, "normal", kUsageLine},
        {{"run", "-c"}, "normal", kUsageLine},
        {{"run", "-config", path}, "normal", kUsageLine},
        {{"-c", path, "run"}, "normal", kUsageLine},
        {{"run", "-c", path, "-test"}, "normal", kUsageLine},
        {{"version"}, "normal", kUsageLine},
        {{}, "exit", "Failed to start: stand-in: stand-in.behaviour: "},
        {{}, "exit x1 text", "Failed to start: stand-in: stand-in.behaviour: "},
        {{}, "exit 4294967296", "Failed to start: stand-in: stand-in.behaviour: "},
        {{}, "normal now", "Failed to start: stand-in: stand-in.behaviour: "},
        {{}, "run-slowly", "Failed to start: stand-in: stand-in.behaviour: "},
        {{}, "normal\nhang", "Failed to start: stand-in: stand-in.behaviour: "},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.behaviour);
        SCOPED_TRACE(testing::PrintToString(row.arguments));
        set_behaviour(row.behaviour);
        auto engine = launch(row.arguments.empty() ? engine_arguments() : row.arguments);
        ASSERT_TRUE(engine.has_value()) << engine.error().text;
        EXPECT_EQ(wait_for_exit(engine->process.get()), 23u);
        EXPECT_THAT(log(), StartsWith(std::string(row.log_start)));
    }
}

}  // namespace
}  // namespace vemla::win
