// The recovery's Win32 system against the stand-in powershell.exe, which the fixture puts at
// <root>\System32\WindowsPowerShell\v1.0 with SystemRoot set to <root>.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "json/json_text.h"
#include "platform/clock.h"
#include "tun_recovery/recovery.h"
#include "tun_recovery/tests/powershell_arguments.h"
#include "tun_recovery/win/windows_recovery_system.h"
#include "win32/unique_object.h"

namespace vemla::tun_recovery {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string kBom = "\xEF\xBB\xBF";
constexpr const char* kAnswer =
    R"({"names":["Ethernet","VemlaVPN"],"networks":["192.168.1.20/24","172.16.0.0/13"]})";

fs::path own_directory() {
    std::wstring path(32768, L'\0');
    path.resize(::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
    return fs::path(path).parent_path();
}

std::optional<std::wstring> environment_variable(const wchar_t* name) {
    std::wstring value(32768, L'\0');
    const DWORD length =
        ::GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()));
    if (length == 0 && ::GetLastError() == ERROR_ENVVAR_NOT_FOUND) {
        return std::nullopt;
    }
    value.resize(length);
    return value;
}

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

// A process that no longer exists cannot be opened; one that is ending is given a moment.
bool has_ended(DWORD pid) {
    const win::UniqueHandle process(::OpenProcess(SYNCHRONIZE, FALSE, pid));
    return !process || ::WaitForSingleObject(process.get(), 5000) == WAIT_OBJECT_0;
}

long long milliseconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start)
        .count();
}

class StandInPowerShell : public ::testing::Test {
protected:
    void SetUp() override {
        static int next = 0;
        root_ = fs::temp_directory_path() /
                ("vemla-tun-recovery-" + std::to_string(::GetCurrentProcessId()) + "-" +
                 std::to_string(next++));
        beside_ = root_ / "System32" / "WindowsPowerShell" / "v1.0";
        // Wine reuses process ids, and a run that was killed leaves its directory behind.
        std::error_code ignored;
        fs::remove_all(root_, ignored);
        fs::create_directories(beside_);
        fs::copy_file(own_directory() / "vemla_stand_in_powershell.exe",
                      beside_ / "powershell.exe");
        saved_root_ = environment_variable(L"SystemRoot");
        set_system_root(root_.c_str());
    }

    void TearDown() override {
        set_system_root(saved_root_ ? saved_root_->c_str() : nullptr);
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }

    static void set_system_root(const wchar_t* value) {
        ASSERT_TRUE(::SetEnvironmentVariableW(L"SystemRoot", value));
    }

    void behave(const std::string& words, const std::string& answer = kAnswer) {
        std::ofstream(beside_ / "stand-in.behaviour", std::ios::binary) << words;
        std::ofstream(beside_ / "stand-in.answer", std::ios::binary) << answer;
    }

    DWORD pid_in(const char* file) {
        const std::string text = read_file(beside_ / file);
        EXPECT_FALSE(text.empty()) << file;
        return text.empty() ? 0 : static_cast<DWORD>(std::stoul(text));
    }

    std::expected<NetworkInventory, std::string> query() {
        platform::SystemClock clock;
        return query_windows_networks(*system_, clock);
    }

    fs::path root_;
    fs::path beside_;
    std::optional<std::wstring> saved_root_;
    std::unique_ptr<RecoverySystem> system_ = make_windows_recovery_system();
};

TEST_F(StandInPowerShell, ReceivesExactlyTheQueryArgumentsAndItsBomAnswerIsRead) {
    behave("answer", kBom + kBom + kAnswer + "\r\n");
    const auto inventory = query();
    ASSERT_TRUE(inventory.has_value()) << inventory.error();
    EXPECT_EQ(inventory->names, (std::vector<std::string>{"Ethernet", "VemlaVPN"}));
    ASSERT_EQ(inventory->networks.size(), 2u);
    EXPECT_EQ(inventory->networks[1], (WindowsNetwork{(172u << 24) | (16u << 16), 13}));

    const auto received = parse_json(read_file(beside_ / "stand-in.arguments"));
    ASSERT_TRUE(received.has_value()) << received.error();
    EXPECT_EQ(*received, Json(testing_support::expected_powershell_arguments()));
    EXPECT_TRUE(has_ended(pid_in("stand-in.pid")));
}

TEST_F(StandInPowerShell, ANonZeroExitCodeRefusesTheAnswer) {
    behave("answer exit 3");
    const auto inventory = query();
    ASSERT_FALSE(inventory.has_value());
    EXPECT_EQ(inventory.error(), "Windows не позволила проверить адреса адаптеров");
}

