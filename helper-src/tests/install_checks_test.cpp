// The judgement of the installation checks, over a file system held as data.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fakes.h"
#include "install_checks.h"

namespace vemla::service {
namespace {

namespace fs = std::filesystem;
using testing_support::kRoot;

constexpr const char* kSystem = "S-1-5-18";
constexpr const char* kAdministrators = "S-1-5-32-544";
constexpr const char* kTrustedInstaller =
    "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
constexpr const char* kUsers = "S-1-5-32-545";
constexpr const char* kAuthenticatedUsers = "S-1-5-11";
constexpr const char* kEveryone = "S-1-1-0";
constexpr const char* kSomeUser = "S-1-5-21-1004336348-1177238915-682003330-1001";

// Access rights as the Windows headers define them.
constexpr std::uint32_t kFileAllAccess = 0x001F01FF;
constexpr std::uint32_t kReadAndExecute = 0x001200A9;
constexpr std::uint32_t kModify = 0x001301BF;
constexpr std::uint32_t kCreateFolders = 0x00000004;  // FILE_ADD_SUBDIRECTORY, FILE_APPEND_DATA
constexpr std::uint32_t kGenericAll = 0x10000000;

constexpr std::uint8_t kInheritedFlag = 0x10;
constexpr std::uint8_t kInheritOnlyContainerObject = 0x0B;  // OI CI IO

constexpr const char* kInvalidSid = "The security ID structure is invalid. (os error 1337)";
constexpr const char* kInvalidAcl =
    "The access control list (ACL) structure is invalid. (os error 1336)";
constexpr const char* kNotFound = "The system cannot find the file specified. (os error 2)";
constexpr const char* kAccessDenied = "Access is denied. (os error 5)";

AceRecord ace(std::uint8_t type, std::uint8_t flags, std::uint32_t mask,
              std::expected<std::string, std::string> sid) {
    return AceRecord{type, flags, mask, std::move(sid)};
}

AceRecord allow(std::string sid, std::uint32_t mask, std::uint8_t flags = 0) {
    return ace(kAccessAllowedAceType, flags, mask, std::move(sid));
}

PathSecurity owned(std::string owner, std::vector<AceRecord> dacl) {
    return PathSecurity{std::move(owner), std::move(dacl), std::nullopt};
}

// What a default installation directory looks like.
PathSecurity protected_security() {
    return owned(kAdministrators,
                 {allow(kSystem, kFileAllAccess), allow(kAdministrators, kFileAllAccess),
                  allow(kUsers, kReadAndExecute)});
}

struct FakeNode {
    std::expected<bool, std::string> reparse = false;
    std::expected<PathSecurity, std::string> security = protected_security();
    std::expected<std::vector<DirectoryEntry>, std::string> listing =
        std::unexpected("The directory name is invalid. (os error 267)");
};

// Paths it was not told about do not exist. Every question it is asked is recorded.
class FakeInspector final : public PathInspector {
public:
    FakeNode& operator[](const fs::path& path) { return nodes_[path]; }

    void directory(const fs::path& path, std::vector<DirectoryEntry> entries) {
        for (const DirectoryEntry& entry : entries) {
            nodes_[entry.path];
        }
        nodes_[path].listing = std::move(entries);
    }

    std::expected<bool, std::string> is_reparse_point(const fs::path& path) override {
        calls.push_back("attributes " + path.string());
        const auto node = nodes_.find(path);
        if (node == nodes_.end()) {
            return std::unexpected(kNotFound);
        }
        return node->second.reparse;
    }

    std::expected<PathSecurity, std::string> read_security(const fs::path& path) override {
        calls.push_back("security " + path.string());
        const auto node = nodes_.find(path);
        if (node == nodes_.end()) {
            return std::unexpected(kNotFound);
        }
        return node->second.security;
    }

    std::expected<std::vector<DirectoryEntry>, std::string> list_directory(
        const fs::path& path) override {
        calls.push_back("list " + path.string());
        const auto node = nodes_.find(path);
        if (node == nodes_.end()) {
            return std::unexpected(kNotFound);
        }
        return node->second.listing;
    }

