// The installation checks on real security descriptors and on the real file system. Wine keeps
// no owners or ACLs: every file is owned by the Wine user, so the default policy refuses every
// real file there, and only a policy that trusts the Wine user lets them pass.
#include <gtest/gtest.h>
#include <windows.h>

#include <sddl.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "install_checks.h"
#include "test_directory.h"
#include "win/path_security.h"
#include "win/pipe_win.h"
#include "win/win_process.h"
#include "win32/unique_object.h"
#include "win32/win32_text.h"

namespace vemla::service::win {

using namespace ::vemla::win;
namespace {

namespace fs = std::filesystem;

const fs::path kInstallDir = L"C:\\Program Files\\VemlaHelper";
const std::string kUntrustedWrite = "Untrusted write access: C:\\Program Files\\VemlaHelper";
constexpr const char* kUntrustedOwner = "Untrusted owner or unrestricted ACL";
constexpr const char* kUnsupported = "Unsupported ACL entry on protected path";
constexpr DWORD kModify = 0x1301BF;

std::string outcome(const std::expected<void, std::string>& result) {
    return result ? std::string() : result.error();
}

// Answers for one path with one descriptor, read by the service's own conversion.
class DescriptorInspector final : public PathInspector {
public:
    explicit DescriptorInspector(PSECURITY_DESCRIPTOR descriptor) : descriptor_(descriptor) {}

    std::expected<bool, std::string> is_reparse_point(const fs::path&) override { return false; }
    std::expected<PathSecurity, std::string> read_security(const fs::path&) override {
        return security_from_descriptor(descriptor_);
    }
    std::expected<std::vector<DirectoryEntry>, std::string> list_directory(
        const fs::path&) override {
        return std::unexpected(os_error_text(ERROR_DIRECTORY));
    }

private:
    PSECURITY_DESCRIPTOR descriptor_;
};

std::string judge(PSECURITY_DESCRIPTOR descriptor, DWORD mask) {
    DescriptorInspector inspector(descriptor);
    const InstallationChecks checks(inspector, TrustPolicy());
    return outcome(checks.check_protected_path(kInstallDir, mask));
}

TEST(DescriptorJudgement, SddlDescriptors) {
    struct Case {
        const wchar_t* sddl;
        DWORD mask;
        std::string expected;
    };
    const Case cases[] = {
        {L"O:BAD:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200a9;;;BU)", kFullWriteMask, ""},
        {L"O:BAD:(A;;FA;;;SY)(A;ID;0x1301bf;;;AU)", kFullWriteMask, kUntrustedWrite},
        {L"O:BAD:(A;;FA;;;SY)(A;OICIIO;0x1301bf;;;AU)", kFullWriteMask, ""},
        {L"O:BAD:(D;;FA;;;WD)(A;;FA;;;BA)", kFullWriteMask, ""},
        {L"O:BAD:(AU;SA;FA;;;WD)", kFullWriteMask, ""},
        {L"O:BAD:(A;;0x4;;;BU)(A;OICIIO;GA;;;CO)", kAncestorWriteMask, ""},
        {L"O:BAD:(A;;0x4;;;BU)(A;OICIIO;GA;;;CO)", kFullWriteMask, kUntrustedWrite},
        {L"O:BAD:(A;;SD;;;BU)", kAncestorWriteMask, kUntrustedWrite},
        {L"O:BAD:(A;;WO;;;BU)", kAncestorWriteMask, kUntrustedWrite},
        {L"O:BAD:(A;;GW;;;WD)", kAncestorWriteMask, kUntrustedWrite},
        {L"O:SYD:(A;;GA;;;S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464)",
         kFullWriteMask, ""},
        {L"O:S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464D:(A;;FA;;;SY)",
         kFullWriteMask, ""},
        {L"O:BUD:(A;;FA;;;SY)", kFullWriteMask, kUntrustedOwner},
        {L"O:S-1-5-21-1004336348-1177238915-682003330-1001D:(A;;FA;;;SY)", kFullWriteMask,
         kUntrustedOwner},
        {L"D:(A;;FA;;;SY)", kFullWriteMask, kUntrustedOwner},
        {L"O:BA", kFullWriteMask, kUntrustedOwner},
        {L"O:BAD:", kFullWriteMask, ""},
    };
    for (const Case& c : cases) {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(c.sddl, SDDL_REVISION_1,
                                                                           &descriptor, nullptr))
            << to_utf8(c.sddl) << ": " << last_error_text();
        const UniqueLocal owner(descriptor);
        EXPECT_EQ(judge(descriptor, c.mask), c.expected) << to_utf8(c.sddl);
    }
}

TEST(DescriptorJudgement, ConversionKeepsEveryField) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(
        L"O:BAD:(A;OICI;0x1200a9;;;BU)(D;ID;FA;;;WD)", SDDL_REVISION_1, &descriptor, nullptr));
    const UniqueLocal owner(descriptor);
    const auto security = security_from_descriptor(descriptor);
    ASSERT_TRUE(security.has_value()) << security.error();
    ASSERT_TRUE(security->owner_sid.has_value());
    EXPECT_EQ(*security->owner_sid, "S-1-5-32-544");
    ASSERT_TRUE(security->dacl.has_value());
    ASSERT_EQ(security->dacl->size(), 2u);
    const AceRecord& first = (*security->dacl)[0];
    EXPECT_EQ(first.type, kAccessAllowedAceType);
    EXPECT_EQ(first.flags, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
    EXPECT_EQ(first.mask, 0x1200A9u);
    ASSERT_TRUE(first.sid.has_value());
    EXPECT_EQ(*first.sid, "S-1-5-32-545");
    const AceRecord& second = (*security->dacl)[1];
    EXPECT_EQ(second.type, kAccessDeniedAceType);
    EXPECT_EQ(second.flags, INHERITED_ACE);
    EXPECT_EQ(second.mask, static_cast<std::uint32_t>(FILE_ALL_ACCESS));
    ASSERT_TRUE(second.sid.has_value());
    EXPECT_EQ(*second.sid, "S-1-1-0");
    EXPECT_FALSE(security->unreadable_ace.has_value());

    EXPECT_FALSE(security_from_descriptor(nullptr).has_value());
}

