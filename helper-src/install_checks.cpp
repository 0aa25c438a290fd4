#include "install_checks.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <ranges>
#include <utility>

#include "json/result.h"
#include "text.h"

namespace vemla::service {
namespace {

constexpr std::string_view kReparsePointForbidden = "Reparse points are forbidden";
constexpr std::string_view kCannotInspectAcl = "Cannot inspect protected file ACL";
constexpr std::string_view kUntrustedOwner = "Untrusted owner or unrestricted ACL";
constexpr std::string_view kUntrustedWrite = "Untrusted write access: ";
constexpr std::string_view kUnsupportedAce = "Unsupported ACL entry on protected path";
constexpr std::string_view kNotExactService =
    "Helper service executable is not the exact protected installation";
constexpr std::string_view kHardLinkForbidden = "Protected file has more than one name: ";
constexpr std::string_view kNotAbsolute = "Protected path is not absolute: ";

constexpr std::array<std::string_view, 3> kTrustedPrincipals = {
    "S-1-5-18",                                                        // LocalSystem
    "S-1-5-32-544",                                                    // BUILTIN\Administrators
    "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464",  // TrustedInstaller
};

std::unexpected<std::string> fail(std::string_view message) {
    return std::unexpected(std::string(message));
}

// UTF-16 code units as UTF-8; an unpaired surrogate becomes U+FFFD, and makes the text inexact.
struct WideText {
    std::string utf8;
    bool exact = true;
};

WideText utf16_to_utf8(std::wstring_view units) {
    WideText result;
    std::u32string text;
    text.reserve(units.size());
    for (std::size_t i = 0; i < units.size(); ++i) {
        const auto unit = static_cast<char32_t>(units[i]);
        const bool high = unit >= 0xD800 && unit <= 0xDBFF;
        const bool low_next =
            i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF;
        if (high && low_next) {
            const auto low = static_cast<char32_t>(units[++i]);
            text.push_back(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            text.push_back(U'\uFFFD');
            result.exact = false;
        } else {
            text.push_back(unit);
        }
    }
    result.utf8 = encode_utf8(text);
    return result;
}

// POSIX paths are bytes already; Windows paths are UTF-16. Each build uses one of the two.
[[maybe_unused]] WideText native_text(std::string_view bytes) {
    return {std::string(bytes), true};
}

[[maybe_unused]] WideText native_text(std::wstring_view units) {
    return utf16_to_utf8(units);
}

char ascii_lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equal_ignoring_ascii_case(std::string_view a, std::string_view b) {
    return std::ranges::equal(a, b,
                              [](char x, char y) { return ascii_lower(x) == ascii_lower(y); });
}

constexpr std::string_view kSidTextPrefix = "S-1-";
constexpr std::size_t kMaxSubAuthorities = 15;
constexpr std::size_t kMaxSidNumberDigits = 10;
constexpr std::uint64_t kMaxSidNumber = 0xFFFFFFFF;

// One field of a SID's string form: a 32-bit number in decimal, without leading zeros, as the
// system writes it; another spelling would never equal the text of a real SID.
bool is_sid_number(std::string_view digits) {
    if (digits.empty() || digits.size() > kMaxSidNumberDigits ||
        (digits.size() > 1 && digits.front() == '0')) {
        return false;
    }
    std::uint64_t value = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return value <= kMaxSidNumber;
}

}  // namespace

std::string path_text(const std::filesystem::path& path) {
    return native_text(path.native()).utf8;
}

TrustPolicy::TrustPolicy() : principals_(kTrustedPrincipals.begin(), kTrustedPrincipals.end()) {}

bool is_sid_text(std::string_view text) {
    if (!text.starts_with(kSidTextPrefix)) {
        return false;
    }
    std::size_t fields = 0;
    for (const auto field : std::views::split(text.substr(kSidTextPrefix.size()), '-')) {
        if (!is_sid_number(std::string_view(field.begin(), field.end()))) {
            return false;
        }
        ++fields;
    }
    // The identifier authority, then the sub-authorities.
    return fields >= 2 && fields <= 1 + kMaxSubAuthorities;
}

TrustPolicy TrustPolicy::also_trusting(std::string sid) const {
    TrustPolicy policy = *this;
    if (is_sid_text(sid)) {
        policy.principals_.push_back(std::move(sid));
    }
    return policy;
}

bool TrustPolicy::trusts(std::string_view sid) const {
    return std::ranges::find(principals_, sid) != principals_.end();
}

InstallationChecks::InstallationChecks(PathInspector& inspector, TrustPolicy policy)
    : inspector_(inspector), policy_(std::move(policy)) {}

std::expected<void, std::string> InstallationChecks::check_protected_path(
    const std::filesystem::path& path, std::uint32_t mask) const {
    const auto reparse = inspector_.is_reparse_point(path);
    if (!reparse) {
        return std::unexpected(path_text(path) + ": " + reparse.error());
    }
    if (*reparse) {
        return fail(kReparsePointForbidden);
    }
    return check_security(inspector_.read_security(path), path, mask);
}

std::expected<void, std::string> InstallationChecks::check_found_file(
    const std::filesystem::path& path, const FoundFile& found, std::uint32_t mask) const {
    if (found.is_reparse_point) {
        return fail(kReparsePointForbidden);
    }
    if (found.link_count != 1) {
        return std::unexpected(std::string(kHardLinkForbidden) + path_text(path));
    }
    return check_security(found.security, path, mask);
}

std::expected<void, std::string> InstallationChecks::check_security(
    const std::expected<PathSecurity, std::string>& security, const std::filesystem::path& path,
    std::uint32_t mask) const {
    if (!security) {
        return fail(kCannotInspectAcl);
    }
    if (!security->owner_sid) {
        return std::unexpected(security->owner_sid.error());
    }
    if (!policy_.trusts(*security->owner_sid) || !security->dacl) {
        return fail(kUntrustedOwner);
    }
    return check_dacl(*security, path, mask);
}

std::expected<void, std::string> InstallationChecks::check_dacl(const PathSecurity& security,
                                                                const std::filesystem::path& path,
                                                                std::uint32_t mask) const {
    for (const AceRecord& ace : *security.dacl) {
        // An inherit-only entry is for the children; it grants nothing on this object.
        if ((ace.flags & kInheritOnlyAceFlag) != 0) {
            continue;
        }
        switch (ace.type) {
            case kAccessAllowedAceType:
                if ((ace.mask & mask) == 0) {
                    break;
                }
                if (!ace.sid) {
                    return std::unexpected(ace.sid.error());
                }
                if (!policy_.trusts(*ace.sid)) {
                    return std::unexpected(std::string(kUntrustedWrite) + path_text(path));
                }
                break;
            case kAccessDeniedAceType:
            case kSystemAuditAceType:
            case kSystemAlarmAceType:
                break;
            default:
                // Compound, object and callback entries grant by rules this check cannot judge.
                return fail(kUnsupportedAce);
        }
    }
    if (security.unreadable_ace) {
        return std::unexpected(*security.unreadable_ace);
    }
    return {};
}

std::vector<std::filesystem::path> path_chain(const std::filesystem::path& path) {
    std::filesystem::path current = path.lexically_normal();
    if (!current.has_filename() && current.has_relative_path()) {
        current = current.parent_path();
    }
    std::vector<std::filesystem::path> chain{current};
    while (current.has_relative_path()) {
        current = current.parent_path();
        chain.push_back(current);
    }
    std::ranges::reverse(chain);
    return chain;
}

std::expected<void, std::string> InstallationChecks::check_protected_chain(
    const std::filesystem::path& path) const {
    if (!path.is_absolute()) {
        return std::unexpected(std::string(kNotAbsolute) + path_text(path));
    }
    const std::vector<std::filesystem::path> chain = path_chain(path);
    for (std::size_t i = 0; i < chain.size(); ++i) {
        const bool is_target = i + 1 == chain.size();
        auto checked =
            check_protected_path(chain[i], is_target ? kFullWriteMask : kAncestorWriteMask);
        if (!checked) {
            return checked;
        }
    }
    return {};
}

std::expected<void, std::string> InstallationChecks::check_entries(
    const std::filesystem::path& directory, bool descend) const {
    auto entries = inspector_.list_directory(directory);
    if (!entries) {
        return failure_of(entries);
    }
    // The file system's own order would let the first failure differ between machines.
    std::ranges::sort(*entries, {}, &DirectoryEntry::path);
    for (const DirectoryEntry& entry : *entries) {
        if (auto checked = check_protected_path(entry.path, kFullWriteMask); !checked) {
            return checked;
        }
        // Listed only once it is known to be protected itself.
        if (descend && entry.is_directory) {
            if (auto inner = check_entries(entry.path, false); !inner) {
                return inner;
            }
        }
    }
    return {};
}

std::expected<void, std::string> InstallationChecks::check_installation_entries(
    const std::filesystem::path& install_dir, const std::filesystem::path& data_dir) const {
    if (auto install = check_entries(install_dir, true); !install) {
        return install;
    }
    return check_entries(data_dir, false);
}

std::expected<void, std::string> check_exact_service_path(std::string_view configured,
                                                          const std::filesystem::path& executable) {
    const WideText text = native_text(executable.native());
    const std::string quoted = "\"" + text.utf8 + "\"";
    if (!text.exact || configured.size() != quoted.size() ||
        !equal_ignoring_ascii_case(configured, quoted)) {
        return fail(kNotExactService);
    }
    return {};
}

}  // namespace vemla::service
