#include "text.h"

#include <cstdint>

namespace vemla::service {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// The bytes that can begin a multi-byte sequence, and what may follow them.
struct Lead {
    unsigned char first, last;   // range of lead bytes
    int continuation;            // bytes that follow
    unsigned char low, high;     // bounds of the first continuation byte
    std::uint32_t payload_mask;  // bits of the lead byte that belong to the code point
};

constexpr Lead kLeads[] = {
    {0xC2, 0xDF, 1, 0x80, 0xBF, 0x1F}, {0xE0, 0xE0, 2, 0xA0, 0xBF, 0x0F},  // no overlong forms
    {0xE1, 0xEC, 2, 0x80, 0xBF, 0x0F}, {0xED, 0xED, 2, 0x80, 0x9F, 0x0F},  // no surrogates
    {0xEE, 0xEF, 2, 0x80, 0xBF, 0x0F}, {0xF0, 0xF0, 3, 0x90, 0xBF, 0x07},  // no overlong forms
    {0xF1, 0xF3, 3, 0x80, 0xBF, 0x07}, {0xF4, 0xF4, 3, 0x80, 0x8F, 0x07},  // nothing above U+10FFFF
};

const Lead* classify(unsigned char b) {
    for (const Lead& lead : kLeads) {
        if (b >= lead.first && b <= lead.last) {
            return &lead;
        }
    }
    return nullptr;
}

// Decodes one code point at `at`; returns it and advances `at` past the bytes it used. An
// invalid sequence yields U+FFFD and consumes only its maximal valid prefix (at least one byte).
char32_t decode_one(std::string_view bytes, std::size_t& at, bool& valid) {
    const auto lead = static_cast<unsigned char>(bytes[at]);
    ++at;
    if (lead < 0x80) {
        valid = true;
        return lead;
    }
    const Lead* kind = classify(lead);
    valid = false;
    if (kind == nullptr) {
        return kReplacement;
    }
    std::uint32_t code = lead & kind->payload_mask;
    for (int k = 0; k < kind->continuation; ++k) {
        if (at >= bytes.size()) {
            return kReplacement;
        }
        const auto next = static_cast<unsigned char>(bytes[at]);
        const unsigned char low = k == 0 ? kind->low : 0x80;
        const unsigned char high = k == 0 ? kind->high : 0xBF;
        if (next < low || next > high) {
            return kReplacement;
        }
        code = (code << 6) | (next & 0x3Fu);
        ++at;
    }
    valid = true;
    return static_cast<char32_t>(code);
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) {
    std::size_t at = 0;
    bool valid = true;
    while (at < bytes.size()) {
        decode_one(bytes, at, valid);
        if (!valid) {
            return false;
        }
    }
    return true;
}

void Utf8Stream::feed(std::string_view bytes) {
    for (const char c : bytes) {
        if (broken_) {
            return;
        }
        const auto b = static_cast<unsigned char>(c);
        if (pending_ > 0) {
            broken_ = b < low_ || b > high_;
            --pending_;
            low_ = 0x80;
            high_ = 0xBF;
        } else if (b >= 0x80) {
            const Lead* kind = classify(b);
            broken_ = kind == nullptr;
            if (kind != nullptr) {
                pending_ = kind->continuation;
                low_ = kind->low;
                high_ = kind->high;
            }
        }
    }
}

std::u32string decode_utf8_lossy(std::string_view bytes) {
    std::u32string text;
    text.reserve(bytes.size());
    std::size_t at = 0;
    bool valid = true;
    while (at < bytes.size()) {
        text.push_back(decode_one(bytes, at, valid));
    }
    return text;
}

std::string encode_utf8(std::u32string_view text) {
    std::string bytes;
    bytes.reserve(text.size());
    for (const char32_t c : text) {
        const auto code = static_cast<std::uint32_t>(c);
        if (code < 0x80) {
            bytes.push_back(static_cast<char>(code));
        } else if (code < 0x800) {
            bytes.push_back(static_cast<char>(0xC0 | (code >> 6)));
            bytes.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else if (code < 0x10000) {
            bytes.push_back(static_cast<char>(0xE0 | (code >> 12)));
            bytes.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            bytes.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else {
            bytes.push_back(static_cast<char>(0xF0 | (code >> 18)));
            bytes.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
            bytes.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            bytes.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        }
    }
    return bytes;
}

bool is_white_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

std::u32string_view trim_white_space(std::u32string_view text) {
    while (!text.empty() && is_white_space(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && is_white_space(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

}  // namespace vemla::service
