#pragma once

#include <windows.h>

#include <expected>
#include <string>
#include <utility>

#include "win32/unique_object.h"

namespace vemla::win {

struct ModuleTraits {
    using Value = HMODULE;
    static Value empty() { return nullptr; }
    static bool is_valid(Value value) { return value != nullptr; }
    static void close(Value value) { ::FreeLibrary(value); }
};
// A DLL loaded at run time; freed when released.
using UniqueModule = UniqueObject<ModuleTraits>;

// Loads the DLL from the system directory and nowhere else, so that no copy beside the
// executable, in the working directory or on PATH is ever run. Every DLL that is not a known DLL
// is loaded this way rather than imported: imports are resolved before the process can restrict
// where DLLs come from. The failure is the operating system's text.
std::expected<UniqueModule, std::string> load_system_dll(const wchar_t* name);

// The address of the module's export, or the operating system's text when it has none.
std::expected<FARPROC, std::string> find_export_address(const UniqueModule& module,
                                                        const char* name);

// The export as the function type the caller declares for it.
template <typename Function>
std::expected<Function, std::string> find_export(const UniqueModule& module, const char* name) {
    auto address = find_export_address(module, name);
    if (!address) {
        return std::unexpected(std::move(address.error()));
    }
    // Through void*, as an export's address has no type of its own.
    return reinterpret_cast<Function>(reinterpret_cast<void*>(*address));
}

}  // namespace vemla::win
