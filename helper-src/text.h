#pragma once

#include <string>
#include <string_view>

namespace vemla::service {

bool is_valid_utf8(std::string_view bytes);

// Checks UTF-8 that arrives in pieces, a sequence possibly split between two of them.
class Utf8Stream {
public:
    void feed(std::string_view bytes);
    // What was fed so far is valid UTF-8 and ends at a character boundary.
    bool is_valid() const { return !broken_ && pending_ == 0; }
    void reset() { *this = Utf8Stream(); }

private:
    int pending_ = 0;  // continuation bytes still due
    unsigned char low_ = 0x80, high_ = 0xBF;
    bool broken_ = false;
};

// Decodes UTF-8, replacing each maximal invalid subsequence with U+FFFD.
std::u32string decode_utf8_lossy(std::string_view bytes);

std::string encode_utf8(std::u32string_view text);

// Unicode White_Space.
bool is_white_space(char32_t c);

std::u32string_view trim_white_space(std::u32string_view text);

}  // namespace vemla::service
