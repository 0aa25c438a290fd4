#include <windows.h>

#include "platform.h"
#include "win32/unique_object.h"

namespace vemla::service {

using ::vemla::win::UniqueHandle;

std::string read_file_tail(const std::filesystem::path& file, std::size_t limit) {
    // The engine may still hold the log open for writing.
    const win::UniqueHandle handle(::CreateFileW(
        file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!handle) {
        return {};
    }
    LARGE_INTEGER size{};
    if (::GetFileSizeEx(handle.get(), &size) &&
        static_cast<unsigned long long>(size.QuadPart) > limit) {
        LARGE_INTEGER start{};
        start.QuadPart = size.QuadPart - static_cast<LONGLONG>(limit);
        if (!::SetFilePointerEx(handle.get(), start, nullptr, FILE_BEGIN)) {
            ::SetFilePointerEx(handle.get(), LARGE_INTEGER{}, nullptr, FILE_BEGIN);
        }
    }
    std::string tail(limit, '\0');
    std::size_t filled = 0;
    while (filled < limit) {
        DWORD got = 0;
        if (!::ReadFile(handle.get(), tail.data() + filled, static_cast<DWORD>(limit - filled),
                        &got, nullptr) ||
            got == 0) {
            break;
        }
        filled += got;
    }
    tail.resize(filled);
    return tail;
}

}  // namespace vemla::service
