#include "win32/win32_text.h"

#include <limits>

#include "win32/unique_object.h"

namespace vemla::win {

std::wstring to_wide(std::string_view utf8) {
    if (utf8.empty() || utf8.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
        return {};
    }
    const int length = static_cast<int>(utf8.size());
    const int needed = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), length, nullptr, 0);
    if (needed <= 0) {
        return {};
    }
    std::wstring wide(static_cast<std::size_t>(needed), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), length, wide.data(), needed);
    return wide;
}

std::string to_utf8(std::wstring_view wide) {
    if (wide.empty() || wide.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
        return {};
    }
    const int length = static_cast<int>(wide.size());
    const int needed =
        ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) {
        return {};
    }
    std::string utf8(static_cast<std::size_t>(needed), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, utf8.data(), needed, nullptr, nullptr);
    return utf8;
}

std::string os_error_text(DWORD code) {
    wchar_t* buffer = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    const UniqueLocal owner(buffer);
    std::wstring_view message(buffer != nullptr ? buffer : L"", buffer != nullptr ? length : 0);
    // The system ends its messages with a line break, which would break the one-line reply.
    while (!message.empty() && (message.back() == L'\r' || message.back() == L'\n')) {
        message.remove_suffix(1);
    }
    const std::string text = message.empty() ? "Unknown error" : to_utf8(message);
    return text + " (os error " + std::to_string(code) + ")";
}

std::string last_error_text() {
    return os_error_text(::GetLastError());
}

}  // namespace vemla::win
