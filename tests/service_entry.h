#pragma once

// The helper's entry in the service control manager, as the tests arrange and read it.
#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "helper_protocol/constants.h"
#include "win32/unique_object.h"
#include "win32/win32_text.h"

namespace vemla::service::testing_support {

// What the manager holds for the service.
struct ServiceEntry {
    DWORD type = 0;
    DWORD start = 0;
    DWORD error_control = 0;
    std::wstring binary_path;
    std::wstring account;
    std::wstring display_name;
};

inline std::wstring service_name() {
    return ::vemla::win::to_wide(helper_protocol::kServiceName);
}

inline ::vemla::win::UniqueServiceHandle open_manager() {
    return ::vemla::win::UniqueServiceHandle(
        ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
}

inline ::vemla::win::UniqueServiceHandle open_entry(DWORD access) {
    const auto manager = open_manager();
    return ::vemla::win::UniqueServiceHandle(
        ::OpenServiceW(manager.get(), service_name().c_str(), access));
}

// None when there is no entry.
inline std::optional<ServiceEntry> read_service_entry() {
    const auto service = open_entry(SERVICE_QUERY_CONFIG);
    if (!service) {
        return std::nullopt;
    }
    std::vector<std::uint64_t> buffer(8192 / 8);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    DWORD needed = 0;
    if (!::QueryServiceConfigW(service.get(), config, 8192, &needed)) {
        return std::nullopt;
    }
    const auto text = [](const wchar_t* value) {
        return std::wstring(value != nullptr ? value : L"");
    };
    return ServiceEntry{config->dwServiceType,
                        config->dwStartType,
                        config->dwErrorControl,
                        text(config->lpBinaryPathName),
                        text(config->lpServiceStartName),
                        text(config->lpDisplayName)};
}

// Creates the entry (replacing any there was) with the given binary path and other values.
inline bool create_service_entry(const std::wstring& binary_path) {
    const auto manager = open_manager();
    const ::vemla::win::UniqueServiceHandle created(::CreateServiceW(
        manager.get(), service_name().c_str(), L"Stand-in entry", SERVICE_ALL_ACCESS,
        SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, binary_path.c_str(),
        nullptr, nullptr, nullptr, nullptr, nullptr));
    return static_cast<bool>(created);
}

inline void delete_service_entry() {
    const auto service = open_entry(DELETE);
    if (service) {
        ::DeleteService(service.get());
    }
}

// No entry while the test runs, and none after it.
class ServiceEntryGuard {
public:
    ServiceEntryGuard() { delete_service_entry(); }
    ServiceEntryGuard(const ServiceEntryGuard&) = delete;
    ServiceEntryGuard& operator=(const ServiceEntryGuard&) = delete;
    ~ServiceEntryGuard() { delete_service_entry(); }
};

}  // namespace vemla::service::testing_support
