// The Win32 objects behind the service's interfaces, on the real system calls.
#include <gtest/gtest.h>
#include <windows.h>

#include <aclapi.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>

#include "engine_exit.h"
#include "platform.h"
#include "test_directory.h"
#include "win/path_security.h"
#include "win/pipe_win.h"
#include "win/win_process.h"
#include "win/win_system.h"
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

// Whether the file's DACL, as the system reports it, names Everyone.
bool grants_everyone(const std::filesystem::path& path) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
        ADD_FAILURE() << "no descriptor for " << path;
        return true;
    }
    const UniqueLocal owner(descriptor);
    const auto security = security_from_descriptor(descriptor);
    if (!security || !security->dacl) {
        return true;
    }
    return std::ranges::any_of(
        *security->dacl, [](const AceRecord& ace) { return ace.sid && *ace.sid == "S-1-1-0"; });
}

constexpr const char* kEngineFileDescriptor =
    "O:SYG:SYD:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FR;;;S-1-5-21-1-2-3-1001)";

TEST_F(DataDirectory, OwnFilesAreCreatedWithTheirDescriptorAndFoundThroughTheHandle) {
    Win32System system;
    const auto path = dir_ / "active.json";
    auto created = system.open_own_file(path, kEngineFileDescriptor, Sharing::exclusive);
    ASSERT_TRUE(created.has_value()) << created.error();
    EXPECT_FALSE((*created)->found().has_value());
    ASSERT_TRUE((*created)->replace_contents("0123456789").has_value());
    created->reset();

    // Wine keeps no ACLs, but it turns the descriptor a file is created with into the file's
    // mode and reports that back: a file made with the default descriptor lets Everyone read
    // it, one made through the protected descriptor does not.
    EXPECT_FALSE(grants_everyone(path));
    write("default.txt", "x");
    EXPECT_TRUE(grants_everyone(dir_ / "default.txt"));

    auto found = system.open_own_file(path, kEngineFileDescriptor, Sharing::exclusive);
    ASSERT_TRUE(found.has_value()) << found.error();
    ASSERT_TRUE((*found)->found().has_value());
    const FoundFile& facts = *(*found)->found();
    EXPECT_FALSE(facts.is_reparse_point);
    EXPECT_EQ(facts.link_count, 1u);
    ASSERT_TRUE(facts.security.has_value()) << facts.security.error();
    ASSERT_TRUE(facts.security->owner_sid.has_value());
    EXPECT_TRUE(facts.security->owner_sid->starts_with("S-1-5-")) << *facts.security->owner_sid;
    const auto applied = (*found)->apply_descriptor();
    EXPECT_TRUE(applied.has_value()) << applied.error();
    ASSERT_TRUE((*found)->replace_contents("new").has_value());
    found->reset();
    std::ifstream in(path, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "new");
}

TEST_F(DataDirectory, OwnFileWithASecondNameOrABadDescriptorIsSeenAsSuch) {
    Win32System system;
    write("active.json", "x");
    ASSERT_TRUE(
        ::CreateHardLinkW((dir_ / "second.json").c_str(), (dir_ / "active.json").c_str(), nullptr))
        << last_error_text();
    auto linked =
        system.open_own_file(dir_ / "second.json", kEngineFileDescriptor, Sharing::shared);
    ASSERT_TRUE(linked.has_value()) << linked.error();
    ASSERT_TRUE((*linked)->found().has_value());
    EXPECT_EQ((*linked)->found()->link_count, 2u);
    linked->reset();

    const auto refused = system.open_own_file(dir_ / "engine.log", "D:(nonsense", Sharing::shared);
    ASSERT_FALSE(refused.has_value());
    EXPECT_TRUE(refused.error().find(" (os error ") != std::string::npos) << refused.error();
    EXPECT_FALSE(std::filesystem::exists(dir_ / "engine.log"));
}

TEST_F(DataDirectory, FilesAreReadFromAnOffset) {
    Win32System system;
    write("engine.log", "0123456789");
    struct Case {
        std::uint64_t offset;
        std::size_t limit;
        std::string bytes;
    };
    for (const Case& c : {Case{0, 4, "0123"}, Case{3, 4, "3456"}, Case{8, 4, "89"}, Case{10, 4, ""},
                          Case{20, 4, ""}}) {
        const auto bytes = system.read_file_from(dir_ / "engine.log", c.offset, c.limit);
        ASSERT_TRUE(bytes.has_value()) << bytes.error();
        EXPECT_EQ(*bytes, c.bytes) << c.offset;
    }
    EXPECT_FALSE(system.read_file_from(dir_ / "missing.log", 0, 4).has_value());
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