struct RawAce {
    BYTE type;
    BYTE flags;
    DWORD mask;
    const wchar_t* sid;
};

// An Administrators-owned descriptor with entries laid out byte by byte, for what SDDL cannot
// express; the test may then spoil the ACL it holds.
class BuiltDescriptor {
public:
    explicit BuiltDescriptor(const std::vector<RawAce>& entries) {
        std::vector<std::vector<unsigned char>> encoded;
        DWORD size = sizeof(ACL);
        for (const RawAce& entry : entries) {
            encoded.push_back(encode(entry));
            size += static_cast<DWORD>(encoded.back().size());
        }
        acl_storage_.resize(size / sizeof(DWORD));
        EXPECT_TRUE(::InitializeAcl(acl(), size, ACL_REVISION_DS)) << last_error_text();
        for (std::vector<unsigned char>& bytes : encoded) {
            EXPECT_TRUE(::AddAce(acl(), ACL_REVISION_DS, MAXDWORD, bytes.data(),
                                 static_cast<DWORD>(bytes.size())))
                << last_error_text();
        }
        EXPECT_TRUE(::InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION));
        owner_ = sid(L"BA");
        EXPECT_TRUE(::SetSecurityDescriptorOwner(&descriptor_, owner_.get(), FALSE));
        EXPECT_TRUE(::SetSecurityDescriptorDacl(&descriptor_, TRUE, acl(), FALSE));
    }

    ACL* acl() { return reinterpret_cast<ACL*>(acl_storage_.data()); }
    unsigned char* entry_bytes(DWORD index) {
        void* entry = nullptr;
        EXPECT_TRUE(::GetAce(acl(), index, &entry));
        return static_cast<unsigned char*>(entry);
    }
    PSECURITY_DESCRIPTOR get() { return &descriptor_; }

private:
    static UniqueLocal sid(const wchar_t* text) {
        PSID converted = nullptr;
        EXPECT_TRUE(::ConvertStringSidToSidW(text, &converted)) << last_error_text();
        return UniqueLocal(converted);
    }

    static std::vector<unsigned char> encode(const RawAce& entry) {
        const UniqueLocal converted = sid(entry.sid);
        const DWORD sid_size = ::GetLengthSid(converted.get());
        std::vector<unsigned char> bytes(sizeof(ACE_HEADER) + sizeof(DWORD) + sid_size);
        const ACE_HEADER header{entry.type, entry.flags, static_cast<WORD>(bytes.size())};
        std::memcpy(bytes.data(), &header, sizeof header);
        std::memcpy(bytes.data() + sizeof header, &entry.mask, sizeof entry.mask);
        std::memcpy(bytes.data() + sizeof header + sizeof entry.mask, converted.get(), sid_size);
        return bytes;
    }

    std::vector<DWORD> acl_storage_;
    SECURITY_DESCRIPTOR descriptor_{};
    UniqueLocal owner_;
};

constexpr RawAce kSystemFull{ACCESS_ALLOWED_ACE_TYPE, 0, FILE_ALL_ACCESS, L"SY"};
constexpr RawAce kEveryoneModify{ACCESS_ALLOWED_ACE_TYPE, 0, kModify, L"WD"};