    std::vector<std::string> calls;

private:
    std::map<fs::path, FakeNode> nodes_;
};

// Success is the empty text.
std::string outcome(const std::expected<void, std::string>& result) {
    return result ? std::string() : result.error();
}

const fs::path kInstallDir = kRoot / "Program Files" / "VemlaHelper";
const fs::path kDataDir = kRoot / "ProgramData" / "VemlaHelper";
const std::string kUntrustedWriteOnInstall = "Untrusted write access: " + kInstallDir.string();

struct SecurityCase {
    const char* name;
    PathSecurity security;
    std::uint32_t mask;
    std::string expected;
};

void expect_cases(const std::vector<SecurityCase>& cases, const TrustPolicy& policy) {
    for (const SecurityCase& c : cases) {
        FakeInspector inspector;
        inspector[kInstallDir].security = c.security;
        const InstallationChecks checks(inspector, policy);
        EXPECT_EQ(outcome(checks.check_protected_path(kInstallDir, c.mask)), c.expected) << c.name;
    }
}

TEST(ProtectedPath, JudgesOwnerAndWriteAccess) {
    const auto admin_owned = [](std::vector<AceRecord> extra) {
        PathSecurity security = protected_security();
        security.dacl->insert(security.dacl->end(), extra.begin(), extra.end());
        return security;
    };
    expect_cases(
        {
            {"Users may read and execute", protected_security(), kFullWriteMask, ""},
            {"every trusted principal may do everything",
             owned(kTrustedInstaller,
                   {allow(kSystem, kGenericAll), allow(kAdministrators, kGenericAll),
                    allow(kTrustedInstaller, kFileAllAccess)}),
             kFullWriteMask, ""},
            {"owned by LocalSystem", owned(kSystem, {}), kFullWriteMask, ""},
            {"an empty DACL leaves only the owner", owned(kAdministrators, {}), kFullWriteMask, ""},
            {"Authenticated Users may modify", admin_owned({allow(kAuthenticatedUsers, kModify)}),
             kFullWriteMask, kUntrustedWriteOnInstall},
            {"an inherited modify entry counts as well",
             admin_owned({allow(kAuthenticatedUsers, kModify, kInheritedFlag)}), kFullWriteMask,
             kUntrustedWriteOnInstall},
            {"an inherit-only modify entry is for the children",
             admin_owned({allow(kAuthenticatedUsers, kModify, kInheritOnlyContainerObject)}),
             kFullWriteMask, ""},
            {"a deny entry for Everyone",
             admin_owned({ace(kAccessDeniedAceType, 0, kFileAllAccess, kEveryone)}), kFullWriteMask,
             ""},
            {"audit and alarm entries",
             admin_owned({ace(kSystemAuditAceType, 0x40, kFileAllAccess, kEveryone),
                          ace(kSystemAlarmAceType, 0x80, kFileAllAccess, kEveryone)}),
             kFullWriteMask, ""},
            {"create folders on an ancestor", admin_owned({allow(kUsers, kCreateFolders)}),
             kAncestorWriteMask, ""},
            {"create folders on the path itself", admin_owned({allow(kUsers, kCreateFolders)}),
             kFullWriteMask, kUntrustedWriteOnInstall},
            {"a file owned by a user, however tight its DACL",
             owned(kSomeUser, {allow(kSystem, kFileAllAccess)}), kFullWriteMask,
             "Untrusted owner or unrestricted ACL"},
            {"a descriptor without an owner", owned("", {allow(kSystem, kFileAllAccess)}),
             kFullWriteMask, "Untrusted owner or unrestricted ACL"},
            {"a null DACL", PathSecurity{kAdministrators, std::nullopt, std::nullopt},
             kFullWriteMask, "Untrusted owner or unrestricted ACL"},
            {"an owner that cannot be converted",
             PathSecurity{std::unexpected(kInvalidSid), std::vector<AceRecord>{}, std::nullopt},
             kFullWriteMask, kInvalidSid},
            {"the owner is judged before the DACL",
             owned(kSomeUser, {ace(9, 0, kFileAllAccess, kEveryone)}), kFullWriteMask,
             "Untrusted owner or unrestricted ACL"},
        },
        TrustPolicy());
}

TEST(ProtectedPath, RefusesEntryTypesItCannotJudge) {
    struct TypeCase {
        std::uint8_t type;
        const char* name;
    };
    const TypeCase types[] = {{4, "compound"},         {5, "allowed object"},
                              {6, "denied object"},    {9, "allowed callback"},
                              {10, "denied callback"}, {11, "allowed callback object"},
                              {17, "mandatory label"}};
    for (const TypeCase& t : types) {
        // Whatever the mask and principal: a callback entry for Administrators is refused too.
        for (const std::uint32_t mask : {kFileAllAccess, kReadAndExecute}) {
            PathSecurity security = protected_security();
            security.dacl->push_back(ace(t.type, 0, mask, kAdministrators));
            expect_cases(
                {{t.name, security, kFullWriteMask, "Unsupported ACL entry on protected path"}},
                TrustPolicy());
            security.dacl->back().flags = kInheritOnlyContainerObject;
            expect_cases({{t.name, security, kFullWriteMask, ""}}, TrustPolicy());
        }
    }
}

// Each right the full mask names, granted alone to Users, fails; the others pass. The ancestor
// mask leaves out the rights that only create entries or change data and attributes.
TEST(ProtectedPath, EveryWriteRightCounts) {
    struct Right {
        const char* name;
        std::uint32_t bit;
        bool full;
        bool ancestor;
    };
    const Right rights[] = {
        {"FILE_READ_DATA", 0x1, false, false},
        {"FILE_WRITE_DATA", 0x2, true, false},
        {"FILE_APPEND_DATA", 0x4, true, false},
        {"FILE_READ_EA", 0x8, false, false},
        {"FILE_WRITE_EA", 0x10, true, false},
        {"FILE_EXECUTE", 0x20, false, false},
        {"FILE_DELETE_CHILD", 0x40, true, true},
        {"FILE_READ_ATTRIBUTES", 0x80, false, false},
        {"FILE_WRITE_ATTRIBUTES", 0x100, true, false},
        {"DELETE", 0x10000, true, true},
        {"READ_CONTROL", 0x20000, false, false},
        {"WRITE_DAC", 0x40000, true, true},
        {"WRITE_OWNER", 0x80000, true, true},
        {"SYNCHRONIZE", 0x100000, false, false},
        {"ACCESS_SYSTEM_SECURITY", 0x1000000, false, false},
        {"GENERIC_ALL", 0x10000000, true, true},
        {"GENERIC_EXECUTE", 0x20000000, false, false},
        {"GENERIC_WRITE", 0x40000000, true, true},
        {"GENERIC_READ", 0x80000000, false, false},
    };
    for (const Right& right : rights) {
        PathSecurity security = protected_security();
        security.dacl->push_back(allow(kUsers, right.bit));
        expect_cases(
            {{right.name, security, kFullWriteMask, right.full ? kUntrustedWriteOnInstall : ""},
             {right.name, security, kAncestorWriteMask,
              right.ancestor ? kUntrustedWriteOnInstall : ""}},
            TrustPolicy());
    }
}

// The entries are judged in order, and the first that fails decides the message.
TEST(ProtectedPath, FirstFailingEntryDecides) {
    const AceRecord untrusted_write = allow(kEveryone, kModify);
    const AceRecord unconvertible_write = allow(kSystem, kModify);
    const AceRecord unsupported = ace(9, 0, kReadAndExecute, kEveryone);
    auto with_sid_error = [](AceRecord record) {
        record.sid = std::unexpected(kInvalidSid);
        return record;
    };
    const auto dacl = [](std::vector<AceRecord> entries,
                         std::optional<std::string> unreadable = std::nullopt) {
        return PathSecurity{kAdministrators, std::move(entries), std::move(unreadable)};
    };
    expect_cases(
        {
            {"untrusted write before an unconvertible SID",
             dacl({untrusted_write, with_sid_error(unconvertible_write)}), kFullWriteMask,
             kUntrustedWriteOnInstall},
            {"unconvertible SID before an untrusted write",
             dacl({with_sid_error(unconvertible_write), untrusted_write}), kFullWriteMask,
             kInvalidSid},
            {"an unconvertible SID matters only where write access needs it",
             dacl({with_sid_error(allow(kSystem, kReadAndExecute)),
                   with_sid_error(ace(kAccessDeniedAceType, 0, kFileAllAccess, kEveryone)),
                   with_sid_error(allow(kSystem, kModify, kInheritOnlyContainerObject))}),
             kFullWriteMask, ""},
            {"unsupported before untrusted write", dacl({unsupported, untrusted_write}),
             kFullWriteMask, "Unsupported ACL entry on protected path"},
            {"untrusted write before unsupported", dacl({untrusted_write, unsupported}),
             kFullWriteMask, kUntrustedWriteOnInstall},
            {"an unreadable entry after trusted ones",
             dacl({allow(kSystem, kFileAllAccess)}, kInvalidAcl), kFullWriteMask, kInvalidAcl},
            {"an unreadable entry after an untrusted write", dacl({untrusted_write}, kInvalidAcl),
             kFullWriteMask, kUntrustedWriteOnInstall},
            {"an unreadable entry after an unsupported one", dacl({unsupported}, kInvalidAcl),
             kFullWriteMask, "Unsupported ACL entry on protected path"},
            {"an unreadable first entry", dacl({}, kInvalidAcl), kFullWriteMask, kInvalidAcl},
        },
        TrustPolicy());
}

TEST(ProtectedPath, AttributesComeFirst) {
    struct Case {
        const char* name;
        FakeNode node;
        std::string expected;
        std::vector<std::string> calls;
    };
    const std::string attributes = "attributes " + kInstallDir.string();
    const std::string security = "security " + kInstallDir.string();
    const Case cases[] = {
        {"protected", FakeNode{}, "", {attributes, security}},
        {"a reparse point, however protected",
         FakeNode{.reparse = true},
         "Reparse points are forbidden",
         {attributes}},
        {"unreadable attributes",
         FakeNode{.reparse = std::unexpected(kAccessDenied)},
         kInstallDir.string() + ": " + kAccessDenied,
         {attributes}},
        {"an unreadable descriptor",
         FakeNode{.security = std::unexpected(kAccessDenied)},
         "Cannot inspect protected file ACL",
         {attributes, security}},
        {"a reparse point that is also unprotected",
         FakeNode{.reparse = true, .security = PathSecurity{kSomeUser, std::nullopt, std::nullopt}},
         "Reparse points are forbidden",
         {attributes}},
    };
    for (const Case& c : cases) {
        FakeInspector inspector;
        inspector[kInstallDir] = c.node;
        const InstallationChecks checks(inspector, TrustPolicy());
        EXPECT_EQ(outcome(checks.check_protected_path(kInstallDir, kFullWriteMask)), c.expected)
            << c.name;
        EXPECT_EQ(inspector.calls, c.calls) << c.name;
    }
    FakeInspector missing;
    const InstallationChecks checks(missing, TrustPolicy());
    EXPECT_EQ(outcome(checks.check_protected_path(kInstallDir, kFullWriteMask)),
              kInstallDir.string() + ": " + kNotFound);
}

TEST(TrustPolicy, DefaultsToTheThreePrincipalsAndTestsMayAddOne) {
    const TrustPolicy standard;
    for (const char* sid : {kSystem, kAdministrators, kTrustedInstaller}) {
        EXPECT_TRUE(standard.trusts(sid)) << sid;
    }
    // Compared as text exactly: no other spelling, prefix or case of a trusted SID.
    for (const char* sid :
         {kUsers, kEveryone, kSomeUser, "s-1-5-18", "S-1-5-18 ", "S-1-5-1", "S-1-5-32-5440", ""}) {
        EXPECT_FALSE(standard.trusts(sid)) << sid;
    }
    const TrustPolicy widened = standard.also_trusting(kSomeUser);
    EXPECT_TRUE(widened.trusts(kSomeUser));
    EXPECT_TRUE(widened.trusts(kAdministrators));
    EXPECT_FALSE(standard.trusts(kSomeUser));

    expect_cases(
        {{"a user's own file under a policy that trusts the user",
          owned(kSomeUser, {allow(kSomeUser, kFileAllAccess), allow(kEveryone, kReadAndExecute)}),
          kFullWriteMask, ""}},
        widened);
}

TEST(TrustPolicy, AddsOnlyTextThatIsASid) {
    const std::string sixteen_sub_authorities = "S-1-5-21-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15";
    const std::string fifteen_sub_authorities = "S-1-5-21-1-2-3-4-5-6-7-8-9-10-11-12-13-14";
    for (const std::string& text : std::vector<std::string>{
             "",
             "S-1-",
             "S-1-5",
             "S-1-5-",
             "S-1-5--18",
             "S-1-5-21-1-2-3-1001-",
             "S-1-5-21-1-2-3-x",
             "S-1-5-21-1-2-3-01",
             "S-1-5-21-1-2-3-4294967296",
             "S-1-5-21-1-2-3-18446744073709551617",  // wraps to 1 in 64 bits
             sixteen_sub_authorities,
             "s-1-5-21-1-2-3-1001",
             "S-2-5-21-1-2-3-1001",
             " S-1-5-21-1-2-3-1001",
             "S-1-5-21-1-2-3-1001 ",
             std::string("S-1-5-21-1-2-3-1001\0", 20),
         }) {
        const TrustPolicy policy = TrustPolicy().also_trusting(text);
        EXPECT_FALSE(policy.trusts(text)) << "'" << text << "'";
        EXPECT_TRUE(policy.trusts(kSystem)) << "'" << text << "'";
    }
    for (const std::string& text : std::vector<std::string>{
             kSomeUser,
             "S-1-5-21-0-0-0-1000",  // the user Wine runs as
             "S-1-0-0",
             "S-1-5-21-4294967295-1-2-3",
             fifteen_sub_authorities,
         }) {
        EXPECT_TRUE(TrustPolicy().also_trusting(text).trusts(text)) << text;
    }
}

// A descriptor that names no owner comes to the judgement as an empty owner text; no policy,
// however widened, may take that for a trusted principal.
TEST(ProtectedPath, EmptyPrincipalIsNeverTrusted) {
    const TrustPolicy widened = TrustPolicy().also_trusting("");
    EXPECT_FALSE(widened.trusts(""));
    expect_cases(
        {
            {"a descriptor without an owner", owned("", {allow(kSystem, kFileAllAccess)}),
             kFullWriteMask, "Untrusted owner or unrestricted ACL"},
            {"a write entry with an empty SID",
             owned(kAdministrators, {allow(kSystem, kFileAllAccess), allow("", kModify)}),
             kFullWriteMask, kUntrustedWriteOnInstall},
        },
        widened);
}

TEST(PathChain, RootFirstAndNormalised) {
    const fs::path program_files = kRoot / "Program Files";
    struct Case {
        fs::path input;
        std::vector<fs::path> chain;
    };
    const Case cases[] = {
        {kInstallDir, {kRoot, program_files, kInstallDir}},
        {kInstallDir / "", {kRoot, program_files, kInstallDir}},
        {program_files / "." / "VemlaHelper", {kRoot, program_files, kInstallDir}},
        {kRoot / "Windows" / ".." / "Program Files" / "VemlaHelper",
         {kRoot, program_files, kInstallDir}},
        {kRoot, {kRoot}},
    };
    for (const Case& c : cases) {
        const std::vector<fs::path> chain = path_chain(c.input);
        ASSERT_EQ(chain.size(), c.chain.size()) << c.input.string();
        for (std::size_t i = 0; i < chain.size(); ++i) {
            EXPECT_EQ(chain[i].string(), c.chain[i].string()) << c.input.string();
        }
    }
}

TEST(ProtectedChain, ChecksFromTheRootDownAndStopsAtTheFirstFailure) {
    const fs::path program_files = kRoot / "Program Files";
    FakeInspector inspector;
    inspector[kRoot];
    inspector[program_files];
    inspector[kInstallDir];
    const InstallationChecks checks(inspector, TrustPolicy());
    ASSERT_EQ(outcome(checks.check_protected_chain(kInstallDir)), "");
    EXPECT_EQ(inspector.calls,
              (std::vector<std::string>{
                  "attributes " + kRoot.string(), "security " + kRoot.string(),
                  "attributes " + program_files.string(), "security " + program_files.string(),
                  "attributes " + kInstallDir.string(), "security " + kInstallDir.string()}));

    inspector.calls.clear();
    inspector[program_files].security = owned(kSomeUser, {});
    inspector[kInstallDir].reparse = true;
    EXPECT_EQ(outcome(checks.check_protected_chain(kInstallDir)),
              "Untrusted owner or unrestricted ACL");
    EXPECT_EQ(inspector.calls.back(), "security " + program_files.string());
}

// A drive root where every user may create folders is a safe ancestor, but the same grant on
// the installation directory is not.
TEST(ProtectedChain, AncestorsMayLetUsersCreateEntries) {
    PathSecurity creatable = protected_security();
    creatable.dacl->push_back(allow(kAuthenticatedUsers, kCreateFolders));
    creatable.dacl->push_back(allow(kAuthenticatedUsers, kModify, kInheritOnlyContainerObject));
    FakeInspector inspector;
    inspector[kRoot].security = creatable;
    inspector[kRoot / "Program Files"];
    inspector[kInstallDir];
    const InstallationChecks checks(inspector, TrustPolicy());
    EXPECT_EQ(outcome(checks.check_protected_chain(kInstallDir)), "");

    inspector[kInstallDir].security = creatable;
    EXPECT_EQ(outcome(checks.check_protected_chain(kInstallDir)), kUntrustedWriteOnInstall);

    // Deleting children is an ancestor right too.
    inspector[kInstallDir].security = protected_security();
    inspector[kRoot / "Program Files"].security.value().dacl->push_back(allow(kUsers, 0x40));
    EXPECT_EQ(outcome(checks.check_protected_chain(kInstallDir)),
              "Untrusted write access: " + (kRoot / "Program Files").string());
}

TEST(ProtectedChain, RefusesARelativePath) {
    FakeInspector inspector;
    inspector["VemlaHelper"];
    const InstallationChecks checks(inspector, TrustPolicy());
    EXPECT_EQ(outcome(checks.check_protected_chain("VemlaHelper")),
              "Protected path is not absolute: VemlaHelper");
    EXPECT_EQ(outcome(checks.check_protected_chain("")), "Protected path is not absolute: ");
    EXPECT_TRUE(inspector.calls.empty());
}

DirectoryEntry file(const fs::path& path) {
    return {path, false};
}

DirectoryEntry directory(const fs::path& path) {
    return {path, true};
}

// An installation with a rules directory, a directory inside that one and a data directory
// with a directory of its own. The listings are out of name order.
struct Installation {
    fs::path rules = kInstallDir / "rules";
    fs::path nested = rules / "nested";
    fs::path geoip = rules / "geoip-ru.json";
    fs::path xray = kInstallDir / "xray.exe";
    fs::path link = kInstallDir / "linked";
    fs::path data_sub = kDataDir / "old";
    fs::path owner_sid = kDataDir / "owner.sid";
    FakeInspector inspector;

