#pragma once

#include <string>
#include <string_view>

namespace vemla::service {

bool is_valid_utf8(std::string_view bytes);

// Decodes UTF-8, replacing each maximal invalid subsequence with U+FFFD.
std::u32string decode_utf8_lossy(std::string_view bytes);

std::string encode_utf8(std::u32string_view text);

// Unicode White_Space.
bool is_white_space(char32_t c);

std::u32string_view trim_white_space(std::u32string_view text);

}  // namespace vemla::service