TEST(DescriptorJudgement, EntriesSddlCannotExpress) {
    struct Case {
        const char* name;
        std::vector<RawAce> entries;
        std::string expected;
    };
    const Case cases[] = {
        {"an allowed callback entry", {kSystemFull, {9, 0, FILE_ALL_ACCESS, L"WD"}}, kUnsupported},
        {"a read-only callback entry for Administrators", {{9, 0, 0x1200A9, L"BA"}}, kUnsupported},
        {"an inherit-only callback entry", {{9, INHERIT_ONLY_ACE, FILE_ALL_ACCESS, L"WD"}}, ""},
        {"an untrusted write before a callback entry",
         {kEveryoneModify, {9, 0, FILE_ALL_ACCESS, L"WD"}},
         kUntrustedWrite},
    };
    for (const Case& c : cases) {
        BuiltDescriptor descriptor(c.entries);
        EXPECT_EQ(judge(descriptor.get(), kFullWriteMask), c.expected) << c.name;
    }
}

TEST(DescriptorJudgement, NullDaclIsUnrestricted) {
    SECURITY_DESCRIPTOR descriptor{};
    ASSERT_TRUE(::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION));
    PSID administrators = nullptr;
    ASSERT_TRUE(::ConvertStringSidToSidW(L"BA", &administrators));
    const UniqueLocal owner(administrators);
    ASSERT_TRUE(::SetSecurityDescriptorOwner(&descriptor, administrators, FALSE));
    ASSERT_TRUE(::SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE));
    EXPECT_EQ(judge(&descriptor, kFullWriteMask), kUntrustedOwner);
}

// Entries that do not lie inside their ACL, or hold no valid SID, are reported where the walk
// reaches them; an earlier entry's failure still comes first.
TEST(DescriptorJudgement, MalformedEntries) {
    const std::string invalid_acl = os_error_text(ERROR_INVALID_ACL);
    const std::string invalid_sid = os_error_text(ERROR_INVALID_SID);
    struct Case {
        const char* name;
        std::vector<RawAce> entries;
        void (*spoil)(BuiltDescriptor&);
        std::string expected;
    };
    const Case cases[] = {
        {"more entries counted than held",
         {kSystemFull},
         [](BuiltDescriptor& d) { d.acl()->AceCount = 2; },
         invalid_acl},
        {"more entries counted, after an untrusted write",
         {kEveryoneModify},
         [](BuiltDescriptor& d) { d.acl()->AceCount = 2; },
         kUntrustedWrite},
        {"an entry larger than its ACL",
         {kSystemFull},
         [](BuiltDescriptor& d) {
             const WORD size = static_cast<WORD>(d.acl()->AclSize + 4);
             std::memcpy(d.entry_bytes(0) + 2, &size, sizeof size);
         },
         invalid_acl},
        {"a SID claiming more sub-authorities than its entry holds",
         {kSystemFull},
         [](BuiltDescriptor& d) { d.entry_bytes(0)[9] = 15; },
         invalid_acl},
        {"a SID of an unknown revision granting write",
         {kSystemFull},
         [](BuiltDescriptor& d) { d.entry_bytes(0)[8] = 2; },
         invalid_sid},
        {"a SID of an unknown revision granting read",
         {{ACCESS_ALLOWED_ACE_TYPE, 0, 0x1200A9, L"SY"}},
         [](BuiltDescriptor& d) { d.entry_bytes(0)[8] = 2; },
         ""},
    };
    for (const Case& c : cases) {
        BuiltDescriptor descriptor(c.entries);
        c.spoil(descriptor);
        EXPECT_EQ(judge(descriptor.get(), kFullWriteMask), c.expected) << c.name;
    }
}

TEST(InstallPaths, FromTheRegistry) {
    const auto paths = resolve_install_paths();
    ASSERT_TRUE(paths.has_value()) << paths.error();
    // The same folders as the environment of every process names them.
    const auto folder = [](const wchar_t* variable) {
        wchar_t value[MAX_PATH] = {};
        const DWORD length = ::GetEnvironmentVariableW(variable, value, MAX_PATH);
        return fs::path(std::wstring(value, length));
    };
    EXPECT_EQ(paths->install_dir.wstring(), (folder(L"ProgramFiles") / L"VemlaHelper").wstring());
    EXPECT_EQ(paths->data_dir.wstring(), (folder(L"ProgramData") / L"VemlaHelper").wstring());
    EXPECT_TRUE(paths->install_dir.is_absolute());
    EXPECT_TRUE(paths->data_dir.is_absolute());
}

