// The Win32 objects behind the service's interfaces, on the real system calls.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "engine_exit.h"
#include "platform.h"
#include "test_directory.h"
#include "win/pipe_win.h"
#include "win/win_process.h"
#include "win32/unique_object.h"
#include "win32/win32_text.h"

namespace vemla::service::win {

using namespace ::vemla::win;
namespace {

bool is_open(HANDLE handle) {
    DWORD flags = 0;
    return ::GetHandleInformation(handle, &flags) != 0;
}

TEST(UniqueObject, ClosesWhenEmptiedReplacedOrDestroyed) {
    HANDLE first = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE second = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    {
        UniqueHandle owner(first);
        UniqueHandle moved(std::move(owner));
        EXPECT_FALSE(owner);
        EXPECT_TRUE(is_open(first));
        moved.reset(second);
        EXPECT_FALSE(is_open(first));
        EXPECT_TRUE(is_open(second));
    }
    EXPECT_FALSE(is_open(second));

    HANDLE kept = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    UniqueHandle owner(kept);
    EXPECT_EQ(owner.release(), kept);
    EXPECT_TRUE(is_open(kept));
    ::CloseHandle(kept);
}

TEST(OsErrorText, IsTheSystemMessageAndTheCode) {
    const std::string text = os_error_text(ERROR_PIPE_BUSY);
    EXPECT_TRUE(text.ends_with(" (os error 231)")) << text;
    EXPECT_GT(text.size(), std::string(" (os error 231)").size());
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << text;
}

std::filesystem::path system_program(const wchar_t* name) {
    wchar_t directory[MAX_PATH];
    const UINT length = ::GetSystemDirectoryW(directory, MAX_PATH);
    return std::filesystem::path(std::wstring(directory, length)) / name;
}

std::unique_ptr<Win32Process> spawn(const std::wstring& arguments, DWORD flags) {
    std::wstring command = L"\"" + system_program(L"cmd.exe").wstring() + L"\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE,
                          flags | CREATE_NO_WINDOW, nullptr, nullptr, &startup, &info)) {
        return nullptr;
    }
    return std::make_unique<Win32Process>(UniqueHandle(info.hProcess), UniqueHandle(info.hThread),
                                          info.dwProcessId);
}

TEST(Win32Process, RunningTerminatedAndReaped) {
    const auto process = spawn(L"/c exit 0", CREATE_SUSPENDED);
    ASSERT_NE(process, nullptr) << last_error_text();
    EXPECT_NE(process->pid(), 0u);
    EXPECT_FALSE(process->has_ended());
    const auto running = process->exit_code();
    ASSERT_TRUE(running.has_value()) << running.error();
    EXPECT_FALSE(running->has_value());

    ASSERT_TRUE(process->terminate(7).has_value());
    ASSERT_TRUE(process->wait(std::nullopt).has_value());
    EXPECT_TRUE(process->has_ended());
    const auto ended = process->exit_code();
    ASSERT_TRUE(ended.has_value()) << ended.error();
    EXPECT_EQ(*ended, std::optional<std::uint32_t>(7));
}

TEST(Win32Process, ExitCodeThatLooksLikeStillActiveIsAnExit) {
    const auto process = spawn(L"/c exit 259", 0);
    ASSERT_NE(process, nullptr) << last_error_text();
    ASSERT_TRUE(process->wait(std::nullopt).has_value());
    const auto ended = process->exit_code();
    ASSERT_TRUE(ended.has_value()) << ended.error();
    EXPECT_EQ(*ended, std::optional<std::uint32_t>(259));
}

TEST(Win32Process, OpeningAMissingProcessGivesTheSystemText) {
    const auto opened = open_process(0xFFFFFFF0u, SYNCHRONIZE);
    ASSERT_FALSE(opened.has_value());
    EXPECT_NE(opened.error().find(" (os error "), std::string::npos) << opened.error();
}

class DataDirectory : public testing::Test {
protected:
    void SetUp() override { dir_ = testing_support::make_test_directory("vemla-win-"); }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    void write(const char* name, const std::string& bytes) {
        std::ofstream(dir_ / name, std::ios::binary) << bytes;
    }

    std::filesystem::path dir_;
};

TEST_F(DataDirectory, OwnerSidFile) {
    struct Case {
        std::string content;
        std::string result;  // the SID, or the refusal
    };
    const Case cases[] = {
        {"S-1-5-21-3623811015-3361044348-30300820-1013\r\n",
         "S-1-5-21-3623811015-3361044348-30300820-1013"},
        {"S-1-5-18\n", "Invalid installation owner SID"},
        {"S-1-5-21-1\xFF", os_error_text(ERROR_NO_UNICODE_TRANSLATION)},
    };
    for (const Case& c : cases) {
        write("owner.sid", c.content);
        const auto sid = read_owner_sid(dir_);
        EXPECT_EQ(sid ? *sid : sid.error(), c.result) << c.content;
    }
    std::filesystem::remove(dir_ / "owner.sid");
    const auto missing = read_owner_sid(dir_);
    ASSERT_FALSE(missing.has_value());
    EXPECT_TRUE(missing.error().ends_with(" (os error 2)")) << missing.error();
}

TEST_F(DataDirectory, EngineLogIsReadWhileTheEngineHoldsIt) {
    const std::filesystem::path log = dir_ / "engine.log";
    const UniqueHandle writer(::CreateFileW(
        log.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(writer) << last_error_text();
    const std::string text = std::string(5000, '.') + "\r\nfailed to start: Ошибка\r\n";
    DWORD written = 0;
    ASSERT_TRUE(
        ::WriteFile(writer.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr));

    EXPECT_EQ(read_file_tail(log, kEngineLogTailBytes).size(), kEngineLogTailBytes);
    EXPECT_EQ(engine_exit_message(dir_, 1u),
              "Движок завершился с кодом 1: failed to start: Ошибка");
}

TEST(TokenUserSid, OfTheProcessToken) {
    HANDLE token = nullptr;
    ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token));
    const UniqueHandle owner(token);
    const auto sid = token_user_sid_text(token);
    ASSERT_TRUE(sid.has_value()) << sid.error();
    EXPECT_TRUE(sid->starts_with("S-1-5-")) << *sid;

    // A handle that is not a token is refused, with one text or the other.
    const UniqueHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    EXPECT_FALSE(token_user_sid_text(event.get()).has_value());
}

TEST(CreatePipe, RefusesAnythingButAnOwnerSidBeforeBuildingTheDescriptor) {
    // The SID is written into the descriptor's text: one that carried SDDL of its own could
    // grant the pipe to everyone.
    for (const char* sid : {"not a sid", "S-1-5-21-1)(A;;GA;;;WD", "S-1-1-0", "S-1-5-18", ""}) {
        const auto pipe = create_pipe(sid);
        ASSERT_FALSE(pipe.has_value()) << sid;
        EXPECT_EQ(pipe.error(), "Invalid installation owner SID");
    }
}

}  // namespace
}  // namespace vemla::service::win
