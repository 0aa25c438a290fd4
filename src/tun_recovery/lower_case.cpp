#include "tun_recovery/lower_case.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <optional>

namespace vemla::tun_recovery {
namespace {

// Code points first, first + stride, ... up to last lower to themselves plus delta. Upper- and
// lower-case letters of Latin Extended, Greek and Cyrillic alternate, so most runs have
// stride 2.
struct LowerRun {
    char32_t first;
    char32_t last;
    std::int32_t delta;
    std::uint32_t stride;
};

constexpr LowerRun kLowerRuns[] = {
#include "tun_recovery/lower_case_table.inc"
};

constexpr char32_t kCapitalIWithDot = 0x130;
constexpr char32_t kCombiningDotAbove = 0x307;
constexpr char32_t kReplacement = 0xFFFD;

char32_t lower_code_point(char32_t c) {
    const auto after =
        std::upper_bound(std::begin(kLowerRuns), std::end(kLowerRuns), c,
                         [](char32_t value, const LowerRun& run) { return value < run.first; });
    if (after == std::begin(kLowerRuns)) {
        return c;
    }
    const LowerRun& run = *std::prev(after);
    if (c > run.last || (c - run.first) % run.stride != 0) {
        return c;
    }
    return static_cast<char32_t>(static_cast<std::int32_t>(c) + run.delta);
}

struct Decoded {
    char32_t value;
    std::size_t length;
};

bool is_continuation(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

// The well-formed sequence at the start of `bytes`: no overlong forms, no surrogates, nothing
// above U+10FFFF.
std::optional<Decoded> decode_one(std::string_view bytes) {
    const auto lead = static_cast<unsigned char>(bytes[0]);
    if (lead < 0x80) {
        return Decoded{lead, 1};
    }
    std::size_t length = 0;
    char32_t value = 0;
    unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, value = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, value = lead & 0x0Fu;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, value = lead & 0x07u;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return std::nullopt;
    }
    if (bytes.size() < length) {
        return std::nullopt;
    }
    const auto second = static_cast<unsigned char>(bytes[1]);
    if (second < low || second > high) {
        return std::nullopt;
    }
    for (std::size_t i = 1; i < length; ++i) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        if (!is_continuation(byte)) {
            return std::nullopt;
        }
        value = (value << 6) | (byte & 0x3Fu);
    }
    return Decoded{value, length};
}

void append_utf8(std::string& out, char32_t c) {
    const auto byte = [](char32_t bits) { return static_cast<char>(bits); };
    if (c < 0x80) {
        out += byte(c);
    } else if (c < 0x800) {
        out += byte(0xC0 | (c >> 6));
        out += byte(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += byte(0xE0 | (c >> 12));
        out += byte(0x80 | ((c >> 6) & 0x3F));
        out += byte(0x80 | (c & 0x3F));
    } else {
        out += byte(0xF0 | (c >> 18));
        out += byte(0x80 | ((c >> 12) & 0x3F));
        out += byte(0x80 | ((c >> 6) & 0x3F));
        out += byte(0x80 | (c & 0x3F));
    }
}

}  // namespace

std::string lower_case_utf8(std::string_view text) {
    std::string lower;
    lower.reserve(text.size());
    while (!text.empty()) {
        const std::optional<Decoded> decoded = decode_one(text);
        // A bad byte is replaced on its own, so the bytes after it are read again as text.
        const std::size_t length = decoded ? decoded->length : 1;
        const char32_t c = decoded ? decoded->value : kReplacement;
        text.remove_prefix(length);
        if (c == kCapitalIWithDot) {
            lower += 'i';
            append_utf8(lower, kCombiningDotAbove);
            continue;
        }
        append_utf8(lower, lower_code_point(c));
    }
    return lower;
}

}  // namespace vemla::tun_recovery