std::string own_sid() {
    HANDLE token = nullptr;
    EXPECT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token));
    const UniqueHandle token_owner(token);
    const auto sid = token_user_sid_text(token);
    EXPECT_TRUE(sid.has_value()) << sid.error();
    return sid.value_or("");
}

// A small installation of the test's own: two files, a directory with one file, a data
// directory with one file.
struct RealInstallation {
    fs::path root = testing_support::make_test_directory("vemla-install-");
    fs::path install = root / "install";
    fs::path data = root / "data";
    fs::path rules = install / "rules";

    RealInstallation() {
        fs::create_directories(rules);
        fs::create_directories(data);
        for (const fs::path& file : {install / "xray.exe", install / "wintun.dll",
                                     rules / "geoip-ru.json", data / "owner.sid"}) {
            std::ofstream(file) << "x";
        }
    }
    ~RealInstallation() {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }
};

TEST(Win32PathInspector, ReadsTheRealFileSystem) {
    RealInstallation installation;
    Win32PathInspector inspector;
    for (const fs::path& path : {installation.install, installation.rules / "geoip-ru.json"}) {
        const auto reparse = inspector.is_reparse_point(path);
        ASSERT_TRUE(reparse.has_value()) << reparse.error();
        EXPECT_FALSE(*reparse) << path.string();
    }
    const auto missing = inspector.is_reparse_point(installation.root / "missing");
    ASSERT_FALSE(missing.has_value());
    EXPECT_EQ(missing.error(), os_error_text(ERROR_FILE_NOT_FOUND));

    auto entries = inspector.list_directory(installation.install);
    ASSERT_TRUE(entries.has_value()) << entries.error();
    std::ranges::sort(*entries, {}, &DirectoryEntry::path);
    ASSERT_EQ(entries->size(), 3u);
    EXPECT_EQ((*entries)[0].path, installation.rules);
    EXPECT_TRUE((*entries)[0].is_directory);
    EXPECT_EQ((*entries)[1].path, installation.install / "wintun.dll");
    EXPECT_FALSE((*entries)[1].is_directory);
    EXPECT_EQ((*entries)[2].path, installation.install / "xray.exe");
    EXPECT_FALSE((*entries)[2].is_directory);

    fs::create_directories(installation.root / "empty");
    const auto empty = inspector.list_directory(installation.root / "empty");
    ASSERT_TRUE(empty.has_value()) << empty.error();
    EXPECT_TRUE(empty->empty());

    const auto absent = inspector.list_directory(installation.root / "missing");
    ASSERT_FALSE(absent.has_value());
    EXPECT_EQ(absent.error(), os_error_text(ERROR_PATH_NOT_FOUND));
    const auto file = inspector.list_directory(installation.install / "xray.exe");
    ASSERT_FALSE(file.has_value());
    EXPECT_TRUE(file.error().ends_with(")")) << file.error();

    const auto security = inspector.read_security(installation.install / "xray.exe");
    ASSERT_TRUE(security.has_value()) << security.error();
    ASSERT_TRUE(security->owner_sid.has_value()) << security->owner_sid.error();
    EXPECT_EQ(*security->owner_sid, own_sid());
    EXPECT_FALSE(inspector.read_security(installation.root / "missing").has_value());
}

TEST(Win32PathInspector, WineFilesPassOnlyWhenTheWineUserIsTrusted) {
    RealInstallation installation;
    Win32PathInspector inspector;
    const InstallationChecks standard(inspector, TrustPolicy());
    const InstallationChecks widened(inspector, TrustPolicy().also_trusting(own_sid()));

    for (const fs::path& path : {installation.install, installation.rules / "geoip-ru.json",
                                 installation.data / "owner.sid"}) {
        EXPECT_EQ(outcome(standard.check_protected_path(path, kFullWriteMask)), kUntrustedOwner)
            << path.string();
        EXPECT_EQ(outcome(widened.check_protected_path(path, kFullWriteMask)), "") << path.string();
    }
    EXPECT_EQ(outcome(standard.check_protected_chain(installation.install)), kUntrustedOwner);
    EXPECT_EQ(outcome(widened.check_protected_chain(installation.install)), "");
    EXPECT_EQ(outcome(standard.check_installation_entries(installation.install, installation.data)),
              kUntrustedOwner);
    EXPECT_EQ(outcome(widened.check_installation_entries(installation.install, installation.data)),
              "");

    const fs::path missing = installation.root / "missing";
    EXPECT_EQ(outcome(widened.check_protected_path(missing, kFullWriteMask)),
              missing.string() + ": " + os_error_text(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(outcome(widened.check_installation_entries(missing, installation.data)),
              os_error_text(ERROR_PATH_NOT_FOUND));
}

}  // namespace
}  // namespace vemla::service::win
