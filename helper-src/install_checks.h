#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Whether the files the service runs, loads and reads can be changed only by the machine's
// administrators. The judgement works on plain data; the reading of the file system sits behind
// PathInspector.
namespace vemla::service {

// Access-mask bits that count as a right to modify. An untrusted account may create entries in
// a directory above the checked path (every user may in a drive root), but may not delete or
// rename entries in it, take it over or change its ACL.
inline constexpr std::uint32_t kFullWriteMask = 0x500D0156;
inline constexpr std::uint32_t kAncestorWriteMask = 0x500D0040;

inline constexpr std::uint8_t kAccessAllowedAceType = 0;
inline constexpr std::uint8_t kAccessDeniedAceType = 1;
inline constexpr std::uint8_t kSystemAuditAceType = 2;
inline constexpr std::uint8_t kSystemAlarmAceType = 3;
inline constexpr std::uint8_t kInheritOnlyAceFlag = 0x08;

// One entry of a DACL as the OS holds it.
struct AceRecord {
    std::uint8_t type = 0;
    std::uint8_t flags = 0;
    std::uint32_t mask = 0;
    // The SID as text, or the OS error text of a conversion that failed. The error is reported
    // only when the judgement reaches this entry and needs its SID.
    std::expected<std::string, std::string> sid;
};

struct PathSecurity {
    // The owner SID as text (empty when the descriptor names no owner), or the OS error text of
    // its conversion.
    std::expected<std::string, std::string> owner_sid;
    // nullopt: a null DACL, which grants everyone everything.
    std::optional<std::vector<AceRecord>> dacl;
    // The OS error text for the first DACL entry that could not be read; `dacl` holds the
    // entries before it, so that an earlier entry's failure still comes first.
    std::optional<std::string> unreadable_ace;
};

// What was read, through the handle the service holds open on it, of a file that was already at a
// name the service writes.
struct FoundFile {
    bool is_reparse_point = false;
    std::uint32_t link_count = 1;
    std::expected<PathSecurity, std::string> security;
};

struct DirectoryEntry {
    std::filesystem::path path;
    // A link to a directory is not a directory here: nothing is read through it.
    bool is_directory = false;
};

// The file system as the checks see it.
class PathInspector {
public:
    virtual ~PathInspector() = default;
    // Whether the path itself, its link not followed, is a reparse point; or the OS error text.
    virtual std::expected<bool, std::string> is_reparse_point(
        const std::filesystem::path& path) = 0;
    // The owner and DACL, or the OS error text.
    virtual std::expected<PathSecurity, std::string> read_security(
        const std::filesystem::path& path) = 0;
    // The entries of a directory ("." and ".." left out), or the OS error text.
    virtual std::expected<std::vector<DirectoryEntry>, std::string> list_directory(
        const std::filesystem::path& directory) = 0;
};

// The principals that may own and modify protected paths, compared as SID text exactly.
class TrustPolicy {
public:
    // LocalSystem, BUILTIN\Administrators and the TrustedInstaller service.
    TrustPolicy();

    // This policy and one more principal; for test programs that must run on files that their
    // own account owns. A text that is not a SID adds no one: an empty one would otherwise
    // match a descriptor that names no owner.
    TrustPolicy also_trusting(std::string sid) const;

    bool trusts(std::string_view sid) const;

private:
    std::vector<std::string> principals_;
};

// Where the service's files live.
struct InstallPaths {
    std::filesystem::path install_dir;
    std::filesystem::path data_dir;
};

class InstallationChecks {
public:
    InstallationChecks(PathInspector& inspector, TrustPolicy policy);

    // The path is no reparse point, has a trusted owner and a DACL through which no untrusted
    // principal holds a right in `mask`.
    std::expected<void, std::string> check_protected_path(const std::filesystem::path& path,
                                                          std::uint32_t mask) const;

    // The judgement of check_protected_path on a file the caller holds open, so that what it then
    // writes is what was judged. The file must have no other name: through a second one a write
    // would change a protected file elsewhere.
    std::expected<void, std::string> check_found_file(const std::filesystem::path& path,
                                                      const FoundFile& found,
                                                      std::uint32_t mask) const;

    // The path (full mask) and every directory above it (ancestor mask), from the root down.
    // The path must be absolute: a relative one has no root to start from.
    std::expected<void, std::string> check_protected_chain(const std::filesystem::path& path) const;

    // At service start: every entry of the install directory and, for each entry that is a
    // directory, every entry inside it; then every entry of the data directory. All with the
    // full mask, in the order of their names.
    std::expected<void, std::string> check_installation_entries(
        const std::filesystem::path& install_dir, const std::filesystem::path& data_dir) const;

private:
    std::expected<void, std::string> check_entries(const std::filesystem::path& directory,
                                                   bool descend) const;
    std::expected<void, std::string> check_security(
        const std::expected<PathSecurity, std::string>& security, const std::filesystem::path& path,
        std::uint32_t mask) const;
    std::expected<void, std::string> check_dacl(const PathSecurity& security,
                                                const std::filesystem::path& path,
                                                std::uint32_t mask) const;

    PathInspector& inspector_;
    TrustPolicy policy_;
};

// A SID in its string form: "S-1-", the identifier authority, then 1 to 15 sub-authorities,
// each a decimal number of at most 10 digits.
bool is_sid_text(std::string_view text);

// The path, root first, then each directory below it down to the path itself; lexically
// normalised, without a trailing separator.
std::vector<std::filesystem::path> path_chain(const std::filesystem::path& path);

// `configured`, the service's binary path as the service control manager holds it, is exactly
// the executable in double quotation marks, ASCII letters compared without regard to case.
std::expected<void, std::string> check_exact_service_path(std::string_view configured,
                                                          const std::filesystem::path& executable);

// The path as UTF-8 for messages; unpaired UTF-16 surrogates become U+FFFD.
std::string path_text(const std::filesystem::path& path);

}  // namespace vemla::service