    Installation() {
        inspector.directory(kInstallDir, {file(xray), directory(rules)});
        inspector.directory(rules, {directory(nested), file(geoip)});
        // Two levels down and inside the data directory's own directory nothing is examined.
        inspector.directory(nested, {file(nested / "stray.json")});
        inspector[nested / "stray.json"].security = owned(kSomeUser, {});
        inspector.directory(kDataDir, {directory(data_sub), file(owner_sid)});
        inspector.directory(data_sub, {file(data_sub / "stray.json")});
        inspector[data_sub / "stray.json"].security = owned(kSomeUser, {});
    }

    std::string check() {
        inspector.calls.clear();
        const InstallationChecks checks(inspector, TrustPolicy());
        return outcome(checks.check_installation_entries(kInstallDir, kDataDir));
    }
};

std::vector<std::string> inspected(const fs::path& path) {
    return {"attributes " + path.string(), "security " + path.string()};
}

TEST(InstallationEntries, OneLevelDownInTheInstallationOnly) {
    Installation installation;
    ASSERT_EQ(installation.check(), "");
    std::vector<std::string> expected{"list " + kInstallDir.string()};
    for (const auto& step : {inspected(installation.rules),
                             {"list " + installation.rules.string()},
                             inspected(installation.geoip),
                             inspected(installation.nested),
                             inspected(installation.xray),
                             {"list " + kDataDir.string()},
                             inspected(installation.data_sub),
                             inspected(installation.owner_sid)}) {
        expected.insert(expected.end(), step.begin(), step.end());
    }
    EXPECT_EQ(installation.inspector.calls, expected);
}

TEST(InstallationEntries, FirstFailureStopsTheWalk) {
    struct Case {
        const char* name;
        void (*spoil)(Installation&);
        std::string expected;
        std::string never_asked;
    };
    const Case cases[] = {
        {"an unprotected file one level down",
         [](Installation& i) { i.inspector[i.geoip].security = owned(kSomeUser, {}); },
         "Untrusted owner or unrestricted ACL",
         "attributes " + (kInstallDir / "xray.exe").string()},
        {"an unprotected directory is not listed",
         [](Installation& i) {
             i.inspector[i.rules].security.value().dacl->push_back(allow(kUsers, kModify));
         },
         "Untrusted write access: " + (kInstallDir / "rules").string(),
         "list " + (kInstallDir / "rules").string()},
        {"a link to a directory is refused, never listed",
         [](Installation& i) {
             i.inspector.directory(kInstallDir, {file(i.xray), directory(i.rules), file(i.link)});
             i.inspector[i.link].reparse = true;
             i.inspector[i.link].listing = std::vector<DirectoryEntry>{};
         },
         "Reparse points are forbidden", "list " + (kInstallDir / "linked").string()},
        {"the installation cannot be listed",
         [](Installation& i) { i.inspector[kInstallDir].listing = std::unexpected(kAccessDenied); },
         kAccessDenied, "list " + kDataDir.string()},
        {"a directory inside it cannot be listed",
         [](Installation& i) { i.inspector[i.rules].listing = std::unexpected(kAccessDenied); },
         kAccessDenied, "attributes " + (kInstallDir / "xray.exe").string()},
        {"the data directory cannot be listed",
         [](Installation& i) { i.inspector[kDataDir].listing = std::unexpected(kNotFound); },
         kNotFound, ""},
        {"an unprotected data file",
         [](Installation& i) {
             i.inspector[i.owner_sid].security =
                 PathSecurity{kAdministrators, std::nullopt, std::nullopt};
         },
         "Untrusted owner or unrestricted ACL", ""},
        {"entries are judged in name order",
         [](Installation& i) {
             i.inspector[i.xray].reparse = true;
             i.inspector[i.rules].security = owned(kSomeUser, {});
         },
         "Untrusted owner or unrestricted ACL",
         "attributes " + (kInstallDir / "xray.exe").string()},
    };
    for (const Case& c : cases) {
        Installation installation;
        c.spoil(installation);
        EXPECT_EQ(installation.check(), c.expected) << c.name;
        if (!c.never_asked.empty()) {
            EXPECT_EQ(std::ranges::count(installation.inspector.calls, c.never_asked), 0) << c.name;
        }
    }
}

TEST(ExactServicePath, QuotedExecutableOnlyAsciiCaseFolded) {
    const fs::path executable = kInstallDir / "vemla-tun-helper.exe";
    const std::string text = executable.string();
    std::string upper = text;
    for (char& c : upper) {
        c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    }
    struct Case {
        std::string configured;
        bool passes;
    };
    const Case cases[] = {
        {"\"" + text + "\"", true},
        {"\"" + upper + "\"", true},
        {text, false},
        {"\"" + text, false},
        {text + "\"", false},
        {"\"" + text + "\" --service", false},
        {"\"" + text + "\" ", false},
        {" \"" + text + "\"", false},
        {"\"" + (kInstallDir / "vemla-tun-helper.ex").string() + "\"", false},
        {"\"" + (kInstallDir / "vemla_tun_helper.exe").string() + "\"", false},
        {"", false},
        {"\"\"", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(
            outcome(check_exact_service_path(c.configured, executable)),
            c.passes ? "" : "Helper service executable is not the exact protected installation")
            << c.configured;
    }
}

std::string bytes(std::u8string_view text) {
    return std::string(text.begin(), text.end());
}

TEST(ExactServicePath, OtherLettersCompareExactly) {
    const fs::path executable = kRoot / fs::path(u8"программы") / "vemla-tun-helper.exe";
    const std::string separator(1, static_cast<char>(fs::path::preferred_separator));
    const auto quoted = [&](std::u8string_view folder) {
        return "\"" + kRoot.string() + bytes(folder) + separator + "vemla-tun-helper.exe\"";
    };
    EXPECT_TRUE(check_exact_service_path(quoted(u8"программы"), executable).has_value());
    // Only ASCII letters are folded: the capitals of another script name another path here.
    EXPECT_FALSE(check_exact_service_path(quoted(u8"ПРОГРАММЫ"), executable).has_value());
}

// Each ASCII letter matches its other case, in both directions. Every other byte matches only
// itself, also where it differs from another by the one bit (0x20) that tells an ASCII capital
// from its small letter.
TEST(ExactServicePath, FoldsEveryAsciiLetterAndNothingElse) {
    const std::string separator(1, static_cast<char>(fs::path::preferred_separator));
    struct Case {
        const char* label;
        std::u8string_view installed;   // the folder holding the executable
        std::u8string_view configured;  // the same folder in the configured text
        bool passes;
    };
    const Case cases[] = {
        {"every_ascii_letter_swapped", u8"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz",
         u8"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ", true},
        {"latin_letter_beyond_ascii", u8"café", u8"cafÉ", false},
        {"brackets_against_braces", u8"[x]", u8"{x}", false},
        {"at_sign_against_grave_accent", u8"@x", u8"`x", false},
    };
    for (const Case& c : cases) {
        const fs::path executable = kRoot / fs::path(c.installed) / "vemla-tun-helper.exe";
        const std::string configured =
            "\"" + kRoot.string() + bytes(c.configured) + separator + "vemla-tun-helper.exe\"";
        EXPECT_EQ(
            outcome(check_exact_service_path(configured, executable)),
            c.passes ? "" : "Helper service executable is not the exact protected installation")
            << c.label;
    }
}

TEST(PathText, IsUtf8) {
    EXPECT_EQ(path_text(kRoot / fs::path(u8"Программы")), kRoot.string() + bytes(u8"Программы"));
#ifdef _WIN32
    // An unpaired surrogate, which NTFS names may hold, becomes U+FFFD in messages; such a path
    // is never the exact service executable.
    const fs::path unpaired = std::wstring(L"C:\\a") + wchar_t{0xD800} + L"b.exe";
    const std::string replaced = "C:\\a" + bytes(u8"\uFFFD") + "b.exe";
    EXPECT_EQ(path_text(unpaired), replaced);
    EXPECT_FALSE(check_exact_service_path("\"" + replaced + "\"", unpaired).has_value());
    const fs::path paired = std::wstring(L"C:\\") + wchar_t{0xD83D} + wchar_t{0xDE00};
    EXPECT_EQ(path_text(paired), "C:\\" + bytes(u8"\U0001F600"));
#endif
}

}  // namespace
}  // namespace vemla::service
