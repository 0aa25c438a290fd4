#include "win32/system_random.h"

#include <windows.h>
// bcrypt.h needs the types windows.h defines; only its declarations are used, nothing is
// imported from it.
#include <bcrypt.h>
#include <winternl.h>

#include <algorithm>
#include <limits>

#include "win32/system_dll.h"
#include "win32/win32_text.h"

namespace vemla::win {
namespace {

using ProcessPrngFunction = BOOL(WINAPI*)(PBYTE, SIZE_T);
using GenRandomFunction = decltype(&::BCryptGenRandom);

// ProcessPrng is the system's own per-process generator and cannot fail once found; Wine and
// older systems lack it.
bool fill_from_process_prng(std::span<std::uint8_t> buffer) {
    const auto primitives = load_system_dll(L"bcryptprimitives.dll");
    if (!primitives) {
        return false;
    }
    const auto process_prng = find_export<ProcessPrngFunction>(*primitives, "ProcessPrng");
    return process_prng && (*process_prng)(buffer.data(), buffer.size());
}

std::expected<void, std::string> fill_from_bcrypt(std::span<std::uint8_t> buffer) {
    auto bcrypt = load_system_dll(L"bcrypt.dll");
    if (!bcrypt) {
        return std::unexpected(std::move(bcrypt.error()));
    }
    auto gen_random = find_export<GenRandomFunction>(*bcrypt, "BCryptGenRandom");
    if (!gen_random) {
        return std::unexpected(std::move(gen_random.error()));
    }
    // It takes at most a ULONG of bytes at a time.
    for (std::span<std::uint8_t> rest = buffer; !rest.empty();) {
        const std::span<std::uint8_t> piece =
            rest.first(std::min<std::size_t>(rest.size(), std::numeric_limits<ULONG>::max()));
        const NTSTATUS status =
            (*gen_random)(nullptr, piece.data(), static_cast<ULONG>(piece.size()),
                          BCRYPT_USE_SYSTEM_PREFERRED_RNG);
        if (!BCRYPT_SUCCESS(status)) {
            return std::unexpected(os_error_text(::RtlNtStatusToDosError(status)));
        }
        rest = rest.subspan(piece.size());
    }
    return {};
}

}  // namespace

std::expected<void, std::string> fill_system_random(std::span<std::uint8_t> buffer) {
    if (fill_from_process_prng(buffer)) {
        return {};
    }
    return fill_from_bcrypt(buffer);
}

}  // namespace vemla::win
