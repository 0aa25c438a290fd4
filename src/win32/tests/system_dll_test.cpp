// The system DLL loader and the system's random bits, under Wine.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>

#include "win32/system_dll.h"
#include "win32/system_random.h"
#include "win32/win32_text.h"

namespace vemla::win {
namespace {

namespace fs = std::filesystem;

constexpr const wchar_t* kPlanted = L"vemla_planted_probe.dll";

fs::path own_directory() {
    std::wstring path(32768, L'\0');
    path.resize(::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
    return fs::path(path).parent_path();
}

TEST(SystemDll, NeverLoadsTheDllBesideTheExecutable) {
    ASSERT_TRUE(fs::exists(own_directory() / kPlanted));
    const auto loaded = load_system_dll(kPlanted);
    ASSERT_FALSE(loaded.has_value());
    EXPECT_EQ(loaded.error(), os_error_text(ERROR_MOD_NOT_FOUND));
    // The default search order does load it, so the refusal above is the loader's own. Loaded
    // only now: a module already loaded under that name is found wherever it came from.
    const UniqueModule planted(::LoadLibraryW(kPlanted));
    EXPECT_TRUE(planted) << last_error_text();
}

TEST(SystemDll, FindsTheExportsASystemDllHas) {
    const auto bcrypt = load_system_dll(L"bcrypt.dll");
    ASSERT_TRUE(bcrypt.has_value()) << bcrypt.error();
    struct Case {
        const char* name;
        bool found;
    };
    const Case cases[] = {{"BCryptGenRandom", true}, {"VemlaNoSuchExport", false}};
    for (const Case& c : cases) {
        const auto address = find_export_address(*bcrypt, c.name);
        if (c.found) {
            ASSERT_TRUE(address.has_value()) << c.name << ": " << address.error();
            EXPECT_NE(*address, nullptr) << c.name;
        } else {
            ASSERT_FALSE(address.has_value()) << c.name;
            EXPECT_EQ(address.error(), os_error_text(ERROR_PROC_NOT_FOUND)) << c.name;
        }
    }
}

TEST(SystemRandom, FillsTheWholeBuffer) {
    // A source that left the buffer untouched, or filled only a part of it, leaves a quarter of
    // zeros, which 64 random bits as good as never are; two draws that agree came from no
    // generator.
    std::array<std::uint8_t, 32> first{};
    std::array<std::uint8_t, 32> second{};
    for (auto* buffer : {&first, &second}) {
        const auto filled = fill_system_random(*buffer);
        ASSERT_TRUE(filled.has_value()) << filled.error();
        for (std::size_t quarter = 0; quarter < 4; ++quarter) {
            const auto bytes = std::span(*buffer).subspan(quarter * 8, 8);
            EXPECT_TRUE(std::ranges::any_of(bytes, [](std::uint8_t b) { return b != 0; }))
                << "quarter " << quarter;
        }
    }
    EXPECT_NE(first, second);
}

}  // namespace
}  // namespace vemla::win
