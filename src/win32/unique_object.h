#pragma once

#include <windows.h>
#include <winsvc.h>

#include <utility>

namespace vemla::win {

// Sole owner of one Win32 object; closes it when emptied, replaced or destroyed.
template <typename Traits>
class UniqueObject {
public:
    using Value = typename Traits::Value;

    UniqueObject() = default;
    explicit UniqueObject(Value value) : value_(value) {}
    UniqueObject(const UniqueObject&) = delete;
    UniqueObject& operator=(const UniqueObject&) = delete;
    UniqueObject(UniqueObject&& other) noexcept : value_(other.release()) {}
    UniqueObject& operator=(UniqueObject&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    ~UniqueObject() { reset(); }

    Value get() const { return value_; }
    explicit operator bool() const { return Traits::is_valid(value_); }

    Value release() { return std::exchange(value_, Traits::empty()); }
    void reset(Value value = Traits::empty()) {
        const Value old = std::exchange(value_, value);
        if (Traits::is_valid(old)) {
            Traits::close(old);
        }
    }

private:
    Value value_ = Traits::empty();
};

struct HandleTraits {
    using Value = HANDLE;
    static Value empty() { return nullptr; }
    static bool is_valid(Value value) { return value != nullptr && value != INVALID_HANDLE_VALUE; }
    static void close(Value value) { ::CloseHandle(value); }
};

struct LocalTraits {
    using Value = HLOCAL;
    static Value empty() { return nullptr; }
    static bool is_valid(Value value) { return value != nullptr; }
    static void close(Value value) { ::LocalFree(value); }
};

struct RegistryKeyTraits {
    using Value = HKEY;
    static Value empty() { return nullptr; }
    static bool is_valid(Value value) { return value != nullptr; }
    static void close(Value value) { ::RegCloseKey(value); }
};

struct ServiceHandleTraits {
    using Value = SC_HANDLE;
    static Value empty() { return nullptr; }
    static bool is_valid(Value value) { return value != nullptr; }
    static void close(Value value) { ::CloseServiceHandle(value); }
};

// Directory searches of FindFirstFileExW.
struct FindHandleTraits {
    using Value = HANDLE;
    static Value empty() { return INVALID_HANDLE_VALUE; }
    static bool is_valid(Value value) { return value != nullptr && value != INVALID_HANDLE_VALUE; }
    static void close(Value value) { ::FindClose(value); }
};

// Pipes, processes, threads, jobs, tokens, files and events.
using UniqueHandle = UniqueObject<HandleTraits>;
// Buffers the system allocates for the caller with LocalAlloc.
using UniqueLocal = UniqueObject<LocalTraits>;
using UniqueRegistryKey = UniqueObject<RegistryKeyTraits>;
using UniqueServiceHandle = UniqueObject<ServiceHandleTraits>;
using UniqueFindHandle = UniqueObject<FindHandleTraits>;

}  // namespace vemla::win
