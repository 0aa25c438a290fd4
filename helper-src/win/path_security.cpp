#include "win/path_security.h"

#include <aclapi.h>
#include <sddl.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "helper_protocol/constants.h"
#include "json/result.h"
#include "win32/unique_object.h"
#include "win32/win32_text.h"

namespace vemla::service::win {

using namespace ::vemla::win;
namespace {

constexpr wchar_t kCurrentVersionKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
constexpr wchar_t kShellFoldersKey[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
// Longer than any path the file system accepts.
constexpr DWORD kMaxFolderChars = 32768;

// Allowed, denied, audit and alarm entries: header, mask, then the SID.
constexpr std::size_t kMaskOffset = sizeof(ACE_HEADER);
constexpr std::size_t kSidOffset = kMaskOffset + sizeof(ACCESS_MASK);
constexpr std::size_t kSidHeaderBytes = 8;

std::expected<std::string, std::string> sid_text(PSID sid) {
    wchar_t* text = nullptr;
    if (!::ConvertSidToStringSidW(sid, &text)) {
        return std::unexpected(last_error_text());
    }
    const UniqueLocal text_owner(text);
    return to_utf8(text);
}

bool has_plain_layout(std::uint8_t type) {
    return type <= SYSTEM_ALARM_ACE_TYPE;
}

// The SID's fixed part, then as many sub-authorities as it claims, lie within `room` bytes.
bool sid_fits(const unsigned char* sid, std::size_t room) {
    return room >= kSidHeaderBytes && ::GetSidLengthRequired(sid[1]) <= room;
}

// The entry's offset inside the ACL, if its header and mask lie inside it.
std::expected<std::size_t, std::string> entry_offset(const ACL& acl, const void* entry) {
    const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(entry);
    const std::uintptr_t base = reinterpret_cast<std::uintptr_t>(&acl);
    if (start < base + sizeof(ACL) || start - base + kSidOffset > acl.AclSize) {
        return std::unexpected(os_error_text(ERROR_INVALID_ACL));
    }
    return static_cast<std::size_t>(start - base);
}

// GetAce follows the sizes the entries claim; only the ACL's own size bounds them.
std::expected<AceRecord, std::string> read_ace(ACL& acl, DWORD index) {
    void* entry = nullptr;
    if (!::GetAce(&acl, index, &entry)) {
        return std::unexpected(last_error_text());
    }
    const auto offset = entry_offset(acl, entry);
    if (!offset) {
        return failure_of(offset);
    }
    const auto* bytes = static_cast<const unsigned char*>(entry);
    ACE_HEADER header{};
    std::memcpy(&header, bytes, sizeof header);
    if (header.AceSize < kSidOffset || *offset + header.AceSize > acl.AclSize) {
        return std::unexpected(os_error_text(ERROR_INVALID_ACL));
    }
    AceRecord record;
    record.type = header.AceType;
    record.flags = header.AceFlags;
    std::memcpy(&record.mask, bytes + kMaskOffset, sizeof record.mask);
    if (!has_plain_layout(header.AceType)) {
        // The judgement refuses these entries before it would need their SID.
        record.sid = std::unexpected("The SID of this entry type is not read");
        return record;
    }
    if (!sid_fits(bytes + kSidOffset, header.AceSize - kSidOffset)) {
        return std::unexpected(os_error_text(ERROR_INVALID_ACL));
    }
    record.sid = sid_text(const_cast<unsigned char*>(bytes + kSidOffset));
    return record;
}

void read_dacl(ACL& acl, PathSecurity& security) {
    std::vector<AceRecord> entries;
    for (DWORD i = 0; i < acl.AceCount; ++i) {
        auto entry = read_ace(acl, i);
        if (!entry) {
            security.unreadable_ace = std::move(entry.error());
            break;
        }
        entries.push_back(std::move(*entry));
    }
    security.dacl = std::move(entries);
}

bool is_real_directory(DWORD attributes) {
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

std::expected<std::filesystem::path, std::string> registry_folder(const wchar_t* key_name,
                                                                  const wchar_t* value_name) {
    HKEY opened = nullptr;
    // The 64-bit view, so that a 32-bit build is never redirected.
    LSTATUS status =
        ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, key_name, 0, KEY_READ | KEY_WOW64_64KEY, &opened);
    if (status != ERROR_SUCCESS) {
        return std::unexpected(os_error_text(static_cast<DWORD>(status)));
    }
    const UniqueRegistryKey key(opened);
    std::wstring value(kMaxFolderChars, L'\0');
    DWORD bytes = kMaxFolderChars * sizeof(wchar_t);
    // RRF_RT_REG_SZ returns the text with its terminating null, whatever was stored.
    status = ::RegGetValueW(key.get(), nullptr, value_name, RRF_RT_REG_SZ, nullptr, value.data(),
                            &bytes);
    if (status != ERROR_SUCCESS) {
        return std::unexpected(os_error_text(static_cast<DWORD>(status)));
    }
    value.resize(::wcsnlen(value.data(), value.size()));
    return std::filesystem::path(value) / to_wide(helper_protocol::kHelperDirectoryName);
}

}  // namespace

std::expected<PathSecurity, std::string> security_from_descriptor(PSECURITY_DESCRIPTOR descriptor) {
    if (descriptor == nullptr || !::IsValidSecurityDescriptor(descriptor)) {
        return std::unexpected(os_error_text(ERROR_INVALID_SECURITY_DESCR));
    }
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    if (!::GetSecurityDescriptorOwner(descriptor, &owner, &defaulted)) {
        return std::unexpected(last_error_text());
    }
    BOOL present = FALSE;
    PACL dacl = nullptr;
    if (!::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted)) {
        return std::unexpected(last_error_text());
    }
    PathSecurity security;
    // Without an owner the text stays empty, which names no trusted principal.
    if (owner != nullptr) {
        security.owner_sid = sid_text(owner);
    }
    // Without a DACL, as with a null one, everyone may do everything.
    if (present && dacl != nullptr) {
        read_dacl(*dacl, security);
    }
    return security;
}

std::expected<bool, std::string> Win32PathInspector::is_reparse_point(
    const std::filesystem::path& path) {
    // Reports the link itself, not its target.
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return std::unexpected(last_error_text());
    }
    return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

std::expected<PathSecurity, std::string> Win32PathInspector::read_security(
    const std::filesystem::path& path) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD status = ::GetNamedSecurityInfoW(
        path.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
        nullptr, nullptr, nullptr, nullptr, &descriptor);
    if (status != ERROR_SUCCESS) {
        return std::unexpected(os_error_text(status));
    }
    const UniqueLocal descriptor_owner(descriptor);
    return security_from_descriptor(descriptor);
}