TEST_F(StandInPowerShell, SilenceTimesOutAfterThreeSecondsAndLeavesNothingRunning) {
    behave("grandchild silent");
    const auto start = std::chrono::steady_clock::now();
    const auto inventory = query();
    const long long took = milliseconds_since(start);
    std::printf("silent PowerShell given up after %lld ms\n", took);
    ASSERT_FALSE(inventory.has_value());
    EXPECT_EQ(inventory.error(),
              "Проверка адресов Windows не ответила вовремя. Повторите подключение.");
    EXPECT_GE(took, 3000);
    EXPECT_TRUE(has_ended(pid_in("stand-in.pid")));
    EXPECT_TRUE(has_ended(pid_in("stand-in.grandchild")));
}

// PowerShell answers and exits while something it started still holds its output: without the
// job, the reader would wait for that forever.
TEST_F(StandInPowerShell, AGrandchildHoldingTheOutputCannotKeepTheReaderWaiting) {
    behave("grandchild answer");
    const auto start = std::chrono::steady_clock::now();
    const auto inventory = query();
    std::printf("answer read in %lld ms with a grandchild holding the pipe\n",
                milliseconds_since(start));
    ASSERT_TRUE(inventory.has_value()) << inventory.error();
    EXPECT_EQ(inventory->names.size(), 2u);
    EXPECT_TRUE(has_ended(pid_in("stand-in.grandchild")));
}

TEST_F(StandInPowerShell, ReadsTheWholeOutputUpTo512KiBAndDrainsMore) {
    const std::string document = R"({"names":["Ethernet"],"networks":[]})";
    const std::string at_limit = document + std::string(524288 - document.size(), ' ');
    behave("answer", at_limit);
    const auto whole = query();
    ASSERT_TRUE(whole.has_value()) << whole.error();
    EXPECT_EQ(whole->names, std::vector<std::string>{"Ethernet"});

    // Far more than a pipe holds: PowerShell must not block on it and time out.
    for (const std::size_t size : {std::size_t{524289}, std::size_t{8} << 20}) {
        behave("answer", document + std::string(size - document.size(), ' '));
        const auto too_large = query();
        ASSERT_FALSE(too_large.has_value()) << size;
        EXPECT_EQ(too_large.error(), "Список адресов Windows слишком большой") << size;
    }
}

TEST_F(StandInPowerShell, NeedsTheSystemRootAndPowerShellInIt) {
    set_system_root(nullptr);
    const auto no_root = query();
    ASSERT_FALSE(no_root.has_value());
    EXPECT_EQ(no_root.error(), "Не найден каталог Windows");

    set_system_root((root_ / "System32").c_str());
    const auto no_powershell = query();
    ASSERT_FALSE(no_powershell.has_value());
    EXPECT_EQ(no_powershell.error(), "Не удалось проверить адреса Windows");
}

TEST_F(StandInPowerShell, RecoversTheAdapterOutsideWhatWindowsReports) {
    behave("answer");
    const Json configuration =
        Json::parse(R"({"inbounds":[{"type":"tun","tag":"tun-in","interface_name":"VemlaVPN",)"
                    R"("address":["172.19.0.1/30"],"mtu":1500}]})");
    platform::SystemClock clock;
    const auto recovered = recover_tun_adapter(configuration, *system_, clock);
    ASSERT_TRUE(recovered.has_value()) << recovered.error();
    const Json& tun = (*recovered)["inbounds"][0];
    const std::string name = tun["interface_name"].get<std::string>();
    const std::string address = tun["address"][0].get<std::string>();
    EXPECT_TRUE(std::regex_match(name, std::regex("VemlaVPN-[0-9a-f]{8}"))) << name;
    // 172.16.0.0/13, which Windows reported, holds 172.16 to 172.23.
    EXPECT_TRUE(std::regex_match(address, std::regex(R"(172\.(2[4-9]|3[01])\.\d+\.1/30)")))
        << address;
}

TEST(WindowsRandom, DrawsDiffer) {
    const auto system = make_windows_recovery_system();
    std::set<std::uint32_t> draws;
    for (int i = 0; i < 8; ++i) {
        const auto draw = system->random32();
        ASSERT_TRUE(draw.has_value()) << draw.error();
        draws.insert(*draw);
    }
    // Eight equal 32-bit draws, or any two, are as good as impossible from a working generator.
    EXPECT_EQ(draws.size(), 8u);
}

}  // namespace
}  // namespace vemla::tun_recovery
