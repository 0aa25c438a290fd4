#include "json/bounded_text.h"

namespace vemla {
namespace {

constexpr std::string_view kEllipsis = "\u2026";
// A UTF-8 character is at most four bytes, so at most three continuation bytes end a cut.
constexpr std::size_t kMaxContinuationBytes = 3;

bool is_continuation_byte(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

}  // namespace

std::string quote_bounded(std::string_view text) {
    if (text.size() <= kMaxQuotedBytes) {
        return std::string(text);
    }
    std::size_t cut = kMaxQuotedBytes;
    // Text that is not UTF-8 at the cut is cut where the limit falls.
    while (cut > kMaxQuotedBytes - kMaxContinuationBytes && is_continuation_byte(text[cut])) {
        --cut;
    }
    if (is_continuation_byte(text[cut])) {
        cut = kMaxQuotedBytes;
    }
    std::string quoted(text.substr(0, cut));
    quoted += kEllipsis;
    return quoted;
}

}  // namespace vemla