std::expected<std::vector<DirectoryEntry>, std::string> Win32PathInspector::list_directory(
    const std::filesystem::path& directory) {
    WIN32_FIND_DATAW found{};
    const std::filesystem::path pattern = directory / L"*";
    const UniqueFindHandle search(::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found,
                                                     FindExSearchNameMatch, nullptr,
                                                     FIND_FIRST_EX_LARGE_FETCH));
    std::vector<DirectoryEntry> entries;
    if (!search) {
        // Nothing matched: a directory without even "." and "..", as a volume root can be.
        if (::GetLastError() == ERROR_FILE_NOT_FOUND) {
            return entries;
        }
        return std::unexpected(last_error_text());
    }
    do {
        const std::wstring_view name(found.cFileName);
        if (name != L"." && name != L"..") {
            entries.push_back({directory / name, is_real_directory(found.dwFileAttributes)});
        }
    } while (::FindNextFileW(search.get(), &found));
    if (::GetLastError() != ERROR_NO_MORE_FILES) {
        return std::unexpected(last_error_text());
    }
    return entries;
}

std::expected<InstallPaths, std::string> resolve_install_paths() {
    auto install_dir = registry_folder(kCurrentVersionKey, L"ProgramFilesDir");
    if (!install_dir) {
        return failure_of(install_dir);
    }
    auto data_dir = registry_folder(kShellFoldersKey, L"Common AppData");
    if (!data_dir) {
        return failure_of(data_dir);
    }
    return InstallPaths{std::move(*install_dir), std::move(*data_dir)};
}

}  // namespace vemla::service::win
