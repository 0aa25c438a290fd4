#include "win32/system_dll.h"

#include "win32/win32_text.h"

namespace vemla::win {

std::expected<UniqueModule, std::string> load_system_dll(const wchar_t* name) {
    UniqueModule module(::LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
    if (!module) {
        return std::unexpected(last_error_text());
    }
    return module;
}

std::expected<FARPROC, std::string> find_export_address(const UniqueModule& module,
                                                        const char* name) {
    const FARPROC address = ::GetProcAddress(module.get(), name);
    if (address == nullptr) {
        return std::unexpected(last_error_text());
    }
    return address;
}

}  // namespace vemla::win
