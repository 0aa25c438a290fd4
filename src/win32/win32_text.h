#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace vemla::win {

std::wstring to_wide(std::string_view utf8);
std::string to_utf8(std::wstring_view wide);

// The system message for the code, then " (os error ", the code in decimal, and ")".
std::string os_error_text(DWORD code);

// os_error_text of the calling thread's last error.
std::string last_error_text();

}  // namespace vemla::win
