#pragma once

// Messages may quote what a request holds (a tag, a key, an action); the quote is bounded so
// that no message grows with the request.

#include <cstddef>
#include <string>
#include <string_view>

namespace vemla {

// The most bytes of request text a message quotes.
inline constexpr std::size_t kMaxQuotedBytes = 256;

// `text` unchanged when it fits; otherwise its first kMaxQuotedBytes bytes at most, cut before a
// UTF-8 character that would not fit whole, followed by "…".
std::string quote_bounded(std::string_view text);

}  // namespace vemla
